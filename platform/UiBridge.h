#pragma once
// The one way the core reaches "the user-interface thread": run a function
// there and wait, timers that fire there, message boxes and the yes/no
// question. The window installs a Qt implementation; command-line programs
// and tests install a MainLoop. Nothing below the window knows which.
#include "platform/Wait.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class UiTimer {
public:
    virtual ~UiTimer() = default;
    // Starts (or restarts) the timer; its tick runs on the UI thread. May be
    // called from any thread. A single-shot timer stops itself before its tick.
    virtual void start(uint32_t intervalMs, bool singleShot) = 0;
    // Stops the timer; may be called from any thread, also from its tick.
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

enum class MessageIcon { None, Information, Warning, Error };

class UiBridge {
public:
    virtual ~UiBridge() = default;

    virtual bool isUiThread() const = 0;
    // Runs fn on the UI thread and returns when it has run. On the UI thread
    // itself fn runs at once.
    virtual void runAndWait(const std::function<void()>& fn) = 0;
    // Queues fn for the UI thread and returns at once.
    virtual void post(std::function<void()> fn) = 0;
    // A timer whose tick runs on the UI thread. The timer must be destroyed
    // before the bridge.
    virtual std::unique_ptr<UiTimer> createTimer(std::function<void()> onTick) = 0;
    // Modal on the UI thread, callable from any thread; the caller waits.
    virtual void messageBox(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
    virtual bool askYesNo(const std::string& text, const std::string& caption) = 0;
    virtual bool openUrl(const std::string& url) { (void)url; return false; }
    // UI thread only: runs the calls that other threads are waiting for
    // (runAndWait, boxes, questions) that have not started yet. A wait of the
    // UI thread for another thread runs it between its slices.
    virtual void serveWaitingCalls() {}

    // The bridge of this process. Installed once by the program entry (or a
    // test) before any worker thread starts; null until then.
    static UiBridge* current();
    static void install(UiBridge* bridge);
};

// The wait of the UI thread for a thread that may be waiting for it (a port
// worker, the command manager): no thread waits without limit for a thread
// that may be waiting for it. On the UI thread of the installed bridge the
// wait is cut into short slices, and between them the calls other threads
// wait for are served, so a box or a relayed event asked for meanwhile is
// shown and answered instead of holding both threads. On any other thread
// it is a plain wait.
uint32_t waitServingUi(Waitable& object, uint32_t ms);

} // namespace platform

#pragma once
#include "platform/UiBridge.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

// A small event loop that serves as the UI thread of headless programs and
// tests: it runs queued calls and timer ticks on the thread that runs it.
// The thread that constructs it is its UI thread, except while run() or
// runUntil() runs on another thread: that thread is the UI thread for the
// duration of the call.
//
// The time scale multiplies every timer interval: tests set it (for example
// 0.01 makes a 25 s wait take 0.25 s); production code never does.
//
// quit() is final: run() and runUntil() return at once from then on, and
// runAndWait() / messageBox() / askYesNo() called from other threads return
// without running anything (askYesNo answers No). A caller already waiting is
// released, unless its call has started, in which case it waits for the end.
// Destroying the loop does the same and then waits until every released
// caller has left; if the loop is the installed bridge, it uninstalls itself.
class MainLoop final : public UiBridge {
public:
    explicit MainLoop(double timeScale = 1.0);
    ~MainLoop() override;
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // Runs until quit(). A quit() that came before run() is not lost.
    void run();
    // Runs until pred() is true (checked after every queued call or tick, and
    // every 2 ms) or until the deadline passes or quit(); returns pred().
    // Usable by tests on their own thread.
    bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline);
    void quit();
    double timeScale() const { return m_timeScale; }

    // askYesNo returns the handler's answer; without one it returns false.
    // messageBox without a handler writes "caption: text" to standard error.
    void setAskHandler(std::function<bool(const std::string& text)> handler);
    void setMessageHandler(std::function<void(const std::string& text, const std::string& caption)> handler);

    bool isUiThread() const override;
    void runAndWait(const std::function<void()>& fn) override;
    void post(std::function<void()> fn) override;
    // Destroying a timer on another thread while its tick runs waits for the
    // tick to end: once the destructor has returned, the tick never runs.
    std::unique_ptr<UiTimer> createTimer(std::function<void()> onTick) override;
    void messageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;
    bool askYesNo(const std::string& text, const std::string& caption) override;
    // Runs the queued calls (not the timers): those are what other threads
    // wait for.
    void serveWaitingCalls() override;

private:
    class Timer;
    friend class Timer;
    struct PendingCall;
    class UiThreadScope;
    using Clock = std::chrono::steady_clock;

    // Runs one queued call or one due timer tick, waiting at most until
    // `until`; false when nothing ran (time up, or quit).
    bool runOnce(Clock::time_point until);
    void armTimer(Timer* timer, uint32_t intervalMs, bool singleShot);
    void disarmTimer(Timer* timer, bool waitForTick);

    const double m_timeScale;
    mutable std::mutex m_lock;
    std::condition_variable m_cond;
    std::deque<std::function<void()>> m_queue;
    std::multimap<Clock::time_point, Timer*> m_timers;
    Timer* m_ticking = nullptr; // the timer whose tick runs now
    std::thread::id m_uiThread;
    bool m_quit = false;
    bool m_destroyed = false;
    unsigned m_waitingCallers = 0; // threads inside runAndWait, waiting
    std::function<bool(const std::string&)> m_askHandler;
    std::function<void(const std::string&, const std::string&)> m_messageHandler;
};

} // namespace platform

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
// The thread that constructs it is its UI thread until run() or runUntil()
// is called on another one.
// The time scale multiplies every timer interval: tests set it (for example
// 0.01 makes a 25 s wait take 0.25 s); production code never does.
class MainLoop final : public UiBridge {
public:
    explicit MainLoop(double timeScale = 1.0);
    ~MainLoop() override;

    // Runs until quit(). The thread that calls run() becomes the UI thread.
    void run();
    // Runs until pred() is true (checked after every queued call or tick, and
    // every 2 ms) or until the deadline passes; returns pred(). Usable by tests on their own thread.
    bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline);
    void quit();
    double timeScale() const { return m_timeScale; }

    // Answers given by askYesNo / messageBox when no handler is set: askYesNo
    // returns the handler's answer; without one it returns false.
    void setAskHandler(std::function<bool(const std::string& text)> handler);
    void setMessageHandler(std::function<void(const std::string& text, const std::string& caption)> handler);

    bool isUiThread() const override;
    void runAndWait(const std::function<void()>& fn) override;
    void post(std::function<void()> fn) override;
    std::unique_ptr<UiTimer> createTimer(std::function<void()> onTick) override;
    void messageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;
    bool askYesNo(const std::string& text, const std::string& caption) override;

private:
    class Timer;
    friend class Timer;
    using Clock = std::chrono::steady_clock;

    // Runs one queued call or one due timer tick, waiting at most until
    // `until`; false when nothing ran.
    bool runOnce(Clock::time_point until);
    void armTimer(Timer* timer, uint32_t intervalMs, bool singleShot);
    void disarmTimer(Timer* timer);

    const double m_timeScale;
    mutable std::mutex m_lock;
    std::condition_variable m_cond;
    std::deque<std::function<void()>> m_queue;
    std::multimap<Clock::time_point, Timer*> m_timers;
    std::thread::id m_uiThread;
    bool m_quit = false;
    bool m_destroyed = false;
    uint64_t m_completed = 0; // calls run so far; runAndWait waits on it
    std::function<bool(const std::string&)> m_askHandler;
    std::function<void(const std::string&, const std::string&)> m_messageHandler;
};

} // namespace platform

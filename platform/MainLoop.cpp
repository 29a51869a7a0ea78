#include "platform/MainLoop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace platform {

class MainLoop::Timer final : public UiTimer {
public:
    Timer(MainLoop& loop, std::function<void()> onTick) : m_loop(loop), m_onTick(std::move(onTick)) {}
    ~Timer() override { m_loop.disarmTimer(this); }

    void start(uint32_t intervalMs, bool singleShot) override { m_loop.armTimer(this, intervalMs, singleShot); }
    void stop() override { m_loop.disarmTimer(this); }
    bool isActive() const override
    {
        std::lock_guard<std::mutex> guard(m_loop.m_lock);
        return m_active;
    }

    // Guarded by the loop's lock.
    MainLoop& m_loop;
    std::function<void()> m_onTick;
    Clock::duration m_interval{};
    bool m_singleShot = true;
    bool m_active = false;
};

MainLoop::MainLoop(double timeScale) : m_timeScale(timeScale > 0 ? timeScale : 1.0), m_uiThread(std::this_thread::get_id()) {}

MainLoop::~MainLoop()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_destroyed = true;
        m_quit = true;
        m_queue.clear();
    }
    m_cond.notify_all();
}

void MainLoop::run()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_uiThread = std::this_thread::get_id();
        m_quit = false;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_quit)
                return;
        }
        runOnce(Clock::time_point::max());
    }
}

bool MainLoop::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline)
{
    const auto end = Clock::now() + deadline;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_uiThread = std::this_thread::get_id();
        m_quit = false;
    }
    while (!pred()) {
        const auto now = Clock::now();
        if (now >= end)
            return pred();
        // The condition may change on another thread without posting
        // anything here, so it is looked at again every few milliseconds.
        runOnce(std::min(end, now + std::chrono::milliseconds(2)));
    }
    return true;
}

void MainLoop::quit()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_quit = true;
    }
    m_cond.notify_all();
}

bool MainLoop::runOnce(Clock::time_point until)
{
    std::function<void()> work;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        for (;;) {
            if (m_quit)
                return false;
            if (!m_queue.empty()) {
                work = std::move(m_queue.front());
                m_queue.pop_front();
                break;
            }
            const auto now = Clock::now();
            if (!m_timers.empty() && m_timers.begin()->first <= now) {
                auto due = m_timers.begin();
                Timer* timer = due->second;
                const auto deadline = due->first;
                m_timers.erase(due);
                if (timer->m_singleShot)
                    timer->m_active = false; // stops before its tick, so the tick may restart it
                else
                    m_timers.emplace(std::max(deadline + timer->m_interval, now), timer);
                work = timer->m_onTick;
                break;
            }
            auto wakeAt = until;
            if (!m_timers.empty() && m_timers.begin()->first < wakeAt)
                wakeAt = m_timers.begin()->first;
            if (now >= until)
                return false;
            if (wakeAt == Clock::time_point::max())
                m_cond.wait(guard);
            else
                m_cond.wait_until(guard, wakeAt);
        }
    }
    if (work)
        work();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_completed;
    }
    m_cond.notify_all();
    return true;
}

bool MainLoop::isUiThread() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return std::this_thread::get_id() == m_uiThread;
}

void MainLoop::post(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_destroyed)
            return;
        m_queue.push_back(std::move(fn));
    }
    m_cond.notify_all();
}

void MainLoop::runAndWait(const std::function<void()>& fn)
{
    if (isUiThread()) {
        fn();
        return;
    }
    // The caller waits for its own call only; when the loop is quit or
    // destroyed before running it, the call is dropped and the caller released.
    auto done = std::make_shared<bool>(false);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_destroyed || m_quit)
            return;
        m_queue.push_back([&fn, done, this] {
            fn();
            std::lock_guard<std::mutex> inner(m_lock);
            *done = true;
        });
    }
    m_cond.notify_all();
    std::unique_lock<std::mutex> guard(m_lock);
    m_cond.wait(guard, [&] { return *done || m_quit || m_destroyed; });
}

std::unique_ptr<UiTimer> MainLoop::createTimer(std::function<void()> onTick)
{
    return std::make_unique<Timer>(*this, std::move(onTick));
}

void MainLoop::armTimer(Timer* timer, uint32_t intervalMs, bool singleShot)
{
    const auto scaled = std::chrono::microseconds(static_cast<int64_t>(std::llround(intervalMs * 1000.0 * m_timeScale)));
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_timers.begin(); it != m_timers.end();)
            it = it->second == timer ? m_timers.erase(it) : std::next(it);
        timer->m_interval = std::chrono::duration_cast<Clock::duration>(scaled);
        timer->m_singleShot = singleShot;
        timer->m_active = true;
        m_timers.emplace(Clock::now() + timer->m_interval, timer);
    }
    m_cond.notify_all();
}

void MainLoop::disarmTimer(Timer* timer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_timers.begin(); it != m_timers.end();)
        it = it->second == timer ? m_timers.erase(it) : std::next(it);
    timer->m_active = false;
}

void MainLoop::setAskHandler(std::function<bool(const std::string& text)> handler)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_askHandler = std::move(handler);
}

void MainLoop::setMessageHandler(std::function<void(const std::string& text, const std::string& caption)> handler)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_messageHandler = std::move(handler);
}

void MainLoop::messageBox(const std::string& text, const std::string& caption, MessageIcon)
{
    std::function<void(const std::string&, const std::string&)> handler;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        handler = m_messageHandler;
    }
    if (!handler) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    runAndWait([&] { handler(text, caption); });
}

bool MainLoop::askYesNo(const std::string& text, const std::string&)
{
    std::function<bool(const std::string&)> handler;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        handler = m_askHandler;
    }
    if (!handler)
        return false;
    bool answer = false;
    runAndWait([&] { answer = handler(text); });
    return answer;
}

} // namespace platform

#include "platform/MainLoop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace platform {

class MainLoop::Timer final : public UiTimer {
public:
    Timer(MainLoop& loop, std::function<void()> onTick) : m_loop(loop), m_onTick(std::move(onTick)) {}
    ~Timer() override { m_loop.disarmTimer(this, /*waitForTick=*/true); }

    void start(uint32_t intervalMs, bool singleShot) override { m_loop.armTimer(this, intervalMs, singleShot); }
    void stop() override { m_loop.disarmTimer(this, /*waitForTick=*/false); }
    bool isActive() const override
    {
        std::lock_guard<std::mutex> guard(m_loop.m_lock);
        return m_active;
    }

    MainLoop& m_loop;
    const std::function<void()> m_onTick;
    // Guarded by the loop's lock.
    Clock::duration m_interval{};
    bool m_singleShot = true;
    bool m_active = false;
};

// One runAndWait call. The caller's function is only referenced: it lives on
// the caller's stack, so the call must never start once the caller has left.
struct MainLoop::PendingCall {
    const std::function<void()>* fn;
    bool started = false;
    bool done = false;
    bool cancelled = false;
};

// Makes the calling thread the UI thread until the scope ends.
class MainLoop::UiThreadScope {
public:
    explicit UiThreadScope(MainLoop& loop) : m_loop(loop)
    {
        std::lock_guard<std::mutex> guard(m_loop.m_lock);
        m_previous = m_loop.m_uiThread;
        m_loop.m_uiThread = std::this_thread::get_id();
    }
    ~UiThreadScope()
    {
        std::lock_guard<std::mutex> guard(m_loop.m_lock);
        m_loop.m_uiThread = m_previous;
    }
    UiThreadScope(const UiThreadScope&) = delete;
    UiThreadScope& operator=(const UiThreadScope&) = delete;

private:
    MainLoop& m_loop;
    std::thread::id m_previous;
};

MainLoop::MainLoop(double timeScale) : m_timeScale(timeScale > 0 ? timeScale : 1.0), m_uiThread(std::this_thread::get_id()) {}

MainLoop::~MainLoop()
{
    if (UiBridge::current() == this)
        UiBridge::install(nullptr);
    std::deque<std::function<void()>> dropped;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_destroyed = true;
        m_quit = true;
        dropped.swap(m_queue);
        m_cond.notify_all();
        // Released callers still touch the lock on their way out.
        m_cond.wait(guard, [this] { return m_waitingCallers == 0; });
    }
    // `dropped` is destroyed outside the lock: what the calls captured may post.
}

void MainLoop::run()
{
    UiThreadScope scope(*this);
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
    UiThreadScope scope(*this);
    while (!pred()) {
        const auto now = Clock::now();
        if (now >= end)
            return pred();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_quit)
                return pred();
        }
        // The condition may change on another thread without posting
        // anything here, so it is looked at again every few milliseconds.
        runOnce(std::min(end, now + std::chrono::milliseconds(2)));
    }
    return true;
}

void MainLoop::quit()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_quit = true;
    m_cond.notify_all();
}

bool MainLoop::runOnce(Clock::time_point until)
{
    std::function<void()> work;
    Timer* ticking = nullptr;
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
                ticking = due->second;
                const auto deadline = due->first;
                m_timers.erase(due);
                if (ticking->m_singleShot)
                    ticking->m_active = false; // stops before its tick, so the tick may restart it
                else
                    m_timers.emplace(std::max(deadline + ticking->m_interval, now), ticking);
                // A copy: the tick may destroy its own timer.
                work = ticking->m_onTick;
                m_ticking = ticking;
                break;
            }
            if (now >= until)
                return false;
            auto wakeAt = until;
            if (!m_timers.empty() && m_timers.begin()->first < wakeAt)
                wakeAt = m_timers.begin()->first;
            if (wakeAt == Clock::time_point::max())
                m_cond.wait(guard);
            else
                m_cond.wait_until(guard, wakeAt);
        }
    }
    if (work)
        work();
    if (ticking) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_ticking = nullptr;
        m_cond.notify_all();
    }
    return true;
}

void MainLoop::serveWaitingCalls()
{
    if (!isUiThread())
        return;
    // Only what is queued now: a call that queues another does not keep the
    // waiting thread here for ever.
    size_t pending;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        pending = m_queue.size();
    }
    while (pending-- > 0) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_quit || m_queue.empty())
                return;
            work = std::move(m_queue.front());
            m_queue.pop_front();
        }
        if (work)
            work();
    }
}

bool MainLoop::isUiThread() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return std::this_thread::get_id() == m_uiThread;
}

void MainLoop::post(std::function<void()> fn)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_quit)
        return;
    m_queue.push_back(std::move(fn));
    m_cond.notify_all();
}

void MainLoop::runAndWait(const std::function<void()>& fn)
{
    if (isUiThread()) {
        fn();
        return;
    }
    auto call = std::make_shared<PendingCall>();
    call->fn = &fn;
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_quit)
        return;
    m_queue.push_back([this, call] {
        {
            std::lock_guard<std::mutex> inner(m_lock);
            if (call->cancelled)
                return;
            call->started = true;
        }
        (*call->fn)();
        std::lock_guard<std::mutex> inner(m_lock);
        call->done = true;
        m_cond.notify_all();
    });
    ++m_waitingCallers;
    m_cond.notify_all();
    m_cond.wait(guard, [&] { return call->done || (m_quit && !call->started); });
    call->cancelled = !call->done;
    if (--m_waitingCallers == 0 && m_destroyed)
        m_cond.notify_all();
}

std::unique_ptr<UiTimer> MainLoop::createTimer(std::function<void()> onTick)
{
    return std::make_unique<Timer>(*this, std::move(onTick));
}

void MainLoop::armTimer(Timer* timer, uint32_t intervalMs, bool singleShot)
{
    const auto scaled = std::chrono::microseconds(std::llround(intervalMs * 1000.0 * m_timeScale));
    std::lock_guard<std::mutex> guard(m_lock);
    std::erase_if(m_timers, [timer](const auto& entry) { return entry.second == timer; });
    timer->m_interval = std::chrono::duration_cast<Clock::duration>(scaled);
    timer->m_singleShot = singleShot;
    timer->m_active = true;
    m_timers.emplace(Clock::now() + timer->m_interval, timer);
    m_cond.notify_all();
}

void MainLoop::disarmTimer(Timer* timer, bool waitForTick)
{
    std::unique_lock<std::mutex> guard(m_lock);
    std::erase_if(m_timers, [timer](const auto& entry) { return entry.second == timer; });
    timer->m_active = false;
    // On the loop thread the tick in progress is the caller itself.
    if (waitForTick && std::this_thread::get_id() != m_uiThread)
        m_cond.wait(guard, [&] { return m_ticking != timer; });
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

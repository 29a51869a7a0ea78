#include "platform/Thread.h"

#include "platform/UiBridge.h"

#include <chrono>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

Thread::Thread() = default;

Thread::~Thread()
{
    if (m_started && !m_finished) {
        terminate();
        wait(INFINITE);
    }
    join();
}

void Thread::start()
{
    m_started = true;
    m_thread = std::thread([this] {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_tid = static_cast<int>(::syscall(SYS_gettid));
            m_id = std::this_thread::get_id();
        }
        applyPriority();
        execute();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_finished = true;
        }
        m_cond.notify_all();
    });
}

void Thread::resume()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_started) {
        start();
        return;
    }
    m_wake = true;
    m_cond.notify_all();
}

void Thread::terminate()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_terminated = true;
    }
    m_cond.notify_all();
}

void Thread::park()
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_cond.wait(guard, [this] { return m_wake || m_terminated; });
    m_wake = false;
}

uint32_t Thread::wait(uint32_t ms)
{
    if (!m_started)
        return WAIT_OBJECT_0;
    if (isCurrentThread())
        return WAIT_FAILED; // a thread cannot wait for its own end
    {
        std::unique_lock<std::mutex> guard(m_lock);
        auto ended = [this] { return m_finished.load(); };
        if (ms == INFINITE)
            m_cond.wait(guard, ended);
        else if (!m_cond.wait_for(guard, std::chrono::milliseconds(ms), ended))
            return WAIT_TIMEOUT;
    }
    join();
    return WAIT_OBJECT_0;
}

void Thread::join()
{
    if (!m_started || isCurrentThread())
        return;
    std::call_once(m_joined, [this] {
        if (m_thread.joinable())
            m_thread.join();
    });
}

void Thread::setPriority(Priority priority)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_priority = priority;
    }
    if (m_started)
        applyPriority();
}

void Thread::applyPriority()
{
    int tid;
    Priority priority;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        tid = m_tid;
        priority = m_priority;
    }
    if (tid == 0 || priority == Priority::Normal)
        return;
    // One nice step up; an ordinary user may not lower its nice value, so
    // EPERM is expected and ignored.
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0)
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current - 1);
}

bool Thread::isCurrentThread() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_id == std::this_thread::get_id();
}

void Thread::synchronize(const std::function<void()>& fn)
{
    UiBridge* bridge = UiBridge::current();
    if (!bridge || bridge->isUiThread())
        fn();
    else
        bridge->runAndWait(fn);
}

} // namespace platform

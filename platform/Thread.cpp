#include "platform/Thread.h"

#include "platform/UiBridge.h"

#include <cerrno>
#include <chrono>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

Thread::Thread() = default;

Thread::~Thread()
{
    if (isCurrentThread()) {
        // Deleted from its own execute(): nobody can join it any more.
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_thread.joinable())
            m_thread.detach();
        return;
    }
    if (m_started && !finished()) {
        terminate();
        wait(INFINITE);
    }
    join();
}

void Thread::start()
{
    m_started = true;
    m_thread = std::thread([this, end = m_end] {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_tid = static_cast<int>(::syscall(SYS_gettid));
            m_id = std::this_thread::get_id();
        }
        applyPriority();
        execute();
        {
            std::lock_guard<std::mutex> guard(end->lock);
            end->finished = true;
        }
        end->cond.notify_all();
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
    std::lock_guard<std::mutex> guard(m_lock);
    m_terminated = true;
    m_cond.notify_all();
}

void Thread::park()
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_cond.wait(guard, [this] { return m_wake || m_terminated; });
    m_wake = false;
}

bool Thread::finished() const
{
    std::lock_guard<std::mutex> guard(m_end->lock);
    return m_end->finished;
}

uint32_t Thread::wait(uint32_t ms)
{
    if (!m_started)
        return WAIT_OBJECT_0;
    if (isCurrentThread())
        return WAIT_FAILED; // a thread cannot wait for its own end
    {
        std::unique_lock<std::mutex> guard(m_end->lock);
        auto ended = [this] { return m_end->finished; };
        if (ms == INFINITE)
            m_end->cond.wait(guard, ended);
        else if (!m_end->cond.wait_for(guard, std::chrono::milliseconds(ms), ended))
            return WAIT_TIMEOUT;
    }
    join();
    return WAIT_OBJECT_0;
}

void Thread::join()
{
    if (!m_started || isCurrentThread())
        return;
    // The thread object was assigned under m_lock by resume(); taking the lock
    // once makes that assignment visible here.
    { std::lock_guard<std::mutex> guard(m_lock); }
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
    if (tid == 0)
        return;
    // Linux keeps a nice value per thread. Above normal is one step below the
    // process's own value, set absolutely so that repeated calls do not add
    // up. Only a privileged user may go below the process's value: EPERM is
    // expected for an ordinary user, and the thread then stays at normal.
    errno = 0;
    const int processNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
    if (errno != 0)
        return;
    const int target = priority == Priority::AboveNormal ? processNice - 1 : processNice;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target);
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

#include "platform/Event.h"

#include <chrono>

namespace platform {

Event::Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

bool Event::set()
{
    // Notified under the lock: a released waiter may destroy the event as soon
    // as its wait returns, so set() must be done with it by then.
    std::lock_guard<std::mutex> guard(m_lock);
    // A set that finds a waiter belongs to that waiter, so two quick sets
    // release two waiters even before the first one has woken.
    if (!m_manualReset && m_waiting > m_handedOut) {
        ++m_handedOut;
        m_cond.notify_one();
    } else {
        m_signalled = true;
        m_cond.notify_all();
    }
    return true;
}

bool Event::reset()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_signalled = false;
    return true;
}

bool Event::isSet() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_signalled;
}

// With the lock held: consumes the signal when there is one for this waiter.
bool Event::takeSignal()
{
    if (m_manualReset)
        return m_signalled;
    if (m_handedOut > 0) {
        --m_handedOut;
        return true;
    }
    if (m_signalled) {
        m_signalled = false;
        return true;
    }
    return false;
}

uint32_t Event::wait(uint32_t ms)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (takeSignal())
        return WAIT_OBJECT_0;
    if (ms == 0)
        return WAIT_TIMEOUT;
    ++m_waiting;
    bool got;
    if (ms == INFINITE) {
        m_cond.wait(guard, [this] { return takeSignal(); });
        got = true;
    } else {
        got = m_cond.wait_for(guard, std::chrono::milliseconds(ms), [this] { return takeSignal(); });
    }
    --m_waiting;
    return got ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

} // namespace platform

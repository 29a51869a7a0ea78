#include "platform/Event.h"

#include <chrono>

namespace platform {

Event::Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

bool Event::set()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_signalled = true;
    }
    if (m_manualReset)
        m_cond.notify_all();
    else
        m_cond.notify_one();
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

uint32_t Event::wait(uint32_t ms)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (ms == INFINITE)
        m_cond.wait(guard, [this] { return m_signalled; });
    else if (!m_cond.wait_for(guard, std::chrono::milliseconds(ms), [this] { return m_signalled; }))
        return WAIT_TIMEOUT;
    if (!m_manualReset)
        m_signalled = false;
    return WAIT_OBJECT_0;
}

} // namespace platform

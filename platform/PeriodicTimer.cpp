#include "platform/PeriodicTimer.h"

namespace platform {

PeriodicTimer::PeriodicTimer(Event& target, uint32_t periodMs)
    : m_target(target), m_periodMs(periodMs == 0 ? 1 : periodMs)
{
    m_ok = m_target.startTicks(m_periodMs, std::chrono::milliseconds(m_periodMs));
}

PeriodicTimer::~PeriodicTimer()
{
    if (m_ok && !m_paused)
        m_target.stopTicks();
}

void PeriodicTimer::pause()
{
    if (m_ok && !m_paused)
        m_target.stopTicks();
    m_paused = true;
}

bool PeriodicTimer::restart(std::chrono::nanoseconds first)
{
    if (!m_ok)
        return false;
    if (first <= std::chrono::nanoseconds::zero())
        first = std::chrono::milliseconds(m_periodMs);
    m_paused = !m_target.startTicks(m_periodMs, first);
    return !m_paused;
}

} // namespace platform

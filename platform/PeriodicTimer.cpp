#include "platform/PeriodicTimer.h"

namespace platform {

PeriodicTimer::PeriodicTimer(Event& target, uint32_t periodMs)
    : m_target(target), m_periodMs(periodMs == 0 ? 1 : periodMs)
{
    m_ok = m_target.startTicks(m_periodMs);
}

PeriodicTimer::~PeriodicTimer()
{
    if (m_ok)
        m_target.stopTicks();
}

} // namespace platform

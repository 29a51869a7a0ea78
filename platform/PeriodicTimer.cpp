#include "platform/PeriodicTimer.h"

#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {

PeriodicTimer::PeriodicTimer(Event& target, uint32_t periodMs)
    // A period of 0 would spin a core; 1 ms is the finest tick the callers need.
    : m_target(target), m_periodMs(periodMs == 0 ? 1 : periodMs)
{
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // timerfd re-arms itself from absolute expirations: no drift from wake-up latency.
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_stopFd < 0 || m_timerFd < 0)
        return;
    itimerspec spec{};
    spec.it_interval.tv_sec = m_periodMs / 1000;
    spec.it_interval.tv_nsec = static_cast<long>(m_periodMs % 1000) * 1000000L;
    spec.it_value = spec.it_interval;
    if (::timerfd_settime(m_timerFd, 0, &spec, nullptr) != 0)
        return;
    m_ok = true;
    m_thread = std::thread([this] { run(); });
}

PeriodicTimer::~PeriodicTimer()
{
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(m_stopFd, &one, sizeof one);
        m_thread.join();
    }
    if (m_timerFd >= 0)
        ::close(m_timerFd);
    if (m_stopFd >= 0)
        ::close(m_stopFd);
}

void PeriodicTimer::run()
{
    // The default 50 us timer slack would be a visible share of a 2 ms period.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    pollfd fds[2] = {{m_timerFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0)
            continue; // EINTR
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            uint64_t expirations = 0;
            if (::read(m_timerFd, &expirations, sizeof expirations) == sizeof expirations && expirations > 0)
                m_target.set();
        }
    }
}

} // namespace platform

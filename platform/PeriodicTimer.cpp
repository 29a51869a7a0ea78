#include "platform/PeriodicTimer.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {

namespace {

timespec fromMs(uint32_t ms)
{
    timespec t{};
    t.tv_sec = static_cast<time_t>(ms / 1000);
    t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return t;
}

} // namespace

PeriodicTimer::PeriodicTimer(Event& target, uint32_t periodMs)
    : m_target(target), m_periodMs(periodMs == 0 ? 1 : periodMs)
{
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_stopFd < 0 || m_timerFd < 0)
        return;
    // The kernel keeps the expirations on a fixed grid (first deadline plus
    // whole periods), so late wake-ups never shift the later ticks. Timer
    // slack does not apply to timerfd expirations.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    itimerspec spec{};
    spec.it_interval = fromMs(m_periodMs);
    spec.it_value.tv_sec = now.tv_sec + spec.it_interval.tv_sec;
    spec.it_value.tv_nsec = now.tv_nsec + spec.it_interval.tv_nsec;
    if (spec.it_value.tv_nsec >= 1000000000L) {
        spec.it_value.tv_nsec -= 1000000000L;
        ++spec.it_value.tv_sec;
    }
    if (::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &spec, nullptr) != 0)
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
    pollfd fds[2] = {{m_timerFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return; // cannot happen with valid descriptors; never spin on it
        }
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            // Several expirations in one read (a late wake-up) set the event
            // once: an event is a flag, not a counter.
            uint64_t expirations = 0;
            if (::read(m_timerFd, &expirations, sizeof expirations) == sizeof expirations && expirations > 0)
                m_target.set();
        }
    }
}

} // namespace platform

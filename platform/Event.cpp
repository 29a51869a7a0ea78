#include "platform/Event.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

timespec fromMs(uint32_t ms)
{
    timespec t{};
    t.tv_sec = static_cast<time_t>(ms / 1000);
    t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    return t;
}

// Reads what a non-blocking counter descriptor holds; 0 when nothing.
uint64_t drain(int fd)
{
    uint64_t count = 0;
    if (::read(fd, &count, sizeof count) != sizeof count)
        return 0;
    return count;
}

} // namespace

Event::Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

Event::~Event()
{
    if (m_timerFd >= 0)
        ::close(m_timerFd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

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
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(m_wakeFd, &one, sizeof one);
    }
    return true;
}

bool Event::reset()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_signalled = false;
    if (m_timerFd >= 0)
        drain(m_timerFd);
    return true;
}

bool Event::isSet() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_signalled || ticksPending();
}

bool Event::startTicks(uint32_t periodMs, std::chrono::nanoseconds first)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_timerFd < 0) {
        const int timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        if (timerFd < 0 || (m_wakeFd < 0 && (m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0)) {
            if (timerFd >= 0)
                ::close(timerFd);
            return false;
        }
        m_timerFd = timerFd;
        // Waiters already asleep on the condition move over to the descriptors.
        m_cond.notify_all();
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    itimerspec spec{};
    spec.it_interval = fromMs(periodMs);
    const int64_t firstNs = std::max<int64_t>(first.count(), 1); // 0 would disarm
    spec.it_value.tv_sec = now.tv_sec + static_cast<time_t>(firstNs / 1000000000);
    spec.it_value.tv_nsec = now.tv_nsec + static_cast<long>(firstNs % 1000000000);
    if (spec.it_value.tv_nsec >= 1000000000L) {
        spec.it_value.tv_nsec -= 1000000000L;
        ++spec.it_value.tv_sec;
    }
    return ::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &spec, nullptr) == 0;
}

void Event::stopTicks()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_timerFd < 0)
        return;
    // Disarming also forgets the expirations not read yet.
    const itimerspec off{};
    ::timerfd_settime(m_timerFd, 0, &off, nullptr);
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

// With the lock held.
bool Event::ticksPending() const
{
    if (m_timerFd < 0)
        return false;
    pollfd pfd{m_timerFd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}

uint32_t Event::wait(uint32_t ms)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (takeSignal())
        return WAIT_OBJECT_0;
    const auto start = Clock::now();
    if (m_timerFd >= 0)
        return waitWithTicks(guard, ms, start);
    if (ms == 0)
        return WAIT_TIMEOUT;
    ++m_waiting;
    const auto ready = [this] { return m_timerFd >= 0 || takeSignal(); };
    bool got;
    if (ms == INFINITE) {
        m_cond.wait(guard, ready);
        got = true;
    } else {
        got = m_cond.wait_for(guard, std::chrono::milliseconds(ms), ready);
    }
    --m_waiting;
    if (got && m_timerFd >= 0 && !takeSignal()) {
        // Ticks started while this waiter slept: it goes on with the rest of
        // its time on the descriptors.
        return waitWithTicks(guard, ms, start);
    }
    return got ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

uint32_t Event::waitWith(int fd, uint32_t ms)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (takeSignal())
        return WAIT_OBJECT_0;
    // set() reaches a waiter on descriptors through the eventfd; made once
    // and kept, like the timer's.
    if (m_wakeFd < 0 && (m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0)
        return WAIT_FAILED;
    return waitWithTicks(guard, ms, Clock::now(), fd);
}

// With the lock held and no signal taken yet; the time limit counts from `start`.
uint32_t Event::waitWithTicks(std::unique_lock<std::mutex>& guard, uint32_t ms,
                              std::chrono::steady_clock::time_point start, int otherFd)
{
    const bool forever = ms == INFINITE;
    const auto deadline = start + std::chrono::milliseconds(forever ? 0 : ms);
    ++m_waiting;
    uint32_t result = WAIT_TIMEOUT;
    for (;;) {
        if (takeSignal()) {
            result = WAIT_OBJECT_0;
            break;
        }
        int timeout = -1;
        if (!forever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            timeout = static_cast<int>(std::max<int64_t>(left, 0));
        }
        // A tick already due makes the poll return at once: no read first.
        // Descriptors below 0 are left out by poll itself.
        pollfd fds[3] = {{m_timerFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}, {otherFd, POLLIN, 0}};
        guard.unlock();
        const int ready = ::poll(fds, 3, timeout);
        guard.lock();
        if (ready < 0 && errno != EINTR) {
            result = WAIT_FAILED;
            break;
        }

        // Several expirations in one read (a late wake-up) are one set: an
        // event is a flag, not a counter. It is this waiter's.
        if (ready > 0 && (fds[0].revents & POLLIN) != 0 && drain(m_timerFd) > 0) {
            if (m_manualReset)
                m_signalled = true;
            result = WAIT_OBJECT_0;
            break;
        }
        // The sets it stood for are in the flags, checked at the loop's top.
        if (ready > 0 && (fds[1].revents & POLLIN) != 0)
            drain(m_wakeFd);
        // The event before the descriptor, as a wait for several objects
        // reports the first one signalled; the descriptor stays ready.
        if (ready > 0 && fds[2].revents != 0) {
            result = takeSignal() ? WAIT_OBJECT_0 : WAIT_OBJECT_0 + 1;
            break;
        }
        if (ready == 0 && !forever && Clock::now() >= deadline) {
            result = takeSignal() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
            break;
        }
    }
    --m_waiting;
    return result;
}

} // namespace platform

#pragma once
#include "platform/Event.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace platform {

// Sets an Event every period on a thread of its own, with absolute deadlines
// so the period does not drift. Stops at once (and joins) on destruction.
// ok() is false when the kernel refused the timer; the event is then never set.
class PeriodicTimer final {
public:
    // A period of 0 is taken as 1 ms (periodMs() then reports 1): a timer
    // without period would keep a core busy for nothing.
    PeriodicTimer(Event& target, uint32_t periodMs);
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    bool ok() const { return m_ok; }
    uint32_t periodMs() const { return m_periodMs; }

private:
    void run();

    Event& m_target;
    const uint32_t m_periodMs;
    int m_stopFd = -1; // eventfd that ends the wait at once on destruction
    int m_timerFd = -1;
    bool m_ok = false;
    std::thread m_thread;
};

} // namespace platform

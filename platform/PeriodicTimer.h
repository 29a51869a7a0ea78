#pragma once
#include "platform/Event.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace platform {

// Sets an Event every period on a thread of its own, with absolute deadlines
// so the period does not drift. Stops (and joins) on destruction.
class PeriodicTimer final {
public:
    // periodMs 0 is allowed: the event is then set as often as the thread can.
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

#pragma once
#include "platform/Event.h"

#include <chrono>
#include <cstdint>

namespace platform {

// Sets an Event every period, with absolute deadlines so the period does not
// drift. The kernel sets it: no thread of its own. Stops at once on
// destruction, and never sets the event afterwards.
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

    // No tick until restart(), not even one that was due. Not thread-safe:
    // one owner pauses and restarts.
    void pause();
    // Ticks again (paused or not), the next one `first` from now (a period
    // when not given), then every period; false when the kernel refused the
    // timer (or it never started).
    bool restart(std::chrono::nanoseconds first = std::chrono::nanoseconds::zero());

private:
    Event& m_target;
    const uint32_t m_periodMs;
    bool m_ok = false;
    bool m_paused = false;
};

} // namespace platform

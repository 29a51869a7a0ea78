#pragma once
#include "platform/Wait.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class PeriodicTimer;

// An event object: manual reset (stays set until reset, releases every waiter)
// or auto reset (each set() releases exactly one waiter; with nobody waiting
// the event stays set until one wait consumes it).
//
// A PeriodicTimer has the kernel set the event: its waiters then sleep on a
// timer descriptor themselves, so a tick wakes one thread, not a timer thread
// that wakes the waiter in turn.
class Event final : public Waitable {
public:
    Event(bool manualReset, bool initialState);
    ~Event() override;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool set();
    bool reset();
    bool isSet() const;
    uint32_t wait(uint32_t ms) override;
    // Waits for the event or for a descriptor that has input or hung up,
    // whichever comes first: WAIT_OBJECT_0 for the event, WAIT_OBJECT_0 + 1
    // for the descriptor (the event stays as it was), WAIT_TIMEOUT or
    // WAIT_FAILED. The port worker sleeps on its line and its tick at once.
    uint32_t waitWith(int fd, uint32_t ms);

private:
    friend class PeriodicTimer;
    // Sets the event after `first`, then every period (absolute deadlines:
    // the kernel keeps the ticks on a fixed grid, late wake-ups never shift
    // the later ones); a tick that was due and not taken is forgotten. False
    // when the kernel refused the timer.
    bool startTicks(uint32_t periodMs, std::chrono::nanoseconds first);
    // No tick after this returns, not even one that was due.
    void stopTicks();

    bool takeSignal();
    bool ticksPending() const;
    uint32_t waitWithTicks(std::unique_lock<std::mutex>& guard, uint32_t ms,
                           std::chrono::steady_clock::time_point start, int otherFd = -1);

    mutable std::mutex m_lock;
    std::condition_variable m_cond;
    const bool m_manualReset;
    bool m_signalled;
    unsigned m_waiting = 0; // threads inside wait()
    unsigned m_handedOut = 0; // auto reset: sets already given to waiters that have not woken yet
    // Made at the first startTicks() and kept until the event ends, so that a
    // waiter never polls a descriptor that another thread closes.
    int m_timerFd = -1; // its expirations are sets not yet seen
    int m_wakeFd = -1;  // eventfd: lets set() reach waiters sleeping on descriptors
};

} // namespace platform

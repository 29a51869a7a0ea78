#pragma once
#include "platform/Wait.h"

#include <condition_variable>
#include <mutex>

namespace platform {

// An event object: manual reset (stays set until reset, releases every waiter)
// or auto reset (each set() releases exactly one waiter; with nobody waiting
// the event stays set until one wait consumes it).
class Event final : public Waitable {
public:
    Event(bool manualReset, bool initialState);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool set();
    bool reset();
    bool isSet() const;
    uint32_t wait(uint32_t ms) override;

private:
    bool takeSignal();

    mutable std::mutex m_lock;
    std::condition_variable m_cond;
    const bool m_manualReset;
    bool m_signalled;
    unsigned m_waiting = 0; // threads inside wait()
    unsigned m_handedOut = 0; // auto reset: sets already given to waiters that have not woken yet
};

} // namespace platform

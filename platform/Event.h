#pragma once
#include "platform/Wait.h"

#include <condition_variable>
#include <mutex>

namespace platform {

// An event object: manual reset (stays set until reset, releases every waiter)
// or auto reset (a successful wait consumes the signal, one waiter at a time).
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
    mutable std::mutex m_lock;
    std::condition_variable m_cond;
    const bool m_manualReset;
    bool m_signalled;
};

} // namespace platform

#pragma once
#include "platform/Wait.h"

#include <memory>

namespace platform {

// A mutex owned by a thread: recursive, timed, and "abandoned" when its owner
// thread ends while holding it (the next wait obtains it and returns
// WAIT_ABANDONED). release() from a thread that does not own it fails.
class Mutex final : public Waitable {
public:
    Mutex();
    ~Mutex() override;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    uint32_t wait(uint32_t ms) override; // lock
    bool release();                      // unlock one level; false when not the owner

    struct Core;

private:
    // Shared with the registry of the owner thread, so a thread that ends
    // holding the mutex can mark it abandoned even if the Mutex is gone.
    std::shared_ptr<Core> m_core;
};

} // namespace platform

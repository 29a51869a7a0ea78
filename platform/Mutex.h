#pragma once
#include "platform/Wait.h"

#include <condition_variable>
#include <mutex>
#include <thread>

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

    // Called by the thread-exit hook for every mutex a dying thread still holds.
    void abandonBy(std::thread::id owner);

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    std::thread::id m_owner{};
    unsigned m_depth = 0;
    bool m_abandoned = false;
};

} // namespace platform

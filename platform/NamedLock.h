#pragma once
#include "platform/Wait.h"

#include <mutex>
#include <string>

namespace platform {

// A lock shared by every process of the user, for the diagnostic file
// ("LOG_FILE"): a lock file named after the lock and the user id in
// $XDG_RUNTIME_DIR (else /tmp), taken with flock, polled against a steady
// deadline; threads of one process also take an in-process mutex.
// acquire() returns WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED (the last
// holder died holding it: the lock is then obtained) or WAIT_FAILED.
class NamedLock final {
public:
    explicit NamedLock(std::string name);
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    bool ok() const { return m_ok; }
    const std::string& path() const { return m_path; }
    uint32_t acquire(uint32_t ms);
    // False when this thread does not hold the lock (after a failed acquire).
    bool release();

private:
    std::string m_name;
    std::string m_path;
    bool m_ok = false;
    std::timed_mutex m_inProcess;
    int m_fd = -1; // descriptor of the current holder, -1 when not held
};

} // namespace platform

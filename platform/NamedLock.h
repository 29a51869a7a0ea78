#pragma once
#include "platform/Wait.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

// A lock shared by every process of the user, for the diagnostic file
// ("LOG_FILE"): a lock file named after the lock and the user id, taken with
// flock, polled against a steady deadline; threads of one process also take
// an in-process mutex. The file lives where only the user can write:
// $XDG_RUNTIME_DIR when it is a directory of the user that nobody else can
// write, else the fallback directory (the data directory). A lock file that
// is not a regular file of the user with a single link (planted by someone
// else, a FIFO, a link) is never used: the lock then works within this
// process only, and problem() says which file to remove.
// acquire() returns WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED (the last
// holder died holding it: the lock is then obtained) or WAIT_FAILED.
// The lock directory is read when the object is constructed, so a test can
// point it to a private folder by setting XDG_RUNTIME_DIR first.
class NamedLock final {
public:
    explicit NamedLock(std::string name, std::string fallbackDirectory = ".");
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // False when the lock file could not be created.
    bool ok() const { return m_ok; }
    // Once, after the lock file was found unusable: what to remove; else empty.
    std::string takeProblem();
    const std::string& path() const { return m_path; }
    uint32_t acquire(uint32_t ms);
    // False when this thread does not hold the lock (after a failed acquire).
    bool release();

    // Folder that holds the lock files: $XDG_RUNTIME_DIR when private, else fallback.
    static std::string lockDirectory(const std::string& fallbackDirectory);

private:
    // A descriptor of the lock file, checked; -1 when it cannot be opened,
    // -2 when it is there but not ours to use (then m_shared is off).
    int openLockFile();
    // The in-process part: a flag under a mutex rather than a timed_mutex,
    // whose timed lock the thread sanitizer does not follow.
    bool takeInProcess(std::chrono::steady_clock::time_point deadline, bool unlimited);
    void giveInProcess();

    std::string m_name;
    std::string m_path;
    bool m_ok = false;
    std::mutex m_stateLock;
    std::condition_variable m_freed;
    bool m_heldInProcess = false;
    std::atomic<std::thread::id> m_owner{};
    int m_fd = -1; // descriptor of the current holder, -1 when not held
    std::atomic<bool> m_shared{true}; // false: in-process only
    std::string m_problem;            // guarded by m_stateLock
    bool m_problemTaken = false;
};

} // namespace platform

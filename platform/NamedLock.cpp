#include "platform/NamedLock.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// flock has no timed form: poll it. A few milliseconds keeps the hand-over
// between writers short without spinning.
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(2);

// The holder writes this mark after taking the lock and clears it before
// releasing; finding it set means the last holder died while holding it.
constexpr char HELD_MARK = '1';

bool markSet(int fd)
{
    char mark = 0;
    return pread(fd, &mark, 1, 0) == 1 && mark == HELD_MARK;
}

bool setMark(int fd)
{
    return pwrite(fd, &HELD_MARK, 1, 0) == 1;
}

bool clearMark(int fd)
{
    return ftruncate(fd, 0) == 0;
}

// Returns 0 when taken, EWOULDBLOCK when still held elsewhere, else errno.
int tryFlock(int fd)
{
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EINTR)
            return errno == EWOULDBLOCK ? EWOULDBLOCK : errno;
    }
}

} // namespace

std::string NamedLock::lockDirectory(const std::string& fallbackDirectory)
{
    // Another user who can write the folder could take, fake or redirect the
    // lock: only a folder of this user that nobody else can write will do.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info{};
    if (runtime && *runtime && stat(runtime, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
        (info.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return runtime;
    return fallbackDirectory;
}

NamedLock::NamedLock(std::string name, std::string fallbackDirectory) : m_name(std::move(name))
{
    std::string directory = lockDirectory(fallbackDirectory);
    if (!directory.empty() && directory.back() == '/')
        directory.pop_back();
    m_path = directory + "/" + m_name + "." + std::to_string(getuid()) + ".lock";
    int fd = openLockFile();
    m_ok = fd != -1;
    if (fd >= 0)
        close(fd);
}

NamedLock::~NamedLock()
{
    if (m_fd >= 0)
        close(m_fd);
}

std::string NamedLock::takeProblem()
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (m_problem.empty() || m_problemTaken)
        return {};
    m_problemTaken = true;
    return m_problem;
}

int NamedLock::openLockFile()
{
    if (!m_shared)
        return -2;
    // O_NOFOLLOW: a link planted under our name is refused; O_NONBLOCK: a
    // FIFO does not hold the open. What was opened is then checked itself.
    int fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat info{};
    // Refused but there (a link, or another user's file in a sticky folder):
    // not ours; not there: it cannot be made.
    if (fd < 0 && lstat(m_path.c_str(), &info) != 0)
        return -1;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        info.st_nlink == 1)
        return fd;
    if (fd >= 0)
        close(fd);
    m_shared = false;
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (m_problem.empty())
        m_problem = "The lock file " + m_path +
                    " is not a regular file of this user (another user's file, a link or a FIFO): remove it. "
                    "Until then the diagnostic file is guarded within this program only.";
    return -2;
}

bool NamedLock::takeInProcess(Clock::time_point deadline, bool unlimited)
{
    std::unique_lock<std::mutex> guard(m_stateLock);
    auto isFree = [this] { return !m_heldInProcess; };
    if (unlimited)
        m_freed.wait(guard, isFree);
    else if (!m_freed.wait_until(guard, deadline, isFree))
        return false;
    m_heldInProcess = true;
    return true;
}

void NamedLock::giveInProcess()
{
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_heldInProcess = false;
    }
    m_freed.notify_one();
}

uint32_t NamedLock::acquire(uint32_t ms)
{
    const bool unlimited = ms == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : ms);

    if (!takeInProcess(deadline, unlimited))
        return WAIT_TIMEOUT;

    // A descriptor of its own per acquisition: flock belongs to the open file
    // description, so a shared one would let a second taker through.
    int fd = openLockFile();
    if (fd == -2) {
        // A lock of its own: the in-process part alone.
        m_owner.store(std::this_thread::get_id());
        return WAIT_OBJECT_0;
    }
    if (fd < 0) {
        giveInProcess();
        return WAIT_FAILED;
    }
    for (;;) {
        int error = tryFlock(fd);
        if (error == 0)
            break;
        if (error != EWOULDBLOCK || (!unlimited && Clock::now() >= deadline)) {
            close(fd);
            giveInProcess();
            return error == EWOULDBLOCK ? WAIT_TIMEOUT : WAIT_FAILED;
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }

    const bool abandoned = markSet(fd);
    if (!setMark(fd)) {
        flock(fd, LOCK_UN);
        close(fd);
        giveInProcess();
        return WAIT_FAILED;
    }
    m_fd = fd;
    m_owner.store(std::this_thread::get_id());
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool NamedLock::release()
{
    if (m_owner.load() != std::this_thread::get_id())
        return false;
    if (m_fd >= 0) {
        clearMark(m_fd);
        flock(m_fd, LOCK_UN);
        close(m_fd);
        m_fd = -1;
    }
    m_owner.store(std::thread::id{});
    giveInProcess();
    return true;
}

} // namespace platform

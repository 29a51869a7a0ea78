#include "LinePacer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int BITS_PER_BYTE = 10;

bool makeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool writeAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= size_t(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
    }
    return true;
}

// Sleeps until `until` unless woken through `wakeFd`; false when woken.
bool pauseUntil(int wakeFd, Clock::time_point until)
{
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
        if (left.count() <= 0)
            return true;
        pollfd wake{wakeFd, POLLIN, 0};
        const timespec ts{time_t(left.count() / 1'000'000'000), long(left.count() % 1'000'000'000)};
        if (::ppoll(&wake, 1, &ts, nullptr) > 0)
            return false;
    }
}

// Waits for bytes on fd; false when woken to stop or the descriptor failed.
bool waitReadable(int fd, int wakeFd)
{
    while (true) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || (fds[1].revents & POLLIN))
            return false;
        if (fds[0].revents & POLLIN)
            return true;
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            // The tool's side has no reader just now (between runs): do not spin.
            pollfd wake{wakeFd, POLLIN, 0};
            if (::poll(&wake, 1, 10) > 0)
                return false;
        }
    }
}

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

} // namespace

void LinePacer::noteTurnaround()
{
    // Only the first request after an answer: that gap is the tool's.
    const int64_t answered = m_counters.lastAnswerNs.exchange(0);
    if (answered == 0)
        return;
    const int64_t gap = nowNs() - answered;
    const int bucket = int(std::min<int64_t>(gap / LineCounters::BUCKET_NS, LineCounters::BUCKETS - 1));
    m_counters.turnarounds += 1;
    m_counters.turnaroundNs += uint64_t(gap);
    m_counters.turnaroundBuckets[bucket] += 1;
}

LinePacer::LinePacer(unsigned baud, LineCounters& counters)
    : m_byteTime(std::chrono::nanoseconds(1'000'000'000LL * BITS_PER_BYTE / (baud ? baud : 9600)))
    , m_counters(counters)
{
}

LinePacer::~LinePacer()
{
    if (m_wake[1] >= 0) {
        const char stop = 1;
        (void)!::write(m_wake[1], &stop, 1);
    }
    if (m_requests.joinable())
        m_requests.join();
    if (m_answers.joinable())
        m_answers.join();
    for (int fd : {m_toolMaster, m_toolSlaveHold, m_bus, m_wake[0], m_wake[1]})
        if (fd >= 0)
            ::close(fd);
}

bool LinePacer::start(const std::string& busPath)
{
    if (::pipe2(m_wake, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    m_bus = ::open(busPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_bus < 0 || !makeRaw(m_bus)) {
        m_error = "cannot open the bus terminal " + busPath + ": " + std::strerror(errno);
        return false;
    }
    char name[256] = {};
    if (::openpty(&m_toolMaster, &m_toolSlaveHold, name, nullptr, nullptr) != 0 || !makeRaw(m_toolSlaveHold)) {
        m_error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    m_toolPath = name;
    m_requests = std::thread([this] { carryRequests(); });
    m_answers = std::thread([this] { carryAnswers(); });
    return true;
}

void LinePacer::carryRequests()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0); // wake-ups on time, not 50 us late
    uint8_t chunk[4096];
    Clock::time_point lineFree{};
    while (waitReadable(m_toolMaster, m_wake[0])) {
        const ssize_t n = ::read(m_toolMaster, chunk, sizeof chunk);
        if (n <= 0)
            continue;
        noteTurnaround();
        // The bytes were on the wire from the moment the tool wrote them.
        const Clock::time_point due = std::max(Clock::now(), lineFree) + m_byteTime * n;
        if (!pauseUntil(m_wake[0], due))
            return;
        lineFree = due;
        if (!writeAll(m_bus, chunk, size_t(n)))
            return;
        m_counters.requestBytes += uint64_t(n);
    }
}

void LinePacer::carryAnswers()
{
    uint8_t chunk[4096];
    while (waitReadable(m_bus, m_wake[0])) {
        const ssize_t n = ::read(m_bus, chunk, sizeof chunk);
        if (n <= 0)
            continue;
        m_counters.answerBytes += uint64_t(n);
        if (!writeAll(m_toolMaster, chunk, size_t(n)))
            return;
        m_counters.lastAnswerNs = nowNs();
    }
}

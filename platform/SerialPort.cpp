#include "platform/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

// Optional ioctls that a pseudo-terminal or a simple driver does not know.
bool unsupported(int error)
{
    return error == ENOTTY || error == EINVAL;
}

} // namespace

int SerialDriver::getSerial(int fd, serial_struct& info) const
{
    return ::ioctl(fd, TIOCGSERIAL, &info) == 0 ? 0 : errno;
}

int SerialDriver::setSerial(int fd, const serial_struct& info) const
{
    return ::ioctl(fd, TIOCSSERIAL, &info) == 0 ? 0 : errno;
}

const SerialDriver& SerialDriver::system()
{
    static const SerialDriver kernel;
    return kernel;
}

SerialPort::~SerialPort()
{
    close();
}

bool SerialPort::fail(Status status, const std::string& cause)
{
    m_status = status;
    m_errorText = m_path + ": " + cause;
    return false;
}

bool SerialPort::failErrno(int error, const char* what)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return fail(Status::NoSuchDevice, "no such device");
    case EACCES:
    case EPERM:
        return fail(Status::PermissionDenied,
                    "permission denied (the user must be in the dialout group to use serial ports)");
    case EBUSY:
    case EWOULDBLOCK:
        return fail(Status::InUse, "in use by another program");
    case ENOTTY:
        return fail(Status::NotASerialDevice, "not a serial device");
    default:
        return fail(Status::Failed, std::string(what) + " failed: " + std::strerror(error));
    }
}

bool SerialPort::open(const std::string& path, bool lowLatency)
{
    close();
    m_path = path;
    m_status = Status::Ok;
    m_errorText.clear();

    // O_NONBLOCK: an open must not wait for carrier detect, and reads return
    // at once; writeAll waits for room itself.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return failErrno(errno, "open");

    // flock first: it stops every well-behaved program, root included, which
    // TIOCEXCL does not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return failErrno(err, "flock");
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && !unsupported(errno)) {
        const int err = errno;
        ::close(fd);
        return failErrno(err, "TIOCEXCL");
    }
    if (const int err = serial_line::save(fd, m_saved); err != 0) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return failErrno(err, "reading the line settings");
    }
    m_fd = fd;
    if (lowLatency)
        requestLowLatency();
    return true;
}

// A USB serial adapter collects input for its latency timer (16 ms by
// default) before it hands it over, which the tool would wait for on every
// answer; low latency makes it 1 ms. Optional: a pseudo-terminal answers
// ENOTTY, a driver may refuse it; the port is then used as it is.
void SerialPort::requestLowLatency()
{
    serial_struct info{};
    if (m_driver->getSerial(m_fd, info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0)
        return;
    info.flags |= ASYNC_LOW_LATENCY;
    m_lowLatencySet = m_driver->setSerial(m_fd, info) == 0;
}

void SerialPort::restoreLowLatency()
{
    if (!m_lowLatencySet)
        return;
    m_lowLatencySet = false;
    serial_struct info{};
    // Fails after a hang-up: nothing to put back then.
    if (m_driver->getSerial(m_fd, info) != 0 || (info.flags & ASYNC_LOW_LATENCY) == 0)
        return;
    info.flags &= ~ASYNC_LOW_LATENCY;
    m_driver->setSerial(m_fd, info);
}

bool SerialPort::configure(uint32_t baud, uint32_t stopBits)
{
    if (m_fd < 0)
        return fail(Status::Failed, "not open");
    if (baud == 0)
        return fail(Status::SettingsRejected, "baud rate 0 not supported");
    if (stopBits != 1 && stopBits != 2)
        return fail(Status::SettingsRejected, std::to_string(stopBits) + " stop bits not supported");
    std::string mismatch;
    const int err = serial_line::apply(m_fd, baud, stopBits, mismatch);
    if (err == 0) {
        // Whatever waits on the line now (noise, an adapter's power-up bytes,
        // a late answer to an earlier program) would be taken as the start
        // of the first answer. Bytes still arriving are the answer's problem.
        if (::tcflush(m_fd, TCIFLUSH) != 0 && !unsupported(errno))
            return failErrno(errno, "discarding pending input");
        return true;
    }
    if (!mismatch.empty())
        return fail(Status::SettingsRejected, "line settings not accepted: " + mismatch);
    return failErrno(err, "setting the line");
}

long SerialPort::read(uint8_t* buffer, size_t size, std::string* why) const
{
    auto failed = [why](const std::string& cause) {
        if (why)
            *why = cause;
        return -1L;
    };
    if (m_fd < 0)
        return failed("not open");
    // Read first: when bytes are there, that is the only call.
    if (size > 0) {
        ssize_t n;
        do {
            n = ::read(m_fd, buffer, size);
        } while (n < 0 && errno == EINTR);
        if (n > 0)
            return static_cast<long>(n);
        if (n < 0 && errno != EAGAIN)
            return failed(std::string("read failed: ") + std::strerror(errno));
    }
    pollfd pfd{m_fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&pfd, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return failed(std::string("poll failed: ") + std::strerror(errno));
    // A read of 0 bytes alone is no hang-up (a pty reads 0 after its far end
    // closed, and so does an idle line); the poll flags decide. Bytes still
    // queued were delivered above first.
    if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return failed("the line hung up");
    return 0;
}

long SerialPort::bytesWaiting() const
{
    int count = 0;
    if (m_fd < 0 || ::ioctl(m_fd, FIONREAD, &count) != 0)
        return -1;
    return count;
}

bool SerialPort::writeAll(const uint8_t* data, size_t count, std::string* why, int timeLimitMs) const
{
    auto failed = [why](const std::string& cause) {
        if (why)
            *why = cause;
        return false;
    };
    if (m_fd < 0)
        return failed("not open");
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeLimitMs, 0));
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return failed(std::string("write failed: ") + std::strerror(errno));
        // The driver's buffer is full: wait for room, until the limit. A
        // hang-up wakes the poll and the next write reports it.
        int waitMs = -1;
        if (timeLimitMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                // Queued output would keep the line busy, and a close wait
                // for it to drain.
                ::tcflush(m_fd, TCOFLUSH);
                return failed("write timed out: the line takes no more output");
            }
            waitMs = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        pollfd pfd{m_fd, POLLOUT, 0};
        if (::poll(&pfd, 1, waitMs) < 0 && errno != EINTR)
            return failed(std::string("poll failed: ") + std::strerror(errno));
        if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (pfd.revents & POLLOUT) == 0)
            return failed("the line hung up");
    }
    return true;
}

bool SerialPort::close()
{
    if (m_fd < 0)
        return true;
    restoreLowLatency();
    serial_line::restore(m_fd, m_saved); // fails after a hang-up: nothing to restore then
    // On a pseudo-terminal whose other side stays open the exclusive flag
    // outlives this close and would lock out every later ordinary user.
    ::ioctl(m_fd, TIOCNXCL);
    const int fd = m_fd;
    m_fd = -1;
    m_saved.valid = false;
    if (::close(fd) != 0 && errno != EINTR) {
        fail(Status::Failed, std::string("close failed: ") + std::strerror(errno));
        return false;
    }
    return true;
}

bool SerialPort::probe(const std::string& path, std::string* reason, Status* status)
{
    SerialPort port;
    const bool ok = port.open(path, /*lowLatency=*/false) && port.close();
    if (reason)
        *reason = ok ? std::string() : port.errorText();
    if (status)
        *status = ok ? Status::Ok : port.status();
    return ok;
}

} // namespace platform

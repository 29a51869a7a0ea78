#pragma once
// The tool's end of the simulator's line, kept minimal: raw, non-blocking,
// every wait bounded by a deadline.
#include "unit/sim/SimTestSupport.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace simtest {

class LinePort {
public:
    explicit LinePort(const std::string& path, speed_t baud = B115200)
    {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, baud);
        ::cfsetospeed(&tio, baud);
        ::tcsetattr(m_fd, TCSANOW, &tio);
        ::tcflush(m_fd, TCIOFLUSH);
    }
    ~LinePort()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LinePort(const LinePort&) = delete;
    LinePort& operator=(const LinePort&) = delete;

    bool isOpen() const { return m_fd >= 0; }

    bool write(const Bytes& bytes)
    {
        return ::write(m_fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }

    // Reads until `count` bytes came or the deadline passed.
    Bytes read(std::size_t count, std::chrono::milliseconds within)
    {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0)
                continue;
            if (p.revents & (POLLHUP | POLLERR)) {
                m_hungUp = true;
                break;
            }
            uint8_t buffer[256];
            const ssize_t n = ::read(m_fd, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    // Request, then the answer of the expected size (or what came before the deadline).
    Bytes exchange(const Bytes& request, std::size_t answerSize,
                   std::chrono::milliseconds within = std::chrono::milliseconds(3000))
    {
        if (!write(request))
            return {};
        return read(answerSize, within);
    }

    // Waits for the far end to go away: POLLHUP, or a read failing with EIO.
    bool waitHangUp(std::chrono::milliseconds within)
    {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (!m_hungUp && std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 0};
            ::poll(&p, 1, 50);
            if (p.revents & (POLLHUP | POLLERR))
                m_hungUp = true;
            uint8_t b;
            if (::read(m_fd, &b, 1) < 0 && errno == EIO)
                m_hungUp = true;
        }
        return m_hungUp;
    }

private:
    int m_fd = -1;
    bool m_hungUp = false;
};

} // namespace simtest

#include "integration/comm/Pty.h"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

Pty::Pty()
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_device = name;
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    // Ordinary users must be able to open it for the non-root tests.
    chmod(m_device.c_str(), 0666);
    std::filesystem::create_directories(m_data / "ports");
    std::filesystem::create_symlink(m_device, m_data / ("ports/COM" + std::to_string(PTY_PORT)));
}

Pty::~Pty()
{
    closeSlave();
    closeMaster();
}

void Pty::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void Pty::closeSlave()
{
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}

std::vector<uint8_t> Pty::readExactly(size_t n, std::chrono::milliseconds timeout)
{
    std::vector<uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd pfd{m_master, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buffer[4096];
        const ssize_t r = ::read(m_master, buffer, std::min(sizeof buffer, n - got.size()));
        if (r > 0)
            got.insert(got.end(), buffer, buffer + r);
        else if (r < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return got;
}

std::vector<uint8_t> Pty::readFor(std::chrono::milliseconds timeout)
{
    std::vector<uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return got;
        pollfd pfd{m_master, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buffer[4096];
        const ssize_t r = ::read(m_master, buffer, sizeof buffer);
        if (r > 0)
            got.insert(got.end(), buffer, buffer + r);
        else if (r < 0 && errno != EAGAIN && errno != EINTR)
            return got;
    }
}

bool Pty::send(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (w > 0)
            done += static_cast<size_t>(w);
        else if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        else {
            pollfd pfd{m_master, POLLOUT, 0};
            poll(&pfd, 1, 100);
        }
    }
    return true;
}

int runInChild(const std::function<int()>& fn)
{
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        _exit(fn());
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool dropToNobody()
{
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

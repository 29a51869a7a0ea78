#pragma once
// rs485-devsim as a child process of a test, its standard output read line by
// line. The including target defines DEVSIM_PATH.
#include <chrono>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;

class Devsim {
public:
    explicit Devsim(std::vector<std::string> args)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv{const_cast<char*>(DEVSIM_PATH)};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(DEVSIM_PATH, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        m_out = out[0];
    }
    ~Devsim()
    {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
    }

    // The next line of output, empty when none came before the deadline.
    std::string line(std::chrono::milliseconds within = 5000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (true) {
            if (const auto nl = m_buffer.find('\n'); nl != std::string::npos) {
                std::string text = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return text;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{m_out, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                return {};
            char chunk[512];
            const ssize_t n = ::read(m_out, chunk, sizeof chunk);
            if (n <= 0)
                return {};
            m_buffer.append(chunk, std::size_t(n));
        }
    }

    // "pty: <path>" is the first line: the simulator is ready.
    std::string ptyPath()
    {
        const std::string first = line();
        return first.starts_with("pty: ") ? first.substr(5) : std::string();
    }

    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;

    void signal(int sig) { ::kill(m_pid, sig); }

    // Killed at once, as a crash or a pulled plug would end it.
    void kill()
    {
        if (m_pid <= 0 || m_exited)
            return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_exited = true;
    }

    // Exit code once the process ended within the deadline, else -1.
    int waitExit(std::chrono::milliseconds within = 5000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            // The child's end closes its output: wait on that rather than spin.
            pollfd p{m_out, POLLIN, 0};
            ::poll(&p, 1, 20);
            if (p.revents & POLLIN) {
                char chunk[512];
                const ssize_t n = ::read(m_out, chunk, sizeof chunk);
                if (n > 0)
                    m_buffer.append(chunk, std::size_t(n));
            }
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    bool m_exited = false;
    std::string m_buffer;
};

} // namespace simtest

// rs485-devsim as a user starts it: its pty line, the COM link, the signals.
#include "LinePort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

using namespace simtest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const Bytes DIRECT_READ = hexBytes("55 10 06 04 00 04 01 E3 57");
const Bytes DIRECT_ANSWER = hexBytes("10 55 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 A9");

// The simulator as a child process, its standard output read line by line.
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

    void signal(int sig) { ::kill(m_pid, sig); }

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

fs::path freshDirectory(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / (name + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(Devsim, ServesTheBusOnItsPtyAndEndsOnSigterm)
{
    Devsim sim({"--device", "55:1.2:2.5"});
    const std::string path = sim.ptyPath();
    ASSERT_TRUE(path.starts_with("/dev/pts/")) << path;
    {
        LinePort port(path);
        ASSERT_TRUE(port.isOpen());
        EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitExit(), 0);
}

TEST(Devsim, LinkNamesThePortAndGoesAwayOnSigint)
{
    const fs::path dir = freshDirectory("devsim_link");
    Devsim sim({"--link", "COM1", "--data-dir", dir.string(), "--device", "55:1.2:2.5"});
    const std::string path = sim.ptyPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(sim.line(), "link: " + (dir / "ports" / "COM1").string());
    const fs::path link = dir / "ports" / "COM1";
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), path);
    {
        LinePort port(link.string());
        EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    }
    sim.signal(SIGINT);
    EXPECT_EQ(sim.waitExit(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    fs::remove_all(dir);
}

TEST(Devsim, StaleLinkIsReplacedAndAForeignFileKept)
{
    const fs::path dir = freshDirectory("devsim_stale");
    fs::create_directories(dir / "ports");
    fs::create_symlink("/dev/pts/9999", dir / "ports" / "COM2");
    {
        Devsim sim({"--link", "COM2", "--data-dir", dir.string(), "--device", "55:1.2:2.5"});
        const std::string path = sim.ptyPath();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(fs::read_symlink(dir / "ports" / "COM2"), path);
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.waitExit(), 0);
    }
    { std::ofstream(dir / "ports" / "COM3") << "mine"; }
    Devsim refused({"--link", "COM3", "--data-dir", dir.string(), "--device", "55:1.2:2.5"});
    EXPECT_EQ(refused.waitExit(), 1);
    EXPECT_TRUE(fs::is_regular_file(dir / "ports" / "COM3"));
    fs::remove_all(dir);
}

TEST(Devsim, TraceShowsEveryFrame)
{
    Devsim sim({"--trace", "--device", "55:1.2:2.5"});
    LinePort port(sim.ptyPath());
    EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    EXPECT_EQ(sim.line(), "-> 55 10 06 04 00 04 01 E3 57");
    EXPECT_EQ(sim.line(), "<- 10 55 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 A9");
}

TEST(Devsim, RoutedBusFromTheCommandLine)
{
    Devsim sim({"--device", "55:9.9:9.9", "--device", "33:1.2:2.5", "--router", "55:1=33",
                "--fault", "33:noanswer@req2"});
    LinePort port(sim.ptyPath());
    const Bytes read = hexBytes("55 10 0E C1 FF 09 33 55 06 04 00 04 01 E3 7A E3 13");
    EXPECT_EQ(port.exchange(read, 24).size(), 24u);
    EXPECT_TRUE(port.exchange(read, 24, 300ms).empty()) << "request 2 of 0x33 is lost";
    EXPECT_EQ(port.exchange(read, 24).size(), 24u);
}

TEST(Devsim, ClosingLineFaultEndsTheSimulator)
{
    Devsim sim({"--device", "55:1.2:2.5", "--fault", "55:closeline@req1"});
    LinePort port(sim.ptyPath());
    port.write(DIRECT_READ);
    EXPECT_TRUE(port.waitHangUp(3000ms));
    EXPECT_EQ(sim.waitExit(), 0);
    EXPECT_EQ(sim.line(), "line closed");
}

TEST(Devsim, HelpAndBadOptions)
{
    Devsim help({"--help"});
    EXPECT_TRUE(help.line().starts_with("rs485-devsim"));
    EXPECT_EQ(help.waitExit(), 0);
    Devsim bad({"--device", "55:18.4"});
    EXPECT_EQ(bad.waitExit(), 2);
    EXPECT_TRUE(bad.line(200ms).empty()) << "nothing on standard output";
}

} // namespace

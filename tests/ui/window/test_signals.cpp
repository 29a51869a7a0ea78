// The window program under SIGINT and SIGTERM: it closes as its close button
// does and leaves normally, instead of being killed by the signal.
#include "tests/ui/window/UiTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifdef UPGRADER_PROGRAM
namespace {

using Clock = std::chrono::steady_clock;

// The program is ready for the signal once it catches it (SigCgt in /proc):
// before that, the signal's default would end it and prove nothing.
bool catches(pid_t pid, int sig)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1U;
    }
    return false;
}

template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class StopSignalRows : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalRows, ClosesTheWindowAndExitsNormally)
{
    const int sig = GetParam();
    const std::string home = uitest::homeDirectory();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(UPGRADER_PROGRAM, UPGRADER_PROGRAM, "-NoLogFile", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    const auto ended = [&] { return ::waitpid(pid, &status, WNOHANG) == pid; };
    const bool ready = waitFor([&] { return catches(pid, sig); }, std::chrono::seconds(30));
    if (ready)
        ::kill(pid, sig);
    const bool exited = ready && waitFor(ended, std::chrono::seconds(10));
    if (!exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ready) << "the window program never caught signal " << sig;
    ASSERT_TRUE(exited) << "the window did not close within 10 s of signal " << sig;
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Window, StopSignalRows, ::testing::Values(SIGINT, SIGTERM),
    [](const auto& info) { return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM"); });

} // namespace
#endif

#pragma once
// Helpers for the platform tests: waiting on conditions with deadlines, and
// knowing that another thread has gone to sleep inside a wait.
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <sys/syscall.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

namespace platformtest {

using Clock = std::chrono::steady_clock;

// Polls cond until it holds or the deadline passes; returns cond().
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds deadline = std::chrono::milliseconds(5000))
{
    const auto end = Clock::now() + deadline;
    while (!cond()) {
        if (Clock::now() >= end)
            return cond();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

inline pid_t currentTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// True while the kernel reports the thread as sleeping ('S'). The threads
// watched here do nothing between publishing their id and entering the wait
// under test, so a sleeping thread is blocked in that wait.
inline bool isSleeping(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

inline bool waitUntilSleeping(const std::atomic<pid_t>& tid)
{
    return eventually([&] { return tid.load() != 0 && isSleeping(tid.load()); });
}

} // namespace platformtest

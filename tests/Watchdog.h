#pragma once
// A guard for tests that could hang: two threads waiting for each other never
// return to the test, so no assertion can report them. When the guard is
// still armed at its deadline it prints every thread of the process (name,
// state, where it sleeps in the kernel) and ends the process with a failure,
// instead of leaving CTest to kill it much later without a word.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace testwatch {

inline std::string firstLine(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// One line per thread: id, name, state and kernel wait channel.
inline std::string threadsState()
{
    std::ostringstream out;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        const std::string stat = firstLine(task.path() / "stat");
        // "tid (name) S ...": the state follows the closing parenthesis.
        const auto close = stat.rfind(')');
        const char state = close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
        out << "  thread " << task.path().filename().string() << " \"" << firstLine(task.path() / "comm")
            << "\" state " << state << " in " << firstLine(task.path() / "wchan") << "\n";
    }
    return out.str();
}

class Watchdog {
public:
    // last: what must end under the guard too when the test returns early
    // (a failed assertion), for example destroying what could hang.
    Watchdog(std::string what, std::chrono::milliseconds deadline, std::function<void()> last = {})
        : m_what(std::move(what)), m_last(std::move(last))
    {
        m_thread = std::thread([this, deadline] {
            std::unique_lock<std::mutex> guard(m_lock);
            m_tid = gettid();
            if (m_cond.wait_for(guard, deadline, [this] { return m_disarmed; }))
                return;
            std::fprintf(stderr, "Watchdog: %s did not end within %lld ms; threads:\n%s", m_what.c_str(),
                         static_cast<long long>(deadline.count()), threadsState().c_str());
            std::fflush(stderr);
            std::_Exit(EXIT_FAILURE);
        });
    }
    ~Watchdog()
    {
        if (m_last)
            m_last();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_disarmed = true;
        }
        m_cond.notify_all();
        m_thread.join();
        // A joined thread can stay listed for a moment: tests that count the
        // threads of the process must not see this one.
        const std::string entry = "/proc/self/task/" + std::to_string(m_tid);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (m_tid != 0 && std::filesystem::exists(entry) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string m_what;
    std::function<void()> m_last;
    std::mutex m_lock;
    std::condition_variable m_cond;
    bool m_disarmed = false;
    pid_t m_tid = 0; // set under m_lock, read after the join
    std::thread m_thread;
};

} // namespace testwatch

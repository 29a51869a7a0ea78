// Round trip of one request through the command manager over a
// pseudo-terminal whose far end answers at once, and the CPU time that an
// open, idle port costs. Prints figures; asserts nothing.
#include "comm/RSComManager.h"
#include "diagnostics/Globalfunctions.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t REQUEST_LENGTH = 89;
constexpr size_t ANSWER_LENGTH = 13;
constexpr int EXCHANGES = 2000;
constexpr int WARM_UP = 20;
constexpr int PORT = 1;

using Clock = std::chrono::steady_clock;

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Answers every complete request at once with ANSWER_LENGTH bytes.
class FarEnd {
public:
    explicit FarEnd(int master) : m_master(master), m_thread([this] { run(); }) {}
    ~FarEnd()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void run()
    {
        std::vector<uint8_t> answer(ANSWER_LENGTH, 0x5A);
        size_t pending = 0;
        while (!m_stop) {
            pollfd pfd{m_master, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0)
                continue;
            uint8_t buffer[512];
            const ssize_t n = read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            pending += static_cast<size_t>(n);
            while (pending >= REQUEST_LENGTH) {
                pending -= REQUEST_LENGTH;
                if (write(m_master, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size()))
                    std::fprintf(stderr, "far end: short write\n");
            }
        }
    }

    int m_master;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Waiter {
    std::mutex lock;
    std::condition_variable changed;
    int handed = 0;
    int complete = 0;

    static void callback(void* owner, KWOCRSCommand* command)
    {
        auto* self = static_cast<Waiter*>(owner);
        {
            std::lock_guard guard(self->lock);
            ++self->handed;
            self->complete += command->m_MatchedResponse == 0;
        }
        self->changed.notify_all();
    }
    bool waitFor(int n)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return handed >= n; });
    }
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    return values[index];
}

// CPU milliseconds per second of wall time, measured over seconds.
double idleCpu(double seconds)
{
    const double cpu0 = cpuSeconds();
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    return (cpuSeconds() - cpu0) * 1000.0 / wall;
}

} // namespace

int main()
{
    configureLog(0, 0, false, false, "rs485-bench-serial"); // no traces: they would be measured too
    configureErrors(LOG_TO_CONSOLE, "", "rs485-bench-serial");

    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    char dirTemplate[] = "/tmp/rs485-bench-XXXXXX";
    const std::string data = mkdtemp(dirTemplate);
    std::filesystem::create_directories(data + "/ports");
    std::filesystem::create_symlink(name, data + "/ports/COM" + std::to_string(PORT));

    Waiter waiter;
    bool error = true;
    std::printf("rs485-bench-serial: %zu-byte request, %zu-byte answer, pty far end answering at once\n",
                REQUEST_LENGTH, ANSWER_LENGTH);
    const double closedCpu = idleCpu(1.0);
    {
        KWOCRSComManager manager(10, 150, 150, &waiter, &Waiter::callback, 5000, &error, false,
                                 platform::PortMap(data));
        FarEnd farEnd(master);
        if (error || !manager.openCom(PORT, 115200, 2, 1)) {
            std::fprintf(stderr, "could not open the pty\n");
            return 1;
        }
        std::vector<uint8_t> bytes(REQUEST_LENGTH);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i);
        KWOCExpectedResponse response;
        response.setExactLength(ANSWER_LENGTH);
        KWOCRSCommand command(bytes.data(), REQUEST_LENGTH, 150, &response, 1, &error);

        std::vector<double> roundTrips;
        roundTrips.reserve(EXCHANGES);
        const double cpu0 = cpuSeconds();
        const auto wall0 = Clock::now();
        for (int i = 0; i < WARM_UP + EXCHANGES; ++i) {
            const auto t0 = Clock::now();
            if (manager.addCommand(&command) < 0 || !waiter.waitFor(i + 1)) {
                std::fprintf(stderr, "exchange %d failed\n", i);
                return 1;
            }
            if (i >= WARM_UP)
                roundTrips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        const double busyWall = std::chrono::duration<double>(Clock::now() - wall0).count();
        const double busyCpu = cpuSeconds() - cpu0;

        std::printf("round trip over %d exchanges (read period 2 ms): median %.3f ms, p99 %.3f ms, min %.3f ms, max "
                    "%.3f ms\n",
                    EXCHANGES, percentile(roundTrips, 0.5), percentile(roundTrips, 0.99),
                    percentile(roundTrips, 0.0), percentile(roundTrips, 1.0));
        std::printf("answers matched: %d of %d; %.0f exchanges/s; CPU while exchanging: %.1f ms per second\n",
                    waiter.complete, WARM_UP + EXCHANGES, (WARM_UP + EXCHANGES) / busyWall,
                    busyCpu * 1000.0 / busyWall);
        const double idle = idleCpu(3.0);
        std::printf("CPU of an open idle port, read period 2 ms: %.2f ms per second (%.2f %% of a core)\n", idle,
                    idle / 10.0);
    }
    {
        KWOCRSComManager manager(10, 150, 150, &waiter, &Waiter::callback, 5000, &error, false,
                                 platform::PortMap(data));
        if (!manager.openCom(PORT, 115200, 10, 1))
            return 1;
        std::printf("CPU of an open idle port, read period 10 ms: %.2f ms per second\n", idleCpu(3.0));
    }
    std::printf("CPU with no port open: %.2f ms per second\n", closedCpu);
    close(slave);
    close(master);
    std::filesystem::remove_all(data);
    return 0;
}

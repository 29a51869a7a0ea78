#pragma once
// SIGINT, SIGTERM and SIGHUP of rs485-upgrade: taken on a thread of their
// own, so that the run stops, the port is closed and the outcome is written
// instead of the program dying mid-transfer.
#include <atomic>
#include <thread>

namespace cli {

class Interrupts {
public:
    // Blocks the three signals in the calling thread, before it starts any
    // other: every thread started later inherits the mask, so only the
    // watching thread takes them.
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool ok() const { return m_signalFd >= 0 && m_stopFd >= 0; }
    // The first signal taken, 0 while none. A second one ends the program at
    // once with its own exit code: closing may be what hangs.
    const std::atomic<int>& signal() const { return m_signal; }
    static int exitCode(int signal) { return 128 + signal; }

private:
    void watch();

    int m_signalFd = -1;
    int m_stopFd = -1;
    std::atomic<int> m_signal{0};
    std::thread m_thread;
};

} // namespace cli

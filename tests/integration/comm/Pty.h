#pragma once
// A pseudo-terminal whose far end (the master) the test plays, and a port map
// in a temporary data directory that pins COM3 to its device.
#include "platform/PortMap.h"
#include "unit/comm/TempDir.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <vector>

constexpr int PTY_PORT = 3;

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return m_master >= 0; }
    const std::string& device() const { return m_device; }
    int master() const { return m_master; }
    int slave() const { return m_slave; }
    platform::PortMap portMap() const { return platform::PortMap(m_data.path()); }

    // Far end: what the port wrote, and bytes for the port to read.
    std::vector<uint8_t> readExactly(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Everything that arrives within timeout (used to show that nothing came).
    std::vector<uint8_t> readFor(std::chrono::milliseconds timeout);
    bool send(const std::vector<uint8_t>& bytes);
    // Ends the far end: the port sees a hang-up.
    void closeMaster();
    void closeSlave();

private:
    TempDir m_data;
    int m_master = -1;
    int m_slave = -1;
    std::string m_device;
};

// Runs fn in a child process and returns its exit code (-1 when it did not
// end normally). fn must only use what is safe after fork in a threaded
// process: plain system calls.
int runInChild(const std::function<int()>& fn);

// Waits until pred is true, at most timeout.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Drops to user and group nobody (65534) in a child; false on failure.
bool dropToNobody();

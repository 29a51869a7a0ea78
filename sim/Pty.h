#pragma once
#include <string>

namespace sim {

// A pseudo-terminal pair in raw mode. The simulator owns the master side; the
// tool opens the slave by its path.
//
// The simulator also keeps one descriptor of the slave open for its whole
// life. Without it, every time the tool closes the port the master reads
// fail with EIO and poll() reports POLLHUP without end (a busy loop until
// the tool opens again), and the slave's raw settings would depend on who
// opened it last. The price: bytes sent while the tool has the port closed
// wait in the slave's input queue, so the tool should flush input when it
// opens the port (which a serial layer does anyway).
class Pty {
public:
    Pty() = default;
    ~Pty() { close(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Opens a new pair; false with a description in `error` on failure.
    bool open(std::string& error);
    void close();
    bool isOpen() const { return m_master >= 0; }
    int master() const { return m_master; }
    const std::string& slavePath() const { return m_slavePath; }
    // The baud rate the tool set on the slave (pseudo-terminals keep it without
    // acting on it); 0 when unknown.
    unsigned lineBaudRate() const;
    // Bytes in the slave's input queue, not yet read by the tool.
    int pendingInput() const;

private:
    int m_master = -1;
    int m_slaveHold = -1;
    std::string m_slavePath;
};

// Reads the baud rate of a terminal, standard or custom (termios2); 0 when unknown.
// Lives in a source file of its own: <asm/termbits.h> clashes with <termios.h>.
unsigned terminalBaudRate(int fd);

} // namespace sim

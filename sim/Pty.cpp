#include "sim/Pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

bool Pty::open(std::string& error)
{
    close();
    auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        close();
        return false;
    };
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return fail("posix_openpt");
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return fail("unlockpt");
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0)
        return fail("ptsname_r");
    m_slavePath = name;
    m_slaveHold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slaveHold < 0)
        return fail("open slave");
    // Raw before the tool ever opens it: no echo of requests back to the
    // simulator, no CR/LF translation of answer bytes.
    termios tio{};
    if (::tcgetattr(m_slaveHold, &tio) != 0)
        return fail("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(m_slaveHold, TCSANOW, &tio) != 0)
        return fail("tcsetattr");
    const int flags = ::fcntl(m_master, F_GETFL);
    if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("fcntl");
    return true;
}

void Pty::close()
{
    // Closing the master hangs up the slave: the tool sees POLLHUP / EIO.
    if (m_slaveHold >= 0)
        ::close(m_slaveHold);
    if (m_master >= 0)
        ::close(m_master);
    m_slaveHold = m_master = -1;
}

unsigned Pty::lineBaudRate() const
{
    // The master's terminal ioctls act on the slave's settings.
    return m_master >= 0 ? terminalBaudRate(m_master) : 0;
}

int Pty::pendingInput() const
{
    int count = 0;
    return m_slaveHold >= 0 && ::ioctl(m_slaveHold, FIONREAD, &count) == 0 ? count : 0;
}

} // namespace sim

// termios2 lives here alone: <asm/termbits.h> redefines what <termios.h>
// declares, and only termios2 with BOTHER sets a baud rate that has no
// standard constant (1000 baud for the wake-up burst, for example).
#include "platform/SerialPort.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/ioctl.h>

namespace platform::serial_line {

static_assert(sizeof(struct termios2) <= sizeof(SerialPort::SavedLine::bytes));

namespace {

struct StandardSpeed {
    uint32_t baud;
    tcflag_t code;
};

// The standard constants, so that drivers without BOTHER support still get
// the usual rates.
constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},         {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},       {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},     {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t speedCode(uint32_t baud)
{
    for (const auto& s : kStandardSpeeds)
        if (s.baud == baud)
            return s.code;
    return BOTHER;
}

int getLine(int fd, struct termios2& tio)
{
    return ioctl(fd, TCGETS2, &tio) == 0 ? 0 : errno;
}

// A UART divides its clock: a driver may round a custom rate. Within 2 % the
// far end still reads every byte.
bool speedClose(speed_t actual, uint32_t wanted)
{
    const uint64_t diff = actual > wanted ? actual - wanted : wanted - actual;
    return diff * 50 <= wanted;
}

} // namespace

int save(int fd, SerialPort::SavedLine& saved)
{
    struct termios2 tio {};
    if (const int err = getLine(fd, tio); err != 0) {
        saved.valid = false;
        return err;
    }
    std::memcpy(saved.bytes.data(), &tio, sizeof tio);
    saved.valid = true;
    return 0;
}

int restore(int fd, const SerialPort::SavedLine& saved)
{
    if (!saved.valid)
        return 0;
    struct termios2 tio {};
    std::memcpy(&tio, saved.bytes.data(), sizeof tio);
    return ioctl(fd, TCSETS2, &tio) == 0 ? 0 : errno;
}

int apply(int fd, uint32_t baud, uint32_t stopBits, std::string& mismatch)
{
    struct termios2 tio {};
    if (const int err = getLine(fd, tio); err != 0)
        return err;

    // Raw: no echo, no line editing, no signals, no translation of CR/LF,
    // no software or hardware flow control; modem lines ignored (CLOCAL)
    // so that an adapter without DCD still reads.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    if (stopBits == 2)
        tio.c_cflag |= CSTOPB;
    // Reads return at once with what is there.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    const tcflag_t code = speedCode(baud);
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT)); // input speed follows output speed
    tio.c_cflag |= code;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;

    if (ioctl(fd, TCSETS2, &tio) != 0)
        return errno;

    struct termios2 back {};
    if (const int err = getLine(fd, back); err != 0)
        return err;
    if ((back.c_cflag & CSIZE) != CS8)
        mismatch = "8 data bits not accepted";
    else if ((back.c_cflag & PARENB) != 0)
        mismatch = "parity could not be switched off";
    else if (((back.c_cflag & CSTOPB) != 0) != (stopBits == 2))
        mismatch = std::to_string(stopBits) + " stop bits not accepted";
    else if ((back.c_lflag & ICANON) != 0 || back.c_cc[VMIN] != 0 || back.c_cc[VTIME] != 0)
        mismatch = "raw mode not accepted";
    else if (!speedClose(back.c_ospeed, baud))
        mismatch = "baud rate " + std::to_string(baud) + " not accepted (driver uses " +
                   std::to_string(back.c_ospeed) + ")";
    return mismatch.empty() ? 0 : EIO;
}

} // namespace platform::serial_line

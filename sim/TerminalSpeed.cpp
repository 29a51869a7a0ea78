// termios2 comes from <asm/termbits.h>, which cannot share a file with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace sim {

unsigned terminalBaudRate(int fd)
{
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

} // namespace sim

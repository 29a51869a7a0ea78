#include "platform/StandardDescriptors.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

bool secureStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free number: this one, as the lower ones are open.
        const int opened = open("/dev/null", O_RDWR);
        if (opened < 0)
            return false;
        if (opened != fd) {
            close(opened);
            return false;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace platform

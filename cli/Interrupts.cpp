#include "cli/Interrupts.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace cli {
namespace {

sigset_t interruptSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

Interrupts::Interrupts()
{
    const sigset_t set = interruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    m_stopFd = eventfd(0, EFD_CLOEXEC);
    if (ok())
        m_thread = std::thread([this] { watch(); });
}

Interrupts::~Interrupts()
{
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        while (write(m_stopFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        // Bounded: the watching thread waits only for a signal or this stop,
        // never for the thread that ends it.
        m_thread.join();
    }
    if (m_signalFd >= 0)
        close(m_signalFd);
    if (m_stopFd >= 0)
        close(m_stopFd);
}

void Interrupts::watch()
{
    for (;;) {
        pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        // Without limit, but nothing waits on this thread except the owner's
        // destructor, which wakes it through the stop descriptor first.
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        signalfd_siginfo info{};
        if (read(m_signalFd, &info, sizeof info) != ssize_t(sizeof info))
            continue;
        const int taken = int(info.ssi_signo);
        int none = 0;
        if (!m_signal.compare_exchange_strong(none, taken))
            _exit(exitCode(taken));
    }
}

} // namespace cli

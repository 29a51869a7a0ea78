#include "ui/StopSignals.h"

#include "ui/Mainform.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A signal handler has no context but a global: the write end of the pipe that
// wakes the message loop. Only write() and sigaction() run in the handler.
std::atomic<int> g_wakeFd{-1};

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM};

void setHandler(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : STOP_SIGNALS)
        ::sigaction(sig, &action, nullptr);
}

void onStopSignal(int sig)
{
    const int saved = errno;
    const int fd = g_wakeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(sig);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    // A second signal while the window closes ends the program at once:
    // closing may be what hangs.
    setHandler(SIG_DFL);
    errno = saved;
}

} // namespace

StopSignals::StopSignals(TFormMain* window)
    : QObject(window)
    , m_window(window)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // the signals keep their default: the program ends as before
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::onSignal);
    g_wakeFd.store(m_pipe[1]);
    setHandler(onStopSignal);
}

StopSignals::~StopSignals()
{
    if (m_pipe[1] < 0)
        return;
    setHandler(SIG_DFL);
    g_wakeFd.store(-1);
    delete m_notifier;
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void StopSignals::onSignal()
{
    unsigned char byte = 0;
    while (::read(m_pipe[0], &byte, 1) > 0) {
    }
    m_window->closeWithoutAsking();
}

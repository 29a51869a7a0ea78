#include "sim/SimulatedBus.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr unsigned DEFAULT_PACE_BAUD = 9600;
constexpr int BITS_PER_BYTE = 10; // start, 8 data, stop
constexpr auto WRITE_GIVE_UP = std::chrono::seconds(1); // tool not reading
constexpr auto WAIT_SLICE = std::chrono::milliseconds(10);
// Even an idle line is looked at this often, so that a stall of the
// thread shows as a late return.
constexpr int IDLE_SLICE_MS = 50;

timespec toTimespec(Clock::duration d)
{
    if (d < Clock::duration::zero())
        d = Clock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
}

// Sleeps until the deadline unless asked to stop; false when asked to stop.
bool pauseUntil(int wakeFd, Clock::time_point until)
{
    while (true) {
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        pollfd wake{wakeFd, POLLIN, 0};
        const timespec ts = toTimespec(left);
        const int r = ::ppoll(&wake, 1, &ts, nullptr);
        if (r > 0)
            return false;
        if (r < 0 && errno != EINTR)
            return true;
    }
}

} // namespace

SimulatedBus::SimulatedBus(BusOptions options)
    : m_options(options)
    , m_bus(std::chrono::duration_cast<Clock::duration>(options.restartTime * options.timeScale))
{
}

SimulatedBus::~SimulatedBus()
{
    stop();
}

Device& SimulatedBus::addDevice(const DeviceConfig& config)
{
    std::lock_guard lock(m_lock);
    return m_bus.addDevice(config);
}

bool SimulatedBus::addDevice(const DeviceConfig& config, uint8_t router, uint8_t iface)
{
    std::lock_guard lock(m_lock);
    return m_bus.addDevice(config, router, iface) != nullptr;
}

bool SimulatedBus::addFault(uint8_t address, const Fault& fault)
{
    std::lock_guard lock(m_lock);
    Device* d = m_bus.device(address);
    if (d)
        d->addFault(fault);
    return d != nullptr;
}

void SimulatedBus::setTrace(TraceFunction trace)
{
    std::lock_guard lock(m_lock);
    m_bus.setTrace(std::move(trace));
}

bool SimulatedBus::start()
{
    if (m_thread.joinable())
        return true;
    if (!m_pty.open(m_error))
        return false;
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        m_pty.close();
        return false;
    }
    m_stopped = false;
    m_thread = std::thread([this] { serve(); });
    return true;
}

void SimulatedBus::stop()
{
    if (m_thread.joinable()) {
        const char byte = 1;
        [[maybe_unused]] auto r = ::write(m_wake[1], &byte, 1);
        m_thread.join();
    }
    m_stopped = true;
    m_pty.close();
    for (int& fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool SimulatedBus::putOnLine(const Bytes& bytes, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(m_lock); // the line may be closing on the bus's thread
    if (!m_pty.isOpen() || !writeAll(bytes.data(), bytes.size(), deadline))
        return false;
    // The kernel hands bytes from the master to the slave's queue later.
    while (m_pty.pendingInput() < int(bytes.size())) {
        if (Clock::now() >= deadline)
            return false;
        m_served.wait_until(lock, std::min(deadline, Clock::now() + WAIT_SLICE));
    }
    return true;
}

void SimulatedBus::closeLine()
{
    m_lineClosed = true;
    stop();
}

void SimulatedBus::shutLine()
{
    m_lineClosed = true; // before the hang-up can be seen
    {
        std::lock_guard lock(m_lock);
        m_pty.close();
    }
    m_served.notify_all();
    if (m_onLineClosed)
        m_onLineClosed();
}

bool SimulatedBus::waitFor(const std::function<bool(Bus&)>& pred, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(m_lock);
    while (!pred(m_bus)) {
        if (Clock::now() >= deadline)
            return false;
        // Time alone can change a device (a restart ends), so look again now and then.
        m_served.wait_until(lock, std::min(deadline, Clock::now() + WAIT_SLICE));
    }
    return true;
}

unsigned SimulatedBus::lineBaudRate()
{
    std::lock_guard lock(m_lock); // the line may be closing on the bus's thread
    return m_pty.lineBaudRate();
}

Version SimulatedBus::reportedVersion(uint8_t address)
{
    return withBus([&](Bus& bus) {
        Device* d = bus.device(address);
        if (!d)
            return Version{};
        d->running(Clock::now());
        return d->reportedVersion();
    });
}

RunningCode SimulatedBus::running(uint8_t address)
{
    return withBus([&](Bus& bus) {
        Device* d = bus.device(address);
        return d ? d->running(Clock::now()) : RunningCode::Little;
    });
}

uint32_t SimulatedBus::requestCount(uint8_t address)
{
    return withBus([&](Bus& bus) {
        Device* d = bus.device(address);
        return d ? d->requestCount() : 0u;
    });
}

void SimulatedBus::serve()
{
    uint8_t chunk[4096];
    while (true) {
        bool pending = false;
        {
            std::lock_guard lock(m_lock);
            pending = m_bus.hasPendingBytes();
        }
        pollfd fds[2] = {{m_pty.master(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        const int timeout = pending ? int(m_options.resyncGap.count()) : IDLE_SLICE_MS;
        const auto asleep = Clock::now();
        const int ready = ::poll(fds, 2, timeout);
        noteLateness(Clock::now() - asleep - std::chrono::milliseconds(timeout));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (fds[1].revents & POLLIN))
            return;

        std::vector<Bytes> answers;
        bool closed = false;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(m_pty.master(), chunk, sizeof chunk);
            if (n <= 0)
                continue;
            std::lock_guard lock(m_lock);
            answers = m_bus.receive(std::span(chunk, std::size_t(n)), Clock::now());
            closed = m_bus.lineClosed();
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Not expected while the slave is held open; do not spin on it.
            pollfd wake{m_wake[0], POLLIN, 0};
            if (::poll(&wake, 1, int(m_options.resyncGap.count())) > 0)
                return;
            continue;
        } else if (ready == 0 && !pending) {
            continue;
        } else if (ready == 0) {
            std::lock_guard lock(m_lock);
            answers = m_bus.lineIdle(Clock::now());
            closed = m_bus.lineClosed();
        }
        m_served.notify_all();
        for (const Bytes& answer : answers)
            send(answer);
        if (closed) {
            shutLine();
            return;
        }
    }
}

void SimulatedBus::noteLateness(Clock::duration late)
{
    const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(late).count());
    long seen = m_longestStallMs.load();
    while (ms > seen && !m_longestStallMs.compare_exchange_weak(seen, ms)) {
    }
}

void SimulatedBus::send(const Bytes& answer)
{
    if (m_options.turnaround.count() > 0
        && !pauseUntil(m_wake[0], Clock::now() + m_options.turnaround))
        return;
    if (!m_options.pace) {
        writeAll(answer.data(), answer.size(), Clock::now() + WRITE_GIVE_UP);
        return;
    }
    unsigned baud = m_options.paceBaud ? m_options.paceBaud : m_pty.lineBaudRate();
    if (baud == 0)
        baud = DEFAULT_PACE_BAUD;
    const auto byteTime = std::chrono::nanoseconds(1'000'000'000LL * BITS_PER_BYTE / baud);
    const auto start = Clock::now();
    std::size_t sent = 0;
    while (sent < answer.size()) {
        // A byte leaves when its last bit has gone out.
        if (!pauseUntil(m_wake[0], start + byteTime * long(sent + 1)))
            return;
        const auto due = std::size_t((Clock::now() - start) / byteTime);
        const std::size_t upTo = std::min(answer.size(), std::max(due, sent + 1));
        if (!writeAll(answer.data() + sent, upTo - sent, Clock::now() + WRITE_GIVE_UP))
            return;
        sent = upTo;
    }
}

bool SimulatedBus::writeAll(const uint8_t* data, std::size_t size, Clock::time_point deadline)
{
    while (size > 0) {
        const ssize_t n = ::write(m_pty.master(), data, size);
        if (n > 0) {
            data += n;
            size -= std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        // The tool is not reading: wait for room, but never for ever.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd out{m_pty.master(), POLLOUT, 0};
        ::poll(&out, 1, int(left.count()));
    }
    return true;
}

} // namespace sim

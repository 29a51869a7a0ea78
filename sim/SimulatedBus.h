#pragma once
#include "sim/Bus.h"
#include "sim/Pty.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

struct BusOptions {
    // Send answers at the line's pace: 10 bit times a byte.
    bool pace = false;
    unsigned paceBaud = 0; // 0: the rate the tool set on the line (9600 when unknown)
    std::chrono::microseconds turnaround{0};   // before each answer
    std::chrono::milliseconds restartTime{2000};
    // Multiplies the restart time, as the tool's time scale shortens its waits.
    double timeScale = 1.0;
    // A frame that stays incomplete this long is given up (resynchronisation).
    std::chrono::milliseconds resyncGap{50};
};

// A bus of simulated devices served on a pseudo-terminal by a thread of its own.
//
//   sim::SimulatedBus bus;
//   bus.addDevice({.address = 0x55, .type = {1, 2}, .bigVersion = {2, 5}});
//   bus.start();
//   open(bus.slavePath()) ...
//
// Devices and faults may be set up before start() and changed while it runs
// (through the calls below or withBus()).
class SimulatedBus {
public:
    explicit SimulatedBus(BusOptions options = {});
    ~SimulatedBus();
    SimulatedBus(const SimulatedBus&) = delete;
    SimulatedBus& operator=(const SimulatedBus&) = delete;

    // The returned reference stays valid for the bus's life; use it through
    // withBus() once the bus runs.
    Device& addDevice(const DeviceConfig& config);
    // Behind interface `iface` of `router`; false when the router is unknown.
    bool addDevice(const DeviceConfig& config, uint8_t router, uint8_t iface);
    bool addFault(uint8_t address, const Fault& fault);
    void setTrace(TraceFunction trace);

    // Opens the pty and starts serving. False (with lastError()) on failure.
    bool start();
    // Stops serving and closes the pty (idempotent).
    void stop();
    bool running() const { return m_thread.joinable() && !m_stopped.load(); }
    const std::string& slavePath() const { return m_pty.slavePath(); }
    const std::string& lastError() const { return m_error; }
    // The baud rate the tool set on its end of the line (0 when unknown).
    unsigned lineBaudRate();

    // Puts bytes on the line as another station would (noise, a late answer)
    // and waits until they wait in the tool's input queue; false when they
    // are not there within the timeout. For a line the tool has not opened
    // or reads no more: nothing else may be sending meanwhile.
    bool putOnLine(const Bytes& bytes, std::chrono::milliseconds timeout);

    // Closes the line as an unplugged adapter would; the tool's port hangs up.
    void closeLine();
    bool lineClosed() const { return m_lineClosed.load(); }
    // Called on the bus's thread when the line closed by a fault.
    void onLineClosed(std::function<void()> fn) { m_onLineClosed = std::move(fn); }

    // Runs fn with the bus locked (devices, faults, counters).
    template <class F>
    auto withBus(F&& fn)
    {
        std::lock_guard lock(m_lock);
        return fn(m_bus);
    }
    // Waits until pred(bus) holds (checked after every frame served and on
    // restarts' ends) or the timeout passes; returns pred's last result.
    bool waitFor(const std::function<bool(Bus&)>& pred, std::chrono::milliseconds timeout);
    Version reportedVersion(uint8_t address);
    RunningCode running(uint8_t address);
    uint32_t requestCount(uint8_t address);

    // The longest time the bus's thread came back later than it had asked
    // to, since start() or the last clearStalls(). A loaded machine can
    // leave a sleeping thread unwoken for a second: while it sleeps the
    // devices take in nothing and answer nothing, so a run during such a
    // stall says nothing about the tool's timing.
    std::chrono::milliseconds longestStall() const { return std::chrono::milliseconds(m_longestStallMs.load()); }
    void clearStalls() { m_longestStallMs = 0; }

private:
    void serve();
    void send(const Bytes& answer);
    bool writeAll(const uint8_t* data, std::size_t size, Clock::time_point deadline);
    void shutLine();
    void noteLateness(Clock::duration late);

    const BusOptions m_options;
    std::mutex m_lock;            // guards m_bus, and the pty while it closes
    std::condition_variable m_served;
    Bus m_bus;
    Pty m_pty;
    int m_wake[2] = {-1, -1};     // pipe that wakes the thread to stop
    std::thread m_thread;
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_lineClosed{false};
    std::atomic<long> m_longestStallMs{0};
    std::function<void()> m_onLineClosed;
    std::string m_error;
};

} // namespace sim

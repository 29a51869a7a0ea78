#pragma once
#include "sim/Device.h"
#include "sim/FrameParser.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace sim {

enum class TraceDirection { FromLine, ToLine };
using TraceFunction = std::function<void(TraceDirection, std::span<const uint8_t>)>;

// The devices behind one serial line, without any I/O: bytes from the line
// go in, answer frames come out. Time is passed in, so a test can step over a
// restart without waiting for it.
class Bus {
public:
    explicit Bus(Clock::duration restartTime = std::chrono::seconds(2));
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // A device on the line itself.
    Device& addDevice(const DeviceConfig& config);
    // A device behind interface `iface` of the routing device `router`
    // (found by address, depth first); nullptr when there is no such device.
    Device* addDevice(const DeviceConfig& config, uint8_t router, uint8_t iface);
    // The first device with that address, depth first; nullptr when none.
    Device* device(uint8_t address);
    const std::vector<Device*>& lineDevices() const { return m_lineDevices; }

    void setRestartTime(Clock::duration time) { m_restartTime = time; }
    Clock::duration restartTime() const { return m_restartTime; }
    void setTrace(TraceFunction trace) { m_trace = std::move(trace); }

    // Bytes from the line; returns the answer frames in order.
    std::vector<Bytes> receive(std::span<const uint8_t> bytes, Clock::time_point now);
    // The line went quiet: a cut frame is given up, frames after it are served.
    std::vector<Bytes> lineIdle(Clock::time_point now);
    bool hasPendingBytes() const { return m_parser.pending(); }
    std::size_t droppedBytes() const { return m_parser.droppedBytes(); }
    // A CloseLine fault fired: the line must be closed, nothing more is served.
    bool lineClosed() const { return m_closed; }

private:
    void serve(std::vector<Bytes>& answers, Clock::time_point now);

    Clock::duration m_restartTime;
    std::vector<std::unique_ptr<Device>> m_devices;
    std::vector<Device*> m_lineDevices;
    FrameParser m_parser;
    TraceFunction m_trace;
    bool m_closed = false;
};

} // namespace sim

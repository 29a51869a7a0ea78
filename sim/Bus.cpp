#include "sim/Bus.h"

namespace sim {

Bus::Bus(Clock::duration restartTime)
    : m_restartTime(restartTime)
{
}

Device& Bus::addDevice(const DeviceConfig& config)
{
    m_devices.push_back(std::make_unique<Device>(config));
    m_lineDevices.push_back(m_devices.back().get());
    return *m_devices.back();
}

Device* Bus::addDevice(const DeviceConfig& config, uint8_t router, uint8_t iface)
{
    Device* parent = device(router);
    if (!parent || iface > 0x0F)
        return nullptr;
    m_devices.push_back(std::make_unique<Device>(config));
    parent->attach(iface, m_devices.back().get());
    return m_devices.back().get();
}

Device* Bus::device(uint8_t address)
{
    std::function<Device*(const std::vector<Device*>&)> search = [&](const std::vector<Device*>& level) -> Device* {
        for (Device* d : level)
            if (d->address() == address)
                return d;
        for (Device* d : level)
            for (const auto& [iface, children] : d->interfaces())
                if (Device* found = search(children))
                    return found;
        return nullptr;
    };
    return search(m_lineDevices);
}

std::vector<Bytes> Bus::receive(std::span<const uint8_t> bytes, Clock::time_point now)
{
    std::vector<Bytes> answers;
    if (m_closed)
        return answers;
    m_parser.push(bytes);
    serve(answers, now);
    return answers;
}

std::vector<Bytes> Bus::lineIdle(Clock::time_point now)
{
    std::vector<Bytes> answers;
    while (!m_closed && m_parser.pending()) {
        m_parser.dropStale();
        serve(answers, now);
    }
    return answers;
}

void Bus::serve(std::vector<Bytes>& answers, Clock::time_point now)
{
    while (!m_closed) {
        auto frame = m_parser.next();
        if (!frame)
            return;
        if (m_trace)
            m_trace(TraceDirection::FromLine, *frame);
        LineEffects effects;
        for (Device* d : m_lineDevices) {
            auto answer = d->receive(*frame, now, m_restartTime, effects);
            if (effects.closeLine) {
                m_closed = true;
                return;
            }
            if (answer) {
                if (m_trace)
                    m_trace(TraceDirection::ToLine, *answer);
                answers.push_back(std::move(*answer));
                break;
            }
        }
    }
}

} // namespace sim

#pragma once
#include "sim/Device.h"
#include "sim/Faults.h"
#include "sim/SimulatedBus.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

// The command line of rs485-devsim, parsed.
struct DevsimOptions {
    struct Route {
        uint8_t router;
        uint8_t iface;
        uint8_t child;
    };
    struct AddressedFault {
        uint8_t address;
        Fault fault;
    };
    std::vector<DeviceConfig> devices;
    std::vector<Route> routes;
    std::vector<AddressedFault> faults;
    BusOptions bus;
    std::string link;     // "COM1": <data directory>/ports/COM1 -> the pty
    std::string dataDir;  // empty: $HOME/Veltra_Data
    bool trace = false;
    bool help = false;
};

// Nothing, with a message in `error`, when the command line is wrong.
std::optional<DevsimOptions> parseDevsimOptions(const std::vector<std::string>& args, std::string& error);
// Puts the devices in place, routed ones behind their routers, and arms the faults.
bool buildBus(const DevsimOptions& options, SimulatedBus& bus, std::string& error);
std::string devsimHelp();

// "55" or "0x55": a bus address in hexadecimal, as the tool's address fields take it.
std::optional<uint8_t> parseBusAddress(std::string_view text);

} // namespace sim

#pragma once
// What "COM n" means here. COM n is the device that <data directory>/ports/COM<n>
// points to when that entry exists (users and the simulator pin ports this
// way); otherwise it is the n-th serial device of the machine, counted over
// ttyUSB*, then ttyACM*, then the ttyS* that are real hardware, each kind in
// numeric order.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct PortEntry {
    int number = 0;      // the n of COM n
    std::string device;  // the device path, e.g. /dev/ttyUSB0
    std::string stableName; // its name under /dev/serial/by-id, empty when it has none
    bool pinned = false; // mapped by an entry in the data directory
};

class PortMap final {
public:
    static constexpr int FIRST_PORT = 1;
    static constexpr int LAST_PORT = 255;

    // Data directory from platform::dataDirectory() (asked on first use),
    // devices from /dev, hardware facts from /sys/class/tty.
    PortMap();
    // Tests point the three folders at temporary ones.
    explicit PortMap(std::string dataDirectory, std::string devDirectory = "/dev",
                     std::string sysTtyDirectory = "/sys/class/tty");

    // Device path of COM n; empty when n maps to nothing.
    std::string resolve(int port) const;
    // The serial devices of the automatic rule, in COM order.
    std::vector<std::string> detectedDevices() const;
    // Every COM number from 1 to lastPort that maps to a device, in numeric
    // order. With skipInUse a device that cannot be opened now (absent, no
    // permission, held by another program) is left out; this opens each
    // device briefly.
    std::vector<PortEntry> list(int lastPort = LAST_PORT, bool skipInUse = true) const;

    std::string dataDirectory() const;
    const std::string& devDirectory() const { return m_devDirectory; }

    // Makes COM n this device for this map only, ahead of the data directory:
    // the command line names ports by path this way.
    void pin(int port, std::string device);

private:
    std::string pinnedDevice(int port) const;
    std::string stableNameOf(const std::string& device) const;

    std::optional<std::string> m_dataDirectory;
    std::map<int, std::string> m_pins;
    std::string m_devDirectory;
    std::string m_sysTtyDirectory;
};

} // namespace platform

#include "platform/PortMap.h"

#include "platform/DataDirectory.h"
#include "platform/SerialPort.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace platform {

namespace {

// "ttyUSB12" with prefix "ttyUSB" gives 12; anything else -1.
long suffixNumber(const std::string& name, const std::string& prefix)
{
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    long n = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 100000000)
            return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::vector<std::pair<long, std::string>> devicesOfKind(const std::string& devDirectory, const std::string& prefix)
{
    std::vector<std::pair<long, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(devDirectory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const long n = suffixNumber(name, prefix);
        if (n >= 0)
            found.emplace_back(n, it->path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The kernel makes ttyS nodes for every possible legacy port; only those
// whose UART type is not 0 exist.
bool isRealUart(const std::string& sysTtyDirectory, const std::string& name)
{
    std::ifstream in(sysTtyDirectory + "/" + name + "/type");
    int type = 0;
    return in >> type && type != 0;
}

std::string canonical(const std::string& path)
{
    std::error_code ec;
    const fs::path p = fs::canonical(path, ec);
    return ec ? fs::path(path).lexically_normal().string() : p.string();
}

} // namespace

PortMap::PortMap()
    : m_devDirectory("/dev"), m_sysTtyDirectory("/sys/class/tty")
{
}

PortMap::PortMap(std::string dataDirectory, std::string devDirectory, std::string sysTtyDirectory)
    : m_dataDirectory(std::move(dataDirectory)), m_devDirectory(std::move(devDirectory)),
      m_sysTtyDirectory(std::move(sysTtyDirectory))
{
}

std::string PortMap::dataDirectory() const
{
    return m_dataDirectory ? *m_dataDirectory : platform::dataDirectory();
}

void PortMap::pin(int port, std::string device)
{
    m_pins[port] = std::move(device);
}

std::string PortMap::pinnedDevice(int port) const
{
    if (auto pinned = m_pins.find(port); pinned != m_pins.end())
        return pinned->second;
    const fs::path entry = fs::path(dataDirectory()) / "ports" / ("COM" + std::to_string(port));
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(entry, ec);
    if (ec || !fs::exists(st))
        return {};
    if (!fs::is_symlink(st))
        return entry.string();
    // A link whose device is gone still pins the number: opening it then
    // says "no such device" rather than reaching some other adapter.
    const fs::path target = fs::read_symlink(entry, ec);
    if (ec)
        return entry.string();
    return (target.is_absolute() ? target : entry.parent_path() / target).lexically_normal().string();
}

std::vector<std::string> PortMap::detectedDevices() const
{
    std::vector<std::string> devices;
    for (const char* kind : {"ttyUSB", "ttyACM"})
        for (auto& [n, path] : devicesOfKind(m_devDirectory, kind))
            devices.push_back(path);
    for (auto& [n, path] : devicesOfKind(m_devDirectory, "ttyS"))
        if (isRealUart(m_sysTtyDirectory, "ttyS" + std::to_string(n)))
            devices.push_back(path);
    return devices;
}

std::string PortMap::resolve(int port) const
{
    if (port < FIRST_PORT || port > LAST_PORT)
        return {};
    if (std::string pinned = pinnedDevice(port); !pinned.empty())
        return pinned;
    const std::vector<std::string> devices = detectedDevices();
    return static_cast<size_t>(port) <= devices.size() ? devices[static_cast<size_t>(port) - 1] : std::string();
}

std::string PortMap::stableNameOf(const std::string& device) const
{
    const std::string wanted = canonical(device);
    std::error_code ec;
    for (fs::directory_iterator it(m_devDirectory + "/serial/by-id", ec), end; !ec && it != end; it.increment(ec))
        if (canonical(it->path().string()) == wanted)
            return it->path().string();
    return {};
}

std::vector<PortEntry> PortMap::list(int lastPort, bool skipInUse) const
{
    std::vector<PortEntry> entries;
    const std::vector<std::string> devices = detectedDevices();
    lastPort = std::min(lastPort, LAST_PORT);
    for (int n = FIRST_PORT; n <= lastPort; ++n) {
        PortEntry entry;
        entry.number = n;
        entry.device = pinnedDevice(n);
        entry.pinned = !entry.device.empty();
        if (!entry.pinned && static_cast<size_t>(n) <= devices.size())
            entry.device = devices[static_cast<size_t>(n) - 1];
        if (entry.device.empty())
            continue;
        if (skipInUse && !SerialPort::probe(entry.device))
            continue;
        entry.stableName = stableNameOf(entry.device);
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace platform

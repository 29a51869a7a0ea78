#include "sim/DevsimOptions.h"

#include "platform/CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <functional>

namespace sim {

namespace {

std::vector<std::string_view> split(std::string_view text, char sep)
{
    std::vector<std::string_view> parts;
    while (true) {
        const auto at = text.find(sep);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text = text.substr(at + 1);
    }
}

template <class T>
std::optional<T> parseNumber(std::string_view text)
{
    T value{};
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

DeviceConfig* findDevice(DevsimOptions& options, uint8_t address)
{
    auto it = std::find_if(options.devices.begin(), options.devices.end(),
                           [&](const DeviceConfig& d) { return d.address == address; });
    return it == options.devices.end() ? nullptr : &*it;
}

// A mistake in an option's value, thrown from its callback.
struct Refused {
    std::string why;
};

[[noreturn]] void refuse(std::string why)
{
    throw Refused{std::move(why)};
}

bool parseDevice(std::string_view text, DeviceConfig& device, std::string& error)
{
    const auto parts = split(text, ':');
    if (parts.size() < 3 || parts.size() > 4) {
        error = "--device needs ADDR:TYPE:FW[:HW], got '" + std::string(text) + "'";
        return false;
    }
    auto address = parseBusAddress(parts[0]);
    auto type = Version::parse(parts[1]);
    auto firmware = Version::parse(parts[2]);
    if (!address || !type || !firmware) {
        error = "--device '" + std::string(text) + "': address is hexadecimal, versions look like 18.4";
        return false;
    }
    device.address = *address;
    device.type = *type;
    device.bigVersion = *firmware;
    if (parts.size() == 4) {
        auto hardware = Version::parse(parts[3]);
        if (!hardware) {
            error = "--device '" + std::string(text) + "': bad hardware version";
            return false;
        }
        device.hardware = *hardware;
    }
    return true;
}

// "[ADDR:]VALUE": the device given, or the last --device.
DeviceConfig* target(DevsimOptions& options, std::string_view& value, const std::string& name, std::string& error)
{
    const auto colon = value.find(':');
    if (colon != std::string_view::npos) {
        auto address = parseBusAddress(value.substr(0, colon));
        DeviceConfig* device = address ? findDevice(options, *address) : nullptr;
        if (!device)
            error = name + ": no --device with address '" + std::string(value.substr(0, colon)) + "' before it";
        value = value.substr(colon + 1);
        return device;
    }
    if (options.devices.empty()) {
        error = name + " comes before any --device";
        return nullptr;
    }
    return &options.devices.back();
}

} // namespace

std::optional<uint8_t> parseBusAddress(std::string_view text)
{
    if (text.starts_with("0x") || text.starts_with("0X"))
        text.remove_prefix(2);
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, 16);
    if (text.empty() || text.size() > 2 || ec != std::errc() || ptr != end)
        return std::nullopt;
    return uint8_t(value);
}

std::optional<DevsimOptions> parseDevsimOptions(const std::vector<std::string>& args, std::string& error)
{
    DevsimOptions options;
    std::optional<int> busyAll;       // --busy N: every device without its own --busy ADDR:N
    std::vector<uint8_t> busyGiven;
    // Callbacks run as each option is met: --little and [ADDR:] values refer
    // to the devices given before them.
    CLI::App app;
    app.set_help_flag();
    app.allow_extras(); // refused below with this program's text
    const auto flag = [&](const char* name, std::function<void()> action) {
        app.add_flag_callback(name, std::move(action))->trigger_on_parse();
    };
    const auto option = [&](const char* name, std::function<void(const std::string&)> action) {
        return app.add_option_function<std::string>(name, std::move(action))->trigger_on_parse();
    };
    const auto check = [&] {
        if (!error.empty())
            refuse(error);
    };
    flag("-h,--help", [&] { options.help = true; });
    flag("--trace", [&] { options.trace = true; });
    // --pace and --little take their value only after "=".
    option("--pace", [&](const std::string& v) {
        options.bus.pace = true;
        if (v.empty())
            return;
        auto baud = parseNumber<unsigned>(v);
        if (!baud || *baud == 0)
            refuse("--pace=BAUD needs a baud rate above 0");
        options.bus.paceBaud = *baud;
    })->expected(0, 1);
    option("--little", [&](const std::string& v) {
        DeviceConfig* device = nullptr;
        if (!v.empty()) {
            auto address = parseBusAddress(v);
            device = address ? findDevice(options, *address) : nullptr;
            if (!device)
                refuse("--little=" + v + ": no such --device before it");
        } else if (!options.devices.empty()) {
            device = &options.devices.back();
        } else {
            refuse("--little comes before any --device");
        }
        device->running = RunningCode::Little;
    })->expected(0, 1);
    option("--device", [&](const std::string& v) {
        DeviceConfig device;
        if (!parseDevice(v, device, error))
            refuse(error);
        if (findDevice(options, device.address))
            refuse("--device: address " + v.substr(0, v.find(':')) + " given twice");
        options.devices.push_back(device);
    });
    option("--little-version", [&](const std::string& v) {
        std::string_view text = v;
        DeviceConfig* device = target(options, text, "--little-version", error);
        auto version = Version::parse(text);
        check();
        if (!device || !version)
            refuse("--little-version needs [ADDR:]X.Y");
        device->littleVersion = *version;
    });
    option("--router", [&](const std::string& v) {
        const auto colon = v.find(':');
        const auto eq = v.find('=');
        std::optional<uint8_t> router, child;
        std::optional<unsigned> iface;
        if (colon != std::string::npos && eq != std::string::npos && colon < eq) {
            router = parseBusAddress(std::string_view(v).substr(0, colon));
            iface = parseNumber<unsigned>(std::string_view(v).substr(colon + 1, eq - colon - 1));
            child = parseBusAddress(std::string_view(v).substr(eq + 1));
        }
        if (!router || !iface || !child || *iface > 15)
            refuse("--router needs ROUTER:IFACE=CHILD (addresses hexadecimal, interface 0..15), got '" + v + "'");
        options.routes.push_back({*router, uint8_t(*iface), *child});
    });
    option("--busy", [&](const std::string& v) {
        std::string_view text = v;
        DeviceConfig* device = nullptr;
        if (text.find(':') != std::string_view::npos && !(device = target(options, text, "--busy", error)))
            refuse(error);
        auto polls = parseNumber<int>(text);
        if (!polls || *polls < 0)
            refuse("--busy needs [ADDR:]N, N status reads that answer busy after each block");
        if (device) {
            device->busyPolls = *polls;
            busyGiven.push_back(device->address);
        } else {
            busyAll = *polls;
        }
    });
    option("--fault", [&](const std::string& v) {
        const auto colon = v.find(':');
        auto address = colon == std::string::npos ? std::nullopt : parseBusAddress(std::string_view(v).substr(0, colon));
        if (!address)
            refuse("--fault needs ADDR:KIND[=N][@TRIGGER][*TIMES], got '" + v + "'");
        auto fault = Fault::parse(std::string_view(v).substr(colon + 1), &error);
        if (!fault)
            refuse(error);
        options.faults.push_back({*address, *fault});
    });
    option("--restart-ms", [&](const std::string& v) {
        auto ms = parseNumber<long>(v);
        if (!ms || *ms < 0)
            refuse("--restart-ms needs a number of milliseconds");
        options.bus.restartTime = std::chrono::milliseconds(*ms);
    });
    option("--turnaround-us", [&](const std::string& v) {
        auto us = parseNumber<long>(v);
        if (!us || *us < 0)
            refuse("--turnaround-us needs a number of microseconds");
        options.bus.turnaround = std::chrono::microseconds(*us);
    });
    option("--link", [&](const std::string& v) {
        if (v.empty() || v.find('/') != std::string::npos || v == "." || v == "..")
            refuse("--link needs a port name such as COM1");
        options.link = v;
    });
    option("--data-dir", [&](const std::string& v) { options.dataDir = v; });

    try {
        app.parse(platform::parserArguments(args));
    } catch (const Refused& r) {
        error = r.why;
        return std::nullopt;
    } catch (const CLI::ArgumentMismatch&) {
        error = platform::optionWithoutValue(args) + " needs a value";
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return std::nullopt;
    }
    for (const std::string& extra : app.remaining()) {
        if (extra != "--") {
            error = "unknown option '" + extra + "' (see --help)";
            return std::nullopt;
        }
    }
    for (auto& d : options.devices)
        if (busyAll && std::find(busyGiven.begin(), busyGiven.end(), d.address) == busyGiven.end())
            d.busyPolls = *busyAll;
    if (!options.help && options.devices.empty()) {
        error = "no device: give at least one --device (see --help)";
        return std::nullopt;
    }
    return options;
}

bool buildBus(const DevsimOptions& options, SimulatedBus& bus, std::string& error)
{
    auto routeOf = [&](uint8_t address) -> const DevsimOptions::Route* {
        for (const auto& r : options.routes)
            if (r.child == address)
                return &r;
        return nullptr;
    };
    for (const auto& r : options.routes) {
        auto known = [&](uint8_t a) {
            return std::any_of(options.devices.begin(), options.devices.end(),
                               [&](const DeviceConfig& d) { return d.address == a; });
        };
        if (!known(r.router) || !known(r.child)) {
            error = "--router: both routing device and child need a --device";
            return false;
        }
        if (std::count_if(options.routes.begin(), options.routes.end(),
                          [&](const auto& o) { return o.child == r.child; }) > 1) {
            error = "--router: a device can sit behind one interface only";
            return false;
        }
    }
    std::vector<uint8_t> placed;
    auto isPlaced = [&](uint8_t a) { return std::find(placed.begin(), placed.end(), a) != placed.end(); };
    // Devices on the line first, then each routed one once its router is in place.
    for (const auto& d : options.devices) {
        if (!routeOf(d.address)) {
            bus.addDevice(d);
            placed.push_back(d.address);
        }
    }
    bool progress = true;
    while (placed.size() < options.devices.size() && progress) {
        progress = false;
        for (const auto& d : options.devices) {
            const auto* r = routeOf(d.address);
            if (isPlaced(d.address) || !r || !isPlaced(r->router))
                continue;
            bus.addDevice(d, r->router, r->iface);
            placed.push_back(d.address);
            progress = true;
        }
    }
    if (placed.size() < options.devices.size()) {
        error = "--router: the routes form a loop, no device reaches the line";
        return false;
    }
    for (const auto& f : options.faults) {
        if (!bus.addFault(f.address, f.fault)) {
            error = "--fault: no device with that address";
            return false;
        }
    }
    return true;
}

std::string devsimHelp()
{
    return R"(rs485-devsim: simulated RS485 bus devices on a pseudo-terminal

Usage: rs485-devsim [options] --device ADDR:TYPE:FW[:HW] ...

The first line printed is "pty: <path>", the port to open in the tool.

Devices
  --device ADDR:TYPE:FW[:HW]   a device; ADDR in hexadecimal, TYPE, FW (its big
                               code's version) and HW as major.minor, e.g.
                               --device 55:18.4:1.0:2.1. Without HW the version
                               is reported in its no-hardware form (b3 = 0).
  --little[=ADDR]              the device (the last --device, or ADDR) runs its
                               little code (upgrade mode) at start
  --little-version [ADDR:]X.Y  version of the little code (default 1.0)
  --router ROUTER:IFACE=CHILD  CHILD sits behind interface IFACE (0..15) of the
                               routing device ROUTER instead of on the line
  --busy [ADDR:]N              every block write answers busy to N status reads

Faults (each fires once unless *TIMES is given, *0 = every time)
  --fault ADDR:KIND[=N][@TRIGGER][*TIMES]
      KIND  noanswer          the answer is lost
            short[=N]         only the first N bytes (default half)
            checksum          wrong checksum
            source            wrong source address
            frameerror        frame-error record (0xE4) in place of the first record
            pointer           a block write ends with pointer error (15)
            busy=N            a block write is busy for N status reads
            endlessbusy       a block write never finishes
            corrupt[=POS]     byte POS (0..63, default 0) of a read-back inverted
            endlessrestart    a restart (upgrade mode, flash) that never ends
            closeline         the line closes (the port hangs up)
      TRIGGER  reqN           the device's N-th request (from 1)
               wblockN        the write of block N (from 0)
               rblockN        the read-back of block N
               (none)         the first request the fault applies to

Line and time
  --pace[=BAUD]                send answers at the line's pace, 10 bits a byte,
                               at the baud rate the tool set (or BAUD)
  --turnaround-us N            wait N microseconds before each answer
  --restart-ms N               restart time after upgrade mode and flashing
                               (default 2000)

Program
  --link COMn                  make <data directory>/ports/COMn a link to the
                               pty (removed on exit), so the tool lists it as COMn
  --data-dir DIR               data directory (default $HOME/Veltra_Data)
  --trace                      print every frame: "-> " received, "<- " sent
  --help                       this text

Ends on SIGINT or SIGTERM, or when a closeline fault fires.

Examples
  rs485-devsim --link COM1 --device 55:18.4:1.0
  A routed bus: router 55 on the line, 33 behind its interface 1, 31 behind
  interface 2 of 33, the last one in its little code and busy twice per block:
  rs485-devsim --trace --device 55:1.0:3.2 --device 33:1.0:2.0 \
      --device 31:18.4:1.5:2.0 --little --little-version 1.2 \
      --router 55:1=33 --router 33:2=31 --busy 31:2
)";
}

} // namespace sim

#include "cli/CliOptions.h"

#include "engine/FieldRules.h"
#include "platform/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <charconv>
#include <functional>
#include <sstream>

namespace cli {
namespace {

// The window's field names for the place an address or interface takes in
// the route, so both refuse a value with the same message.
std::string addressName(size_t position)
{
    return position == 0 ? "Main" : "Nested " + std::to_string(position);
}

// A value the window's rules refuse, thrown from an option's callback.
struct Refused {
    std::string why;
};

[[noreturn]] void refuse(std::string why)
{
    throw Refused{std::move(why)};
}

// Checks that need every option: the route, the targets, the combinations.
std::string refusalOfWhole(Options& o, const std::vector<std::string>& addressTexts,
                           const std::vector<std::string>& viaTexts)
{
    if (o.mode == Mode::Help || o.mode == Mode::Version || o.mode == Mode::ListPorts)
        return {};
    if (o.mode == Mode::Info)
        return o.file.empty() ? "No bin file has been selected." : "";
    if (viaTexts.size() > MAX_VIA_HOPS)
        return "At most " + std::to_string(MAX_VIA_HOPS) + " routing devices (--via)";
    for (size_t hop = 0; hop < viaTexts.size(); ++hop) {
        const std::string& text = viaTexts[hop];
        const size_t colon = text.find(':');
        Hop h;
        h.address = field_rules::address(text.substr(0, colon));
        if (h.address < 0)
            return "Invalid " + addressName(hop) + " address";
        h.interfaceNumber = colon == std::string::npos ? -1 : field_rules::interfaceNumber(text.substr(colon + 1));
        if (h.interfaceNumber < 0)
            return "Invalid Nested " + std::to_string(hop + 1) + " interface";
        o.via.push_back(h);
    }
    o.targets.clear();
    for (const std::string& text : addressTexts) {
        const int address = field_rules::address(text);
        if (address < 0)
            return "Invalid " + addressName(viaTexts.size()) + " address";
        o.targets.push_back(address);
    }
    if (o.verbose && o.quiet)
        return "--verbose and --quiet cannot be combined";
    if (o.mode == Mode::Upgrade && o.file.empty())
        return "No bin file has been selected.";
    if (o.mode == Mode::Check && o.severalTargets)
        return "--addresses upgrades devices; check one device at a time";
    return {};
}

} // namespace

ParseResult parseArguments(const std::vector<std::string>& args)
{
    ParseResult result;
    Options& o = result.options;
    std::vector<std::string> addressTexts{"55"};
    std::vector<std::string> viaTexts;
    std::vector<std::string> files;

    // Callbacks run as each option is met, so a later option overrides an
    // earlier one (-a after --addresses) as the operator typed them.
    CLI::App app;
    app.set_help_flag();
    app.allow_extras(); // unknown options are refused below with their own text
    const auto flag = [&](const char* names, std::function<void()> action) {
        app.add_flag_callback(names, std::move(action))->trigger_on_parse();
    };
    const auto option = [&](const char* names, std::function<void(const std::string&)> action) {
        app.add_option_function<std::string>(names, std::move(action))->trigger_on_parse();
    };
    flag("-h,--help", [&] { o.mode = Mode::Help; });
    flag("--version", [&] { o.mode = Mode::Version; });
    flag("--check", [&] { o.mode = Mode::Check; });
    flag("--info", [&] { o.mode = Mode::Info; });
    flag("--list-ports", [&] { o.mode = Mode::ListPorts; });
    option("-p,--port", [&](const std::string& v) {
        if (v.empty())
            refuse("Invalid Com port");
        o.port = v;
    });
    option("-b,--baud", [&](const std::string& v) {
        o.baudRate = field_rules::baudRate(v);
        if (o.baudRate < 0)
            refuse("Invalid Baudrate value");
    });
    option("-a,--address", [&](const std::string& v) {
        addressTexts = {v};
        o.severalTargets = false;
    });
    option("--addresses", [&](const std::string& v) {
        addressTexts.clear();
        std::stringstream list(v);
        for (std::string item; std::getline(list, item, ',');)
            addressTexts.push_back(item);
        if (addressTexts.empty())
            addressTexts.push_back("");
        o.severalTargets = true;
    });
    option("-V,--via", [&](const std::string& v) { viaTexts.push_back(v); });
    flag("--yes", [&] { o.downgrade = Downgrade::Accept; });
    flag("--no-downgrade", [&] { o.downgrade = Downgrade::Refuse; });
    option("--restart-wait", [&](const std::string& v) {
        const int seconds = field_rules::toIntOr(v);
        if (seconds < 0 || seconds > 3600)
            refuse("Invalid restart wait (seconds, 0 to 3600): " + v);
        o.restartWaitMs = seconds * 1000;
    });
    flag("-v,--verbose", [&] { o.verbose = true; });
    flag("-q,--quiet", [&] { o.quiet = true; });
    flag("--json", [&] { o.json = true; });
    app.add_option("FILE", files);

    const auto refused = [&](std::string why) {
        result.error = std::move(why);
        return result;
    };
    try {
        app.parse(platform::parserArguments(args));
    } catch (const Refused& r) {
        return refused(r.why);
    } catch (const CLI::ArgumentMismatch&) {
        return refused("Option " + platform::optionWithoutValue(args) + " needs a value");
    } catch (const CLI::ParseError& e) {
        return refused(e.what());
    }
    for (const std::string& extra : app.remaining())
        if (extra != "--")
            return refused("Unknown option " + extra);
    if (files.size() > 1)
        return refused("Only one bin file can be given");
    if (!files.empty())
        o.file = files.front();
    result.error = refusalOfWhole(o, addressTexts, viaTexts);
    result.ok = result.error.empty();
    return result;
}

std::string usageText()
{
    return R"(Usage:
  rs485-upgrade [options] FILE            upgrade the device with FILE (.bin or .bi2)
  rs485-upgrade --check [options] [FILE]  read type and version, judge them against FILE if given
  rs485-upgrade --info FILE               show what FILE holds (no port is opened)
  rs485-upgrade --list-ports              list COM numbers with their device and stable name

Options:
  -p, --port PORT        COMn (as the window numbers them) or a device path; default: COM1
  -b, --baud N           default 115200
  -a, --address HH       bus address of the target, two hexadecimal digits; default 55
  -V, --via HH:I         a routing device on the way and its interface that leads on; repeat for
                         each hop, from the PC outwards (at most 2, as the window offers)
      --yes              accept a downgrade within the same major version without asking
      --no-downgrade     refuse such a downgrade without asking
      --restart-wait S   seconds to wait for the device to restart (default 25)
      --addresses LIST   upgrade several devices on the same bus in turn (comma-separated),
                         then print one summary line per device
  -v, --verbose          also print the communication trace
  -q, --quiet            only the final line
      --json             one JSON object per device on standard output when its run ends (with
                         --info: the file's), every other line on standard error
  -h, --help             this text
      --version          the program's version

A value follows its option as a word of its own or joined: -b 9600, -b9600, --baud=9600.
Short flags combine (-qv is -q -v); after -- every word is FILE, even one starting with -.

Exit status: 0 upgrade finished or check done; 1 the run failed; 2 bad arguments,
unusable file or port. With --addresses, 0 only when every device succeeded.
The diagnostic file is written to the data directory ($HOME/Veltra_Data), as the window does.
)";
}

void routeOf(const Options& options, int target, std::vector<int32_t>& addresses, std::vector<int32_t>& interfaces)
{
    addresses.clear();
    interfaces.clear();
    for (const Hop& hop : options.via) {
        addresses.push_back(hop.address);
        interfaces.push_back(hop.interfaceNumber);
    }
    addresses.push_back(target);
}

int comNumberOf(const std::string& port)
{
    if (port.size() < 4 || std::toupper(static_cast<unsigned char>(port[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(port[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(port[2])) != 'M')
        return 0;
    int n = 0;
    const char* first = port.data() + 3;
    const char* last = port.data() + port.size();
    const auto [end, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || end != last || n < 1 || n > 255)
        return 0;
    return n;
}

} // namespace cli

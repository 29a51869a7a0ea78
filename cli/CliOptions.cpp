#include "cli/CliOptions.h"

#include "engine/FieldRules.h"

#include <cctype>
#include <charconv>
#include <sstream>

namespace cli {
namespace {

// The window's field names for the place an address or interface takes in
// the route, so both refuse a value with the same message.
std::string addressName(size_t position)
{
    return position == 0 ? "Main" : "Nested " + std::to_string(position);
}

struct Parser {
    explicit Parser(const std::vector<std::string>& arguments) : args(arguments) {}
    const std::vector<std::string>& args;
    size_t at = 0;
    ParseResult result;
    std::vector<std::string> addressTexts{"55"};
    std::vector<std::string> viaTexts;

    bool fail(const std::string& why)
    {
        result.ok = false;
        result.error = why;
        return false;
    }

    // The value of an option given as "--name value" or "--name=value".
    bool value(const std::string& name, const std::string& inlineValue, bool hasInline, std::string& out)
    {
        if (hasInline) {
            out = inlineValue;
            return true;
        }
        if (at + 1 >= args.size())
            return fail("Option " + name + " needs a value");
        out = args[++at];
        return true;
    }

    bool option(const std::string& arg);
    bool finish();
};

bool Parser::option(const std::string& arg)
{
    Options& o = result.options;
    std::string name = arg;
    std::string inlineValue;
    bool hasInline = false;
    if (arg.rfind("--", 0) == 0) {
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
            hasInline = true;
        }
    }
    std::string v;
    if (name == "-h" || name == "--help")
        o.mode = Mode::Help;
    else if (name == "--version")
        o.mode = Mode::Version;
    else if (name == "--check")
        o.mode = Mode::Check;
    else if (name == "--list-ports")
        o.mode = Mode::ListPorts;
    else if (name == "-p" || name == "--port") {
        if (!value(name, inlineValue, hasInline, v))
            return false;
        if (v.empty())
            return fail("Invalid Com port");
        o.port = v;
    } else if (name == "-b" || name == "--baud") {
        if (!value(name, inlineValue, hasInline, v))
            return false;
        o.baudRate = field_rules::baudRate(v);
        if (o.baudRate < 0)
            return fail("Invalid Baudrate value");
    } else if (name == "-a" || name == "--address") {
        if (!value(name, inlineValue, hasInline, v))
            return false;
        addressTexts = {v};
        o.severalTargets = false;
    } else if (name == "--addresses") {
        if (!value(name, inlineValue, hasInline, v))
            return false;
        addressTexts.clear();
        std::stringstream list(v);
        for (std::string item; std::getline(list, item, ',');)
            addressTexts.push_back(item);
        if (addressTexts.empty())
            addressTexts.push_back("");
        o.severalTargets = true;
    } else if (name == "-V" || name == "--via") {
        if (!value(name, inlineValue, hasInline, v))
            return false;
        viaTexts.push_back(v);
    } else if (name == "--yes")
        o.downgrade = Downgrade::Accept;
    else if (name == "--no-downgrade")
        o.downgrade = Downgrade::Refuse;
    else if (name == "--restart-wait") {
        if (!value(name, inlineValue, hasInline, v))
            return false;
        const int seconds = field_rules::toIntOr(v);
        if (seconds < 0 || seconds > 3600)
            return fail("Invalid restart wait (seconds, 0 to 3600): " + v);
        o.restartWaitMs = seconds * 1000;
    } else if (name == "-v" || name == "--verbose")
        o.verbose = true;
    else if (name == "-q" || name == "--quiet")
        o.quiet = true;
    else
        return fail("Unknown option " + arg);
    return true;
}

bool Parser::finish()
{
    Options& o = result.options;
    if (o.mode == Mode::Help || o.mode == Mode::Version || o.mode == Mode::ListPorts)
        return true;
    if (viaTexts.size() > MAX_VIA_HOPS)
        return fail("At most " + std::to_string(MAX_VIA_HOPS) + " routing devices (--via)");
    for (size_t hop = 0; hop < viaTexts.size(); ++hop) {
        const std::string& text = viaTexts[hop];
        const size_t colon = text.find(':');
        Hop h;
        h.address = field_rules::address(text.substr(0, colon));
        if (h.address < 0)
            return fail("Invalid " + addressName(hop) + " address");
        h.interfaceNumber = colon == std::string::npos ? -1 : field_rules::interfaceNumber(text.substr(colon + 1));
        if (h.interfaceNumber < 0)
            return fail("Invalid Nested " + std::to_string(hop + 1) + " interface");
        o.via.push_back(h);
    }
    o.targets.clear();
    for (const std::string& text : addressTexts) {
        const int address = field_rules::address(text);
        if (address < 0)
            return fail("Invalid " + addressName(viaTexts.size()) + " address");
        o.targets.push_back(address);
    }
    if (o.verbose && o.quiet)
        return fail("--verbose and --quiet cannot be combined");
    if (o.mode == Mode::Upgrade && o.file.empty())
        return fail("No bin file has been selected.");
    if (o.mode == Mode::Check && o.severalTargets)
        return fail("--addresses upgrades devices; check one device at a time");
    return true;
}

} // namespace

ParseResult parseArguments(const std::vector<std::string>& args)
{
    Parser p(args);
    p.result.ok = true;
    bool onlyFiles = false;
    for (p.at = 0; p.at < args.size(); ++p.at) {
        const std::string& arg = args[p.at];
        if (!onlyFiles && arg == "--") {
            onlyFiles = true;
        } else if (!onlyFiles && arg.size() > 1 && arg[0] == '-') {
            if (!p.option(arg))
                return p.result;
        } else if (p.result.options.file.empty()) {
            p.result.options.file = arg;
        } else {
            p.fail("Only one bin file can be given");
            return p.result;
        }
    }
    p.finish();
    return p.result;
}

std::string usageText()
{
    return R"(Usage:
  rs485-upgrade [options] FILE            upgrade the device with FILE (.bin or .bi2)
  rs485-upgrade --check [options] [FILE]  read type and version, judge them against FILE if given
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
  -h, --help             this text
      --version          the program's version

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

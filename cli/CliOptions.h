#pragma once
// The command line of rs485-upgrade. Values follow the window's field rules
// and are refused with the window's messages.
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class Mode { Upgrade, Check, Info, ListPorts, Help, Version };
enum class Downgrade { Ask, Accept, Refuse };

struct Hop {
    int address = -1;
    int interfaceNumber = -1;
};

struct Options {
    Mode mode = Mode::Upgrade;
    std::string port = "COM1";
    int baudRate = 115200;
    std::vector<int> targets{0x55}; // -a, or every entry of --addresses
    bool severalTargets = false;    // --addresses: summary at the end
    std::vector<Hop> via;           // from the PC outwards
    Downgrade downgrade = Downgrade::Ask;
    int32_t restartWaitMs = 25000;
    bool verbose = false;
    bool quiet = false;
    bool json = false; // --json: results as JSON on standard output, the rest on standard error
    std::string file;
};

struct ParseResult {
    bool ok = false;
    std::string error; // why the arguments were refused
    Options options;
};

constexpr int MAX_VIA_HOPS = 2;
constexpr const char* VERSION_TEXT = "rs485-upgrade 2.6.0";

ParseResult parseArguments(const std::vector<std::string>& args);
std::string usageText();

// The route of one target: addresses from the line to the target and the
// interface of each router. Values are already valid.
void routeOf(const Options& options, int target, std::vector<int32_t>& addresses, std::vector<int32_t>& interfaces);

// COMn (any case, n 1..255) gives n; anything else is a device path: 0.
int comNumberOf(const std::string& port);

} // namespace cli

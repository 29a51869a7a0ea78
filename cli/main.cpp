// rs485-upgrade: the command-line twin of the window, for scripts, production
// lines and machines without a display.
#include "app/StartupRules.h"
#include "cli/CliOptions.h"
#include "cli/Interrupts.h"
#include "cli/Report.h"
#include "cli/Session.h"
#include "cli/Texts.h"
#include "diagnostics/Globalfunctions.h"
#include "engine/BinFile.h"
#include "platform/DataDirectory.h"
#include "platform/MainLoop.h"
#include "platform/PortMap.h"
#include "platform/StandardDescriptors.h"
#include "platform/SerialPort.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_RUN_FAILED = 1;
constexpr int EXIT_BAD_INPUT = 2;

// Where the lines for the operator go: with --json standard output holds
// only the records.
std::FILE* humanOutput(const cli::Options& options)
{
    return options.json ? stderr : stdout;
}

// Every COM number that maps to a device, in-use ones marked, as tab-separated
// columns: number, device, stable name ("-" when none), state.
int listPorts()
{
    const platform::PortMap ports;
    const std::vector<platform::PortEntry> entries = ports.list(platform::PortMap::LAST_PORT, false);
    if (entries.empty()) {
        std::printf("No serial port found (none under /dev and none linked in %s/ports).\n",
                    ports.dataDirectory().c_str());
        return 0;
    }
    for (const platform::PortEntry& entry : entries) {
        std::string reason;
        platform::SerialPort::Status status = platform::SerialPort::Status::Ok;
        platform::SerialPort::probe(entry.device, &reason, &status);
        std::string state = "free";
        if (status == platform::SerialPort::Status::InUse)
            state = "in use";
        else if (status != platform::SerialPort::Status::Ok)
            state = "unusable: " + reason;
        std::printf("COM%d\t%s\t%s\t%s\n", entry.number, entry.device.c_str(),
                    entry.stableName.empty() ? "-" : entry.stableName.c_str(), state.c_str());
    }
    return 0;
}

// The downgrade question, answered by the options or on the terminal.
bool answerDowngrade(const cli::Options& options, const std::string& question)
{
    if (options.downgrade != cli::Downgrade::Ask)
        return options.downgrade == cli::Downgrade::Accept;
    std::FILE* out = humanOutput(options);
    if (!isatty(STDIN_FILENO)) {
        if (!options.quiet)
            std::fprintf(out, "%s No terminal to answer: the downgrade is refused (use --yes to accept it).\n",
                         question.c_str());
        return false;
    }
    std::fprintf(out, "%s [y/N] ", question.c_str());
    std::fflush(out);
    std::string answer;
    std::getline(std::cin, answer);
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// The port must exist and be free before a run: the port's own message and
// exit 2 rather than a failed run.
bool portUsable(const cli::Options& options, int& comNumber, std::string& device, std::string& why)
{
    comNumber = cli::comNumberOf(options.port);
    device = options.port;
    std::string name;
    if (comNumber != 0) {
        device = platform::PortMap().resolve(comNumber);
        if (device.empty()) {
            why = "No serial device is COM" + std::to_string(comNumber) +
                  " (is the adapter plugged in? see rs485-upgrade --list-ports)";
            return false;
        }
        name = options.port + ": ";
    } else {
        comNumber = 1; // the path is pinned as COM 1 for this run
    }
    std::string reason;
    if (!platform::SerialPort::probe(device, &reason)) {
        why = name + reason;
        return false;
    }
    return true;
}

// One JSON line on standard output, written as the device's run ends.
void writeRecord(const cli::Options& options, const cli::RunResult& result, const KWOSBinFileDescription* file,
                 const std::string& device, int target)
{
    cli::RunRecord record;
    record.portDevice = device;
    record.target = target;
    record.file = file;
    record.device = result.device;
    record.result = result.interruptedBy != 0              ? "interrupted"
                    : result.finalEvent == EVENT_FINISHED ? "finished"
                    : result.finalEvent == EVENT_FAILED   ? "failed"
                                                          : "check_done";
    record.reason = result.reason;
    record.seconds = result.seconds;
    std::printf("%s\n", cli::runRecord(options, record).dump().c_str());
    std::fflush(stdout);
}

// Runs every target in turn with one engine, as the window keeps one.
int runTargets(platform::MainLoop& loop, const cli::Options& options, const KWOSBinFile& file,
               const KWOSBinFileDescription& description, int comNumber, const std::string& device,
               const cli::Interrupts& interrupts)
{
    loop.setAskHandler([&](const std::string& text) { return answerDowngrade(options, text); });
    std::FILE* out = humanOutput(options);
    cli::Session session(loop, options, out, isatty(fileno(out)));
    if (!session.ok()) {
        std::fprintf(stderr, "rs485-upgrade: the upgrade engine could not be created\n");
        return EXIT_BAD_INPUT;
    }
    session.engine().setFileDescription(description);
    session.setInterrupt(&interrupts.signal());
    int failures = 0;
    std::vector<std::string> summary;
    for (int target : options.targets) {
        if (options.severalTargets && !options.quiet)
            std::fprintf(out, "--- Device %02X\n", target);
        const cli::RunResult result = session.run(comNumber, target, file);
        if (options.json)
            writeRecord(options, result, file.empty() ? nullptr : &description, device, target);
        if (result.interruptedBy != 0) {
            std::fprintf(out, "%s\n", result.finalLine.c_str());
            std::fflush(out);
            return cli::Interrupts::exitCode(result.interruptedBy);
        }
        if (!result.alreadyShown)
            std::fprintf(out, "%s\n", result.finalLine.c_str());
        std::fflush(out);
        if (result.finalEvent == EVENT_FAILED)
            ++failures;
        char address[8];
        std::snprintf(address, sizeof address, "%02X", target);
        summary.push_back(std::string(address) + "\t" + result.finalLine);
    }
    if (options.severalTargets) {
        std::fprintf(out, "Summary:\n");
        for (const std::string& line : summary)
            std::fprintf(out, "%s\n", line.c_str());
    }
    return failures ? EXIT_RUN_FAILED : 0;
}

// The diagnostics of the window: its data directory and diagnostic file.
// Errors reach the terminal only with --verbose, since every error an
// operator must see also comes as an engine message; with --verbose the
// communication trace goes there as well.
void configureDiagnostics(const cli::Options& options, int extraErrorOutputs = 0)
{
    const int console = options.verbose ? LOG_TO_CONSOLE : 0;
    app::configureDiagnostics({LOG_TO_FILE | console | extraErrorOutputs, LOG_TO_FILE | console},
                              platform::dataDirectory());
}

// The reader and the image builders report why they refuse a file through
// the diagnostics only: their errors go to this loop's message handler while
// `step` runs, so the refusal can name the reason.
bool fileStep(platform::MainLoop& loop, const cli::Options& options, const std::function<bool()>& step,
              std::string& why)
{
    std::string lastError;
    loop.setMessageHandler([&](const std::string& text, const std::string&) { lastError = text; });
    configureDiagnostics(options, LOG_TO_MESSAGEBOX);
    const bool ok = step();
    configureDiagnostics(options);
    loop.setMessageHandler(nullptr);
    if (!ok) {
        why = std::string(cli::FILE_REJECTED);
        if (const std::string reason = cli::operatorText(lastError); !reason.empty() && reason != why)
            why += " " + reason;
    }
    return ok;
}

int run(const cli::Options& options, const cli::Interrupts& interrupts)
{
    platform::MainLoop loop;
    platform::UiBridge::install(&loop);
    configureDiagnostics(options);

    KWOSBinFile file;
    KWOSBinFileDescription description;
    std::string why;
    if (!options.file.empty()) {
        KWOSBinFileLabels labels;
        if (!fileStep(loop, options, [&] { return openBinFile(options.file, file, description, labels); }, why)) {
            std::fprintf(stderr, "rs485-upgrade: %s: %s\n", options.file.c_str(), why.c_str());
            return EXIT_BAD_INPUT;
        }
        if (!options.quiet && options.mode != cli::Mode::Info)
            std::fprintf(humanOutput(options), "File : %s, %s, version %s%s%s\n", labels.fileName.c_str(),
                         labels.fileLength.c_str(), labels.version.c_str(), labels.version2.empty() ? "" : " ",
                         labels.version2.c_str());
    }
    if (options.mode == cli::Mode::Info) {
        nlohmann::ordered_json info;
        if (!fileStep(loop, options, [&] { return cli::fileInfo(options.file, file, description, info); }, why)) {
            std::fprintf(stderr, "rs485-upgrade: %s: %s\n", options.file.c_str(), why.c_str());
            return EXIT_BAD_INPUT;
        }
        std::fputs(options.json ? (info.dump() + "\n").c_str() : cli::infoText(info).c_str(), stdout);
        return 0;
    }
    int comNumber = 0;
    std::string device;
    if (!portUsable(options, comNumber, device, why)) {
        std::fprintf(stderr, "rs485-upgrade: %s\n", why.c_str());
        return EXIT_BAD_INPUT;
    }
    return runTargets(loop, options, file, description, comNumber, device, interrupts);
}

} // namespace

int main(int argc, char** argv)
{
    if (!platform::secureStandardDescriptors())
        return 1;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const cli::ParseResult parsed = cli::parseArguments(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "rs485-upgrade: %s\nTry 'rs485-upgrade --help'.\n", parsed.error.c_str());
        return EXIT_BAD_INPUT;
    }
    const cli::Options& options = parsed.options;
    switch (options.mode) {
    case cli::Mode::Help:
        std::fputs(cli::usageText().c_str(), stdout);
        return 0;
    case cli::Mode::Version:
        std::printf("%s\n", cli::VERSION_TEXT);
        return 0;
    case cli::Mode::ListPorts:
        return listPorts();
    default:
        break;
    }
    // Before any other thread exists, so that only its own thread takes them.
    const cli::Interrupts interrupts;
    if (!interrupts.ok()) {
        std::fprintf(stderr, "rs485-upgrade: signals cannot be watched: %s\n", std::strerror(errno));
        return EXIT_BAD_INPUT;
    }
    return run(options, interrupts);
}

// rs485-upgrade: the command-line twin of the window, for scripts, production
// lines and machines without a display.
#include "app/StartupRules.h"
#include "cli/CliOptions.h"
#include "cli/Interrupts.h"
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
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_RUN_FAILED = 1;
constexpr int EXIT_BAD_INPUT = 2;

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
    if (!isatty(STDIN_FILENO)) {
        if (!options.quiet)
            std::printf("%s No terminal to answer: the downgrade is refused (use --yes to accept it).\n",
                    question.c_str());
        return false;
    }
    std::printf("%s [y/N] ", question.c_str());
    std::fflush(stdout);
    std::string answer;
    std::getline(std::cin, answer);
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// The port must exist and be free before a run: the port's own message and
// exit 2 rather than a failed run.
bool portUsable(const cli::Options& options, int& comNumber, std::string& why)
{
    comNumber = cli::comNumberOf(options.port);
    std::string device = options.port;
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

// Runs every target in turn with one engine, as the window keeps one.
int runTargets(platform::MainLoop& loop, const cli::Options& options, const KWOSBinFile& file,
               const KWOSBinFileDescription& description, int comNumber, const cli::Interrupts& interrupts)
{
    loop.setAskHandler([&](const std::string& text) { return answerDowngrade(options, text); });
    cli::Session session(loop, options, stdout, isatty(STDOUT_FILENO));
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
            std::printf("--- Device %02X\n", target);
        const cli::RunResult result = session.run(comNumber, target, file);
        if (result.interruptedBy != 0) {
            std::printf("%s\n", result.finalLine.c_str());
            std::fflush(stdout);
            return cli::Interrupts::exitCode(result.interruptedBy);
        }
        if (!result.alreadyShown)
            std::printf("%s\n", result.finalLine.c_str());
        std::fflush(stdout);
        if (result.finalEvent == EVENT_FAILED)
            ++failures;
        char address[8];
        std::snprintf(address, sizeof address, "%02X", target);
        summary.push_back(std::string(address) + "\t" + result.finalLine);
    }
    if (options.severalTargets) {
        std::printf("Summary:\n");
        for (const std::string& line : summary)
            std::printf("%s\n", line.c_str());
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

// The reader reports why it refused a file through the diagnostics only: its
// errors go to this loop's message handler while it reads, so the refusal
// can name the reason.
bool loadFile(platform::MainLoop& loop, const cli::Options& options, KWOSBinFile& file,
              KWOSBinFileDescription& description, KWOSBinFileLabels& labels, std::string& why)
{
    std::string lastError;
    loop.setMessageHandler([&](const std::string& text, const std::string&) { lastError = text; });
    configureDiagnostics(options, LOG_TO_MESSAGEBOX);
    const bool ok = openBinFile(options.file, file, description, labels);
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
    if (!options.file.empty()) {
        KWOSBinFileLabels labels;
        std::string why;
        if (!loadFile(loop, options, file, description, labels, why)) {
            std::fprintf(stderr, "rs485-upgrade: %s: %s\n", options.file.c_str(), why.c_str());
            return EXIT_BAD_INPUT;
        }
        if (!options.quiet)
            std::printf("File : %s, %s, version %s%s%s\n", labels.fileName.c_str(), labels.fileLength.c_str(),
                        labels.version.c_str(), labels.version2.empty() ? "" : " ", labels.version2.c_str());
    }
    int comNumber = 0;
    std::string why;
    if (!portUsable(options, comNumber, why)) {
        std::fprintf(stderr, "rs485-upgrade: %s\n", why.c_str());
        return EXIT_BAD_INPUT;
    }
    return runTargets(loop, options, file, description, comNumber, interrupts);
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

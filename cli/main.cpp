// rs485-upgrade: the command-line twin of the window, for scripts, production
// lines and machines without a display.
#include "app/StartupRules.h"
#include "cli/CliOptions.h"
#include "cli/Session.h"
#include "diagnostics/Globalfunctions.h"
#include "engine/BinFile.h"
#include "platform/DataDirectory.h"
#include "platform/PortMap.h"
#include "platform/SerialPort.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_RUN_FAILED = 1;
constexpr int EXIT_BAD_INPUT = 2;

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
        const bool usable = platform::SerialPort::probe(entry.device, &reason);
        std::printf("COM%d\t%s", entry.number, entry.device.c_str());
        if (!entry.stableName.empty())
            std::printf("\t%s", entry.stableName.c_str());
        if (!usable)
            std::printf("\t(%s)", reason.c_str());
        std::printf("\n");
    }
    return 0;
}

// The downgrade question, answered by the options or on the terminal.
bool answerDowngrade(const cli::Options& options, const std::string& question)
{
    if (options.downgrade != cli::Downgrade::Ask)
        return options.downgrade == cli::Downgrade::Accept;
    if (!isatty(STDIN_FILENO)) {
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

// The port must exist and be free before a run: a clear message and exit 2
// rather than a failed run.
bool portUsable(const cli::Options& options, int& comNumber, std::string& why)
{
    comNumber = cli::comNumberOf(options.port);
    std::string device = options.port;
    if (comNumber != 0) {
        device = platform::PortMap().resolve(comNumber);
        if (device.empty()) {
            why = "No serial device is COM" + std::to_string(comNumber) + " (see rs485-upgrade --list-ports)";
            return false;
        }
    } else {
        comNumber = 1;
    }
    std::string reason;
    if (!platform::SerialPort::probe(device, &reason)) {
        why = "Cannot open " + options.port + " (" + device + "): " + reason;
        return false;
    }
    return true;
}

// Runs every target in turn with one engine, as the window keeps one.
int runTargets(const cli::Options& options, const KWOSBinFile& file, const KWOSBinFileDescription& description,
               int comNumber)
{
    platform::MainLoop loop;
    loop.setAskHandler([&](const std::string& text) { return answerDowngrade(options, text); });
    platform::UiBridge::install(&loop);
    cli::Session session(loop, options, stdout, isatty(STDOUT_FILENO));
    if (!session.ok()) {
        std::fprintf(stderr, "rs485-upgrade: the upgrade engine could not be created\n");
        return EXIT_BAD_INPUT;
    }
    session.engine().setFileDescription(description);
    int failures = 0;
    std::vector<std::string> summary;
    for (int target : options.targets) {
        if (options.severalTargets && !options.quiet)
            std::printf("--- Device %02X\n", target);
        const cli::RunResult result = session.run(comNumber, target, file);
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

int run(const cli::Options& options)
{
    KWOSBinFile file;
    KWOSBinFileDescription description;
    if (!options.file.empty()) {
        KWOSBinFileLabels labels;
        if (!openBinFile(options.file, file, description, labels)) {
            std::fprintf(stderr, "rs485-upgrade: Bin file not valid.\n");
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
    return runTargets(options, file, description, comNumber);
}

} // namespace

int main(int argc, char** argv)
{
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
    // The window's diagnostic file; errors also on standard error unless quiet,
    // the communication trace there with --verbose.
    app::StartupOutputs outputs{LOG_TO_FILE | (options.quiet ? 0 : LOG_TO_CONSOLE),
                                LOG_TO_FILE | (options.verbose ? LOG_TO_CONSOLE : 0)};
    app::configureDiagnostics(outputs, platform::dataDirectory());
    return run(options);
}

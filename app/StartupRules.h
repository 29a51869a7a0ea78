#pragma once
// The start-up rules of the program entry, before any window exists: the
// command line and the diagnostics set-up. The window executable calls them
// in this order: platform::dataDirectory(), readCommandLine(),
// configureDiagnostics().
#include <string>

namespace app {

// Name under which the diagnostics report, and the title of the program.
constexpr const char* APPLICATION_NAME = "Veltra - RS485 Firmware upgrader";
constexpr const char* APPLICATION_TITLE = "RS485 Firmware upgrader";

constexpr const char* OPTION_DEBUG_MSG = "-DebugMsg";
constexpr const char* OPTION_NO_LOG_FILE = "-NoLogFile";

struct StartupOutputs {
    int errorOutputs; // console only, plus message boxes with -DebugMsg
    int logOutputs;   // the diagnostic file unless -NoLogFile
};

// Reads arguments 1..argc-1 (compared whole, case-sensitive). Every other
// argument is reported as "Bad executable argument\t" + argument under the
// settings in force, which at start-up are the built-in ones.
StartupOutputs readCommandLine(int argc, const char* const* argv);

// Errors and log entries into the one "Error_" file of the data directory.
void configureDiagnostics(const StartupOutputs& outputs, const std::string& dataDirectory);

} // namespace app

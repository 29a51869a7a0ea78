#pragma once
// What rs485-upgrade prints besides the engine's own lines: the final lines,
// the progress display and the operator's view of a diagnostic entry.
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

constexpr const char* FINISHED_LINE = "Upgrade finished successfully.";
constexpr const char* CHECK_DONE_LINE = "Check version and type read successfully.";
constexpr const char* FAILED_LINE = "Upgrade failed.";
constexpr const char* INTERRUPTED_LINE = "Upgrade failed. Interrupted.";
constexpr const char* INTERRUPTED_REASON = "Interrupted."; // the reason INTERRUPTED_LINE gives
constexpr const char* FILE_REJECTED = "Bin file not valid.";

// An engine message split into the lines it holds (its texts break lines
// with "\r\n"); empty lines are dropped.
std::vector<std::string> messageLines(const std::string& text);
// The same message on one line, its breaks turned into spaces: the reason
// after "Upgrade failed.".
std::string oneLine(const std::string& text);
// A diagnostic entry as the operator needs it: without its head line
// ("hh:mm:ss:mmm file line function\r\n") and without the place after the tab.
std::string operatorText(const std::string& entry);

// The progress bar of a transfer on a terminal, drawn over the previous one:
// "\r[####......]  40 %  6528/16384 bytes  3.1 kB/s  0:02 left" and a clear
// to the end of the line.
std::string transferBar(int percent, int64_t imageBytes, double elapsedSeconds);
// The restart wait on a terminal, drawn in place like the bar.
std::string restartCountdown(int remainingMs);
// "Progress 40 %": a line per 10 % when the output is not a terminal.
std::string progressLine(int decile);

} // namespace cli

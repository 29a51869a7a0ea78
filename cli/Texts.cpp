#include "cli/Texts.h"

#include <algorithm>
#include <cstdio>

namespace cli {
namespace {

constexpr int BAR_WIDTH = 30;
// Erases what a longer previous drawing left on the line.
constexpr const char* CLEAR_TO_END = "\033[K";

std::string minutesAndSeconds(double seconds)
{
    const long s = std::max(0L, static_cast<long>(seconds + 0.5));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string rateText(double bytesPerSecond)
{
    char text[32];
    if (bytesPerSecond >= 1000)
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1000);
    else
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    return text;
}

} // namespace

std::vector<std::string> messageLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty())
                lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

std::string oneLine(const std::string& text)
{
    std::string joined;
    for (const std::string& line : messageLines(text))
        joined += (joined.empty() ? "" : " ") + line;
    return joined;
}

std::string operatorText(const std::string& entry)
{
    std::string text = entry;
    if (const size_t headEnd = text.find("\r\n"); headEnd != std::string::npos)
        text.erase(0, headEnd + 2);
    if (const size_t tab = text.find('\t'); tab != std::string::npos)
        text.erase(tab);
    return oneLine(text);
}

std::string transferBar(int percent, int64_t imageBytes, double elapsedSeconds)
{
    percent = std::clamp(percent, 0, 100);
    const int64_t bytes = std::max<int64_t>(0, imageBytes) * percent / 100;
    const int filled = percent * BAR_WIDTH / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(BAR_WIDTH, '.');
    const bool timed = elapsedSeconds > 0 && percent > 0;
    const std::string rate = timed ? rateText(bytes / elapsedSeconds) : "-- B/s";
    const std::string left = timed ? minutesAndSeconds(elapsedSeconds * (100 - percent) / percent) : "-:--";
    char text[160];
    std::snprintf(text, sizeof text, "\r[%s] %3d %%  %lld/%lld bytes  %s  %s left%s", bar.c_str(), percent,
                  static_cast<long long>(bytes), static_cast<long long>(imageBytes), rate.c_str(), left.c_str(),
                  CLEAR_TO_END);
    return text;
}

std::string restartCountdown(int remainingMs)
{
    char text[96];
    std::snprintf(text, sizeof text, "\rWaiting for the device to restart: %s left%s",
                  minutesAndSeconds(std::max(0, remainingMs) / 1000.0).c_str(), CLEAR_TO_END);
    return text;
}

std::string progressLine(int decile)
{
    return "Progress " + std::to_string(std::clamp(decile, 0, 10) * 10) + " %";
}

} // namespace cli

#include "cli/Session.h"

#include "engine/BinFile.h"

#include <algorithm>
#include <array>

namespace cli {
namespace {

constexpr const char* FINISHED_LINE = "Upgrade finished successfully.";
constexpr const char* CHECK_DONE_LINE = "Check version and type read successfully.";
constexpr const char* FAILED_LINE = "Upgrade failed.";
constexpr int BAR_WIDTH = 30;

bool isFinal(int code)
{
    // Codes outside the table end a run like EVENT_CHECK_DONE, as in the window.
    return code == EVENT_FINISHED || code == EVENT_FAILED || code == EVENT_CHECK_DONE || code < EVENT_MESSAGE ||
           code > EVENT_DEVICE_VERSION;
}

std::string minutesAndSeconds(double seconds)
{
    const int s = std::max(0, static_cast<int>(seconds + 0.5));
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
    return text;
}

} // namespace

Session::Session(platform::MainLoop& loop, const Options& options, std::FILE* out, bool terminal)
    : m_loop(loop), m_options(options), m_out(out), m_terminal(terminal), m_checkOnly(options.mode == Mode::Check)
{
    platform::PortMap ports;
    if (comNumberOf(options.port) == 0)
        ports.pin(1, options.port); // a device path: this run's COM 1
    m_engine = std::make_unique<KWOCFwUpgraderRS485>(&m_ok, this, std::move(ports));
    if (!m_ok)
        return;
    m_engine->setRestartWait(options.restartWaitMs);
    // Every downgrade within a major version is a question; the options or
    // the terminal answer it.
    m_engine->enableDowngradeConfirmation();
}

Session::~Session()
{
    if (m_engine)
        m_engine->closeConnection();
}

RunResult Session::run(int port, int target, const KWOSBinFile& file)
{
    {
        std::lock_guard lock(m_lock);
        m_finalEvent = -1;
        m_lastMessage.clear();
        m_lastPrinted.clear();
        m_lastDecile = -1;
        m_lastValue = -1;
        m_imageBytes = static_cast<int>(file.bytes.size());
        m_progressStart = std::chrono::steady_clock::now();
    }
    std::vector<int32_t> addresses;
    std::vector<int32_t> interfaces;
    routeOf(m_options, target, addresses, interfaces);
    // The engine takes whole arrays, as the window keeps them, even for a
    // direct route.
    std::array<int32_t, MAX_ROUTE_ADDRESSES> addressArray;
    std::array<int32_t, MAX_ROUTE_ADDRESSES - 1> interfaceArray;
    addressArray.fill(-1);
    interfaceArray.fill(-1);
    std::copy(addresses.begin(), addresses.end(), addressArray.begin());
    std::copy(interfaces.begin(), interfaces.end(), interfaceArray.begin());
    // A refused start raises its EVENT_FAILED before it returns.
    m_engine->startUpgrade(port, m_options.baudRate, addressArray.data(), static_cast<int>(addresses.size()),
                           interfaceArray.data(), static_cast<int>(interfaces.size()), file.empty() ? nullptr : &file);
    m_loop.runUntil(
        [this] {
            std::lock_guard lock(m_lock);
            return m_finalEvent != -1;
        },
        std::chrono::hours(24 * 365));
    m_engine->closeConnection();

    std::lock_guard lock(m_lock);
    endProgressLine();
    RunResult result;
    result.finalEvent = m_finalEvent;
    result.alreadyShown = false;
    if (m_finalEvent == EVENT_FINISHED)
        result.finalLine = FINISHED_LINE;
    else if (m_finalEvent == EVENT_FAILED)
        result.finalLine = m_lastMessage.empty() ? FAILED_LINE : std::string(FAILED_LINE) + " " + m_lastMessage;
    else
        result.finalLine = CHECK_DONE_LINE;
    // The engine's own last line may already say it.
    result.alreadyShown = !m_options.quiet && m_lastPrinted == result.finalLine;
    return result;
}

void Session::fwUpgraderEvent(int code, int value, const std::string& text, bool /*direct*/)
{
    std::lock_guard lock(m_lock);
    switch (code) {
    case EVENT_MESSAGE:
        m_lastMessage = text;
        print(text);
        break;
    case EVENT_PROGRESS:
        showProgress(value);
        break;
    case EVENT_DEVICE_TYPE:
        print("Type/Model : " + text);
        break;
    case EVENT_DEVICE_VERSION:
        print("FW/HW version : " + text);
        break;
    default:
        break;
    }
    if (isFinal(code) && m_finalEvent == -1)
        m_finalEvent = (code == EVENT_FINISHED || code == EVENT_FAILED) ? code : EVENT_CHECK_DONE;
}

void Session::print(const std::string& line)
{
    if (m_options.quiet)
        return;
    endProgressLine();
    std::fprintf(m_out, "%s\n", line.c_str());
    std::fflush(m_out);
    m_lastPrinted = line;
}

void Session::endProgressLine()
{
    if (m_progressOpen) {
        std::fputc('\n', m_out);
        m_progressOpen = false;
    }
}

void Session::showProgress(int value)
{
    if (m_options.quiet || value == m_lastValue)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (value <= 0 || value < m_lastValue) {
        // A new stage (upload, verification) or a countdown, which a log
        // does not need line by line.
        m_progressStart = now;
        m_lastDecile = std::clamp(value, 0, 100) / 10;
    }
    m_lastValue = value;
    const int percent = std::clamp(value, 0, 100);
    if (!m_terminal) {
        // A log file or a pipe gets a line per 10 %.
        const int decile = percent / 10;
        if (decile > m_lastDecile) {
            m_lastDecile = decile;
            std::fprintf(m_out, "Progress %d %%\n", decile * 10);
            std::fflush(m_out);
        }
        return;
    }
    const double elapsed = std::chrono::duration<double>(now - m_progressStart).count();
    const long bytes = static_cast<long>(m_imageBytes) * percent / 100;
    const double rate = elapsed > 0 ? bytes / elapsed : 0;
    const std::string left = percent > 0 && elapsed > 0 ? minutesAndSeconds(elapsed * (100 - percent) / percent) : "--:--";
    const int filled = percent * BAR_WIDTH / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(BAR_WIDTH, '.');
    std::fprintf(m_out, "\r[%s] %3d %%  %ld bytes  %.0f B/s  %s left ", bar.c_str(), percent, bytes, rate, left.c_str());
    std::fflush(m_out);
    m_progressOpen = true;
}

} // namespace cli

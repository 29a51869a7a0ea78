#include "cli/Session.h"

#include "cli/Texts.h"
#include "diagnostics/Globalfunctions.h"
#include "engine/BinFile.h"

#include <algorithm>
#include <array>
#include <csignal>

namespace cli {
namespace {

std::string signalName(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signal);
    }
}

bool isFinal(int code)
{
    // Codes outside the table end a run like EVENT_CHECK_DONE, as in the window.
    return code == EVENT_FINISHED || code == EVENT_FAILED || code == EVENT_CHECK_DONE || code < EVENT_MESSAGE ||
           code > EVENT_DEVICE_VERSION;
}

// States whose progress is the transfer of an image (upload or read-back).
bool isTransfer(int state)
{
    return state == STATE_UPLOADING || state == STATE_VERIFYING || state == STATE_UPLOADING_2 ||
           state == STATE_VERIFYING_2;
}

// States whose progress counts down the device's restart.
bool isRestartWait(int state)
{
    return state == STATE_WAIT_UPGRADE_MODE || state == STATE_WAIT_FLASHING || state == STATE_WAIT_FLASHING_2;
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
        m_progressStage = -1;
        m_stageClosed = false;
        m_lastDecile = 0;
        m_device = {};
    }
    const auto started = std::chrono::steady_clock::now();
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
    const auto interrupted = [this] { return m_interrupt ? m_interrupt->load() : 0; };
    m_loop.runUntil(
        [&] {
            std::lock_guard lock(m_lock);
            return m_finalEvent != -1 || interrupted() != 0;
        },
        std::chrono::hours(24 * 365));
    {
        // An outcome already raised stands; otherwise the run stops here,
        // and what the closing port makes the engine say is not shown.
        std::lock_guard lock(m_lock);
        if (m_finalEvent == -1)
            m_interruptedBy = interrupted();
    }
    const int32_t state = m_engine->m_nState.load();
    const int32_t block = m_engine->m_nBlockIndex;
    m_engine->closeConnection();

    std::lock_guard lock(m_lock);
    endProgressLine();
    RunResult result;
    result.device = m_device;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (m_interruptedBy != 0) {
        reportError("Upgrade interrupted by " + signalName(m_interruptedBy) + " in state " + std::to_string(state) +
                    ", block " + std::to_string(block) + "; the port is closed\tcli::Session::run");
        result.interruptedBy = m_interruptedBy;
        result.finalLine = INTERRUPTED_LINE;
        result.reason = INTERRUPTED_REASON;
        return result;
    }
    result.finalEvent = m_finalEvent;
    result.alreadyShown = false;
    if (m_finalEvent == EVENT_FINISHED)
        result.finalLine = FINISHED_LINE;
    else if (m_finalEvent == EVENT_FAILED) {
        const std::vector<std::string> lines = messageLines(m_lastMessage);
        result.finalLine = lines.empty() ? FAILED_LINE : std::string(FAILED_LINE) + " " + oneLine(m_lastMessage);
        result.reason = lines.empty() ? FAILED_LINE : lines.back();
    } else
        result.finalLine = CHECK_DONE_LINE;
    // The engine's own last line may already say it.
    result.alreadyShown = !m_options.quiet && m_lastPrinted == result.finalLine;
    return result;
}

void Session::fwUpgraderEvent(int code, int value, const std::string& text, bool /*direct*/)
{
    std::lock_guard lock(m_lock);
    if (m_interruptedBy != 0)
        return;
    switch (code) {
    case EVENT_MESSAGE:
        m_lastMessage = text;
        print(text);
        break;
    case EVENT_PROGRESS:
        showProgress(value);
        break;
    case EVENT_DEVICE_TYPE:
        if (m_device.type.empty())
            m_device.type = text;
        print("Type/Model : " + text);
        break;
    case EVENT_DEVICE_VERSION:
        noteVersion();
        print("FW/HW version : " + text);
        break;
    default:
        break;
    }
    if (isFinal(code) && m_finalEvent == -1)
        m_finalEvent = (code == EVENT_FINISHED || code == EVENT_FAILED) ? code : EVENT_CHECK_DONE;
}

// On the thread that raised the event, which is the one that read the words.
void Session::noteVersion()
{
    const int32_t state = m_engine->m_nState.load();
    const std::string version = deviceVersionText(m_engine->m_nFirmwareVersion, m_engine->m_nHardwareVersion);
    if (state == STATE_CHECK_NEW_VERSION || state == STATE_CHECK_NEW_VERSION_2) {
        m_device.versionAfter = version;
    } else if (m_device.versionBefore.empty()) {
        m_device.versionBefore = version;
        m_device.hardware = KWOCFwUpgraderRS485::hardwareVersionText(m_engine->m_nHardwareVersion);
    }
}

void Session::print(const std::string& text)
{
    if (m_options.quiet)
        return;
    if (m_progressStage != -1)
        m_stageClosed = true;
    endProgressLine();
    for (const std::string& line : messageLines(text)) {
        std::fprintf(m_out, "%s\n", line.c_str());
        m_lastPrinted = line;
    }
    std::fflush(m_out);
}

void Session::draw(const std::string& text)
{
    std::fputs(text.c_str(), m_out);
    std::fflush(m_out);
    m_progressOpen = true;
}

void Session::endProgressLine()
{
    if (m_progressOpen) {
        std::fputc('\n', m_out);
        m_progressOpen = false;
    }
}

// Called on the thread that raised the event, which is the thread that
// moves the engine's state and image size: both are read as they are now.
void Session::showProgress(int value)
{
    if (m_options.quiet)
        return;
    const int state = m_engine->m_nState.load();
    if (isRestartWait(state)) {
        // A log needs no countdown line by line.
        if (m_terminal)
            draw(restartCountdown(m_engine->m_nCountdown));
        return;
    }
    // Other values are the 0 that starts a run or ends a wait.
    if (!isTransfer(state))
        return;
    const auto now = std::chrono::steady_clock::now();
    if (state != m_progressStage) {
        endProgressLine();
        m_progressStage = state;
        m_stageClosed = false;
        m_stageBytes = m_engine->m_nFatBufferSize;
        m_progressStart = now;
        m_lastDecile = 0;
    }
    // The engine says a transfer is done before its last progress value;
    // the bar is not drawn again under that line.
    if (m_stageClosed)
        return;
    const int percent = std::clamp(value, 0, 100);
    if (m_terminal) {
        const double elapsed = std::chrono::duration<double>(now - m_progressStart).count();
        draw(transferBar(percent, m_stageBytes, elapsed));
        return;
    }
    const int decile = percent / 10;
    if (decile > m_lastDecile) {
        m_lastDecile = decile;
        std::fprintf(m_out, "%s\n", progressLine(decile).c_str());
        std::fflush(m_out);
    }
}

} // namespace cli

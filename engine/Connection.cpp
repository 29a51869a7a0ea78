// The engine object: construction, the connection, the state timer and the
// events to the owner.
#include "engine/Fwupgraderrs485.h"

#include "diagnostics/Globalfunctions.h"

#include <algorithm>

namespace {

constexpr int32_t READ_LOOP_MS = 2;
constexpr int32_t STOP_BITS = 1;
constexpr uint32_t COMMAND_SLOTS = 10;
constexpr uint32_t COMMAND_CAPACITY = 150;
constexpr uint32_t RESPONSE_CAPACITY = 150;
constexpr int32_t ANSWER_BUFFER_STEP = 200;

const std::string START_UPGRADE = "\tKWOCFwUpgraderRS485::startUpgrade";

} // namespace

KWOCFwUpgraderRS485::KWOCFwUpgraderRS485(bool* ok, KWOIUpgraderOwner* owner, platform::PortMap portMap)
    : m_PortMap(std::move(portMap))
{
    if (ok)
        *ok = false;
    m_EndMarker.fill(0xFF);
    for (size_t i = 0; i < m_FileSignatures.size(); ++i)
        m_FileSignatures[i] = FILE_SIGNATURES[i];
    m_MakerName = FILE_SIGNATURES[SIGNATURE_LEGACY];
    if (!owner)
        return;
    platform::UiBridge* ui = platform::UiBridge::current();
    if (!ui) {
        reportError("No user-interface thread for the state timer\tKWOCFwUpgraderRS485::KWOCFwUpgraderRS485");
        return;
    }
    m_EventCallback = owner;
    m_pStateTimer = ui->createTimer([this] { onStateTimer(); });
    m_pBusyTimer = ui->createTimer([this] { m_bBusyExpired = true; });
    m_nAnswerBufferSize = ANSWER_BUFFER_STEP;
    m_pAnswerBuffer.assign(size_t(m_nAnswerBufferSize), 0);
    if (ok)
        *ok = true;
}

KWOCFwUpgraderRS485::~KWOCFwUpgraderRS485()
{
    // Ends the communication threads first: none of them may still be inside
    // the engine when its timers and buffers go.
    disconnectFromDevice();
    if (m_pStateTimer)
        m_pStateTimer->stop();
    if (m_pBusyTimer)
        m_pBusyTimer->stop();
    m_pStateTimer.reset();
    m_pBusyTimer.reset();
}

bool KWOCFwUpgraderRS485::startUpgrade(int port, int baudRate, const int32_t* addresses, int nDeviceAddSize,
                                       const int32_t* interfaces, int nDeviceInterfaceSize, const KWOSBinFile* file)
{
    m_bIgnoreShortAnswer = false;
    if (!addresses || nDeviceAddSize <= 0) {
        reportError("Bad module address parameter (NULL pointer or invalid size)." + START_UPGRADE);
        return false;
    }
    if (nDeviceAddSize > MAX_ROUTE_ADDRESSES) {
        reportError("Max routing interfaces = " + std::to_string(MAX_ROUTE_ADDRESSES) + ")." + START_UPGRADE);
        return false;
    }
    if (!interfaces) {
        reportError("Bad module interface parameter (NULL pointer)." + START_UPGRADE);
        return false;
    }
    if (nDeviceInterfaceSize != nDeviceAddSize - 1) {
        reportError("Bad interface number. Must be number of addresses -1\r\nnDeviceAddSize = " +
                    std::to_string(nDeviceAddSize) + "\r\nnDeviceInterfaceSize = " +
                    std::to_string(nDeviceInterfaceSize) + START_UPGRADE);
        return false;
    }
    // A longer route would need length bytes of 128 or more in a block write.
    if (nDeviceInterfaceSize > MAX_ROUTE_HOPS) {
        reportError("Max routing hops = " + std::to_string(MAX_ROUTE_HOPS) +
                    " (nDeviceInterfaceSize = " + std::to_string(nDeviceInterfaceSize) + ")." + START_UPGRADE);
        return false;
    }
    std::copy_n(addresses, nDeviceAddSize, m_nDeviceAdd.begin());
    m_nDeviceAddSize = nDeviceAddSize;
    std::copy_n(interfaces, nDeviceInterfaceSize, m_nDeviceInterface.begin());
    m_nDeviceInterfaceSize = nDeviceInterfaceSize;
    m_nComPort = port;
    m_nBaudRate = baudRate;
    m_pBinFile = file && !file->empty() ? file : nullptr;

    platform::UiBridge* ui = platform::UiBridge::current();
    const bool direct = ui && ui->isUiThread();
    m_bRunEnded = false;
    stopBusyPolling();
    progress(0, direct);
    if (!connectToDevice() || !m_bConnected) {
        failRun("Unable to open connection\r\nCheck communication port",
                "Unable to open connection\r\nCheck communication port" + START_UPGRADE, direct);
        return false;
    }
    if (!m_EventCallback->isCheckDeviceOnly() && !m_pBinFile) {
        failRun("No bin file has been selected.", "No bin file has been selected." + START_UPGRADE, direct);
        return false;
    }
    m_nState = STATE_START;
    stateManagement(direct);
    return true;
}

bool KWOCFwUpgraderRS485::connectToDevice()
{
    m_bConnected = false;
    if (!m_pComManager) {
        bool error = true;
        auto manager = std::make_unique<KWOCRSComManager>(COMMAND_SLOTS, COMMAND_CAPACITY, RESPONSE_CAPACITY, this,
                                                          &KWOCFwUpgraderRS485::receiveData, m_nResponseTimeout,
                                                          &error, false, m_PortMap);
        if (error) {
            reportError("Creation of RSComManager failed\tKWOCFwUpgraderRS485::connectToDevice");
            return false;
        }
        std::lock_guard<std::mutex> guard(m_EngineLock);
        m_pComManager = std::move(manager);
    }
    if (m_pComManager->openCom(m_nComPort, m_nBaudRate, READ_LOOP_MS, STOP_BITS)) {
        m_bConnected = true;
        return true;
    }
    reportError("The opening of communication failed\tKWOCFwUpgraderRS485::connectToDevice");
    disconnectFromDevice();
    return false;
}

void KWOCFwUpgraderRS485::disconnectFromDevice()
{
    // The manager leaves the engine under the lock, so that a request sent
    // from a callback meanwhile finds the line closed instead of a manager
    // being destroyed; it is closed outside the lock, because closing waits
    // for the threads that run those callbacks.
    std::unique_ptr<KWOCRSComManager> manager;
    {
        std::lock_guard<std::mutex> guard(m_EngineLock);
        m_bConnected = false;
        manager = std::move(m_pComManager);
        m_nLastCommandNumber = -2;
    }
    if (manager)
        manager->closeCom();
}

bool KWOCFwUpgraderRS485::closeConnection()
{
    disconnectFromDevice();
    return true;
}

bool KWOCFwUpgraderRS485::enableDowngradeConfirmation()
{
    m_bConfirmDowngrade = true;
    return true;
}

void KWOCFwUpgraderRS485::setRestartWait(int32_t ms)
{
    m_nRestartWait = std::max(ms, 0);
}

void KWOCFwUpgraderRS485::onStateTimer()
{
    m_pStateTimer->stop();
    stateManagement(true);
}

std::string KWOCFwUpgraderRS485::versionDisplayText(int32_t f, int32_t h)
{
    if (h <= 0)
        return std::to_string(f >> 16) + "." + std::to_string(f & 0xFFFF) + " / NA";
    const std::string hardware = hardwareVersionText(h);
    if (f & LITTLE_CODE_BIT)
        return "L " + std::to_string((f >> 16) & 0xFF) + "." + std::to_string(f & 0x7F) + " / " + hardware;
    return std::to_string((f >> 16) & 0xFF) + "." + std::to_string(f & 0xFF) + " / " + hardware;
}

std::string KWOCFwUpgraderRS485::hardwareVersionText(int32_t h)
{
    if (h <= 0)
        return {};
    return std::to_string((h >> 16) & 0xFF) + "." + std::to_string(h & 0xFF);
}

std::string KWOCFwUpgraderRS485::deviceTypeText(int32_t deviceType)
{
    return std::to_string(deviceType >> 16) + "." + std::to_string(deviceType & 0xFFFF);
}

void KWOCFwUpgraderRS485::displayVersion(bool direct)
{
    raiseEvent(EVENT_DEVICE_VERSION, -1, versionDisplayText(m_nFirmwareVersion, m_nHardwareVersion), direct);
}

void KWOCFwUpgraderRS485::raiseEvent(int code, int value, const std::string& text, bool direct)
{
    if (m_EventCallback)
        m_EventCallback->fwUpgraderEvent(code, value, text, direct);
}

void KWOCFwUpgraderRS485::message(const std::string& text, bool direct)
{
    raiseEvent(EVENT_MESSAGE, -1, text, direct);
}

void KWOCFwUpgraderRS485::progress(int value, bool direct)
{
    raiseEvent(EVENT_PROGRESS, value, EVENT_NO_TEXT, direct);
}

void KWOCFwUpgraderRS485::finishRun(int code, bool direct)
{
    stopBusyPolling();
    if (m_bRunEnded.exchange(true))
        return;
    raiseEvent(code, code == EVENT_FINISHED ? 0 : -1, EVENT_NO_TEXT, direct);
}

void KWOCFwUpgraderRS485::failRun(const std::string& text, const std::string& reportText, bool direct)
{
    m_nState = STATE_IDLE;
    if (m_bRunEnded)
        return;
    reportError(reportText);
    message(text, direct);
    finishRun(EVENT_FAILED, direct);
}

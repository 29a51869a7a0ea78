// The step function that drives one upgrade, and its waits.
#include "engine/Fwupgraderrs485.h"

#include "diagnostics/Globalfunctions.h"

namespace {

constexpr const char* GET_VERSION_TYPE_FAILED = "getVersionType failed !";
constexpr const char* UPLOADING = "Uploading bin file...";
constexpr const char* FLASHING = "Flashing device...";

} // namespace

void KWOCFwUpgraderRS485::failStep(const std::string& text, bool direct)
{
    failRun(text, text + "\tKWOCFwUpgraderRS485::stateManagement", direct);
}

void KWOCFwUpgraderRS485::failVersion(const std::string& text, bool direct)
{
    failRun(text, text, direct);
}

void KWOCFwUpgraderRS485::announceDevice(bool direct)
{
    raiseEvent(EVENT_DEVICE_TYPE, -1, deviceTypeText(m_nDeviceType), direct);
    displayVersion(direct);
}

void KWOCFwUpgraderRS485::checkDone(bool direct)
{
    message("Check version and type read successfully.", direct);
    m_nState = STATE_IDLE;
    finishRun(EVENT_CHECK_DONE, direct);
}

void KWOCFwUpgraderRS485::startWait(int32_t state)
{
    m_nState = state;
    m_nCountdown = m_nRestartWait;
    m_pStateTimer->start(uint32_t(TIMER_STEP), true);
}

void KWOCFwUpgraderRS485::countdown(int32_t next, bool direct)
{
    if (m_nCountdown > 0) {
        m_nCountdown -= TIMER_STEP;
        if (m_nCountdown < 0)
            m_nCountdown = 0;
        m_pStateTimer->start(uint32_t(TIMER_STEP), true);
        progress(m_nRestartWait > 0 ? int(int64_t(m_nCountdown) * 100 / m_nRestartWait) : 0, direct);
        return;
    }
    m_nState = next;
    progress(0, direct);
    stateManagement(direct);
}

void KWOCFwUpgraderRS485::uploadFirstImage(bool direct)
{
    message(UPLOADING, direct);
    // Stored before the first block goes out: its answer finds the state
    // that handles it.
    m_nState = STATE_UPLOADING;
    if (!startLoadBinFile(direct))
        failStep("Bin file upload error !", direct);
}

void KWOCFwUpgraderRS485::stateManagement(bool direct)
{
    switch (m_nState.load()) {
    case STATE_START:
        m_nState = STATE_CHECK_DEVICE;
        message("Check actual firmware version on device.", direct);
        if (!getVersionType())
            failStep(GET_VERSION_TYPE_FAILED, direct);
        break;
    case STATE_CHECK_DEVICE: {
        announceDevice(direct);
        const int result = testVersionAndType(direct);
        if (result == 0) {
            failStep("Device type or version error.", direct);
        } else if ((result == 1 || result == 2) && m_EventCallback->isCheckDeviceOnly()) {
            checkDone(direct);
        } else if (result == 2) {
            message("Put device in firmware upgrade mode.", direct);
            if (putDeviceInLittleMode(direct))
                startWait(STATE_WAIT_UPGRADE_MODE);
            else
                failStep("Put device in firmware upgrade mode error !", direct);
        } else if (result == 1) {
            uploadFirstImage(direct);
        } else {
            failStep("Error when testing Firmware version.", direct);
        }
        break;
    }
    case STATE_WAIT_UPGRADE_MODE:
        countdown(STATE_READ_UPGRADE_MODE, direct);
        break;
    case STATE_READ_UPGRADE_MODE:
        m_nState = STATE_CHECK_UPGRADE_MODE;
        if (!getVersionType())
            failStep(GET_VERSION_TYPE_FAILED, direct);
        break;
    case STATE_CHECK_UPGRADE_MODE:
        announceDevice(direct);
        if (testVersionAndType(direct) == 1)
            uploadFirstImage(direct);
        else
            failStep("Failed to put device in firmware upgrade mode.", direct);
        break;
    case STATE_UPLOADING:
    case STATE_UPLOADING_2: {
        if (!m_bUploadComplete)
            break;
        const bool second = m_nState == STATE_UPLOADING_2;
        message(second ? "Bin file 2 uploaded successfully." : "Bin file uploaded successfully.", direct);
        progress(100, direct);
        message(second ? "Starting firmware 2 upload verification." : "Starting firmware upload verification.",
                direct);
        m_nState = second ? STATE_VERIFYING_2 : STATE_VERIFYING;
        if (!startVerifyBinFile(direct))
            failStep(second ? "Upload 2 verification error !" : "Upload verification error !", direct);
        break;
    }
    case STATE_VERIFYING:
    case STATE_VERIFYING_2: {
        if (m_pFatBuffer)
            break;
        const bool second = m_nState == STATE_VERIFYING_2;
        message(second ? "Upload 2 verification successfull." : "Upload verification successfull.", direct);
        progress(100, direct);
        if (startDeviceFlashing(direct, second ? 2 : 1)) {
            const int32_t wait = second ? STATE_WAIT_FLASHING_2 : STATE_WAIT_FLASHING;
            m_nState = wait;
            message(FLASHING, direct);
            startWait(wait);
        } else {
            failStep(second ? "Error while start flashing 2 on device !" : "Error while start flashing on device !",
                     direct);
        }
        break;
    }
    case STATE_WAIT_FLASHING:
        countdown(STATE_READ_NEW_VERSION, direct);
        break;
    case STATE_READ_NEW_VERSION:
        m_nState = STATE_CHECK_NEW_VERSION;
        message("Read new firmware version.", direct);
        // Without the read no answer would ever move the run on.
        if (!getVersionType())
            failStep(GET_VERSION_TYPE_FAILED, direct);
        break;
    case STATE_CHECK_NEW_VERSION:
        displayVersion(direct);
        if (!testUpgradedVersion(direct)) {
            failVersion("Version error after upgrade.", direct);
        } else if (m_nRunningCode == 1) {
            message("Uploading bin file 2...", direct);
            m_nState = STATE_UPLOADING_2;
            if (!startSecondImage(direct))
                failStep("Bin file 2 upload error !", direct);
        } else {
            m_nState = STATE_IDLE;
            finishRun(EVENT_FINISHED, direct);
        }
        break;
    case STATE_WAIT_FLASHING_2:
        countdown(STATE_READ_NEW_VERSION_2, direct);
        break;
    case STATE_READ_NEW_VERSION_2:
        m_nState = STATE_CHECK_NEW_VERSION_2;
        message("Read firmware 2 version.", direct);
        if (!getVersionType())
            failStep(GET_VERSION_TYPE_FAILED, direct);
        break;
    case STATE_CHECK_NEW_VERSION_2:
        displayVersion(direct);
        if (testUpgradedVersion(direct)) {
            m_nState = STATE_IDLE;
            finishRun(EVENT_FINISHED, direct);
        } else {
            failVersion("Version 2 error after upgrade.", direct);
        }
        break;
    case STATE_IDLE:
        break;
    default:
        reportError("State unknown\tKWOCFwUpgraderRS485::stateManagement");
        break;
    }
}

// Whether the loaded file may go to the device read, and whether the device
// runs the file's version after a flashing.
#include "engine/Fwupgraderrs485.h"

#include "diagnostics/Globalfunctions.h"

namespace {

const std::string TEST_VERSION_AND_TYPE = "\tKWOCFwUpgraderRS485::testVersionAndType";
constexpr const char* UNKNOWN_FORMAT = "Unknown file format !";
constexpr const char* NO_DOWNGRADE = "You cannot downgrade to this version !";
constexpr int32_t TYPE_VERSION_RECORD_BYTES = 2 * (2 + 4);

bool sameMajor(int32_t a, int32_t b)
{
    return (a >> 16) == (b >> 16);
}

int32_t withoutLittleBit(int32_t version)
{
    return version & ~LITTLE_CODE_BIT;
}

std::string olderVersionText(int32_t minimum)
{
    return "Older version not valid. Actual firmware of the device must be at least " + versionWordText(minimum) +
           " to be upgraded with this file !";
}

} // namespace

bool KWOCFwUpgraderRS485::getVersionType()
{
    const std::vector<uint8_t> payload = {uint8_t(FUNC_READ + 4), REG_DEVICE_TYPE, uint8_t(FUNC_READ + 4),
                                          REG_FIRMWARE_VERSION};
    if (!sendRequest(payload, {REG_DEVICE_TYPE, REG_FIRMWARE_VERSION},
                     expectedAnswerLength(TYPE_VERSION_RECORD_BYTES))) {
        reportError("sendData failed\tKWOCFwUpgraderRS485::getVersionType");
        return false;
    }
    return true;
}

std::string KWOCFwUpgraderRS485::refusal(const std::string& text, bool direct)
{
    message(text, direct);
    reportError(text + TEST_VERSION_AND_TYPE);
    return text;
}

bool KWOCFwUpgraderRS485::acceptDowngrade()
{
    if (!m_bConfirmDowngrade)
        return true;
    platform::UiBridge* ui = platform::UiBridge::current();
    return ui && ui->askYesNo("You are downgrading ! Continue?", "Warning");
}

int KWOCFwUpgraderRS485::testVersionAndType(bool direct)
{
    const bool fileLoaded = m_pBinFile && !m_pBinFile->empty();
    if (m_EventCallback->isCheckDeviceOnly() && !fileLoaded)
        return 1;
    const KWOSBinFileDescription& f = m_File;
    int32_t type = 0, minHardware = -1, maxHardware = -1;
    switch (f.m_nFileFormat) {
    case FORMAT_LEGACY:
    case FORMAT_32BITS:
        m_nRunningCode = 0;
        type = f.m_nFileDeviceType;
        minHardware = f.m_nFileMinHardware;
        maxHardware = f.m_nFileMaxHardware;
        break;
    case FORMAT_SECTIONS: {
        m_nRunningCode = (m_nFirmwareVersion & LITTLE_CODE_BIT) ? 1 : 2;
        const int section = m_nRunningCode == 1 ? SECTION_LT : SECTION_BG;
        type = f.m_nSectionDeviceType[section];
        minHardware = f.m_nSectionMinHardware[section];
        maxHardware = f.m_nSectionMaxHardware[section];
        break;
    }
    default:
        refusal(UNKNOWN_FORMAT, direct);
        return 0;
    }
    if (type != m_nDeviceType) {
        refusal("Type mismatch. This firmware file is not for this device !", direct);
        return 0;
    }
    if (m_nHardwareVersion != -1 && minHardware != -1 && m_nHardwareVersion < minHardware) {
        refusal("Older hardware version not valid. Actual hadware of the device must be at least " +
                    versionWordText(minHardware) + " to be upgraded with this file !",
                direct);
        return 0;
    }
    if (maxHardware != -1 && m_nHardwareVersion != -1 && m_nHardwareVersion > maxHardware) {
        refusal("This firmware is not compatible with your hardware version.\r\n"
                "The hardware version must be less or equal than " +
                    versionWordText(maxHardware) + " to be upgraded with this file !",
                direct);
        return 0;
    }
    if (m_nRunningCode == 0) {
        if (m_nFirmwareVersion < f.m_nFileMinVersion) {
            refusal(olderVersionText(f.m_nFileMinVersion), direct);
            return 0;
        }
        if (m_nFirmwareVersion <= f.m_nFileVersion)
            return 1;
        if (sameMajor(m_nFirmwareVersion, f.m_nFileVersion))
            return acceptDowngrade() ? 1 : 0;
        refusal(NO_DOWNGRADE, direct);
        return 0;
    }
    const int32_t ltVersion = withoutLittleBit(f.m_nSectionVersion[SECTION_LT]);
    const int32_t ltMinimum = withoutLittleBit(f.m_nSectionMinVersion[SECTION_LT]);
    const int32_t deviceVersion = withoutLittleBit(m_nFirmwareVersion);
    const int32_t bgVersion = f.m_nSectionVersion[SECTION_BG];
    const int32_t littleNeededByBg = f.m_nSectionMinVersion[SECTION_BG];
    if (ltVersion != littleNeededByBg) {
        refusal("File Little code version does not match Big code minimum version", direct);
        return 0;
    }
    if (deviceVersion < ltMinimum) {
        refusal(olderVersionText(ltMinimum), direct);
        return 0;
    }
    const int32_t fileVersion = m_nRunningCode == 2 ? bgVersion : ltVersion;
    const int accepted = m_nRunningCode == 2 ? 2 : 1;
    if (deviceVersion <= fileVersion)
        return accepted;
    if (sameMajor(deviceVersion, fileVersion))
        return acceptDowngrade() ? accepted : 0;
    refusal(NO_DOWNGRADE, direct);
    return 0;
}

bool KWOCFwUpgraderRS485::testUpgradedVersion(bool direct)
{
    bool equal = false;
    switch (m_File.m_nFileFormat) {
    case FORMAT_LEGACY:
    case FORMAT_32BITS:
        equal = m_nFirmwareVersion == m_File.m_nFileVersion;
        break;
    case FORMAT_SECTIONS: {
        m_nRunningCode = (m_nFirmwareVersion & LITTLE_CODE_BIT) ? 1 : 2;
        const int section = m_nRunningCode == 1 ? SECTION_LT : SECTION_BG;
        equal = withoutLittleBit(m_nFirmwareVersion) == withoutLittleBit(m_File.m_nSectionVersion[section]);
        // After the big code was flashed, a device still in its little code
        // has not taken it.
        if (m_nState == STATE_CHECK_NEW_VERSION_2 && m_nRunningCode != 2)
            equal = false;
        break;
    }
    default:
        message(UNKNOWN_FORMAT, direct);
        reportError(UNKNOWN_FORMAT + TEST_VERSION_AND_TYPE);
        return false;
    }
    if (!equal) {
        // The state machine's own line and the run's one EVENT_FAILED follow.
        reportError("Device version not equal to the file version.");
        message("Device version not equal to the file version.", direct);
    }
    return equal;
}

// Requests that change the firmware: upgrade-mode entry, block upload,
// read-back verification and flashing.
#include "engine/Fwupgraderrs485.h"

#include "diagnostics/Globalfunctions.h"

namespace {

const std::string PLACE = "\tKWOCFwUpgraderRS485::";
constexpr const char* LOAD_CLOSED = "Load bin file error. communication closed !";

// Records of the requests (function byte, register, data).
void appendWord(std::vector<uint8_t>& payload, uint32_t word)
{
    payload.push_back(uint8_t(FUNC_WRITE + 6));
    payload.push_back(REG_FLASH_POINTER);
    for (int i = 0; i < 4; ++i)
        payload.push_back(uint8_t(word >> (8 * i)));
    payload.push_back(FLASH_MARKER[0]);
    payload.push_back(FLASH_MARKER[1]);
}

void appendExecute(std::vector<uint8_t>& payload)
{
    payload.push_back(FUNC_WRITE);
    payload.push_back(REG_FLASH_EXECUTE);
}

void appendStatusRead(std::vector<uint8_t>& payload)
{
    payload.push_back(uint8_t(FUNC_READ + FLASH_STATUS_SIZE));
    payload.push_back(REG_FLASH_POINTER);
}

constexpr int STATUS_RECORD_BYTES = 2 + FLASH_STATUS_SIZE;
constexpr int BLOCK_RECORD_BYTES = 4 * (2 + DATA_SLICE_SIZE);

} // namespace

void KWOCFwUpgraderRS485::releaseCurrentImage()
{
    // The current image is one of the owned buffers: releasing it empties
    // that buffer, once.
    if (m_pFatBuffer) {
        KWOImage().swap(*m_pFatBuffer);
        if (m_pFatBuffer == &m_pBigImage)
            m_nBigImageSize = 0;
    }
    m_pFatBuffer = nullptr;
    m_nFatBufferSize = 0;
}

bool KWOCFwUpgraderRS485::lineClosed(const char* text, const char* function, bool direct)
{
    if (m_bConnected)
        return false;
    releaseCurrentImage();
    message(text, direct);
    reportError(text + PLACE + function);
    return true;
}

bool KWOCFwUpgraderRS485::putDeviceInLittleMode(bool direct)
{
    if (lineClosed("Put Device in firmware upgrade mode error. communication closed !", "putDeviceInLittleMode",
                   direct))
        return false;
    std::vector<uint8_t> payload;
    appendWord(payload, CMD_ENTER_LITTLE_MODE);
    appendExecute(payload);
    if (!sendRequest(payload, {}, 0)) {
        reportError("sendData failed" + PLACE + "putDeviceInLittleMode");
        return false;
    }
    // The device restarts: the next answer may be missing or cut.
    m_bIgnoreShortAnswer = true;
    return true;
}

bool KWOCFwUpgraderRS485::sendWriteBlock()
{
    const size_t start = size_t(m_nBlockIndex) * BLOCK_SIZE;
    if (!m_pFatBuffer || start + BLOCK_SIZE > m_pFatBuffer->size())
        return false;
    std::vector<uint8_t> payload;
    appendWord(payload, uint32_t(start) + CMD_WRITE_BLOCK);
    for (int slice = 0; slice < 4; ++slice) {
        payload.push_back(uint8_t(FUNC_WRITE + DATA_SLICE_SIZE));
        payload.push_back(uint8_t(REG_DATA_0 + slice));
        const auto from = m_pFatBuffer->begin() + long(start) + slice * DATA_SLICE_SIZE;
        payload.insert(payload.end(), from, from + DATA_SLICE_SIZE);
    }
    appendExecute(payload);
    appendStatusRead(payload);
    return sendRequest(payload, {REG_FLASH_POINTER}, expectedAnswerLength(STATUS_RECORD_BYTES));
}

bool KWOCFwUpgraderRS485::sendStatusPoll()
{
    std::vector<uint8_t> payload;
    appendStatusRead(payload);
    return sendRequest(payload, {REG_FLASH_POINTER}, expectedAnswerLength(STATUS_RECORD_BYTES));
}

bool KWOCFwUpgraderRS485::sendReadBlock()
{
    std::vector<uint8_t> payload;
    appendWord(payload, uint32_t(m_nBlockIndex) * BLOCK_SIZE + CMD_READ_BLOCK);
    appendExecute(payload);
    for (int slice = 0; slice < 4; ++slice) {
        payload.push_back(uint8_t(FUNC_READ + DATA_SLICE_SIZE));
        payload.push_back(uint8_t(REG_DATA_0 + slice));
    }
    return sendRequest(payload, {REG_DATA_0, REG_DATA_0 + 1, REG_DATA_0 + 2, REG_DATA_3},
                       expectedAnswerLength(BLOCK_RECORD_BYTES));
}

bool KWOCFwUpgraderRS485::startSendBinFile(bool direct)
{
    m_bUploadComplete = false;
    m_nBlockIndex = 0;
    stopBusyPolling();
    if (lineClosed(LOAD_CLOSED, "startSendBinFile", direct))
        return false;
    if (!sendWriteBlock()) {
        reportError("sendData failed" + PLACE + "startSendBinFile");
        return false;
    }
    return true;
}

bool KWOCFwUpgraderRS485::startVerifyBinFile(bool direct)
{
    m_nBlockIndex = 0;
    progress(0, direct);
    if (lineClosed(LOAD_CLOSED, "startLoadBinFile", direct))
        return false;
    if (!sendReadBlock()) {
        reportError("sendData failed" + PLACE + "analyseData");
        return false;
    }
    return true;
}

uint32_t KWOCFwUpgraderRS485::flashCommandWord(int32_t format, uint64_t fileSize, int32_t littleImageSize, int which)
{
    if (format == FORMAT_SECTIONS)
        return uint32_t(littleImageSize) + BLOCK_SIZE + (which == 1 ? CMD_FLASH_FIRST_OF_TWO : CMD_FLASH);
    // The length of a one-image file is the legacy image's, whatever its format.
    return uint32_t(((fileSize + 2) / BLOCK_SIZE) * BLOCK_SIZE + BLOCK_SIZE + CMD_FLASH);
}

uint32_t KWOCFwUpgraderRS485::flashCommandWord(int which) const
{
    return flashCommandWord(m_File.m_nFileFormat, m_pBinFile ? m_pBinFile->bytes.size() : 0, m_nLittleImageSize,
                            which);
}

bool KWOCFwUpgraderRS485::startDeviceFlashing(bool direct, int which)
{
    if (lineClosed("Start device flashing error. communication closed !", "startDeviceFlashing", direct))
        return false;
    std::vector<uint8_t> payload;
    appendWord(payload, flashCommandWord(which));
    appendExecute(payload);
    if (!sendRequest(payload, {}, 0)) {
        reportError("sendData failed" + PLACE + "startDeviceFlashing");
        return false;
    }
    m_bIgnoreShortAnswer = true;
    return true;
}

bool KWOCFwUpgraderRS485::startSecondImage(bool direct)
{
    m_pFatBuffer = &m_pBigImage;
    m_nFatBufferSize = m_nBigImageSize;
    if (m_pBigImage.empty()) {
        releaseCurrentImage();
        reportError("Big code image empty" + PLACE + "startSecondImage");
        return false;
    }
    return startSendBinFile(direct);
}

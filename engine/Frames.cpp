// Requests and answers: the one frame builder, sendData, the answer checks
// of receiveData and the record decoding of analyseData.
#include "engine/Fwupgraderrs485.h"

#include "diagnostics/Globalfunctions.h"

#include <algorithm>

namespace {

constexpr const char* ANSWER_LENGTH_NOT_CORRECT = "Answer length not correct.";
const std::string SEND_DATA = "\tKWOCFwUpgraderRS485::sendData";
const std::string RECEIVE_DATA = "\tKWOCFwUpgraderRS485::receiveData";
const std::string ANALYSE_DATA = "\tKWOCFwUpgraderRS485::analyseData";
constexpr int32_t ANSWER_BUFFER_STEP = 200;
// Bytes each level of an answer adds: 3 header bytes, the routing record's
// function and length bytes, 0xE3 and the checksum.
constexpr int ANSWER_BYTES_PER_HOP = 7;
// Header, 0xE3 and checksum of the innermost answer level.
constexpr int ANSWER_FRAME_BYTES = 5;
// Longest length field taken: 4 groups of 7 bits.
constexpr uint32_t MAX_LENGTH_FIELD_BYTES = 4;

// Data bytes of each register an answer may carry; -1 for any other.
int registerSize(uint8_t reg)
{
    switch (reg) {
    case REG_DEVICE_TYPE:
    case REG_FIRMWARE_VERSION:
        return 4;
    case REG_DATA_0:
    case REG_DATA_0 + 1:
    case REG_DATA_0 + 2:
    case REG_DATA_3:
        return DATA_SLICE_SIZE;
    case REG_FLASH_POINTER:
        return FLASH_STATUS_SIZE;
    default:
        return -1;
    }
}

uint8_t checksum(const uint8_t* bytes, size_t count)
{
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += bytes[i];
    return uint8_t(sum);
}

int32_t littleEndian32(const uint8_t* d)
{
    return int32_t(uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24);
}

} // namespace

std::vector<uint8_t> KWOCFwUpgraderRS485::buildFrame(std::span<const int32_t> addresses,
                                                     std::span<const int32_t> interfaces,
                                                     std::span<const uint8_t> payload)
{
    const size_t hops = interfaces.size();
    std::vector<uint8_t> frame;
    if (addresses.size() != hops + 1)
        return frame;
    frame.reserve(6 * hops + 3 + payload.size() + 2 * (hops + 1));
    const size_t outerLength = 8 * hops + payload.size() + 2;
    for (size_t j = 0; j < hops; ++j) {
        const size_t length = outerLength - 8 * j;
        frame.push_back(uint8_t(addresses[j]));
        frame.push_back(j == 0 ? MASTER_ADDRESS : uint8_t(addresses[j - 1]));
        frame.push_back(uint8_t(length));
        frame.push_back(uint8_t(FUNC_ROUTE + interfaces[j]));
        frame.push_back(ROUTE_MARKER);
        frame.push_back(uint8_t(length - 5));
    }
    frame.push_back(uint8_t(addresses[hops]));
    frame.push_back(hops == 0 ? MASTER_ADDRESS : uint8_t(addresses[hops - 1]));
    frame.push_back(uint8_t(payload.size() + 2));
    frame.insert(frame.end(), payload.begin(), payload.end());
    // Innermost level first: each checksum covers the deeper levels' closings.
    for (size_t level = hops + 1; level-- > 0;) {
        frame.push_back(END_OF_FRAME);
        const size_t start = 6 * level;
        frame.push_back(checksum(frame.data() + start, frame.size() - start));
    }
    return frame;
}

bool KWOCFwUpgraderRS485::readLengthField(const uint8_t* bytes, uint32_t limit, uint32_t position, uint64_t& value,
                                          uint32_t& next)
{
    value = 0;
    for (uint32_t k = 0; k < MAX_LENGTH_FIELD_BYTES; ++k) {
        if (position >= limit)
            return false;
        const uint8_t b = bytes[position++];
        value |= uint64_t(b & 0x7F) << (7 * k);
        if (!(b & 0x80)) {
            next = position;
            return true;
        }
    }
    return false;
}

const char* KWOCFwUpgraderRS485::answerFailure(const uint8_t* d, uint32_t length, int32_t matchedResponse,
                                               uint8_t firstAddress, uint32_t& payloadPosition,
                                               uint32_t& payloadLength)
{
    uint64_t value = 0;
    uint32_t next = 0;
    // The value counts everything after the field, 0xE3 and checksum included.
    if (!d || !readLengthField(d, length, 2, value, next) || value < 2 || next + value != length)
        return ANSWER_LENGTH_NOT_CORRECT;
    if (matchedResponse != 0)
        return "Response not equal to the expected one.";
    if (d[0] != MASTER_ADDRESS || d[1] != firstAddress)
        return "Addresses in answer not valid.";
    if (d[length - 2] != END_OF_FRAME)
        return "EndOfFrame not present.";
    if (checksum(d, length - 1) != d[length - 1])
        return "CheckSum not valid.";
    // Each routing record embeds the next level's whole frame; its content
    // must lie inside the level around it.
    uint32_t position = next;
    uint32_t end = length - 2;
    while (position < end && (d[position] & 0xF0) == FUNC_ROUTE_ANSWER) {
        uint64_t unused = 0;
        uint32_t inner = 0;
        if (!readLengthField(d, end, position + 1, unused, inner))
            return ANSWER_LENGTH_NOT_CORRECT;
        if (!readLengthField(d, end, inner + 2, value, next) || value < 2 || next + value > end)
            return ANSWER_LENGTH_NOT_CORRECT;
        position = next;
        end = uint32_t(next + value - 2);
    }
    payloadPosition = position;
    payloadLength = end - position;
    return nullptr;
}

int KWOCFwUpgraderRS485::progressValue(int32_t blocksDone, int32_t imageSize)
{
    if (imageSize <= 0)
        return 100;
    return int(int64_t(blocksDone) * BLOCK_SIZE * 100 / imageSize);
}

int KWOCFwUpgraderRS485::expectedAnswerLength(int recordBytes) const
{
    return ANSWER_FRAME_BYTES + recordBytes + ANSWER_BYTES_PER_HOP * m_nDeviceInterfaceSize;
}

bool KWOCFwUpgraderRS485::sendData(const uint8_t* frame, int length, int expectedAnswerLength)
{
    KWOCExpectedResponse response;
    if (expectedAnswerLength != 0)
        response.setExactLength(uint32_t(expectedAnswerLength));
    bool error = true;
    KWOCRSCommand command(frame, uint32_t(std::max(length, 0)), uint32_t(std::max(expectedAnswerLength, 0)),
                          expectedAnswerLength != 0 ? &response : nullptr, expectedAnswerLength != 0 ? 1 : 0, &error);
    if (error) {
        reportError("sendData impossible, KWOCRSCommand creation failed" + SEND_DATA);
        return false;
    }
    int32_t result = 0;
    {
        // Queued and numbered under the lock: the answer's callback checks
        // the number under it, so it cannot see the number of the last one.
        std::lock_guard<std::mutex> guard(m_EngineLock);
        if (!m_pComManager || !m_bConnected) {
            result = INT32_MIN;
        } else {
            result = m_pComManager->addCommand(&command);
            m_nLastCommandNumber = result >= 0 ? result : -2;
        }
    }
    if (result == INT32_MIN) {
        reportError("sendData impossible, Communication is closed" + SEND_DATA);
        return false;
    }
    if (result == ADD_COMMAND_INVALID) {
        reportError("addCommand failed - Invalid command" + SEND_DATA);
        return false;
    }
    if (result == ADD_COMMAND_FULL) {
        reportError("addCommand failed - Command buffer full" + SEND_DATA);
        return false;
    }
    if (result < 0) {
        reportError("addCommand failed - No command buffer" + SEND_DATA);
        return false;
    }
    return true;
}

bool KWOCFwUpgraderRS485::sendRequest(const std::vector<uint8_t>& payload, std::initializer_list<uint8_t> registers,
                                      int expectedAnswer)
{
    const std::vector<uint8_t> frame = buildFrame(
        std::span<const int32_t>(m_nDeviceAdd.data(), size_t(m_nDeviceAddSize)),
        std::span<const int32_t>(m_nDeviceInterface.data(), size_t(m_nDeviceInterfaceSize)), payload);
    {
        // Set before the request goes out: its answer is checked against it.
        std::lock_guard<std::mutex> guard(m_EngineLock);
        m_nExpectedRegisterCount = 0;
        for (uint8_t reg : registers)
            m_ExpectedRegisters[size_t(m_nExpectedRegisterCount++)] = reg;
    }
    return sendData(frame.data(), int(frame.size()), expectedAnswer);
}

void KWOCFwUpgraderRS485::receiveData(void* engine, KWOCRSCommand* command)
{
    if (!engine) {
        reportError("Sender object pointer NULL" + RECEIVE_DATA);
        return;
    }
    static_cast<KWOCFwUpgraderRS485*>(engine)->handleAnswer(command);
}

void KWOCFwUpgraderRS485::handleAnswer(KWOCRSCommand* command)
{
    // An answer that comes after the run's final event (a late answer to a
    // request of a failed run) belongs to no run: nothing is reported of it.
    if (!command || m_bRunEnded)
        return;
    bool awaited = false;
    {
        std::lock_guard<std::mutex> guard(m_EngineLock);
        awaited = command->m_Number == m_nLastCommandNumber;
        m_nLastCommandNumber = -2;
        m_AnswerRegisters = m_ExpectedRegisters;
        m_nAnswerRegisterCount = m_nExpectedRegisterCount;
    }
    if (!awaited) {
        failRun("Communication error", "Received answer number not equal to the sended one" + RECEIVE_DATA, false);
        return;
    }
    const uint32_t length =
        std::min<uint32_t>(command->m_ResponseLength, uint32_t(command->m_pResponse.size()));
    const uint8_t* d = command->m_pResponse.data();
    const auto fail = [this](const std::string& text) { failRun(text, text + RECEIVE_DATA, false); };
    if (!m_bIgnoreShortAnswer) {
        if (length == 0)
            return fail("No answer received.");
        if (length < 5)
            return fail("Answer length too small (< 5 bytes).");
    }
    m_bIgnoreShortAnswer = false;
    uint32_t position = 0;
    uint32_t payloadLength = 0;
    if (const char* failure = answerFailure(d, length, command->m_MatchedResponse, uint8_t(m_nDeviceAdd[0]),
                                            position, payloadLength))
        return fail(failure);
    while (m_nAnswerBufferSize < int32_t(payloadLength))
        m_nAnswerBufferSize += ANSWER_BUFFER_STEP;
    if (m_pAnswerBuffer.size() < size_t(m_nAnswerBufferSize))
        m_pAnswerBuffer.assign(size_t(m_nAnswerBufferSize), 0);
    std::copy_n(d + position, payloadLength, m_pAnswerBuffer.begin());
    if (!analyseData(m_pAnswerBuffer.data(), int(payloadLength)))
        return fail("Analyse data failed");
    stateManagement(false);
}

bool KWOCFwUpgraderRS485::analyseData(const uint8_t* payload, int length)
{
    if (!payload) {
        reportError("Buffer of data = NULL" + ANALYSE_DATA);
        return false;
    }
    // The whole answer is checked before any record is used: a block counts
    // as verified only once all four of its slices were compared, whatever
    // order the records came in, and nothing is sent on a half-checked answer.
    std::array<const uint8_t*, 4> records{}; // by the request's register order
    unsigned seen = 0;                      // bit i: the i-th awaited register was answered
    int p = 0;
    while (p < length) {
        const uint8_t function = payload[p++];
        if ((function & FUNC_TYPE_MASK) != FUNC_READ_ANSWER) {
            reportError((function == FRAME_ERROR ? "Frame error in the data" : "Function type unknown in data") +
                        ANALYSE_DATA);
            return false;
        }
        if (p >= length) {
            reportError(ANSWER_LENGTH_NOT_CORRECT + ANALYSE_DATA);
            return false;
        }
        const uint8_t reg = payload[p++];
        const int size = registerSize(reg);
        int awaited = -1;
        for (int i = 0; i < m_nAnswerRegisterCount; ++i)
            if (m_AnswerRegisters[size_t(i)] == reg && !(seen & (1u << i)))
                awaited = i;
        if (size < 0 || awaited < 0) {
            reportError("Registry address received not valid" + ANALYSE_DATA);
            return false;
        }
        if (p + size > length) {
            reportError(ANSWER_LENGTH_NOT_CORRECT + ANALYSE_DATA);
            return false;
        }
        seen |= 1u << awaited;
        records[size_t(awaited)] = payload + p;
        p += size;
    }
    // Every register the request read must be there.
    if (seen != (1u << m_nAnswerRegisterCount) - 1) {
        reportError("Registry address received not valid" + ANALYSE_DATA);
        return false;
    }
    unsigned slices = 0; // bit s: data slice s matched the image
    for (int i = 0; i < m_nAnswerRegisterCount; ++i) {
        const uint8_t reg = m_AnswerRegisters[size_t(i)];
        const uint8_t* data = records[size_t(i)];
        int next = 1;
        if (reg == REG_DEVICE_TYPE) {
            m_nDeviceType = littleEndian32(data);
        } else if (reg == REG_FIRMWARE_VERSION) {
            analyseVersionRegister(data);
        } else if (reg == REG_FLASH_POINTER) {
            next = analyseFlashStatus(data[0] & STATUS_MASK);
        } else {
            if (!analyseDataSlice(reg - REG_DATA_0, data))
                return false;
            slices |= 1u << (reg - REG_DATA_0);
        }
        if (next <= 0)
            return next == 0;
    }
    if (slices == 0)
        return true;
    if (slices != 0x0F) {
        reportError("Registry address received not valid" + ANALYSE_DATA);
        return false;
    }
    return blockVerified();
}

bool KWOCFwUpgraderRS485::analyseVersionRegister(const uint8_t* b)
{
    if (b[3] == 0) {
        m_nFirmwareVersion = littleEndian32(b);
        m_nHardwareVersion = -1;
    } else {
        m_nFirmwareVersion = int32_t(b[0]) + 65536 * int32_t(b[1]);
        m_nHardwareVersion = int32_t(b[2]) + 65536 * int32_t(b[3]);
    }
    return true;
}

bool KWOCFwUpgraderRS485::analyseDataSlice(int slice, const uint8_t* data)
{
    const int64_t start = int64_t(m_nBlockIndex) * BLOCK_SIZE + int64_t(slice) * DATA_SLICE_SIZE;
    if (!m_pFatBuffer || start + DATA_SLICE_SIZE > int64_t(m_pFatBuffer->size())) {
        reportError("Fat buffer = NULL" + ANALYSE_DATA);
        return false;
    }
    const uint8_t* image = m_pFatBuffer->data() + start;
    for (int i = 0; i < DATA_SLICE_SIZE; ++i) {
        if (data[i] == image[i])
            continue;
        const std::string text = "Writing ERROR @ pos " + std::to_string(start + i);
        // The final event comes from receiveData, after its own line.
        reportError(text + ANALYSE_DATA);
        releaseCurrentImage();
        m_nState = STATE_IDLE;
        message(text, false);
        return false;
    }
    return true;
}

bool KWOCFwUpgraderRS485::blockVerified()
{
    ++m_nBlockIndex;
    if (int64_t(m_nFatBufferSize) - int64_t(m_nBlockIndex) * BLOCK_SIZE > 0) {
        progress(progressValue(m_nBlockIndex, m_nFatBufferSize), false);
        if (!sendReadBlock()) {
            reportError("sendData failed" + ANALYSE_DATA);
            return false;
        }
        return true;
    }
    progress(100, false);
    releaseCurrentImage();
    return true;
}

int KWOCFwUpgraderRS485::analyseFlashStatus(uint8_t status)
{
    switch (status) {
    case STATUS_DONE:
        stopBusyPolling();
        ++m_nBlockIndex;
        if (int64_t(m_nFatBufferSize) - int64_t(m_nBlockIndex) * BLOCK_SIZE > 0) {
            progress(progressValue(m_nBlockIndex, m_nFatBufferSize), false);
            if (!sendWriteBlock()) {
                reportError("sendData failed" + ANALYSE_DATA);
                return -1;
            }
            return 1;
        }
        m_bUploadComplete = true;
        progress(100, false);
        return 0;
    case STATUS_BUSY:
        // A device stuck busy must not hold the run for ever.
        if (!m_bBusyPolling) {
            m_bBusyPolling = true;
            m_bBusyExpired = false;
            if (m_pBusyTimer)
                m_pBusyTimer->start(uint32_t(WAIT_TIME), true);
        } else if (m_bBusyExpired) {
            stopBusyPolling();
            reportError("flash pointer busy timeout" + ANALYSE_DATA);
            return -1;
        }
        if (!sendStatusPoll()) {
            reportError("sendData failed" + ANALYSE_DATA);
            return -1;
        }
        return 1;
    case STATUS_POINTER_ERROR:
        stopBusyPolling();
        reportError("read flash pointer error" + ANALYSE_DATA);
        return -1;
    default:
        stopBusyPolling();
        reportError("unknown flash pointer write result" + ANALYSE_DATA);
        return -1;
    }
}

void KWOCFwUpgraderRS485::stopBusyPolling()
{
    m_bBusyPolling = false;
    m_bBusyExpired = false;
    if (m_pBusyTimer)
        m_pBusyTimer->stop();
}

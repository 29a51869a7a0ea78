#include "comm/RSComObjects.h"

#include "diagnostics/Globalfunctions.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr const char* SOURCE = "RSComObjects";

const char* const TOO_LONG_TEXT =
    "Length of command and/or response is/are greater than permitted.\n"
    " Length of command/response to WriteFile() cannot exceed 65535 bytes.";
const char* const INCOMPATIBLE_TEXT =
    "Parameters of the expected response are not compatible with the command.\n"
    " - Lengthes must be smaller than already given max length of response.\n"
    " - Indexes of pattern positions must be smaller than max length of response.\n";

// memcpy of at most what both buffers hold; nothing for 0 bytes.
void copyBytes(std::vector<uint8_t>& to, const std::vector<uint8_t>& from, size_t count)
{
    count = std::min({count, to.size(), from.size()});
    if (count > 0)
        std::memcpy(to.data(), from.data(), count);
}

void reportError(int line, const char* function, const std::string& text)
{
    writeLog(SOURCE, line, function, LOG_OUTPUTS_BY_LEVEL, LOG_LEVEL_ERROR, 0, text);
}

} // namespace

// ---------------------------------------------------------------------------
// KWOCExpectedResponse

void KWOCExpectedResponse::clearLengthRules()
{
    m_PacketEndType = PACKET_END_NONE;
    m_bExactLength = false;
    m_ExactLength = 0;
    m_bMinLength = false;
    m_MinLength = 0;
    m_bLengthByte = false;
    m_LengthBytePosition = 0;
    m_LengthOffset = 0;
}

void KWOCExpectedResponse::setExactLength(uint32_t n)
{
    clearLengthRules();
    m_PacketEndType = PACKET_END_EXACT_LENGTH;
    m_bExactLength = true;
    m_ExactLength = n;
}

void KWOCExpectedResponse::setMinLength(uint32_t n)
{
    clearLengthRules();
    m_PacketEndType = PACKET_END_MIN_LENGTH;
    m_bMinLength = true;
    m_MinLength = n;
}

void KWOCExpectedResponse::setLengthByte(int32_t position, int32_t offset)
{
    clearLengthRules();
    m_PacketEndType = PACKET_END_LENGTH_BYTE;
    m_bLengthByte = true;
    m_LengthBytePosition = position;
    m_LengthOffset = offset;
}

void KWOCExpectedResponse::setPattern(const uint8_t* bytes, const uint32_t* positions, uint32_t count)
{
    m_pPatternBytes.clear();
    m_pPatternPositions.clear();
    m_PatternCount = 0;
    if (bytes == nullptr || positions == nullptr)
        return;
    m_PatternCount = count;
    m_pPatternBytes.assign(bytes, bytes + count);
    m_pPatternPositions.assign(positions, positions + count);
}

void KWOCExpectedResponse::setEndSequence(const uint8_t* bytes, uint32_t length)
{
    m_pEndSequence.clear();
    m_EndSequenceLength = 0;
    if (bytes == nullptr)
        return;
    m_EndSequenceLength = length;
    m_pEndSequence.assign(bytes, bytes + length);
}

// ---------------------------------------------------------------------------
// KWOCRSCommand

KWOCRSCommand::KWOCRSCommand(uint32_t commandCapacity, uint32_t maxResponseLength, bool* pisError)
{
    bool error = true;
    clear();
    if (commandCapacity > MAX_COMMAND_LENGTH || maxResponseLength > MAX_COMMAND_LENGTH) {
        reportError(__LINE__, "KWOCRSCommand::KWOCRSCommand", TOO_LONG_TEXT);
        clear();
    } else {
        m_CommandCapacity = commandCapacity;
        m_MaxResponseLength = maxResponseLength;
        m_pCommand.assign(commandCapacity, 0);
        m_pResponse.assign(maxResponseLength, 0);
        error = false;
    }
    if (pisError)
        *pisError = error;
}

KWOCRSCommand::KWOCRSCommand(const uint8_t* command, uint32_t length, uint32_t maxResponseLength,
                             const KWOCExpectedResponse* responses, uint32_t responseCount, bool* pisError)
{
    const bool ok = initCommand(command, length, maxResponseLength, responses, responseCount);
    if (pisError)
        *pisError = !ok;
}

KWOCRSCommand::KWOCRSCommand(const KWOCRSCommand* other)
{
    copyFrom(other);
}

KWOCRSCommand::~KWOCRSCommand()
{
    clear();
}

void KWOCRSCommand::clear()
{
    m_CommandCapacity = 0;
    m_MaxResponseLength = 0;
    m_Tag = -1;
    m_Number = -1;
    m_MatchedResponse = -1;
    m_pCommand.clear();
    m_pCommand.shrink_to_fit();
    m_CommandLength = 0;
    m_pResponse.clear();
    m_pResponse.shrink_to_fit();
    m_ResponseLength = 0;
    m_pExpectedResponses.clear();
    m_ExpectedResponseCount = 0;
}

bool KWOCRSCommand::initCommand(const uint8_t* command, uint32_t length, uint32_t maxResponseLength,
                                const KWOCExpectedResponse* responses, uint32_t responseCount)
{
    clear();
    if (length > MAX_COMMAND_LENGTH || maxResponseLength > MAX_COMMAND_LENGTH) {
        reportError(__LINE__, "KWOCRSCommand::initCommand", TOO_LONG_TEXT);
        clear();
        return false;
    }
    if (command == nullptr)
        return false;
    m_CommandLength = m_CommandCapacity = length;
    m_pCommand.assign(command, command + length);
    m_MaxResponseLength = maxResponseLength;
    return setExpectedResponses(responses, responseCount);
}

bool KWOCRSCommand::setExpectedResponses(const KWOCExpectedResponse* list, uint32_t n)
{
    static constexpr const char* FUNCTION = "KWOCRSCommand::setExpectedResponses";
    m_pExpectedResponses.clear();
    m_ExpectedResponseCount = 0;
    if (list == nullptr)
        return true;
    if (n > MAX_EXPECTED_RESPONSES) {
        reportError(__LINE__, FUNCTION, "The number of expected responses cannot be greater than 32767.");
        return false;
    }
    if (n == 0)
        return true;

    const uint32_t max = m_MaxResponseLength;
    uint32_t maxPosition = 0; // over every descriptor seen so far in this call
    std::vector<uint32_t> minLength(n, 0);
    for (uint32_t i = 0; i < n; ++i) {
        const KWOCExpectedResponse& r = list[i];
        if (r.m_ExactLength > max || r.m_MinLength > max || r.m_PatternCount > max || r.m_EndSequenceLength > max) {
            reportError(__LINE__, FUNCTION, INCOMPATIBLE_TEXT);
            return false;
        }
        const uint32_t positions = std::min<uint32_t>(r.m_PatternCount, static_cast<uint32_t>(r.m_pPatternPositions.size()));
        for (uint32_t k = 0; k < positions; ++k) {
            const uint32_t p = r.m_pPatternPositions[k];
            if (p > max) {
                reportError(__LINE__, FUNCTION, INCOMPATIBLE_TEXT);
                return false;
            }
            maxPosition = std::max(maxPosition, p);
        }
        const uint32_t end = r.m_EndSequenceLength;
        if (r.m_bExactLength) {
            const uint32_t length = r.m_ExactLength;
            if (maxPosition > length && maxPosition > end) {
                minLength[i] = maxPosition;
                reportError(__LINE__, FUNCTION,
                            "Exact length defined was lower than a pattern position.\n Min length of expected "
                            "response has been updated to the max pattern position.");
            } else if (maxPosition > length && maxPosition < end) {
                minLength[i] = end;
                reportError(__LINE__, FUNCTION,
                            "Exact length defined was lower than the end sequence lenght given.\nMin length of "
                            "expected response has been updated to the end sequence length.");
            }
        } else {
            const uint32_t length = r.m_MinLength;
            if (maxPosition > length && maxPosition > end) {
                minLength[i] = maxPosition;
                if (r.m_bMinLength)
                    reportError(__LINE__, FUNCTION,
                                "Min length defined was lower than a pattern position.\nMin length of expected "
                                "response has been updated to the max pattern position.");
            } else if (maxPosition > length && maxPosition < end) {
                minLength[i] = end;
                if (r.m_bMinLength)
                    reportError(__LINE__, FUNCTION,
                                "Min length defined was lower than the end sequence lenght given.\nMin length of "
                                "expected response has been updated to the end sequence length.");
            }
        }
    }

    m_pExpectedResponses.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        const KWOCExpectedResponse& from = list[i];
        KWOCExpectedResponse& to = m_pExpectedResponses[i];
        if (minLength[i] > 0)
            to.setMinLength(minLength[i]);
        else if (from.m_bExactLength)
            to.setExactLength(from.m_ExactLength);
        else if (from.m_bMinLength)
            to.setMinLength(from.m_MinLength);
        else if (from.m_bLengthByte)
            to.setLengthByte(from.m_LengthBytePosition, from.m_LengthOffset);
        // The caller's vectors may be shorter than its counts claim: copy what exists.
        const uint32_t patterns = std::min<uint32_t>(
            from.m_PatternCount,
            static_cast<uint32_t>(std::min(from.m_pPatternBytes.size(), from.m_pPatternPositions.size())));
        if (patterns > 0)
            to.setPattern(from.m_pPatternBytes.data(), from.m_pPatternPositions.data(), patterns);
        const uint32_t endLength =
            std::min<uint32_t>(from.m_EndSequenceLength, static_cast<uint32_t>(from.m_pEndSequence.size()));
        if (endLength > 0)
            to.setEndSequence(from.m_pEndSequence.data(), endLength);
    }
    m_ExpectedResponseCount = n;
    return true;
}

bool KWOCRSCommand::setResponseAndCompare(const uint8_t* bytes, uint32_t count, bool append)
{
    if (bytes == nullptr)
        return false;
    const uint64_t base = append ? m_ResponseLength : 0;
    const uint64_t needed64 = base + count;
    if (needed64 > UINT32_MAX)
        return false;
    const uint32_t needed = static_cast<uint32_t>(needed64);

    if (m_pResponse.empty()) {
        m_MaxResponseLength = std::max(needed, m_MaxResponseLength);
        m_pResponse.assign(m_MaxResponseLength, 0);
    } else if (needed > m_MaxResponseLength) {
        // Grows to exactly what is needed, keeping what came before.
        m_pResponse.resize(needed, 0);
        m_MaxResponseLength = needed;
    }
    if (count > 0)
        std::memcpy(m_pResponse.data() + base, bytes, count);
    m_ResponseLength = needed;
    m_MatchedResponse = -1;

    if (m_ExpectedResponseCount == 0)
        return true;

    const uint32_t n = m_ResponseLength;
    for (uint32_t i = 0; i < m_ExpectedResponseCount; ++i) {
        const KWOCExpectedResponse& r = m_pExpectedResponses[i];
        switch (r.m_PacketEndType) {
        case PACKET_END_MIN_LENGTH:
            if (n < r.m_MinLength)
                continue;
            break;
        case PACKET_END_EXACT_LENGTH:
            if (n != r.m_ExactLength)
                continue;
            break;
        case PACKET_END_LENGTH_BYTE: {
            if (r.m_LengthBytePosition < 0 || static_cast<int64_t>(n) <= r.m_LengthBytePosition)
                continue;
            const int64_t length = static_cast<int64_t>(m_pResponse[static_cast<uint32_t>(r.m_LengthBytePosition)]) +
                                   r.m_LengthOffset;
            if (length > static_cast<int64_t>(n))
                continue;
            if (length < static_cast<int64_t>(n)) {
                reportError(__LINE__, "KWOCRSCommand::setResponseAndCompare",
                            "Too many bytes received in packet (" + std::to_string(n) + "/" +
                                std::to_string(length) + ")");
                return true;
            }
            break;
        }
        default:
            break;
        }
        bool patternOk = true;
        for (uint32_t k = 0; k < r.m_PatternCount && patternOk; ++k) {
            const uint32_t p = r.m_pPatternPositions[k];
            patternOk = p < n && m_pResponse[p] == r.m_pPatternBytes[k];
        }
        if (!patternOk)
            continue;
        const uint32_t e = r.m_EndSequenceLength;
        if (n < e || (e > 0 && std::memcmp(m_pResponse.data() + (n - e), r.m_pEndSequence.data(), e) != 0))
            continue;
        m_MatchedResponse = static_cast<int32_t>(i);
        return true;
    }
    return false;
}

uint32_t KWOCRSCommand::bytesToComplete(uint32_t have) const
{
    const uint32_t count = std::min<uint32_t>(m_ExpectedResponseCount, static_cast<uint32_t>(m_pExpectedResponses.size()));
    if (count == 0)
        return 0;
    have = std::min<uint32_t>(have, static_cast<uint32_t>(m_pResponse.size()));
    uint64_t least = UINT64_MAX;
    for (uint32_t i = 0; i < count; ++i) {
        const KWOCExpectedResponse& r = m_pExpectedResponses[i];
        uint64_t length = 0; // the answer's length when the rule fixes it, else the least
        switch (r.m_PacketEndType) {
        case PACKET_END_MIN_LENGTH:
            length = r.m_MinLength;
            break;
        case PACKET_END_EXACT_LENGTH:
            if (r.m_ExactLength <= have)
                continue; // more bytes can never make it match
            length = r.m_ExactLength;
            break;
        case PACKET_END_LENGTH_BYTE: {
            if (r.m_LengthBytePosition < 0)
                continue;
            const uint64_t position = static_cast<uint64_t>(r.m_LengthBytePosition);
            if (have <= position) {
                length = position + 1; // at least up to the length byte
                break;
            }
            const int64_t stated = static_cast<int64_t>(m_pResponse[position]) + r.m_LengthOffset;
            if (stated <= static_cast<int64_t>(have))
                continue;
            length = static_cast<uint64_t>(stated);
            break;
        }
        default:
            break;
        }
        length = std::max<uint64_t>(length, r.m_EndSequenceLength);
        for (uint32_t k = 0; k < r.m_PatternCount && k < r.m_pPatternPositions.size(); ++k)
            length = std::max<uint64_t>(length, uint64_t(r.m_pPatternPositions[k]) + 1);
        least = std::min<uint64_t>(least, length > have ? length - have : 1);
    }
    // No rule can match any more: every byte is taken as it comes until the time-out.
    return least == UINT64_MAX ? 1 : static_cast<uint32_t>(std::min<uint64_t>(least, UINT32_MAX));
}

bool KWOCRSCommand::copyFrom(const KWOCRSCommand* other)
{
    if (other == nullptr || other == this)
        return other == this;
    clear();
    m_Tag = other->m_Tag;
    m_Number = other->m_Number;
    m_CommandLength = other->m_CommandLength;
    m_ResponseLength = other->m_ResponseLength;
    m_CommandCapacity = other->m_CommandCapacity;
    m_MaxResponseLength = other->m_MaxResponseLength;
    m_MatchedResponse = other->m_MatchedResponse;
    m_pCommand.assign(m_CommandCapacity, 0);
    copyBytes(m_pCommand, other->m_pCommand, m_CommandLength);
    m_pResponse.assign(m_MaxResponseLength, 0);
    copyBytes(m_pResponse, other->m_pResponse, m_ResponseLength);
    return setExpectedResponses(other->m_pExpectedResponses.data(), other->m_ExpectedResponseCount);
}

bool KWOCRSCommand::assign(const KWOCRSCommand* other)
{
    if (other == nullptr)
        return false;
    if (other == this)
        return true;
    m_Tag = other->m_Tag;
    m_Number = other->m_Number;
    m_CommandLength = other->m_CommandLength;
    m_ResponseLength = other->m_ResponseLength;
    m_MatchedResponse = other->m_MatchedResponse;
    if (other->m_CommandCapacity > m_CommandCapacity) {
        m_CommandCapacity = other->m_CommandCapacity;
        m_pCommand.assign(m_CommandCapacity, 0);
    }
    if (other->m_MaxResponseLength > m_MaxResponseLength) {
        m_MaxResponseLength = other->m_MaxResponseLength;
        m_pResponse.assign(m_MaxResponseLength, 0);
    }
    // A slot made with a response size of 0 has no buffer yet.
    if (m_ResponseLength > 0 && m_pResponse.size() < m_MaxResponseLength)
        m_pResponse.resize(m_MaxResponseLength, 0);
    copyBytes(m_pCommand, other->m_pCommand, m_CommandLength);
    copyBytes(m_pResponse, other->m_pResponse, m_ResponseLength);
    return setExpectedResponses(other->m_pExpectedResponses.data(), other->m_ExpectedResponseCount);
}

bool KWOCRSCommand::setNumber(int32_t number)
{
    m_Number = number;
    return true;
}

bool KWOCRSCommand::setTag(int32_t tag)
{
    m_Tag = tag;
    return true;
}

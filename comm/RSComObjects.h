#pragma once
// One request to a device (KWOCRSCommand) with the descriptions of the answers
// that complete it (KWOCExpectedResponse). Neither locks: the command manager
// serialises access to the commands it owns, and a command it hands out is a
// private copy.
#include <cstdint>
#include <vector>

// How the end of an answer is recognised.
constexpr int32_t PACKET_END_NONE = 0;
constexpr int32_t PACKET_END_MIN_LENGTH = 1;
constexpr int32_t PACKET_END_EXACT_LENGTH = 2;
constexpr int32_t PACKET_END_LENGTH_BYTE = 3;

// Largest command or answer, and most expected responses, a command takes.
constexpr uint32_t MAX_COMMAND_LENGTH = 65535;
constexpr uint32_t MAX_EXPECTED_RESPONSES = 32767;

class KWOCExpectedResponse {
public:
    KWOCExpectedResponse() = default;

    // Each of these three clears the other two rules.
    void setExactLength(uint32_t n);
    void setMinLength(uint32_t n);
    void setLengthByte(int32_t position, int32_t offset);
    // Null bytes or positions: the pattern is only cleared.
    void setPattern(const uint8_t* bytes, const uint32_t* positions, uint32_t count);
    void setEndSequence(const uint8_t* bytes, uint32_t length);

    int32_t m_PacketEndType = PACKET_END_NONE;
    bool m_bExactLength = false;
    uint32_t m_ExactLength = 0;
    bool m_bMinLength = false;
    uint32_t m_MinLength = 0;
    bool m_bLengthByte = false;
    int32_t m_LengthBytePosition = 0;
    int32_t m_LengthOffset = 0;
    std::vector<uint8_t> m_pPatternBytes;
    std::vector<uint32_t> m_pPatternPositions;
    uint32_t m_PatternCount = 0;
    std::vector<uint8_t> m_pEndSequence;
    uint32_t m_EndSequenceLength = 0;

private:
    void clearLengthRules();
};

class KWOCRSCommand {
public:
    // An empty command with buffers of these sizes (a queue slot).
    KWOCRSCommand(uint32_t commandCapacity, uint32_t maxResponseLength, bool* pisError);
    KWOCRSCommand(const uint8_t* command, uint32_t length, uint32_t maxResponseLength,
                  const KWOCExpectedResponse* responses, uint32_t responseCount, bool* pisError);
    explicit KWOCRSCommand(const KWOCRSCommand* other);
    ~KWOCRSCommand();
    KWOCRSCommand(const KWOCRSCommand&) = delete;
    KWOCRSCommand& operator=(const KWOCRSCommand&) = delete;

    bool initCommand(const uint8_t* command, uint32_t length, uint32_t maxResponseLength,
                     const KWOCExpectedResponse* responses, uint32_t responseCount);
    bool setExpectedResponses(const KWOCExpectedResponse* responses, uint32_t count);
    // True when the answer is complete (matched or not), false while more
    // bytes are awaited. append false: the chunk replaces what was collected.
    bool setResponseAndCompare(const uint8_t* bytes, uint32_t count, bool append);
    // The fewest further bytes after which an expected response could be
    // complete, with `have` bytes of the answer in m_pResponse: 0 when no
    // answer is expected, at least 1 otherwise.
    uint32_t bytesToComplete(uint32_t have) const;
    bool copyFrom(const KWOCRSCommand* other);
    // Puts other into this object reusing its buffers, which only grow.
    bool assign(const KWOCRSCommand* other);
    void clear();
    bool setNumber(int32_t number);
    bool setTag(int32_t tag);

    int32_t m_Tag = -1;
    int32_t m_Number = -1;
    uint32_t m_CommandCapacity = 0;
    uint32_t m_MaxResponseLength = 0;
    std::vector<uint8_t> m_pCommand;  // m_CommandCapacity bytes, m_CommandLength used
    uint32_t m_CommandLength = 0;
    std::vector<uint8_t> m_pResponse; // empty until a response buffer exists
    uint32_t m_ResponseLength = 0;
    int32_t m_MatchedResponse = -1;
    std::vector<KWOCExpectedResponse> m_pExpectedResponses;
    uint32_t m_ExpectedResponseCount = 0;
};

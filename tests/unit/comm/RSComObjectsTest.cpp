#include "comm/RSComObjects.h"
#include "unit/comm/LogRecorder.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

const uint8_t REQUEST[9] = {0x10, 0x01, 0xA2, 0x00, 0x01, 0x00, 0x02, 0xE3, 0x59};

std::vector<uint8_t> bytes(size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

KWOCRSCommand commandWith(const std::vector<KWOCExpectedResponse>& responses, uint32_t maxResponse = 20)
{
    bool error = true;
    KWOCRSCommand command(REQUEST, sizeof REQUEST, maxResponse, responses.data(),
                          static_cast<uint32_t>(responses.size()), &error);
    EXPECT_FALSE(error);
    return KWOCRSCommand(&command);
}

KWOCExpectedResponse exact(uint32_t n)
{
    KWOCExpectedResponse r;
    r.setExactLength(n);
    return r;
}

// Feeds chunks one after another (the first replaces, the rest append) and
// returns each result.
std::vector<bool> feed(KWOCRSCommand& command, const std::vector<std::vector<uint8_t>>& chunks)
{
    std::vector<bool> results;
    bool append = false;
    for (const auto& chunk : chunks) {
        results.push_back(command.setResponseAndCompare(chunk.data(), static_cast<uint32_t>(chunk.size()), append));
        append = true;
    }
    return results;
}

class RSComObjects : public ::testing::Test {
protected:
    void SetUp() override { logrec::clear(); }
};

TEST_F(RSComObjects, ExactLengthCompletesOnlyAtThatLength)
{
    KWOCRSCommand command = commandWith({exact(12)});
    // What the port worker is told the answer still needs.
    EXPECT_EQ(command.bytesToComplete(0), 12u);
    EXPECT_FALSE(command.setResponseAndCompare(bytes(5).data(), 5, false));
    EXPECT_EQ(command.bytesToComplete(5), 7u);
    EXPECT_EQ(command.bytesToComplete(13), 1u) << "past its length: any byte is taken as it comes";
    EXPECT_EQ(commandWith({exact(20), exact(8)}).bytesToComplete(0), 8u) << "the nearest rule counts";
    EXPECT_EQ(feed(command, {bytes(5), bytes(7, 5)}), (std::vector<bool>{false, true}));
    EXPECT_EQ(command.m_MatchedResponse, 0);
    EXPECT_EQ(command.m_ResponseLength, 12u);
    EXPECT_EQ(std::vector<uint8_t>(command.m_pResponse.begin(), command.m_pResponse.begin() + 12), bytes(12));

    // 5 then 8 is 13 bytes: never complete, and more bytes keep it so.
    EXPECT_EQ(feed(command, {bytes(5), bytes(8), bytes(1)}), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(command.m_MatchedResponse, -1);

    // A first chunk (append false) replaces whatever was collected.
    EXPECT_TRUE(command.setResponseAndCompare(bytes(12).data(), 12, false));
    EXPECT_EQ(command.m_ResponseLength, 12u);
}

TEST_F(RSComObjects, NoExpectedResponsesCompletesOnAnyChunk)
{
    KWOCRSCommand command = commandWith({});
    EXPECT_EQ(command.bytesToComplete(0), 0u) << "no answer awaited";
    EXPECT_TRUE(command.setResponseAndCompare(bytes(3).data(), 3, false));
    EXPECT_EQ(command.m_MatchedResponse, -1);
    EXPECT_FALSE(command.setResponseAndCompare(nullptr, 3, false));
}

TEST_F(RSComObjects, LengthByteRule)
{
    KWOCExpectedResponse r;
    r.setLengthByte(2, 4);
    KWOCRSCommand command = commandWith({r});

    EXPECT_FALSE(command.setResponseAndCompare(bytes(2).data(), 2, false)); // length byte not there yet
    EXPECT_EQ(command.bytesToComplete(2), 1u);
    std::vector<uint8_t> answer = {0x10, 0x20, 0x03, 0x00, 0x00, 0x00, 0x00};
    EXPECT_FALSE(command.setResponseAndCompare(answer.data(), 6, false)); // needs 3 + 4
    EXPECT_EQ(command.bytesToComplete(3), 4u);
    EXPECT_TRUE(command.setResponseAndCompare(answer.data() + 6, 1, true));
    EXPECT_EQ(command.m_MatchedResponse, 0);
    EXPECT_TRUE(logrec::errors().empty());

    answer.resize(9, 0);
    EXPECT_TRUE(command.setResponseAndCompare(answer.data(), 9, false));
    EXPECT_EQ(command.m_MatchedResponse, -1);
    ASSERT_EQ(logrec::errors().size(), 1u);
    EXPECT_EQ(logrec::errors()[0].text, "Too many bytes received in packet (9/7)");
    EXPECT_EQ(logrec::errors()[0].function, "KWOCRSCommand::setResponseAndCompare");
    EXPECT_EQ(logrec::errors()[0].file, "RSComObjects");
}

TEST_F(RSComObjects, PatternsEndSequencesAndListOrder)
{
    const uint8_t patternBytes[] = {0x10, 0x22};
    const uint32_t patternPositions[] = {0, 1};
    const uint8_t end[] = {0xE3};
    KWOCExpectedResponse first;
    first.setMinLength(3);
    first.setPattern(patternBytes, patternPositions, 2);
    first.setEndSequence(end, 1);
    KWOCExpectedResponse second;
    second.setMinLength(2);
    KWOCRSCommand command = commandWith({first, second});

    struct Case {
        std::vector<uint8_t> answer;
        bool complete;
        int32_t matched;
    } cases[] = {
        {{0x10}, false, -1},                   // too short for both
        {{0x10, 0x22, 0xE3}, true, 0},         // pattern and end: the first wins
        {{0x10, 0x21, 0xE3}, true, 1},         // pattern fails: the second
        {{0x10, 0x22, 0x00, 0x00}, true, 1},   // end sequence fails: the second
    };
    for (const auto& c : cases) {
        EXPECT_EQ(command.setResponseAndCompare(c.answer.data(), static_cast<uint32_t>(c.answer.size()), false),
                  c.complete);
        EXPECT_EQ(command.m_MatchedResponse, c.matched);
    }
}

TEST_F(RSComObjects, RulesTurnedIntoMinimumLengths)
{
    const uint8_t pattern[] = {0xAA};
    const uint8_t end5[] = {1, 2, 3, 4, 5};
    auto withPattern = [&](KWOCExpectedResponse r, uint32_t position) {
        r.setPattern(pattern, &position, 1);
        return r;
    };
    auto minLength = [](uint32_t n) {
        KWOCExpectedResponse r;
        r.setMinLength(n);
        return r;
    };
    KWOCExpectedResponse lengthByte;
    lengthByte.setLengthByte(0, 0);
    KWOCExpectedResponse exactWithEnd = withPattern(exact(2), 3);
    exactWithEnd.setEndSequence(end5, 5);
    KWOCExpectedResponse minWithEnd = withPattern(minLength(2), 3);
    minWithEnd.setEndSequence(end5, 5);

    struct Case {
        const char* name;
        std::vector<KWOCExpectedResponse> list;
        uint32_t minLengthOfLast;
        const char* report; // nullptr: none
    } cases[] = {
        {"exact below pattern", {withPattern(exact(4), 6)}, 6,
         "Exact length defined was lower than a pattern position.\n Min length of expected response has been "
         "updated to the max pattern position."},
        {"exact below end sequence", {exactWithEnd}, 5,
         "Exact length defined was lower than the end sequence lenght given.\nMin length of expected response has "
         "been updated to the end sequence length."},
        {"min below pattern", {withPattern(minLength(4), 6)}, 6,
         "Min length defined was lower than a pattern position.\nMin length of expected response has been updated "
         "to the max pattern position."},
        {"min below end sequence", {minWithEnd}, 5,
         "Min length defined was lower than the end sequence lenght given.\nMin length of expected response has "
         "been updated to the end sequence length."},
        {"length byte with pattern, silently", {withPattern(lengthByte, 3)}, 3, nullptr},
        // the largest pattern position is carried over to later descriptors
        {"carried over", {withPattern(minLength(9), 8), exact(4)}, 8,
         "Exact length defined was lower than a pattern position.\n Min length of expected response has been "
         "updated to the max pattern position."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logrec::clear();
        KWOCRSCommand command = commandWith(c.list);
        ASSERT_EQ(command.m_ExpectedResponseCount, c.list.size());
        const KWOCExpectedResponse& last = command.m_pExpectedResponses.back();
        EXPECT_EQ(last.m_PacketEndType, PACKET_END_MIN_LENGTH);
        EXPECT_TRUE(last.m_bMinLength);
        EXPECT_FALSE(last.m_bExactLength);
        EXPECT_EQ(last.m_MinLength, c.minLengthOfLast);
        const auto errors = logrec::errors();
        if (c.report) {
            ASSERT_EQ(errors.size(), 1u) << logrec::dump();
            EXPECT_EQ(errors[0].text, c.report);
            EXPECT_EQ(errors[0].function, "KWOCRSCommand::setExpectedResponses");
        } else {
            EXPECT_TRUE(errors.empty()) << logrec::dump();
        }
    }
}

TEST_F(RSComObjects, ReplacedMinimumMatchesOnceThePatternByteArrived)
{
    uint32_t position = 6;
    uint8_t value = 0x77;
    KWOCExpectedResponse r = exact(4);
    r.setPattern(&value, &position, 1);
    KWOCRSCommand command = commandWith({r}, 20);
    std::vector<uint8_t> answer(7, 0);
    answer[6] = 0x77;
    EXPECT_FALSE(command.setResponseAndCompare(answer.data(), 6, false));
    EXPECT_TRUE(command.setResponseAndCompare(answer.data() + 6, 1, true));
    EXPECT_EQ(command.m_MatchedResponse, 0);
}

TEST_F(RSComObjects, LimitsOfExpectedResponses)
{
    const std::string incompatible =
        "Parameters of the expected response are not compatible with the command.\n - Lengthes must be smaller "
        "than already given max length of response.\n - Indexes of pattern positions must be smaller than max "
        "length of response.\n";
    const uint8_t value = 1;
    for (auto [position, accepted] : {std::pair{20u, true}, std::pair{21u, false}}) {
        logrec::clear();
        KWOCExpectedResponse r;
        r.setMinLength(20);
        r.setPattern(&value, &position, 1);
        KWOCRSCommand command(20, 20, nullptr);
        EXPECT_EQ(command.setExpectedResponses(&r, 1), accepted) << position;
        EXPECT_EQ(command.m_ExpectedResponseCount, accepted ? 1u : 0u);
        if (!accepted) {
            EXPECT_EQ(logrec::count(incompatible), 1u) << logrec::dump();
        }
    }
    {
        logrec::clear();
        KWOCRSCommand command(20, 20, nullptr);
        KWOCExpectedResponse tooLong = exact(21);
        EXPECT_FALSE(command.setExpectedResponses(&tooLong, 1));
        EXPECT_EQ(logrec::count(incompatible), 1u);
    }

    std::vector<KWOCExpectedResponse> many(32768, exact(4));
    KWOCRSCommand command(20, 20, nullptr);
    EXPECT_TRUE(command.setExpectedResponses(many.data(), 32767));
    EXPECT_EQ(command.m_ExpectedResponseCount, 32767u);
    logrec::clear();
    EXPECT_FALSE(command.setExpectedResponses(many.data(), 32768));
    EXPECT_EQ(command.m_ExpectedResponseCount, 0u);
    EXPECT_TRUE(command.m_pExpectedResponses.empty());
    EXPECT_EQ(logrec::count("The number of expected responses cannot be greater than 32767."), 1u);
}

TEST_F(RSComObjects, ResponseBufferGrowsToExactlyTheNewLength)
{
    KWOCRSCommand command = commandWith({exact(12)}, 12);
    const auto first = bytes(10);
    const auto second = bytes(6, 10);
    EXPECT_FALSE(command.setResponseAndCompare(first.data(), 10, false));
    EXPECT_EQ(command.m_MaxResponseLength, 12u);
    EXPECT_FALSE(command.setResponseAndCompare(second.data(), 6, true));
    EXPECT_EQ(command.m_MaxResponseLength, 16u);
    EXPECT_EQ(command.m_pResponse.size(), 16u);
    EXPECT_EQ(std::vector<uint8_t>(command.m_pResponse.begin(), command.m_pResponse.end()), bytes(16));
}

TEST_F(RSComObjects, TooLongCommandsAreRefused)
{
    const std::string text = "Length of command and/or response is/are greater than permitted.\n Length of "
                             "command/response to WriteFile() cannot exceed 65535 bytes.";
    bool error = false;
    KWOCRSCommand slot(65536, 10, &error);
    EXPECT_TRUE(error);
    EXPECT_EQ(slot.m_CommandCapacity, 0u);
    KWOCRSCommand ok(65535, 65535, &error);
    EXPECT_FALSE(error);

    std::vector<uint8_t> big(65536, 0);
    EXPECT_FALSE(ok.initCommand(big.data(), 65536, 10, nullptr, 0));
    EXPECT_EQ(ok.m_CommandLength, 0u);
    const auto errors = logrec::errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].text, text);
    EXPECT_EQ(errors[0].function, "KWOCRSCommand::KWOCRSCommand");
    EXPECT_EQ(errors[1].function, "KWOCRSCommand::initCommand");
    EXPECT_FALSE(ok.initCommand(nullptr, 3, 10, nullptr, 0)); // no message for a null command
    EXPECT_EQ(logrec::errors().size(), 2u);
}

TEST_F(RSComObjects, AssignReusesSlotBuffersAndCopyIsIndependent)
{
    bool error = true;
    KWOCRSCommand slot(150, 150, &error);
    ASSERT_FALSE(error);
    const uint8_t* commandBuffer = slot.m_pCommand.data();
    const uint8_t* responseBuffer = slot.m_pResponse.data();

    KWOCRSCommand small = commandWith({exact(12)});
    small.setTag(7);
    small.setNumber(3);
    ASSERT_TRUE(slot.assign(&small));
    EXPECT_EQ(slot.m_pCommand.data(), commandBuffer); // reused
    EXPECT_EQ(slot.m_pResponse.data(), responseBuffer);
    EXPECT_EQ(slot.m_CommandCapacity, 150u);
    EXPECT_EQ(slot.m_CommandLength, 9u);
    EXPECT_EQ(std::vector<uint8_t>(slot.m_pCommand.begin(), slot.m_pCommand.begin() + 9),
              std::vector<uint8_t>(REQUEST, REQUEST + 9));
    EXPECT_EQ(slot.m_Tag, 7);
    EXPECT_EQ(slot.m_Number, 3);
    EXPECT_EQ(slot.m_ExpectedResponseCount, 1u);

    std::vector<uint8_t> big(200, 0x5A);
    KWOCRSCommand large(big.data(), 200, 300, nullptr, 0, &error);
    ASSERT_TRUE(slot.assign(&large));
    EXPECT_EQ(slot.m_CommandCapacity, 200u);
    EXPECT_EQ(slot.m_MaxResponseLength, 300u);
    EXPECT_EQ(slot.m_ExpectedResponseCount, 0u);
    ASSERT_TRUE(slot.assign(&small));
    EXPECT_EQ(slot.m_CommandCapacity, 200u); // never shrunk
    EXPECT_EQ(slot.m_MaxResponseLength, 300u);
    EXPECT_FALSE(slot.assign(nullptr));

    // A copy owns its buffers: answering it leaves the slot alone.
    KWOCRSCommand copy(&slot);
    const auto answer = bytes(12);
    EXPECT_TRUE(copy.setResponseAndCompare(answer.data(), 12, false));
    EXPECT_EQ(slot.m_ResponseLength, 0u);
    EXPECT_EQ(copy.m_ExpectedResponseCount, 1u);
    EXPECT_NE(copy.m_pCommand.data(), slot.m_pCommand.data());

    copy.clear();
    EXPECT_EQ(copy.m_Number, -1);
    EXPECT_EQ(copy.m_Tag, -1);
    EXPECT_EQ(copy.m_CommandCapacity, 0u);
    EXPECT_EQ(copy.m_ExpectedResponseCount, 0u);
}

} // namespace

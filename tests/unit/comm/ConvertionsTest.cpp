#include "comm/Convertions.h"
#include "unit/comm/LogRecorder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct HexCase {
    const char* text;
    int32_t length;          // buffer size given
    bool ok;
    std::vector<uint8_t> bytes; // expected content (ok) or bytes kept before the bad pair
    const char* message;     // expected report, or nullptr
};

class HexStringToBuffer : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexStringToBuffer, ConvertsOrReports)
{
    const HexCase& c = GetParam();
    logrec::clear();
    std::vector<uint8_t> buffer(8, 0xEE);
    int32_t length = c.length;
    EXPECT_EQ(hexStringToBuffer(c.text, buffer.data(), &length), c.ok);
    if (c.ok) {
        EXPECT_EQ(length, static_cast<int32_t>(c.bytes.size()));
    }
    for (size_t i = 0; i < c.bytes.size(); ++i)
        EXPECT_EQ(buffer[i], c.bytes[i]) << "byte " << i;
    const auto errors = logrec::errors();
    if (c.message == nullptr) {
        EXPECT_TRUE(errors.empty()) << logrec::dump();
    } else {
        ASSERT_EQ(errors.size(), 1u) << logrec::dump();
        EXPECT_EQ(errors[0].text, c.message);
        EXPECT_EQ(errors[0].file, "Convertions");
        EXPECT_EQ(errors[0].function, "hexStringToBuffer");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexStringToBuffer,
    ::testing::Values(HexCase{"0aFF", 2, true, {0x0A, 0xFF}, nullptr},
                      HexCase{"", 0, true, {}, nullptr},
                      HexCase{"10a2E3", 8, true, {0x10, 0xA2, 0xE3}, nullptr},
                      HexCase{"0aF", 2, false, {}, "Byte buffer bad defined."},
                      HexCase{"0aFF", 1, false, {}, "Byte buffer bad defined."},
                      // the second digit of a pair is checked first; the two texts differ by the full stop
                      HexCase{"0G", 1, false, {}, "Hexa string not valid."},
                      HexCase{"G0", 1, false, {}, "Hexa string not valid"},
                      // bytes before the bad pair stay, the buffer was zeroed first
                      HexCase{"12x4", 2, false, {0x12, 0x00}, "Hexa string not valid"}));

TEST(BufferToHexString, SeparatorsAndLineWidths)
{
    const uint8_t two[] = {0x01, 0xAB};
    EXPECT_EQ(bufferToHexString(two, 2, 80, 1), "01 AB");
    EXPECT_EQ(bufferToHexString(two, 0, 80, 1), "");
    EXPECT_EQ(bufferToHexString(nullptr, 3, 80, 1), "");

    std::vector<uint8_t> bytes(60);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i);
    // Width 80 puts 26 bytes on a line, width 60 puts 19; no separator after the last byte.
    for (auto [width, perLine] : {std::pair{80, 26}, std::pair{60, 19}}) {
        const std::string text = bufferToHexString(bytes.data(), 60, width, 1);
        size_t start = 0;
        std::vector<std::string> lines;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        lines.push_back(text.substr(start));
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0].size(), static_cast<size_t>(perLine * 3 - 1)) << "width " << width;
        EXPECT_EQ(lines[0].substr(0, 5), "00 01");
        EXPECT_NE(text.back(), ' ');
        EXPECT_NE(text.back(), '\n');
    }
    // Groups of two: a space after every second byte only.
    const uint8_t four[] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(bufferToHexString(four, 4, 80, 2), "DEAD BEEF");
}

} // namespace

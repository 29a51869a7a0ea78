// The device's answers byte for byte, routing, and finding frames in a noisy line.
#include "SimTestSupport.h"

#include <gtest/gtest.h>

using namespace simtest;
using sim::DeviceConfig;
using sim::RunningCode;
using sim::Version;

namespace {

DeviceConfig device(uint8_t address, Version type, Version big)
{
    DeviceConfig c;
    c.address = address;
    c.type = type;
    c.bigVersion = big;
    return c;
}

const Bytes DIRECT_READ = hexBytes("55 10 06 04 00 04 01 E3 57");
const Bytes DIRECT_ANSWER = hexBytes("10 55 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 A9");
const Bytes ONE_HOP_READ = hexBytes("55 10 0E C1 FF 09 33 55 06 04 00 04 01 E3 7A E3 13");
const Bytes ONE_HOP_ANSWER = hexBytes("10 55 15 D1 11 55 33 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 CC E3 D7");
const Bytes TWO_HOP_READ = hexBytes("55 10 16 C1 FF 11 33 55 0E C2 FF 09 31 33 06 04 00 04 01 E3 56 E3 EF E3 0D");
const Bytes TWO_HOP_ANSWER = hexBytes(
    "10 55 1C D1 18 55 33 15 D2 11 33 31 0E 24 00 04 00 12 00 24 01 05 00 01 00 E3 BA E3 D7 E3 FB");

TEST(SimGolden, DirectTypeAndVersionRead)
{
    Harness h;
    h.bus.addDevice(device(0x55, {1, 2}, {2, 5}));
    EXPECT_EQ(h.ask(DIRECT_READ), DIRECT_ANSWER);
}

TEST(SimGolden, OneHopReadThroughInterface1)
{
    Harness h;
    h.bus.addDevice(device(0x55, {9, 9}, {9, 9}));
    ASSERT_NE(h.bus.addDevice(device(0x33, {1, 2}, {2, 5}), 0x55, 1), nullptr);
    const Bytes answer = h.ask(ONE_HOP_READ);
    EXPECT_EQ(answer.size(), 24u);
    EXPECT_EQ(answer, ONE_HOP_ANSWER);
}

TEST(SimGolden, TwoHopAnswerIsWrappedLevelByLevel)
{
    Harness h;
    h.bus.addDevice(device(0x55, {9, 9}, {9, 9}));
    h.bus.addDevice(device(0x33, {9, 9}, {9, 9}), 0x55, 1);
    h.bus.addDevice(device(0x31, {18, 4}, {1, 5}), 0x33, 2);
    const Bytes answer = h.ask(TWO_HOP_READ);
    EXPECT_EQ(answer.size(), 31u);
    EXPECT_EQ(answer, TWO_HOP_ANSWER);
}

TEST(SimGolden, RoutedFrameForAnEmptyInterfaceOrUnknownChildIsNotAnswered)
{
    Harness h;
    h.bus.addDevice(device(0x55, {9, 9}, {9, 9}));
    h.bus.addDevice(device(0x34, {1, 2}, {2, 5}), 0x55, 1); // not 0x33
    EXPECT_TRUE(h.send(ONE_HOP_READ).empty());
    h.bus.addDevice(device(0x33, {1, 2}, {2, 5}), 0x55, 2); // wrong interface
    EXPECT_TRUE(h.send(ONE_HOP_READ).empty());
}

struct VersionCase {
    const char* name;
    std::optional<Version> hardware;
    RunningCode running;
    Bytes expected; // b0..b3
};

TEST(SimGolden, VersionRegisterForms)
{
    const VersionCase cases[] = {
        {"no hardware, big code", std::nullopt, RunningCode::Big, {0x05, 0x00, 0x02, 0x00}},
        {"hardware 1.5, big code", Version{1, 5}, RunningCode::Big, {0x05, 0x02, 0x05, 0x01}},
        {"no hardware, little code 1.3", std::nullopt, RunningCode::Little, {0x83, 0x00, 0x01, 0x00}},
        {"hardware 1.5, little code 1.3", Version{1, 5}, RunningCode::Little, {0x83, 0x01, 0x05, 0x01}},
    };
    for (const auto& c : cases) {
        Harness h;
        DeviceConfig cfg = device(0x55, {1, 2}, {2, 5});
        cfg.hardware = c.hardware;
        cfg.running = c.running;
        cfg.littleVersion = {1, 3};
        h.bus.addDevice(cfg);
        EXPECT_EQ(h.version(0x55), c.expected) << c.name;
    }
}

TEST(SimGolden, ReadsAreAnsweredInOrderAndUnknownRegistersGiveFrameError)
{
    Harness h;
    h.bus.addDevice(device(0x55, {1, 2}, {2, 5}));
    // version, then type, then an unknown register 0x30
    const Bytes answer = h.ask(request(0x55, {0x04, 0x01, 0x04, 0x00, 0x04, 0x30}));
    const Bytes expected = [] {
        Bytes f = hexBytes("10 55 0F 24 01 05 00 02 00 24 00 02 00 01 00 E4 E3");
        f.push_back(sum8(f));
        return f;
    }();
    EXPECT_EQ(answer, expected);
}

TEST(SimLine, WritesAloneAreSilentAndForeignOrBadFramesIgnored)
{
    Harness h;
    h.bus.addDevice(device(0x55, {1, 2}, {2, 5}));
    EXPECT_TRUE(h.send(request(0x55, pointerWrite(0x02))).empty()) << "a request without reads";
    EXPECT_TRUE(h.send(hexBytes("56 10 06 04 00 04 01 E3 58")).empty()) << "another address";
    EXPECT_TRUE(h.send(hexBytes("55 10 06 04 00 04 01 E3 58")).empty()) << "bad checksum";
    EXPECT_TRUE(h.send(hexBytes("55 10 06 04 00 04 01 E4 58")).empty()) << "no end byte";
    EXPECT_EQ(h.ask(DIRECT_READ), DIRECT_ANSWER) << "still answers after all that";
    EXPECT_EQ(h.bus.device(0x55)->requestCount(), 2u);
}

TEST(SimLine, FramesAreFoundInNoiseAndAcrossChunks)
{
    Harness h;
    h.bus.addDevice(device(0x55, {1, 2}, {2, 5}));

    Bytes noisy = hexBytes("00 FF E3 10 55");
    noisy.insert(noisy.end(), DIRECT_READ.begin(), DIRECT_READ.end());
    noisy.insert(noisy.end(), DIRECT_READ.begin(), DIRECT_READ.end());
    // Noise right before a frame may hide it until the line goes quiet.
    auto answers = h.send(noisy);
    const auto afterSilence = h.bus.lineIdle(h.now);
    answers.insert(answers.end(), afterSilence.begin(), afterSilence.end());
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], DIRECT_ANSWER);

    // One byte at a time, without a pause between them.
    std::vector<Bytes> split;
    for (uint8_t byte : DIRECT_READ) {
        EXPECT_TRUE(split.empty());
        split = h.bus.receive(Bytes{byte}, h.now);
    }
    ASSERT_EQ(split.size(), 1u);
    EXPECT_EQ(split[0], DIRECT_ANSWER);
}

TEST(SimLine, CutFrameIsGivenUpWhenTheLineGoesQuiet)
{
    Harness h;
    h.bus.addDevice(device(0x55, {1, 2}, {2, 5}));
    // A frame cut after its length byte claims 0x40 more bytes: the good
    // frame behind it is swallowed until the line has been quiet.
    Bytes cut = hexBytes("55 10 40 04");
    cut.insert(cut.end(), DIRECT_READ.begin(), DIRECT_READ.end());
    EXPECT_TRUE(h.bus.receive(cut, h.now).empty());
    EXPECT_TRUE(h.bus.hasPendingBytes());
    auto answers = h.bus.lineIdle(h.now);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], DIRECT_ANSWER);
    EXPECT_FALSE(h.bus.hasPendingBytes());
}

TEST(SimLine, LengthByteWithBit7IsNoRequest)
{
    sim::FrameParser parser;
    Bytes bytes = hexBytes("55 10 86 04 00 04 01 E3");
    bytes.insert(bytes.end(), DIRECT_READ.begin(), DIRECT_READ.end());
    parser.push(bytes);
    auto frame = parser.next();
    while (!frame && parser.pending()) { // the line went quiet
        parser.dropStale();
        frame = parser.next();
    }
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, DIRECT_READ);
    EXPECT_EQ(parser.droppedBytes(), 8u);
}

} // namespace

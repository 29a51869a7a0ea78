// Upload, read-back, busy status, flashing and restarts as the tool drives them.
#include "SimTestSupport.h"

#include <gtest/gtest.h>

using namespace simtest;
using namespace std::chrono_literals;
using sim::DeviceConfig;
using sim::RunningCode;

namespace {

constexpr uint8_t ADDR = 0x55;
constexpr uint8_t DONE = 0, BUSY = 14, POINTER_ERROR = 15;

DeviceConfig target(RunningCode running = RunningCode::Big)
{
    DeviceConfig c;
    c.address = ADDR;
    c.type = {18, 4};
    c.bigVersion = {1, 0};
    c.littleVersion = {1, 0};
    c.running = running;
    return c;
}

Bytes pattern(std::size_t size)
{
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = uint8_t(i * 13 + 5);
    return b;
}

// Flashes and steps over the restart, checking that the device is silent
// during it; the version bytes it reports afterwards.
Bytes flashAndRestart(Harness& h, uint32_t word)
{
    EXPECT_TRUE(h.send(request(ADDR, commandPayload(word))).empty()) << "flashing is not answered";
    h.advance(1999ms);
    EXPECT_TRUE(h.version(ADDR).empty()) << "silent while restarting";
    h.advance(1ms);
    return h.version(ADDR);
}

TEST(SimUpload, ImageOf192BytesIsWrittenAsThreeBlocksAndReadBackIdentical)
{
    Harness h;
    h.bus.addDevice(target());
    const Bytes image = pattern(192);
    for (uint32_t block = 0; block < 3; ++block) {
        const Bytes payload = writeBlockPayload(block, image.data() + 64 * block);
        EXPECT_EQ(payload[2], uint8_t(0x02 + 0x40 * block)); // W = 0x02, 0x42, 0x82
        const Bytes answer = h.ask(request(ADDR, payload));
        ASSERT_EQ(answer.size(), 13u) << "status answer of block " << block;
        EXPECT_EQ(answer[3], 0x26);
        EXPECT_EQ(answer[4], 0x1C);
        EXPECT_EQ(statusOf(answer), DONE);
    }
    const auto* d = h.bus.device(ADDR);
    EXPECT_EQ(d->uploadedBytes(), 192u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), d->uploadArea().begin()));
    EXPECT_EQ(h.readBack(ADDR, 192), image);
    // Reading a block back twice gives the same bytes (the registers are reloaded).
    EXPECT_EQ(readBackOf(h.ask(request(ADDR, readBlockPayload(1)))), Bytes(image.begin() + 64, image.begin() + 128));
}

TEST(SimUpload, BusyTwiceThenDone)
{
    Harness h;
    DeviceConfig c = target();
    c.busyPolls = 2;
    h.bus.addDevice(c);
    const Bytes image = pattern(128);
    EXPECT_EQ(h.upload(ADDR, image), (std::vector<uint8_t>{BUSY, BUSY, DONE, BUSY, BUSY, DONE}));
    EXPECT_EQ(h.readBack(ADDR, 128), image);
}

TEST(SimUpload, BadCommandWordsGivePointerError)
{
    struct Case {
        const char* name;
        Bytes payload;
    };
    const Case cases[] = {
        {"block beyond 1 MiB", [] {
             Bytes p = pointerWrite((1u << 20) + 0x02);
             p.insert(p.end(), {0x40, 0x1D, 0x06, 0x1C});
             return p;
         }()},
        {"marker missing", hexBytes("46 1C 02 00 00 00 55 AB 40 1D 06 1C")},
        {"pointer of 4 bytes", hexBytes("44 1C 02 00 00 00 40 1D 06 1C")},
        {"unknown command", hexBytes("46 1C 03 00 00 00 55 AA 40 1D 06 1C")},
    };
    for (const auto& c : cases) {
        Harness h;
        h.bus.addDevice(target());
        const Bytes answer = h.ask(request(ADDR, c.payload));
        ASSERT_EQ(answer.size(), 13u) << c.name;
        EXPECT_EQ(statusOf(answer), POINTER_ERROR) << c.name;
    }
}

TEST(SimFlash, SingleImagesStartWithTheVersionOfTheirHeader)
{
    struct Case {
        const char* name;
        Bytes image;
        std::optional<sim::Version> hardware;
        Bytes expected;
    };
    const Case cases[] = {
        {"legacy, firmware word", legacyImage(2, 7, false), std::nullopt, {0x07, 0x00, 0x02, 0x00}},
        {"legacy, hardware limit first", legacyImage(3, 1, true), std::nullopt, {0x01, 0x00, 0x03, 0x00}},
        {"32-bit, firmware word", bits32Image(4, 2, false), sim::Version{1, 0}, {0x02, 0x04, 0x00, 0x01}},
        {"32-bit, hardware limit", bits32Image(5, 3, true), std::nullopt, {0x03, 0x00, 0x05, 0x00}},
    };
    for (const auto& c : cases) {
        Harness h;
        DeviceConfig cfg = target();
        cfg.hardware = c.hardware;
        h.bus.addDevice(cfg);
        const auto statuses = h.upload(ADDR, c.image);
        ASSERT_EQ(statuses.size(), c.image.size() / 64) << c.name;
        EXPECT_EQ(flashAndRestart(h, uint32_t(c.image.size()) | 0x06), c.expected) << c.name;
        EXPECT_EQ(h.bus.device(ADDR)->running(h.now), RunningCode::Big) << c.name;
        EXPECT_EQ(h.bus.device(ADDR)->restartCount(), 1u) << c.name;
    }
}

TEST(SimFlash, UnknownImageDoesNotStartAndLeavesTheLittleCode)
{
    Harness h;
    h.bus.addDevice(target());
    h.upload(ADDR, pattern(256));
    EXPECT_EQ(flashAndRestart(h, 256 | 0x06), (Bytes{0x80, 0x00, 0x01, 0x00}));
    EXPECT_FALSE(h.bus.device(ADDR)->bigCodeValid());
}

// A two-image upgrade: upgrade mode, little code (first of two), big code.
class SimSections : public ::testing::Test {
protected:
    void SetUp() override { h.bus.addDevice(target()); }

    void enterLittleModeAndFlashLittleCode()
    {
        ASSERT_EQ(h.version(ADDR), (Bytes{0x00, 0x00, 0x01, 0x00})) << "big code 1.0";
        EXPECT_TRUE(h.send(request(ADDR, commandPayload(0x16))).empty());
        h.advance(1000ms);
        EXPECT_TRUE(h.version(ADDR).empty()) << "restarting into upgrade mode";
        h.advance(1000ms);
        ASSERT_EQ(h.version(ADDR), (Bytes{0x80, 0x00, 0x01, 0x00})) << "little code 1.0";

        little = littleImage(1, 0x82);
        ASSERT_EQ(h.upload(ADDR, little).size(), little.size() / 64);
        ASSERT_EQ(h.readBack(ADDR, little.size()), little);
        ASSERT_EQ(flashAndRestart(h, uint32_t(little.size() + 64) | 0x26), (Bytes{0x82, 0x00, 0x01, 0x00}))
            << "the new little code 1.2 runs after the first of two";
    }

    Harness h;
    Bytes little;
};

TEST_F(SimSections, BigCodeWithGoodLengthAndChecksumStarts)
{
    enterLittleModeAndFlashLittleCode();
    const Bytes big = bigImage(1, 5, 0x1018);
    ASSERT_EQ(big.size(), 0x1040u);
    h.upload(ADDR, big);
    ASSERT_EQ(h.readBack(ADDR, big.size()), big);
    // The word carries the little image's length, not the big one's.
    EXPECT_EQ(flashAndRestart(h, uint32_t(little.size() + 64) | 0x06), (Bytes{0x05, 0x00, 0x01, 0x00}));
    EXPECT_EQ(h.bus.device(ADDR)->running(h.now), RunningCode::Big);
    EXPECT_EQ(h.bus.device(ADDR)->lastFlashedImage().kind, sim::ImageKind::BigCode);
    EXPECT_TRUE(std::equal(big.begin(), big.begin() + 0x1018,
                           h.bus.device(ADDR)->flash().begin() + sim::Device::BIG_AREA_START));
}

TEST_F(SimSections, BrokenBigCodeLeavesTheDeviceInItsLittleCode)
{
    struct Case {
        const char* name;
        std::function<void(Bytes&)> spoil;
    };
    const Case cases[] = {
        {"checksum", [](Bytes& b) { b[28] ^= 0x01; }},
        {"code byte", [](Bytes& b) { b[0x800] ^= 0x40; }},
        {"length longer than the image", [](Bytes& b) { put32(b, 24, 0x2000); }},
        {"length shorter than the header", [](Bytes& b) { put32(b, 24, 20); }},
        {"length one word short", [](Bytes& b) { put32(b, 24, 0x1014); }},
    };
    enterLittleModeAndFlashLittleCode();
    for (const auto& c : cases) {
        Bytes big = bigImage(1, 5, 0x1018);
        c.spoil(big);
        h.upload(ADDR, big);
        EXPECT_EQ(flashAndRestart(h, uint32_t(little.size() + 64) | 0x06), (Bytes{0x82, 0x00, 0x01, 0x00}))
            << c.name << ": still the little code 1.2";
        EXPECT_EQ(h.bus.device(ADDR)->running(h.now), RunningCode::Little) << c.name;
        EXPECT_FALSE(h.bus.device(ADDR)->lastFlashedImage().valid) << c.name;
    }
    // A good image afterwards still starts.
    const Bytes big = bigImage(1, 6);
    h.upload(ADDR, big);
    EXPECT_EQ(flashAndRestart(h, uint32_t(little.size() + 64) | 0x06), (Bytes{0x06, 0x00, 0x01, 0x00}));
}

TEST_F(SimSections, LittleCodeWithoutItsHeaderIsRefused)
{
    enterLittleModeAndFlashLittleCode();
    Bytes bad = littleImage(1, 0x85);
    putText(bad, 0x104, "VltXx");
    h.upload(ADDR, bad);
    EXPECT_EQ(flashAndRestart(h, uint32_t(bad.size() + 64) | 0x26), (Bytes{0x82, 0x00, 0x01, 0x00}))
        << "the previous little code 1.2 stays";
}

TEST(SimFlash, DeviceThatKeepsItsBigCodeAfterTheLittleCode)
{
    Harness h;
    DeviceConfig c = target(RunningCode::Little);
    c.bigAfterLittleFlash = true;
    c.bigVersion = {1, 5};
    h.bus.addDevice(c);
    const Bytes little = littleImage(1, 0x82);
    h.upload(ADDR, little);
    EXPECT_EQ(flashAndRestart(h, uint32_t(little.size() + 64) | 0x26), (Bytes{0x05, 0x00, 0x01, 0x00}));
}

TEST(SimFlash, UploadAreaIsEmptyAfterARestart)
{
    Harness h;
    h.bus.addDevice(target());
    h.upload(ADDR, pattern(64));
    h.send(request(ADDR, commandPayload(0x16)));
    h.advance(2000ms);
    EXPECT_EQ(h.readBack(ADDR, 64), Bytes(64, 0xFF));
}

TEST(SimImages, ChecksumOfWordsWithFilledEdges)
{
    const Bytes eight = hexBytes("01 00 00 00 FF FF FF FF");
    EXPECT_EQ(sim::imageChecksum(eight, 8, 0), 4294967296ull);
    const Bytes b = hexBytes("10 20 30 40 50 60 70 80");
    // start 1: the first word's lowest byte counts as FF; end 6: the last word's top two bytes.
    EXPECT_EQ(sim::imageChecksum(b, 6, 1), 0x403020FFull + 0xFFFF6050ull);
    EXPECT_EQ(sim::imageChecksum(b, 4, 4), 0u);
}

TEST(SimImages, KindsAreRecognisedByTheirSignatures)
{
    EXPECT_EQ(sim::inspectImage(legacyImage(1, 2, false)).kind, sim::ImageKind::Legacy);
    EXPECT_EQ(sim::inspectImage(bits32Image(1, 2, false)).kind, sim::ImageKind::Bits32);
    EXPECT_EQ(sim::inspectImage(littleImage(1, 0x82)).kind, sim::ImageKind::LittleCode);
    EXPECT_EQ(sim::inspectImage(bigImage(1, 2)).kind, sim::ImageKind::BigCode);
    EXPECT_EQ(sim::inspectImage(pattern(128)).kind, sim::ImageKind::Unknown);
    // An LT header off the 4-byte steps is not found.
    Bytes little = littleImage(1, 0x82, 0x102);
    EXPECT_FALSE(sim::inspectImage(little).valid);
}

} // namespace

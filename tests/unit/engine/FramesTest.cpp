#include "unit/comm/LogRecorder.h"
#include "unit/engine/EngineTestSupport.h"

#include "platform/MainLoop.h"

#include <gtest/gtest.h>

namespace {

using enginetest::RecordingOwner;
using Bytes = std::vector<uint8_t>;

class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        logrec::clear();
        platform::UiBridge::install(&loop);
        engine = std::make_unique<KWOCFwUpgraderRS485>(&ok, &owner);
        ASSERT_TRUE(ok);
    }
    void TearDown() override
    {
        engine.reset();
        platform::UiBridge::install(nullptr);
    }
    // Decodes a payload as the answer of a request that read `registers`.
    bool analyse(const Bytes& payload, const std::vector<uint8_t>& registers)
    {
        engine->m_nAnswerRegisterCount = 0;
        for (uint8_t reg : registers)
            engine->m_AnswerRegisters[size_t(engine->m_nAnswerRegisterCount++)] = reg;
        return engine->analyseData(payload.data(), int(payload.size()));
    }

    platform::MainLoop loop;
    RecordingOwner owner;
    bool ok = false;
    std::unique_ptr<KWOCFwUpgraderRS485> engine;
};

TEST(EngineFrames, RequestFramesForEveryRouteLength)
{
    struct Case {
        const char* name;
        std::vector<int32_t> addresses;
        std::vector<int32_t> interfaces;
        Bytes payload;
        Bytes frame;
    };
    const std::vector<Case> cases = {
        {"direct type and version read", {0x55}, {}, {0x04, 0x00, 0x04, 0x01},
         {0x55, 0x10, 0x06, 0x04, 0x00, 0x04, 0x01, 0xE3, 0x57}},
        {"one hop through interface 1", {0x55, 0x33}, {1}, {0x04, 0x00, 0x04, 0x01},
         {0x55, 0x10, 0x0E, 0xC1, 0xFF, 0x09, 0x33, 0x55, 0x06, 0x04, 0x00, 0x04, 0x01, 0xE3, 0x7A, 0xE3, 0x13}},
        {"two hops, status poll", {0x21, 0x42, 0x63}, {2, 7}, {0x06, 0x1C},
         {0x21, 0x10, 0x14, 0xC2, 0xFF, 0x0F, 0x42, 0x21, 0x0C, 0xC7, 0xFF, 0x07,
          0x63, 0x42, 0x04, 0x06, 0x1C, 0xE3, 0xAE, 0xE3, 0x7B, 0xE3, 0xEE}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KWOCFwUpgraderRS485::buildFrame(c.addresses, c.interfaces, c.payload), c.frame) << c.name;
}

TEST(EngineFrames, LargestRequestOfFiveHopsKeepsOneByteLengths)
{
    const std::vector<int32_t> addresses = {1, 2, 3, 4, 5, 6};
    const std::vector<int32_t> interfaces = {0, 1, 2, 3, 4};
    const Bytes payload(84, 0x5A);
    const Bytes frame = KWOCFwUpgraderRS485::buildFrame(addresses, interfaces, payload);
    ASSERT_EQ(frame.size(), size_t(6 * 5 + 3 + 84 + 2 * 6));
    EXPECT_EQ(frame[2], 8 * 5 + 84 + 2);
    EXPECT_LT(frame[2], 0x80);
    EXPECT_EQ(frame[6 * 5 + 2], 84 + 2);
}

TEST(EngineAnswers, AnswerChecksInOrder)
{
    // The worked answer: type 1.2, version 2.5, no hardware version.
    const Bytes good = {0x10, 0x55, 0x0E, 0x24, 0x00, 0x02, 0x00, 0x01, 0x00,
                        0x24, 0x01, 0x05, 0x00, 0x02, 0x00, 0xE3, 0xA9};
    const Bytes routed = {0x10, 0x55, 0x15, 0xD1, 0x11, 0x10, 0x33, 0x0E, 0x24, 0x00, 0x02, 0x00,
                          0x01, 0x00, 0x24, 0x01, 0x05, 0x00, 0x02, 0x00, 0xE3, 0x87, 0xE3, 0x4D};
    auto with = [](Bytes b, size_t at, uint8_t value) {
        b[at] = value;
        return b;
    };
    struct Case {
        const char* name;
        Bytes answer;
        int32_t matched;
        const char* failure; // null: good
        uint32_t position = 0;
        uint32_t length = 0;
    };
    const std::vector<Case> cases = {
        {"worked example", good, 0, nullptr, 3, 12},
        {"one hop unwrapped", routed, 0, nullptr, 8, 12},
        {"length field one too big", with(good, 2, 0x0F), 0, "Answer length not correct."},
        {"length field continues past the end", Bytes{0x10, 0x55, 0x81, 0x82}, 0, "Answer length not correct."},
        {"fewer than three bytes", Bytes{0x10, 0x55}, 0, "Answer length not correct."},
        {"nothing", Bytes{}, 0, "Answer length not correct."},
        {"length without room for the end", Bytes{0x10, 0x55, 0x01, 0x66}, 0, "Answer length not correct."},
        {"nothing matched", good, -1, "Response not equal to the expected one."},
        {"wrong master address", with(good, 0, 0x11), 0, "Addresses in answer not valid."},
        {"wrong device address", with(good, 1, 0x56), 0, "Addresses in answer not valid."},
        {"no end of frame", with(good, 15, 0xE2), 0, "EndOfFrame not present."},
        {"bad checksum", with(good, 16, 0xAA), 0, "CheckSum not valid."},
        {"routed inner length past its level", with(with(routed, 7, 0x20), 23, 0x5F), 0,
         "Answer length not correct."},
        {"routed record length field swallows the inner addresses", with(with(routed, 4, 0x91), 23, 0xCD), 0,
         "Answer length not correct."},
    };
    for (const Case& c : cases) {
        uint32_t position = 99, length = 99;
        const char* failure = KWOCFwUpgraderRS485::answerFailure(c.answer.data(), uint32_t(c.answer.size()),
                                                                 c.matched, 0x55, position, length);
        if (!c.failure) {
            EXPECT_EQ(failure, nullptr) << c.name << ": " << (failure ? failure : "");
            EXPECT_EQ(position, c.position) << c.name;
            EXPECT_EQ(length, c.length) << c.name;
        } else {
            ASSERT_NE(failure, nullptr) << c.name;
            EXPECT_STREQ(failure, c.failure) << c.name;
        }
    }
}

TEST(EngineAnswers, MultiByteLengthFieldStaysInsideTheBytes)
{
    const Bytes field = {0x00, 0x00, 0x85, 0x01};
    uint64_t value = 0;
    uint32_t next = 0;
    ASSERT_TRUE(KWOCFwUpgraderRS485::readLengthField(field.data(), 4, 2, value, next));
    EXPECT_EQ(value, 0x85u);
    EXPECT_EQ(next, 4u);
    EXPECT_FALSE(KWOCFwUpgraderRS485::readLengthField(field.data(), 3, 2, value, next));
}

TEST_F(EngineFixture, VersionRegisterForms)
{
    ASSERT_TRUE(analyse({0x24, 0x00, 0x02, 0x00, 0x01, 0x00, 0x24, 0x01, 0x03, 0x02, 0x05, 0x01},
                        {REG_DEVICE_TYPE, REG_FIRMWARE_VERSION}));
    EXPECT_EQ(engine->m_nDeviceType, enginetest::version(1, 2));
    EXPECT_EQ(engine->m_nFirmwareVersion, enginetest::version(2, 3));
    EXPECT_EQ(engine->m_nHardwareVersion, enginetest::version(1, 5));
    ASSERT_TRUE(analyse({0x24, 0x00, 0x02, 0x00, 0x01, 0x00, 0x24, 0x01, 0x05, 0x00, 0x02, 0x00},
                        {REG_DEVICE_TYPE, REG_FIRMWARE_VERSION}));
    EXPECT_EQ(engine->m_nFirmwareVersion, enginetest::version(2, 5));
    EXPECT_EQ(engine->m_nHardwareVersion, -1);
}

TEST_F(EngineFixture, RecordsThatWereNotAskedForAreRefused)
{
    struct Case {
        const char* name;
        Bytes payload;
        std::vector<uint8_t> registers; // an initializer_list member would dangle
        const char* report;
    };
    const std::vector<Case> cases = {
        {"status answer to a version read", {0x26, 0x1C, 0, 0, 0, 0, 0, 0}, {REG_DEVICE_TYPE, REG_FIRMWARE_VERSION},
         "Registry address received not valid\tKWOCFwUpgraderRS485::analyseData"},
        {"type twice, no version", {0x24, 0x00, 1, 0, 0, 0, 0x24, 0x00, 1, 0, 0, 0},
         {REG_DEVICE_TYPE, REG_FIRMWARE_VERSION},
         "Registry address received not valid\tKWOCFwUpgraderRS485::analyseData"},
        {"version only", {0x24, 0x01, 1, 0, 2, 0}, {REG_DEVICE_TYPE, REG_FIRMWARE_VERSION},
         "Registry address received not valid\tKWOCFwUpgraderRS485::analyseData"},
        {"unknown register", {0x24, 0x05, 1, 0, 0, 0}, {REG_DEVICE_TYPE},
         "Registry address received not valid\tKWOCFwUpgraderRS485::analyseData"},
        {"frame error record", {0xE4, 0x00, 1, 0, 0, 0}, {REG_DEVICE_TYPE},
         "Frame error in the data\tKWOCFwUpgraderRS485::analyseData"},
        {"write record in an answer", {0x44, 0x00, 1, 0, 0, 0}, {REG_DEVICE_TYPE},
         "Function type unknown in data\tKWOCFwUpgraderRS485::analyseData"},
        {"register data cut", {0x24, 0x00, 1, 0}, {REG_DEVICE_TYPE},
         "Answer length not correct.\tKWOCFwUpgraderRS485::analyseData"},
        {"register byte missing", {0x24}, {REG_DEVICE_TYPE},
         "Answer length not correct.\tKWOCFwUpgraderRS485::analyseData"},
    };
    for (const Case& c : cases) {
        logrec::clear();
        EXPECT_FALSE(analyse(c.payload, c.registers)) << c.name;
        EXPECT_EQ(logrec::count(c.report), 1u) << c.name << "\n" << logrec::dump();
    }
}

TEST_F(EngineFixture, VerificationMismatchNamesTheImagePositionAndReleasesTheImage)
{
    engine->m_SingleImage.assign(6 * 64, 0);
    for (size_t i = 0; i < engine->m_SingleImage.size(); ++i)
        engine->m_SingleImage[i] = uint8_t(i * 7);
    engine->m_pFatBuffer = &engine->m_SingleImage;
    engine->m_nFatBufferSize = 6 * 64;
    engine->m_nBlockIndex = 3;
    engine->m_nState = STATE_VERIFYING;
    Bytes payload;
    for (int slice = 0; slice < 4; ++slice) {
        payload.push_back(0x30);
        payload.push_back(uint8_t(REG_DATA_0 + slice));
        for (int i = 0; i < 16; ++i)
            payload.push_back(engine->m_SingleImage[size_t(3 * 64 + slice * 16 + i)]);
    }
    payload[18 + 2 + 5] ^= 0xFF; // byte 5 of register 0x19
    EXPECT_FALSE(analyse(payload, {0x18, 0x19, 0x1A, 0x1B}));
    EXPECT_EQ(owner.messages(), std::vector<std::string>{"Writing ERROR @ pos 213"});
    EXPECT_EQ(owner.finalCount(), 0); // receiveData raises the one EVENT_FAILED
    EXPECT_EQ(logrec::count("Writing ERROR @ pos 213\tKWOCFwUpgraderRS485::analyseData"), 1u);
    EXPECT_EQ(engine->m_nState.load(), STATE_IDLE);
    EXPECT_EQ(engine->m_pFatBuffer, nullptr);
    EXPECT_EQ(engine->m_nFatBufferSize, 0);
    EXPECT_TRUE(engine->m_SingleImage.empty());
}

TEST_F(EngineFixture, ReadBackOfTheLastBlockCountsOnlyWhenAllFourSlicesWereCompared)
{
    // One-block image: the block is the last one, so a block wrongly taken as
    // verified ends the verification at once.
    struct Case {
        const char* name;
        std::vector<uint8_t> records; // registers in answer order
        int corruptByte;              // in the block, -1: none
        const char* report;           // null: verified
    };
    const char* const notValid = "Registry address received not valid\tKWOCFwUpgraderRS485::analyseData";
    const std::vector<Case> cases = {
        {"reverse order", {0x1B, 0x1A, 0x19, 0x18}, -1, nullptr},
        {"reverse order, first-asked register corrupted", {0x1B, 0x1A, 0x19, 0x18}, 0,
         "Writing ERROR @ pos 0\tKWOCFwUpgraderRS485::analyseData"},
        {"first-asked register missing", {0x1B, 0x19, 0x1A}, -1, notValid},
        {"a register repeated for another", {0x1B, 0x19, 0x1A, 0x1A}, -1, notValid},
        {"a register not read for another", {0x1B, 0x19, 0x1A, 0x01}, -1, notValid},
    };
    for (const Case& c : cases) {
        logrec::clear();
        engine->m_SingleImage.assign(64, 0);
        for (size_t i = 0; i < 64; ++i)
            engine->m_SingleImage[i] = uint8_t(i * 5 + 3);
        engine->m_pFatBuffer = &engine->m_SingleImage;
        engine->m_nFatBufferSize = 64;
        engine->m_nBlockIndex = 0;
        engine->m_nState = STATE_VERIFYING;
        Bytes payload;
        for (uint8_t reg : c.records) {
            const bool slice = reg >= REG_DATA_0 && reg <= REG_DATA_3;
            payload.push_back(slice ? 0x30 : 0x24);
            payload.push_back(reg);
            for (int i = 0; i < (slice ? 16 : 4); ++i)
                payload.push_back(slice ? engine->m_SingleImage[size_t((reg - REG_DATA_0) * 16 + i)] : 0);
        }
        if (c.corruptByte >= 0)
            payload[size_t(3 * 18 + 2 + c.corruptByte)] ^= 0xFF; // 0x18 comes fourth
        const bool verified = analyse(payload, {0x18, 0x19, 0x1A, 0x1B});
        EXPECT_EQ(verified, c.report == nullptr) << c.name;
        EXPECT_EQ(engine->m_nBlockIndex, verified ? 1 : 0) << c.name;
        if (c.report) {
            EXPECT_EQ(logrec::count(c.report), 1u) << c.name << "\n" << logrec::dump();
        }
    }
}

TEST_F(EngineFixture, StatusOfTheLastBlockCompletesTheUpload)
{
    engine->m_SingleImage.assign(192, 0xAB);
    engine->m_pFatBuffer = &engine->m_SingleImage;
    engine->m_nFatBufferSize = 192;
    engine->m_nBlockIndex = 2;
    EXPECT_TRUE(analyse({0x26, 0x1C, 0x00, 0, 0, 0, 0, 0}, {REG_FLASH_POINTER}));
    EXPECT_TRUE(engine->m_bUploadComplete);
    EXPECT_EQ(owner.progressValues(), std::vector<int>{100});

    struct Case {
        uint8_t status;
        const char* report;
    };
    for (const Case& c : {Case{0x0F, "read flash pointer error\tKWOCFwUpgraderRS485::analyseData"},
                          Case{0x3F, "read flash pointer error\tKWOCFwUpgraderRS485::analyseData"},
                          Case{0x07, "unknown flash pointer write result\tKWOCFwUpgraderRS485::analyseData"}}) {
        logrec::clear();
        engine->m_nBlockIndex = 0;
        EXPECT_FALSE(analyse({0x26, 0x1C, c.status, 0, 0, 0, 0, 0}, {REG_FLASH_POINTER}));
        EXPECT_EQ(logrec::count(c.report), 1u) << int(c.status);
    }
}

TEST(EngineTexts, VersionDisplayAndDeviceType)
{
    struct Case {
        int32_t firmware;
        int32_t hardware;
        const char* text;
    };
    using enginetest::version;
    for (const Case& c : {Case{version(2, 0x83), version(1, 5), "L 2.3 / 1.5"},
                          Case{version(2, 3), version(1, 5), "2.3 / 1.5"},
                          Case{version(2, 5), -1, "2.5 / NA"},
                          Case{version(2, 5), 0, "2.5 / NA"},
                          Case{version(300, 1000), -1, "300.1000 / NA"}})
        EXPECT_EQ(KWOCFwUpgraderRS485::versionDisplayText(c.firmware, c.hardware), c.text);
    EXPECT_EQ(KWOCFwUpgraderRS485::deviceTypeText(version(1, 2)), "1.2");
    EXPECT_EQ(KWOCFwUpgraderRS485::deviceTypeText(version(18, 4)), "18.4");
}

TEST(EngineTexts, ProgressValues)
{
    EXPECT_EQ(KWOCFwUpgraderRS485::progressValue(1, 192), 33);
    EXPECT_EQ(KWOCFwUpgraderRS485::progressValue(2, 192), 66);
    EXPECT_EQ(KWOCFwUpgraderRS485::progressValue(1, 128), 50);
    // Large images: computed without overflow.
    EXPECT_EQ(KWOCFwUpgraderRS485::progressValue(0x100000, 0x40000000), 6);
}

TEST_F(EngineFixture, FlashWords)
{
    KWOSBinFile file;
    file.bytes.assign(1000, 0);
    engine->m_pBinFile = &file;
    engine->m_File.m_nFileFormat = FORMAT_LEGACY;
    EXPECT_EQ(engine->flashCommandWord(1), 0x406u);
    engine->m_File.m_nFileFormat = FORMAT_32BITS;
    EXPECT_EQ(engine->flashCommandWord(1), 0x406u);
    engine->m_File.m_nFileFormat = FORMAT_SECTIONS;
    engine->m_nLittleImageSize = 0x4040;
    engine->m_nBigImageSize = 0x1040;
    EXPECT_EQ(engine->flashCommandWord(1), 0x40A6u);
    EXPECT_EQ(engine->flashCommandWord(2), 0x4086u);
    engine->m_pBinFile = nullptr;
}

TEST(EngineObject, ConstructionWithoutOwnerOrBridgeFails)
{
    platform::UiBridge::install(nullptr);
    RecordingOwner owner;
    bool ok = true;
    KWOCFwUpgraderRS485 noBridge(&ok, &owner);
    EXPECT_FALSE(ok);

    platform::MainLoop loop;
    platform::UiBridge::install(&loop);
    ok = true;
    KWOCFwUpgraderRS485 noOwner(&ok, nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(noOwner.m_pStateTimer, nullptr);
    platform::UiBridge::install(nullptr);
}

TEST_F(EngineFixture, FieldsAreDefinedAfterConstruction)
{
    EXPECT_EQ(engine->m_pComManager, nullptr);
    EXPECT_FALSE(engine->m_bConnected);
    EXPECT_EQ(engine->m_nComPort, 1);
    EXPECT_EQ(engine->m_nBaudRate, 115200);
    EXPECT_EQ(engine->m_nResponseTimeout, 5000);
    EXPECT_EQ(engine->m_nLastCommandNumber, -2);
    EXPECT_FALSE(engine->m_bConfirmDowngrade);
    EXPECT_NE(engine->m_pStateTimer, nullptr);
    EXPECT_FALSE(engine->m_pStateTimer->isActive());
    EXPECT_EQ(engine->m_pFatBuffer, nullptr);
    EXPECT_EQ(engine->m_nAnswerBufferSize, 200);
    EXPECT_EQ(engine->m_pAnswerBuffer.size(), 200u);
    EXPECT_EQ(engine->m_nHardwareVersion, -1);
    EXPECT_EQ(engine->m_File.m_nFileFormat, FORMAT_NONE);
    EXPECT_EQ(engine->m_FileSignatures[3], "Veltra32");
    EXPECT_EQ(engine->m_MakerName, "Veltra");
    EXPECT_EQ(engine->m_EndMarker[15], 0xFF);
    EXPECT_EQ(engine->restartWait(), WAIT_TIME);
}

TEST_F(EngineFixture, StartUpgradeRefusesBadRoutesWithoutEvents)
{
    const std::vector<int32_t> addresses(21, 0x55);
    const std::vector<int32_t> interfaces(20, 1);
    KWOSBinFile file;
    file.bytes.assign(100, 0);
    struct Case {
        const char* name;
        int addressCount;
        int interfaceCount;
        const int32_t* interfaces;
        std::string report;
    };
    const std::string place = "\tKWOCFwUpgraderRS485::startUpgrade";
    const std::vector<Case> cases = {
        {"no address", 0, 0, interfaces.data(),
         "Bad module address parameter (NULL pointer or invalid size)." + place},
        {"21 addresses", 21, 20, interfaces.data(), "Max routing interfaces = 20)." + place},
        {"no interfaces", 2, 1, nullptr, "Bad module interface parameter (NULL pointer)." + place},
        {"3 addresses, 1 interface", 3, 1, interfaces.data(),
         "Bad interface number. Must be number of addresses -1\r\nnDeviceAddSize = 3\r\nnDeviceInterfaceSize = 1" +
             place},
        {"6 hops", 7, 6, interfaces.data(), "Max routing hops = 5 (nDeviceInterfaceSize = 6)." + place},
    };
    for (const Case& c : cases) {
        logrec::clear();
        EXPECT_FALSE(engine->startUpgrade(1, 115200, addresses.data(), c.addressCount, c.interfaces,
                                          c.interfaceCount, &file))
            << c.name;
        EXPECT_EQ(logrec::count(c.report), 1u) << c.name << "\n" << logrec::dump();
    }
    EXPECT_TRUE(owner.events().empty());
    EXPECT_EQ(engine->m_pComManager, nullptr);
}

TEST_F(EngineFixture, PortThatCannotBeOpenedFailsTheRunDirectly)
{
    // A port map with nothing in it: COM 3 is no device.
    engine.reset();
    const std::string none = ::testing::TempDir() + "/engine-no-ports";
    engine = std::make_unique<KWOCFwUpgraderRS485>(&ok, &owner, platform::PortMap(none, none, none));
    const int32_t address = 0x55;
    const int32_t noInterface = 0;
    KWOSBinFile file;
    file.bytes.assign(100, 0);
    EXPECT_FALSE(engine->startUpgrade(3, 115200, &address, 1, &noInterface, 0, &file));
    const std::vector<enginetest::Event> expected = {
        {EVENT_PROGRESS, 0, "0", true},
        {EVENT_MESSAGE, -1, "Unable to open connection\r\nCheck communication port", true},
        {EVENT_FAILED, -1, "0", true},
    };
    EXPECT_EQ(owner.events(), expected);
    EXPECT_EQ(logrec::count("Unable to open connection\r\nCheck communication port\tKWOCFwUpgraderRS485::startUpgrade"),
              1u);
    EXPECT_FALSE(engine->m_bConnected);
    EXPECT_EQ(engine->m_pComManager, nullptr);
}

} // namespace

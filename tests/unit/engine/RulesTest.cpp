#include "unit/comm/LogRecorder.h"
#include "unit/engine/EngineTestSupport.h"

#include "platform/MainLoop.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using enginetest::RecordingOwner;
using enginetest::version;

constexpr int32_t TYPE = 0x120004; // 18.4
constexpr int32_t NONE = -1;
const std::string TAG = "\tKWOCFwUpgraderRS485::testVersionAndType";

KWOSBinFileDescription single(int32_t fileVersion, int32_t minVersion, int32_t minHardware = NONE,
                              int32_t maxHardware = NONE, int32_t type = TYPE)
{
    KWOSBinFileDescription d;
    d.m_nFileFormat = FORMAT_LEGACY;
    d.m_nFileDeviceType = type;
    d.m_nFileVersion = fileVersion;
    d.m_nFileMinVersion = minVersion;
    d.m_nFileMinHardware = minHardware;
    d.m_nFileMaxHardware = maxHardware;
    return d;
}

// LT version with its little-code mark, as the file stores it.
KWOSBinFileDescription sections(int32_t lt, int32_t ltMin, int32_t bg, int32_t bgNeeds, int32_t minHardware = NONE,
                                int32_t maxHardware = NONE)
{
    KWOSBinFileDescription d;
    d.m_nFileFormat = FORMAT_SECTIONS;
    for (int s = 0; s < 2; ++s) {
        d.m_nSectionDeviceType[s] = TYPE;
        d.m_nSectionMinHardware[s] = minHardware;
        d.m_nSectionMaxHardware[s] = maxHardware;
    }
    d.m_nSectionVersion[SECTION_LT] = lt;
    d.m_nSectionMinVersion[SECTION_LT] = ltMin;
    d.m_nSectionVersion[SECTION_BG] = bg;
    d.m_nSectionMinVersion[SECTION_BG] = bgNeeds;
    return d;
}

class RulesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        logrec::clear();
        platform::UiBridge::install(&loop);
        engine = std::make_unique<KWOCFwUpgraderRS485>(&ok, &owner);
        ASSERT_TRUE(ok);
        file.bytes.assign(64, 0);
        loop.setAskHandler([this](const std::string& text) {
            questions.push_back(text);
            return answerYes;
        });
    }
    void TearDown() override
    {
        engine.reset();
        platform::UiBridge::install(nullptr);
    }

    platform::MainLoop loop;
    RecordingOwner owner;
    bool ok = false;
    std::unique_ptr<KWOCFwUpgraderRS485> engine;
    KWOSBinFile file;
    std::vector<std::string> questions;
    bool answerYes = true;
};

TEST_F(RulesTest, DeviceAgainstFile)
{
    struct Case {
        const char* name;
        KWOSBinFileDescription description;
        int32_t firmware;
        int32_t hardware;
        int expected;
        std::string refusal; // empty: no message
        int runningCode = 0;
        bool confirm = false;
        bool yes = true;
        bool asked = false;
        int32_t deviceType = TYPE;
    };
    const std::string olderHardware =
        "Older hardware version not valid. Actual hadware of the device must be at least 1.2 to be upgraded with this "
        "file !";
    const std::string newerHardware = "This firmware is not compatible with your hardware version.\r\nThe hardware "
                                      "version must be less or equal than 2.9 to be upgraded with this file !";
    const std::vector<Case> cases = {
        {"same version again", single(version(1, 5), version(1, 0)), version(1, 5), NONE, 1, ""},
        {"upgrade", single(version(1, 5), version(1, 0)), version(1, 3), NONE, 1, ""},
        {"type mismatch", single(version(1, 5), version(1, 0), NONE, NONE, TYPE + 1), version(1, 3), NONE, 0,
         "Type mismatch. This firmware file is not for this device !"},
        {"hardware too old", single(version(1, 5), version(1, 0), version(1, 2)), version(1, 3), version(1, 0), 0,
         olderHardware},
        {"hardware too new", single(version(1, 5), version(1, 0), NONE, version(2, 9)), version(1, 3),
         version(3, 0), 0, newerHardware},
        {"no hardware reported passes both limits", single(version(1, 5), version(1, 0), version(1, 2), version(2, 9)),
         version(1, 3), NONE, 1, ""},
        {"firmware too old", single(version(1, 5), version(1, 2)), version(1, 1), NONE, 0,
         "Older version not valid. Actual firmware of the device must be at least 1.2 to be upgraded with this file "
         "!"},
        {"downgrade across majors", single(version(1, 9), version(1, 0)), version(2, 3), NONE, 0,
         "You cannot downgrade to this version !"},
        {"downgrade, not asked", single(version(2, 1), version(1, 0)), version(2, 3), NONE, 1, ""},
        {"downgrade answered yes", single(version(2, 1), version(1, 0)), version(2, 3), NONE, 1, "", 0, true, true,
         true},
        {"downgrade answered no", single(version(2, 1), version(1, 0)), version(2, 3), NONE, 0, "", 0, true, false,
         true},
        {"sections, device in big code", sections(version(1, 0x82), version(1, 0), version(1, 5), version(1, 2)),
         version(1, 0x05), NONE, 2, "", 2},
        {"sections, device in little code", sections(version(1, 0x82), version(1, 0), version(1, 5), version(1, 2)),
         version(2, 0x85), NONE, 0, "You cannot downgrade to this version !", 1},
        {"sections, little code older", sections(version(1, 0x82), version(1, 0), version(1, 5), version(1, 2)),
         version(1, 0x81), NONE, 1, "", 1},
        {"sections, little code same major newer, asked", sections(version(2, 0x82), version(1, 0), version(2, 5),
                                                                   version(2, 2)),
         version(2, 0x85), NONE, 1, "", 1, true, true, true},
        {"sections, LT and BG do not match", sections(version(1, 0x82), version(1, 0), version(1, 5), version(1, 3)),
         version(1, 0x05), NONE, 0, "File Little code version does not match Big code minimum version", 2},
        {"sections, device below LT minimum", sections(version(1, 0x82), version(1, 0x81), version(1, 5),
                                                       version(1, 2)),
         version(1, 0x00), NONE, 0,
         "Older version not valid. Actual firmware of the device must be at least 1.1 to be upgraded with this file "
         "!",
         2},
        {"no valid format", KWOSBinFileDescription{}, version(1, 0), NONE, 0, "Unknown file format !"},
    };
    for (const Case& c : cases) {
        owner.clear();
        logrec::clear();
        questions.clear();
        engine->m_File = c.description;
        engine->m_pBinFile = &file;
        engine->m_nDeviceType = c.deviceType;
        engine->m_nRunningCode = 0;
        engine->m_nFirmwareVersion = c.firmware;
        engine->m_nHardwareVersion = c.hardware;
        engine->m_bConfirmDowngrade = c.confirm;
        answerYes = c.yes;
        EXPECT_EQ(engine->testVersionAndType(true), c.expected) << c.name;
        EXPECT_EQ(engine->m_nRunningCode, c.runningCode) << c.name;
        EXPECT_EQ(questions.size(), c.asked ? 1u : 0u) << c.name;
        if (c.asked && !questions.empty()) {
            EXPECT_EQ(questions[0], "You are downgrading ! Continue?");
        }
        if (c.refusal.empty()) {
            EXPECT_TRUE(owner.events().empty()) << c.name;
            EXPECT_TRUE(logrec::errors().empty()) << c.name << "\n" << logrec::dump();
        } else {
            EXPECT_EQ(owner.events(), (std::vector<enginetest::Event>{{EVENT_MESSAGE, -1, c.refusal, true}})) << c.name;
            EXPECT_EQ(logrec::count(c.refusal + TAG), 1u) << c.name << "\n" << logrec::dump();
        }
    }
    engine->m_pBinFile = nullptr;
}

TEST_F(RulesTest, CheckOnlyWithoutFileChecksNothing)
{
    owner.checkOnly = true;
    engine->m_pBinFile = nullptr;
    engine->m_nDeviceType = 0x7777;
    EXPECT_EQ(engine->testVersionAndType(true), 1);
    EXPECT_TRUE(owner.events().empty());

    // With a file the rules run, the downgrade question included.
    engine->m_pBinFile = &file;
    engine->m_File = single(version(2, 1), version(1, 0));
    engine->m_nDeviceType = TYPE;
    engine->m_nFirmwareVersion = version(2, 3);
    engine->m_bConfirmDowngrade = true;
    answerYes = false;
    EXPECT_EQ(engine->testVersionAndType(true), 0);
    EXPECT_EQ(questions.size(), 1u);
    engine->m_pBinFile = nullptr;
}

TEST_F(RulesTest, VersionAfterFlashing)
{
    struct Case {
        const char* name;
        KWOSBinFileDescription description;
        int32_t state;
        int32_t firmware;
        bool equal;
        int runningCode;
    };
    const auto file2 = sections(version(1, 0x82), version(1, 0), version(1, 5), version(1, 2));
    const std::vector<Case> cases = {
        {"single image equal", single(version(1, 5), version(1, 0)), STATE_CHECK_NEW_VERSION, version(1, 5), true, 0},
        {"single image differs", single(version(1, 5), version(1, 0)), STATE_CHECK_NEW_VERSION, version(1, 4), false,
         0},
        {"little code flashed", file2, STATE_CHECK_NEW_VERSION, version(1, 0x82), true, 1},
        {"first flashing, device back in big code with BG", file2, STATE_CHECK_NEW_VERSION, version(1, 5), true, 2},
        {"big code flashed", file2, STATE_CHECK_NEW_VERSION_2, version(1, 5), true, 2},
        {"big code flashed, other big version", file2, STATE_CHECK_NEW_VERSION_2, version(1, 6), false, 2},
        // The device stayed in its little code: it has not taken the big code.
        {"big code flashed, device still little", file2, STATE_CHECK_NEW_VERSION_2, version(1, 0x82), false, 1},
    };
    for (const Case& c : cases) {
        owner.clear();
        logrec::clear();
        engine->m_File = c.description;
        engine->m_nState = c.state;
        engine->m_nFirmwareVersion = c.firmware;
        EXPECT_EQ(engine->testUpgradedVersion(false), c.equal) << c.name;
        EXPECT_EQ(engine->m_nRunningCode, c.runningCode) << c.name;
        if (c.equal) {
            EXPECT_TRUE(owner.events().empty()) << c.name;
        } else {
            EXPECT_EQ(owner.messages(), std::vector<std::string>{"Device version not equal to the file version."})
                << c.name;
            EXPECT_EQ(logrec::count("Device version not equal to the file version."), 1u) << c.name;
            EXPECT_EQ(owner.finalCount(), 0) << c.name;
        }
    }
}

} // namespace

// Whole upgrade runs of the engine over a pseudo-terminal against the
// simulated bus. Every run is checked event by event where the sequence is
// fixed, and always for exactly one final event, last.
#include "integration/engine/UpgradeRig.h"
#include "unit/comm/LogRecorder.h"
#include "unit/engine/EngineTestSupport.h"

#include "platform/MainLoop.h"
#include "sim/SimulatedBus.h"
#include "sim/mkfw/FirmwareLayout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace {

using namespace std::chrono_literals;
using enginetest::Event;
using Bytes = std::vector<uint8_t>;

// 25 s waits take 2.5 s: a device restarting in 200 ms keeps over two seconds
// of room for a loaded machine's scheduler.
constexpr double TIME_SCALE = 0.1;
using rig::PORT;
constexpr uint8_t TARGET = 0x55;

using rig::describe;
using rig::device;
using rig::Firmware;
using rig::makeFirmware;
using rig::sectionOptions;

// Runs here take a file of the file maker's default size.
mkfw::Options legacyOptions()
{
    return rig::legacyOptions(mkfw::Options{}.codeSize);
}

sim::Fault fault(sim::FaultKind kind, sim::FaultTrigger trigger = sim::FaultTrigger::next(), int param = -1)
{
    sim::Fault f;
    f.kind = kind;
    f.trigger = trigger;
    f.param = param;
    return f;
}

// The expected sequence of events of a run, built step by step.
class Expect {
public:
    Expect& msg(const std::string& text, bool direct = false) { return add(EVENT_MESSAGE, -1, text, direct); }
    Expect& prog(int value, bool direct = false) { return add(EVENT_PROGRESS, value, "0", direct); }
    Expect& type(const std::string& text) { return add(EVENT_DEVICE_TYPE, -1, text, false); }
    Expect& ver(const std::string& text) { return add(EVENT_DEVICE_VERSION, -1, text, false); }
    Expect& start() { return prog(0, true).msg("Check actual firmware version on device.", true); }
    // Progress after every block of an image but the last, then 100.
    Expect& blocks(size_t imageSize)
    {
        const size_t count = imageSize / 64;
        for (size_t k = 1; k < count; ++k)
            prog(int(k * 64 * 100 / imageSize));
        return prog(100);
    }
    // One image from upload to the flash request.
    Expect& transfer(size_t imageSize, bool second = false)
    {
        const std::string two = second ? " 2" : "";
        blocks(imageSize);
        msg("Bin file" + two + " uploaded successfully.").prog(100);
        msg("Starting firmware" + two + " upload verification.").prog(0);
        blocks(imageSize);
        msg("Upload" + two + " verification successfull.").prog(100);
        return msg("Flashing device...");
    }
    // The 51 ticks of a restart wait, on the UI thread.
    Expect& countdown()
    {
        for (int value = 98; value >= 0; value -= 2)
            prog(value, true);
        return prog(0, true);
    }
    Expect& final(int code, bool direct = false) { return add(code, code == EVENT_FINISHED ? 0 : -1, "0", direct); }
    Expect& fail(const std::string& text, bool direct = false) { return msg(text, direct).final(EVENT_FAILED, direct); }
    const std::vector<Event>& events() const { return m_events; }

private:
    Expect& add(int code, int value, const std::string& text, bool direct)
    {
        m_events.push_back({code, value, text, direct});
        return *this;
    }
    std::vector<Event> m_events;
};

class EngineRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        logrec::clear();
        bus.setTrace([this](sim::TraceDirection direction, std::span<const uint8_t> bytes) {
            if (direction != sim::TraceDirection::FromLine)
                return;
            std::lock_guard<std::mutex> guard(m_traceLock);
            m_lineBytes.insert(m_lineBytes.end(), bytes.begin(), bytes.end());
        });
    }

    // Starts the bus with its devices set up, links COM 7 to it and makes the engine.
    void startBus() { ASSERT_TRUE(m_rig.start()); }

    // One run to its final event, then the owner closes the connection.
    bool run(const Firmware* fw, std::vector<int32_t> route = {TARGET}, std::vector<int32_t> interfaces = {})
    {
        if (fw)
            engine->m_File = fw->description;
        const int32_t noInterface = 0;
        const bool started = engine->startUpgrade(PORT, 115200, route.data(), int(route.size()),
                                                  interfaces.empty() ? &noInterface : interfaces.data(),
                                                  int(interfaces.size()), fw ? &fw->file : nullptr);
        EXPECT_TRUE(loop.runUntil([this] { return owner.ended(); }, 120s)) << describe(owner.events());
        engine->closeConnection();
        return started;
    }

    // Exactly one final event, the last one; every event's direct flag tells
    // the thread it was raised on.
    void expectOneFinal(int code)
    {
        const std::vector<Event> events = owner.events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(owner.finalCount(), 1) << describe(events);
        EXPECT_EQ(events.back().code, code) << describe(events);
        for (const Event& e : events) {
            EXPECT_EQ(e.direct, e.onUiThread) << describe({e});
            if (code != EVENT_FINISHED) {
                EXPECT_NE(e.code, EVENT_FINISHED);
            }
        }
    }

    void expectEvents(const Expect& expected)
    {
        const std::vector<Event> events = owner.events();
        EXPECT_EQ(events, expected.events()) << "got:\n" << describe(events) << "expected:\n"
                                             << describe(expected.events());
    }

    // A failed run: its reason as the last line before the one EVENT_FAILED.
    void expectFailure(const std::string& lastLine)
    {
        expectOneFinal(EVENT_FAILED);
        const std::vector<std::string> lines = owner.messages();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), lastLine) << describe(owner.events());
    }

    bool lineCarried(const Bytes& payload, const std::vector<int32_t>& route = {TARGET},
                     const std::vector<int32_t>& interfaces = {})
    {
        const Bytes frame = KWOCFwUpgraderRS485::buildFrame(route, interfaces, payload);
        std::lock_guard<std::mutex> guard(m_traceLock);
        return std::search(m_lineBytes.begin(), m_lineBytes.end(), frame.begin(), frame.end()) != m_lineBytes.end();
    }

    Bytes lineBytes()
    {
        std::lock_guard<std::mutex> guard(m_traceLock);
        return m_lineBytes;
    }

    static Bytes flashPayload(uint32_t word)
    {
        return {0x46, 0x1C, uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24), 0x55, 0xAA,
                0x40, 0x1D};
    }

    size_t singleImageSize(const Firmware& fw)
    {
        KWOImage image;
        EXPECT_TRUE(buildSingleImage(fw.file, fw.description, image));
        return image.size();
    }

    KWOSSectionImages sectionImages(const Firmware& fw)
    {
        KWOSSectionImages images;
        EXPECT_TRUE(buildSectionImages(fw.file, fw.description, images));
        return images;
    }

    Expect singleImageSuccess(const Firmware& fw)
    {
        Expect e;
        e.start().type("18.4").ver("1.3 / NA").msg("Uploading bin file...");
        e.transfer(singleImageSize(fw)).countdown();
        e.msg("Read new firmware version.", true).ver("1.5 / NA").final(EVENT_FINISHED);
        return e;
    }

private:
    // Before the rig: the bus traces into them until the rig stops it.
    std::mutex m_traceLock;
    Bytes m_lineBytes;
    rig::Rig m_rig{TIME_SCALE};

protected:
    platform::MainLoop& loop = m_rig.loop;
    sim::SimulatedBus& bus = m_rig.bus;
    rig::Owner& owner = m_rig.owner;
    std::unique_ptr<KWOCFwUpgraderRS485>& engine = m_rig.engine;
};

// ---------------------------------------------------------------------------
// Upgrades that succeed

TEST_F(EngineRun, LegacyFileUpgrade)
{
    bus.addDevice(device(TARGET));
    startBus();
    const Firmware fw = makeFirmware(legacyOptions());
    EXPECT_TRUE(run(&fw));
    expectEvents(singleImageSuccess(fw));
    expectOneFinal(EVENT_FINISHED);
    EXPECT_EQ(bus.reportedVersion(TARGET), (sim::Version{1, 5}));
    // The flash word of a one-image file: its legacy image length + CMD_FLASH.
    const uint32_t length = uint32_t((fw.file.bytes.size() + 2) / 64 * 64 + 64);
    EXPECT_TRUE(lineCarried(flashPayload(length + 0x06)));
    // Each request went out right after the answer before it: the device
    // found every byte of them in whole frames, none dropped as garbage.
    EXPECT_EQ(bus.withBus([](sim::Bus& b) { return b.droppedBytes(); }), 0u);
    EXPECT_TRUE(logrec::errors().empty()) << logrec::dump();
}

TEST_F(EngineRun, ThirtyTwoBitFileUpgradeThroughBusyBlocks)
{
    sim::DeviceConfig config = device(TARGET);
    config.busyPolls = 2; // every block answers busy twice before done
    bus.addDevice(config);
    startBus();
    mkfw::Options options = legacyOptions();
    options.format = mkfw::Format::Bits32;
    options.maxHardware = mkfw::Version{2, 9};
    const Firmware fw = makeFirmware(options);
    ASSERT_EQ(fw.description.m_nFileFormat, FORMAT_32BITS);
    EXPECT_TRUE(run(&fw));
    expectEvents(singleImageSuccess(fw));
    expectOneFinal(EVENT_FINISHED);
    EXPECT_TRUE(lineCarried({0x06, 0x1C}));
}

TEST_F(EngineRun, SectionedFileOnDeviceRunningItsBigCode)
{
    bus.addDevice(device(TARGET));
    startBus();
    const Firmware fw = makeFirmware(sectionOptions());
    const KWOSSectionImages images = sectionImages(fw);
    EXPECT_TRUE(run(&fw));
    Expect e;
    e.start().type("18.4").ver("1.3 / NA").msg("Put device in firmware upgrade mode.").countdown();
    e.type("18.4").ver("1.129 / NA").msg("Uploading bin file...").transfer(images.little.size()).countdown();
    e.msg("Read new firmware version.", true).ver("1.130 / NA").msg("Uploading bin file 2...");
    e.transfer(images.big.size(), true).countdown();
    e.msg("Read firmware 2 version.", true).ver("1.5 / NA").final(EVENT_FINISHED);
    expectEvents(e);
    expectOneFinal(EVENT_FINISHED);
    EXPECT_TRUE(lineCarried(flashPayload(0x16)));
    const uint32_t length = uint32_t(images.little.size()) + 64;
    EXPECT_TRUE(lineCarried(flashPayload(length + 0x26)));
    EXPECT_TRUE(lineCarried(flashPayload(length + 0x06)));
    EXPECT_EQ(bus.reportedVersion(TARGET), (sim::Version{1, 5}));
    EXPECT_EQ(bus.running(TARGET), sim::RunningCode::Big);
}

TEST_F(EngineRun, SectionedFileOnDeviceAlreadyInItsLittleCode)
{
    sim::DeviceConfig config = device(TARGET);
    config.running = sim::RunningCode::Little;
    bus.addDevice(config);
    startBus();
    const Firmware fw = makeFirmware(sectionOptions());
    const KWOSSectionImages images = sectionImages(fw);
    EXPECT_TRUE(run(&fw));
    Expect e;
    e.start().type("18.4").ver("1.129 / NA").msg("Uploading bin file...").transfer(images.little.size()).countdown();
    e.msg("Read new firmware version.", true).ver("1.130 / NA").msg("Uploading bin file 2...");
    e.transfer(images.big.size(), true).countdown();
    e.msg("Read firmware 2 version.", true).ver("1.5 / NA").final(EVENT_FINISHED);
    expectEvents(e);
    expectOneFinal(EVENT_FINISHED);
    EXPECT_FALSE(lineCarried(flashPayload(0x16)));
}

TEST_F(EngineRun, DeviceBackInItsBigCodeWithTheFileVersionAfterTheFirstFlashing)
{
    sim::DeviceConfig config = device(TARGET, {1, 5});
    config.bigAfterLittleFlash = true;
    bus.addDevice(config);
    startBus();
    const Firmware fw = makeFirmware(sectionOptions());
    EXPECT_TRUE(run(&fw));
    expectOneFinal(EVENT_FINISHED);
    const std::vector<std::string> lines = owner.messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Uploading bin file 2..."), 0);
    EXPECT_EQ(lines.back(), "Read new firmware version.");
}

TEST_F(EngineRun, RoutedThroughOneAndTwoHops)
{
    bus.addDevice(device(0x21, {9, 9}));
    ASSERT_TRUE(bus.addDevice(device(0x42, {9, 9}), 0x21, 2));
    ASSERT_TRUE(bus.addDevice(device(0x63), 0x42, 7));
    ASSERT_TRUE(bus.addDevice(device(0x33), 0x21, 1));
    startBus();
    const Firmware fw = makeFirmware(legacyOptions());

    EXPECT_TRUE(run(&fw, {0x21, 0x33}, {1}));
    expectOneFinal(EVENT_FINISHED);
    EXPECT_EQ(bus.reportedVersion(0x33), (sim::Version{1, 5}));
    EXPECT_TRUE(lineCarried({0x04, 0x00, 0x04, 0x01}, {0x21, 0x33}, {1}));

    owner.clear();
    EXPECT_TRUE(run(&fw, {0x21, 0x42, 0x63}, {2, 7}));
    expectEvents(singleImageSuccess(fw));
    expectOneFinal(EVENT_FINISHED);
    EXPECT_EQ(bus.reportedVersion(0x63), (sim::Version{1, 5}));
    EXPECT_EQ(bus.reportedVersion(0x21), (sim::Version{9, 9}));
}

// ---------------------------------------------------------------------------
// Check-only runs

TEST_F(EngineRun, CheckOnlyRuns)
{
    bus.addDevice(device(TARGET));
    startBus();
    owner.setCheckOnly(true);

    EXPECT_TRUE(run(nullptr));
    Expect e;
    e.start().type("18.4").ver("1.3 / NA").msg("Check version and type read successfully.").final(EVENT_CHECK_DONE);
    expectEvents(e);

    // With a file that needs the upgrade mode: judged, but no mode request.
    owner.clear();
    const Firmware fw = makeFirmware(sectionOptions());
    EXPECT_TRUE(run(&fw));
    expectEvents(e);
    expectOneFinal(EVENT_CHECK_DONE);
    EXPECT_FALSE(lineCarried(flashPayload(0x16)));

    // With a file the device may not take.
    owner.clear();
    mkfw::Options options = legacyOptions();
    options.deviceType = {18, 5};
    const Firmware other = makeFirmware(options);
    EXPECT_TRUE(run(&other));
    expectFailure("Device type or version error.");
}

TEST_F(EngineRun, NoFileForAnUpgrade)
{
    bus.addDevice(device(TARGET));
    startBus();
    EXPECT_FALSE(run(nullptr));
    Expect e;
    e.prog(0, true).fail("No bin file has been selected.", true);
    expectEvents(e);
}

// ---------------------------------------------------------------------------
// Refusals by the version rules

TEST_F(EngineRun, RuleRefusals)
{
    struct Case {
        const char* name;
        sim::DeviceConfig device;
        mkfw::Options file;
        std::string reason;
    };
    auto withHardware = [](sim::Version v) {
        sim::DeviceConfig c = device(TARGET);
        c.hardware = v;
        return c;
    };
    mkfw::Options wrongType = legacyOptions();
    wrongType.deviceType = {18, 5};
    mkfw::Options needsHardware12 = legacyOptions();
    needsHardware12.minHardware = mkfw::Version{1, 2};
    mkfw::Options upToHardware29 = legacyOptions();
    upToHardware29.maxHardware = mkfw::Version{2, 9};
    mkfw::Options needsFirmware14 = legacyOptions();
    needsFirmware14.minVersion = {1, 4};
    mkfw::Options mismatch = sectionOptions();
    mismatch.bgNeedsLt = mkfw::Version{1, 3};
    const std::vector<Case> cases = {
        {"type mismatch", device(TARGET), wrongType, "Type mismatch. This firmware file is not for this device !"},
        {"hardware too old", withHardware({1, 0}), needsHardware12,
         "Older hardware version not valid. Actual hadware of the device must be at least 1.2 to be upgraded with "
         "this file !"},
        {"hardware too new", withHardware({3, 0}), upToHardware29,
         "This firmware is not compatible with your hardware version.\r\nThe hardware version must be less or equal "
         "than 2.9 to be upgraded with this file !"},
        {"firmware too old", device(TARGET), needsFirmware14,
         "Older version not valid. Actual firmware of the device must be at least 1.4 to be upgraded with this file "
         "!"},
        {"downgrade across majors", device(TARGET, {2, 3}), legacyOptions(), "You cannot downgrade to this version !"},
        {"LT and BG do not match", device(TARGET), mismatch,
         "File Little code version does not match Big code minimum version"},
    };
    for (const Case& c : cases)
        bus.addDevice([&] {
            sim::DeviceConfig config = c.device;
            config.address = uint8_t(0x40 + (&c - cases.data()));
            return config;
        }());
    startBus();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner.clear();
        const Firmware fw = makeFirmware(c.file);
        EXPECT_TRUE(run(&fw, {int32_t(0x40 + (&c - cases.data()))}));
        expectFailure("Device type or version error.");
        const std::vector<std::string> lines = owner.messages();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], c.reason);
        EXPECT_EQ(logrec::count(c.reason + "\tKWOCFwUpgraderRS485::testVersionAndType"), 1u);
    }
}

TEST_F(EngineRun, DowngradeQuestion)
{
    bus.addDevice(device(TARGET, {1, 7}));
    startBus();
    engine->enableDowngradeConfirmation();
    std::vector<std::string> questions;
    bool yes = false;
    loop.setAskHandler([&](const std::string& text) {
        questions.push_back(text);
        return yes;
    });
    const Firmware fw = makeFirmware(legacyOptions());

    EXPECT_TRUE(run(&fw));
    EXPECT_EQ(questions, std::vector<std::string>{"You are downgrading ! Continue?"});
    Expect refused;
    refused.start().type("18.4").ver("1.7 / NA").fail("Device type or version error.");
    expectEvents(refused);

    owner.clear();
    yes = true;
    EXPECT_TRUE(run(&fw));
    EXPECT_EQ(questions.size(), 2u);
    expectOneFinal(EVENT_FINISHED);
    EXPECT_EQ(bus.reportedVersion(TARGET), (sim::Version{1, 5}));
}

// ---------------------------------------------------------------------------
// Answers and devices that fail the run

// Bytes already waiting when the port opens are not the device's answer:
// a few stray bytes, and a whole answer of a device with another version.
// Each case runs several times, as the old fault showed only in some runs.
TEST_F(EngineRun, InputWaitingBeforeTheFirstRequestIsDiscarded)
{
    bus.addDevice(device(TARGET));
    startBus();
    owner.setCheckOnly(true);
    Expect own;
    own.start().type("18.4").ver("1.3 / NA").msg("Check version and type read successfully.").final(EVENT_CHECK_DONE);

    // The requests of a check-only run, answered by a device of version 2.0.
    EXPECT_TRUE(run(nullptr));
    expectEvents(own);
    sim::Bus other;
    other.addDevice(device(TARGET, {2, 0}));
    Bytes staleAnswer;
    for (const Bytes& answer : other.receive(lineBytes(), sim::Clock::now()))
        staleAnswer.insert(staleAnswer.end(), answer.begin(), answer.end());
    ASSERT_FALSE(staleAnswer.empty());

    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"stray bytes", {0x00, 0xFF, 0x13}},
        {"a whole answer of another version", staleAnswer},
    };
    for (const auto& [name, waiting] : cases) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            SCOPED_TRACE(std::string(name) + ", attempt " + std::to_string(attempt));
            owner.clear();
            ASSERT_TRUE(bus.putOnLine(waiting, 5s));
            EXPECT_TRUE(run(nullptr));
            expectEvents(own);
        }
    }
}

TEST_F(EngineRun, DamagedAnswersToTheFirstRead)
{
    struct Case {
        const char* name;
        sim::FaultKind kind;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"wrong checksum", sim::FaultKind::WrongChecksum, "CheckSum not valid."},
        {"wrong address", sim::FaultKind::WrongSource, "Addresses in answer not valid."},
        {"frame error record", sim::FaultKind::FrameErrorRecord, "Analyse data failed"},
        {"no answer", sim::FaultKind::NoAnswer, "No answer received."},
        {"short answer", sim::FaultKind::ShortAnswer, "Answer length not correct."},
    };
    bus.addDevice(device(TARGET));
    startBus();
    const Firmware fw = makeFirmware(legacyOptions());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner.clear();
        bus.addFault(TARGET, fault(c.kind));
        EXPECT_TRUE(run(&fw));
        Expect e;
        e.start().fail(c.reason);
        expectEvents(e);
        EXPECT_EQ(logrec::count(c.reason + "\tKWOCFwUpgraderRS485::receiveData"), 1u) << logrec::dump();
    }
    EXPECT_EQ(logrec::count("Frame error in the data\tKWOCFwUpgraderRS485::analyseData"), 1u);
}

TEST_F(EngineRun, FailuresDuringUploadAndVerification)
{
    struct Case {
        const char* name;
        sim::Fault fault;
        std::string report;
        std::vector<std::string> lastLines;
    };
    const std::vector<Case> cases = {
        {"pointer error", fault(sim::FaultKind::PointerError, sim::FaultTrigger::writeBlock(1)),
         "read flash pointer error\tKWOCFwUpgraderRS485::analyseData", {"Analyse data failed"}},
        {"endless busy", fault(sim::FaultKind::EndlessBusy, sim::FaultTrigger::writeBlock(2)),
         "flash pointer busy timeout\tKWOCFwUpgraderRS485::analyseData", {"Analyse data failed"}},
        {"read-back mismatch", fault(sim::FaultKind::CorruptReadBack, sim::FaultTrigger::readBlock(3), 16 + 5),
         "Writing ERROR @ pos 213\tKWOCFwUpgraderRS485::analyseData",
         {"Writing ERROR @ pos 213", "Analyse data failed"}},
    };
    bus.addDevice(device(TARGET));
    startBus();
    const Firmware fw = makeFirmware(legacyOptions());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner.clear();
        bus.withBus([](sim::Bus& b) {
            b.device(TARGET)->clearFaults();
            return 0;
        });
        bus.addFault(TARGET, c.fault);
        EXPECT_TRUE(run(&fw));
        expectFailure(c.lastLines.back());
        const std::vector<std::string> lines = owner.messages();
        ASSERT_GE(lines.size(), c.lastLines.size());
        EXPECT_TRUE(std::equal(c.lastLines.begin(), c.lastLines.end(), lines.end() - long(c.lastLines.size())));
        EXPECT_EQ(logrec::count(c.report), 1u) << logrec::dump();
        EXPECT_EQ(engine->m_nState.load(), STATE_IDLE);
        EXPECT_EQ(engine->m_pFatBuffer == nullptr, c.lastLines.size() == 2);
    }
}

TEST_F(EngineRun, VersionWrongAfterFlashing)
{
    bus.addDevice(device(TARGET));
    startBus();
    Firmware fw = makeFirmware(legacyOptions());
    // The description promises 1.6; the image carries 1.5.
    fw.description.m_nFileVersion = enginetest::version(1, 6);
    EXPECT_TRUE(run(&fw));
    Expect e;
    e.start().type("18.4").ver("1.3 / NA").msg("Uploading bin file...");
    e.transfer(singleImageSize(fw)).countdown();
    e.msg("Read new firmware version.", true).ver("1.5 / NA").msg("Device version not equal to the file version.");
    e.fail("Version error after upgrade.");
    expectEvents(e);
}

TEST_F(EngineRun, DeviceThatNeverRestarts)
{
    bus.addDevice(device(TARGET));
    bus.addFault(TARGET, fault(sim::FaultKind::EndlessRestart));
    startBus();
    const Firmware fw = makeFirmware(legacyOptions());
    EXPECT_TRUE(run(&fw));
    expectFailure("Answer length not correct.");
    const std::vector<std::string> lines = owner.messages();
    EXPECT_EQ(lines[lines.size() - 2], "Read new firmware version.");
}

TEST_F(EngineRun, LineThatDisappearsDuringTheUpload)
{
    bus.addDevice(device(TARGET));
    bus.addFault(TARGET, fault(sim::FaultKind::CloseLine, sim::FaultTrigger::writeBlock(2)));
    startBus();
    const Firmware fw = makeFirmware(legacyOptions());
    EXPECT_TRUE(run(&fw));
    expectOneFinal(EVENT_FAILED);
    EXPECT_EQ(owner.messages().back(), "No answer received.");
}

} // namespace

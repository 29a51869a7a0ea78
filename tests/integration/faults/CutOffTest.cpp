// Lines cut off under a running upgrade: the simulator process killed in the
// middle of the upload, the pseudo-terminal closed under the verification.
// The run fails within the answer time-out with its reason, gives back what
// it held, and the same engine and owner upgrade the device of a fresh
// simulator right after.
#include "integration/engine/UpgradeRig.h"
#include "integration/sim/DevsimProcess.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace rig;
using simtest::Devsim;

constexpr double TIME_SCALE = 0.01;
// The window's answer time-out.
constexpr int32_t ANSWER_TIMEOUT_MS = 5000;
// Room for the port worker's tick and the hand-over of the final event.
constexpr auto SLACK = 1000ms;
constexpr uint8_t TARGET = 0x55;
// The line may go while an answer is on its way: part of it may have come.
const std::string NO_ANSWER = "No answer received.";
const std::string CUT_ANSWER = "Answer length not correct.";

std::string g_diagnosticFile;


class CutOff : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_diagnosticFile = useDiagnosticDirectory("CutOff"); }

    void SetUp() override { std::remove(g_diagnosticFile.c_str()); }

    // True once the run has sent its first progress value above 0 after `line`.
    static bool passed(const Owner& owner, const std::string& line)
    {
        const std::vector<Event> events = owner.events();
        const auto at = std::find_if(events.begin(), events.end(),
                                     [&](const Event& e) { return e.code == EVENT_MESSAGE && e.text == line; });
        return std::any_of(at, events.end(), [](const Event& e) { return e.code == EVENT_PROGRESS && e.value > 0; });
    }

    // The run ended once, failed, with one of `reasons`; written to the diagnostic file.
    static void expectFailure(const Owner& owner, const std::vector<std::string>& reasons)
    {
        const std::vector<Event> events = owner.events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(owner.finalCount(), 1) << describe(events);
        EXPECT_EQ(events.back().code, EVENT_FAILED) << describe(events);
        const std::vector<std::string> lines = owner.messages();
        ASSERT_FALSE(lines.empty());
        const std::string& reason = lines.back();
        EXPECT_NE(std::find(reasons.begin(), reasons.end(), reason), reasons.end()) << describe(events);
        const std::string report = reason + "\tKWOCFwUpgraderRS485::receiveData\r\n";
        EXPECT_NE(fileText(g_diagnosticFile).find(report), std::string::npos) << fileText(g_diagnosticFile);
    }

    static void expectFinished(const Owner& owner)
    {
        EXPECT_EQ(owner.finalCount(), 1) << describe(owner.events());
        ASSERT_FALSE(owner.events().empty());
        EXPECT_EQ(owner.events().back().code, EVENT_FINISHED) << describe(owner.events());
    }
};

TEST_F(CutOff, SimulatorKilledInTheMiddleOfTheUpload)
{
    const Firmware fw = makeFirmware(legacyOptions(0x1000));
    Rig rig(TIME_SCALE);
    const std::vector<std::string> args = {"--device", "55:18.4:1.3", "--restart-ms", "20", "--link",
                                           "COM" + std::to_string(PORT), "--data-dir", rig.dataDirectory()};
    {
        Devsim devsim(args);
        ASSERT_FALSE(devsim.ptyPath().empty());
        ASSERT_TRUE(rig.makeEngine(ANSWER_TIMEOUT_MS));
        const Resources idle = resources();

        ASSERT_TRUE(rig.begin(fw, {{TARGET}, {}}));
        ASSERT_TRUE(rig.loop.runUntil([&] { return passed(rig.owner, "Uploading bin file...") || rig.owner.ended(); },
                                      30s));
        ASSERT_FALSE(rig.owner.ended()) << describe(rig.owner.events());
        devsim.kill();
        EXPECT_TRUE(rig.awaitEnd(std::chrono::milliseconds(ANSWER_TIMEOUT_MS) + SLACK)) << describe(rig.owner.events());
        rig.engine->closeConnection();
        expectFailure(rig.owner, {NO_ANSWER, CUT_ANSWER});
        const Resources after = rig.settle(idle);
        EXPECT_EQ(after, idle) << describe(after) << " after the run, " << describe(idle) << " before";
    }

    // A fresh simulator takes the same COM link; the same engine goes on.
    rig.owner.clear();
    Devsim fresh(args);
    ASSERT_FALSE(fresh.ptyPath().empty());
    rig.run(fw, {{TARGET}, {}});
    expectFinished(rig.owner);
}

TEST_F(CutOff, PseudoTerminalClosedUnderTheVerification)
{
    const Firmware fw = makeFirmware(legacyOptions(0x1000));
    Rig rig(TIME_SCALE);
    const Resources before = resources();
    rig.bus.addDevice(device(TARGET));
    ASSERT_TRUE(rig.start(ANSWER_TIMEOUT_MS));

    ASSERT_TRUE(rig.begin(fw, {{TARGET}, {}}));
    ASSERT_TRUE(rig.loop.runUntil(
        [&] { return passed(rig.owner, "Starting firmware upload verification.") || rig.owner.ended(); }, 30s));
    ASSERT_FALSE(rig.owner.ended()) << describe(rig.owner.events());
    rig.bus.closeLine();
    EXPECT_TRUE(rig.awaitEnd(std::chrono::milliseconds(ANSWER_TIMEOUT_MS) + SLACK)) << describe(rig.owner.events());
    rig.engine->closeConnection();
    expectFailure(rig.owner, {NO_ANSWER, CUT_ANSWER});
    rig.bus.stop();
    // An idle engine holds no thread and no descriptor: all is as before the bus started.
    const Resources after = rig.settle(before);
    EXPECT_EQ(after, before) << describe(after) << " at the end, " << describe(before) << " at the start";

    rig.owner.clear();
    sim::BusOptions options;
    options.restartTime = 2000ms;
    options.timeScale = TIME_SCALE;
    sim::SimulatedBus fresh(options);
    fresh.addDevice(device(TARGET));
    ASSERT_TRUE(fresh.start()) << fresh.lastError();
    rig.linkPort(fresh.slavePath());
    rig.run(fw, {{TARGET}, {}});
    expectFinished(rig.owner);
    EXPECT_EQ(fresh.reportedVersion(TARGET), (sim::Version{1, 5}));
}

TEST_F(CutOff, OutputSuspendedUnderTheUploadFailsWithinTheAnswerTimeOut)
{
    const Firmware fw = makeFirmware(legacyOptions(0x1000));
    std::unique_ptr<Rig> rig = std::make_unique<Rig>(TIME_SCALE);
    testwatch::Watchdog watchdog("a run on a line whose output is suspended", 60s, [&] { rig.reset(); });
    rig->bus.addDevice(device(TARGET));
    ASSERT_TRUE(rig->start(ANSWER_TIMEOUT_MS));
    ASSERT_TRUE(rig->begin(fw, {{TARGET}, {}}));
    ASSERT_TRUE(rig->loop.runUntil([&] { return passed(rig->owner, "Uploading bin file...") || rig->owner.ended(); },
                                   30s));
    ASSERT_FALSE(rig->owner.ended()) << describe(rig->owner.events());
    // As a stuck adapter or an XOFF from the far end: the line takes no more output.
    const int slave = ::open(rig->bus.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    EXPECT_TRUE(rig->awaitEnd(std::chrono::milliseconds(ANSWER_TIMEOUT_MS) + SLACK)) << describe(rig->owner.events());
    rig->engine->closeConnection();
    expectFailure(rig->owner, {NO_ANSWER});
    EXPECT_NE(fileText(g_diagnosticFile).find("WriteFile error\tKWOCComT::write"), std::string::npos)
        << fileText(g_diagnosticFile);
    rig->engine.reset();
    EXPECT_EQ(tcflow(slave, TCOON), 0);
    ::close(slave);
}

} // namespace

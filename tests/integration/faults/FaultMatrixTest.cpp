// Every fault the simulated device can inject, in every phase of an upgrade
// where it can strike: the run ends with exactly one EVENT_FAILED after its
// reason line, never with EVENT_FINISHED; the port is free again; no thread
// and no descriptor stays behind; the reason is in the diagnostic file before
// the final event goes out. Faults the engine cannot see by design say so in
// their names: those during a restart wait show only at the read after it,
// those inside a routed answer's inner level not at all.
#include "integration/engine/UpgradeRig.h"

#include "platform/SerialPort.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace rig;

constexpr double TIME_SCALE = 0.01;
// Shorter than the window's 5000 ms so that the many unanswered requests of
// the table do not take minutes (the cut-off tests keep the real one), long
// enough for an exchange on a loaded machine (seen: over a second); a run cut
// short before its fault runs again.
constexpr int32_t ANSWER_TIMEOUT_MS = 2000;
constexpr uint8_t TARGET = 0x55;
// Devices restart in 2 ms, so a 250 ms restart wait leaves them nearly all
// of it. A shared machine can still hold the simulated bus's thread longer
// than that (seen: up to a second, the thread asleep and its timer late);
// such a run proves nothing either way, and the row is run again.
constexpr auto RESTART_TIME = 200ms;
constexpr auto STALL_LIMIT = 200ms;
constexpr int ATTEMPTS = 5;

const std::string RECEIVE = "\tKWOCFwUpgraderRS485::receiveData";
const std::string ANALYSE = "\tKWOCFwUpgraderRS485::analyseData";

enum class File { Legacy, SectionsOnBigCode, SectionsOnLittleCode };

// Where the fault strikes. Request numbers count the frames the device took
// in, from 1; with no busy device they follow from the image sizes.
enum class Phase {
    FirstRead,
    ModeEntry,
    ReadAfterModeEntry,
    UploadFirst,
    UploadMiddle,
    UploadLast,
    VerifyFirst,
    VerifyMiddle,
    VerifyLast,
    Flashing,
    NewVersionRead,
    Image2UploadFirst,
    Image2VerifyLast,
    Image2Flashing,
    Image2VersionRead,
};

File fileOf(Phase phase)
{
    switch (phase) {
    case Phase::ModeEntry:
    case Phase::ReadAfterModeEntry:
        return File::SectionsOnBigCode;
    case Phase::Image2UploadFirst:
    case Phase::Image2VerifyLast:
    case Phase::Image2Flashing:
    case Phase::Image2VersionRead:
        return File::SectionsOnLittleCode;
    default:
        return File::Legacy;
    }
}

struct Where {
    uint32_t request = 0;
    uint32_t block = 0;      // of a read-back
    int corruptByte = 21;    // in that block: the first, one inside, the last
};

// first: requests before the first block write; blocks: of each image.
Where locate(Phase phase, const std::vector<size_t>& blocks)
{
    const uint32_t a = uint32_t(blocks[0]);
    const uint32_t b = blocks.size() > 1 ? uint32_t(blocks[1]) : 0;
    const uint32_t before = fileOf(phase) == File::SectionsOnBigCode ? 3 : 1; // read (, mode, read)
    const uint32_t firstWrite = before + 1;
    const uint32_t flash1 = firstWrite + 2 * a;
    const uint32_t secondWrite = flash1 + 2; // flash, version read
    const uint32_t flash2 = secondWrite + 2 * b;
    switch (phase) {
    case Phase::FirstRead: return {1};
    case Phase::ModeEntry: return {2};
    case Phase::ReadAfterModeEntry: return {3};
    case Phase::UploadFirst: return {firstWrite};
    case Phase::UploadMiddle: return {firstWrite + a / 2};
    case Phase::UploadLast: return {firstWrite + a - 1};
    case Phase::VerifyFirst: return {firstWrite + a, 0, 0};
    case Phase::VerifyMiddle: return {firstWrite + a + a / 2, a / 2, 21};
    case Phase::VerifyLast: return {firstWrite + 2 * a - 1, a - 1, 63};
    case Phase::Flashing: return {flash1};
    case Phase::NewVersionRead: return {flash1 + 1};
    case Phase::Image2UploadFirst: return {secondWrite};
    case Phase::Image2VerifyLast: return {secondWrite + 2 * b - 1, b - 1, 63};
    case Phase::Image2Flashing: return {flash2};
    case Phase::Image2VersionRead: return {flash2 + 1};
    }
    return {};
}

struct Row {
    std::string name;
    Phase phase;
    sim::FaultKind kind;
    std::string reason;              // the line before EVENT_FAILED
    std::string report;              // in the diagnostic file
    std::string lineBefore;          // the line before the reason, when fixed
    bool corruptReason = false;      // reason is "Writing ERROR @ pos " + offset
    int hops = 0;                    // routing devices before the target
    bool finishes = false;           // a fault the engine does not look for
    std::string otherReason = {};    // also honest, when timing decides
    bool reversed = false;           // every answer's records in reverse order
    int corruptByte = -1;            // the corrupted byte, when not the phase's own
};

std::ostream& operator<<(std::ostream& out, const Row& row)
{
    return out << row.name;
}

const std::string NO_ANSWER = "No answer received.";
const std::string LENGTH = "Answer length not correct.";
const std::string CHECKSUM = "CheckSum not valid.";
const std::string ADDRESSES = "Addresses in answer not valid.";
const std::string ANALYSE_FAILED = "Analyse data failed";

// The answer faults of a request that reads something. After a restart the
// engine takes a missing answer as a short one (the device may still be
// booting), so it fails on the length check there.
std::vector<Row> answerRows(const char* prefix, Phase phase, bool afterRestart, const std::string& lineBefore = {})
{
    const std::string missing = afterRestart ? LENGTH : NO_ANSWER;
    auto name = [&](const char* fault) { return std::string(prefix) + "_" + fault; };
    return {
        {name("NoAnswer"), phase, sim::FaultKind::NoAnswer, missing, missing + RECEIVE, lineBefore},
        {name("ShortAnswer"), phase, sim::FaultKind::ShortAnswer, LENGTH, LENGTH + RECEIVE, lineBefore},
        {name("WrongChecksum"), phase, sim::FaultKind::WrongChecksum, CHECKSUM, CHECKSUM + RECEIVE, lineBefore},
        {name("WrongAddress"), phase, sim::FaultKind::WrongSource, ADDRESSES, ADDRESSES + RECEIVE, lineBefore},
        {name("FrameErrorRecord"), phase, sim::FaultKind::FrameErrorRecord, ANALYSE_FAILED,
         "Frame error in the data" + ANALYSE, lineBefore},
        {name("LineClosing"), phase, sim::FaultKind::CloseLine, missing, missing + RECEIVE, lineBefore},
    };
}

std::vector<Row> uploadRows(const char* prefix, Phase phase)
{
    std::vector<Row> rows = answerRows(prefix, phase, false);
    rows.push_back({std::string(prefix) + "_PointerError", phase, sim::FaultKind::PointerError, ANALYSE_FAILED,
                    "read flash pointer error" + ANALYSE, ""});
    rows.push_back({std::string(prefix) + "_EndlessBusy", phase, sim::FaultKind::EndlessBusy, ANALYSE_FAILED,
                    "flash pointer busy timeout" + ANALYSE, ""});
    return rows;
}

std::vector<Row> verifyRows(const char* prefix, Phase phase)
{
    std::vector<Row> rows = answerRows(prefix, phase, false);
    Row corrupt{std::string(prefix) + "_CorruptedReadBackByte", phase, sim::FaultKind::CorruptReadBack, ANALYSE_FAILED, "", ""};
    corrupt.corruptReason = true;
    rows.push_back(corrupt);
    return rows;
}

// A request that expects no answer (mode entry, flashing): the device then
// restarts, silent by design, so the engine only counts down. A restart that
// never ends, or a line that closed meanwhile, shows at the read after the wait.
std::vector<Row> restartRows(const char* prefix, Phase phase, const std::string& readLine)
{
    std::vector<Row> rows;
    rows.push_back({std::string(prefix) + "_EndlessRestart_SilentDuringTheWaitSoOnlyTheReadAfterItFails", phase, sim::FaultKind::EndlessRestart, LENGTH, LENGTH + RECEIVE, readLine});
    // Whether the read after the wait still sees bytes of the closing line or
    // none at all depends on when the hang-up reaches the port thread.
    Row closing{std::string(prefix) + "_LineClosing_UnnoticedDuringTheWaitSoOnlyTheReadAfterItFails", phase, sim::FaultKind::CloseLine, LENGTH, LENGTH + RECEIVE, readLine};
    closing.otherReason = NO_ANSWER;
    rows.push_back(closing);
    return rows;
}

// Behind routing devices: a router passes the device's answer on as it is,
// and the engine checks the outermost level only, so a wrong address or
// checksum inside goes unnoticed by design; the data itself is intact.
std::vector<Row> routedRows()
{
    auto row = [](std::string name, Phase phase, sim::FaultKind kind, int hops, std::string reason = {},
                  std::string report = {}) {
        Row r{std::move(name), phase, kind, std::move(reason), std::move(report), "", false, hops};
        r.finishes = r.reason.empty();
        return r;
    };
    const std::string unequal = "Response not equal to the expected one.";
    std::vector<Row> rows = {
        row("OneHop_FirstRead_NoAnswer", Phase::FirstRead, sim::FaultKind::NoAnswer, 1, NO_ANSWER,
            NO_ANSWER + RECEIVE),
        row("OneHop_FirstRead_ShortAnswerInsideACompleteFrame", Phase::FirstRead, sim::FaultKind::ShortAnswer, 1,
            unequal, unequal + RECEIVE),
        row("OneHop_FirstRead_FrameErrorRecord", Phase::FirstRead, sim::FaultKind::FrameErrorRecord, 1,
            ANALYSE_FAILED, "Frame error in the data" + ANALYSE),
        row("OneHop_FirstRead_WrongInnerChecksum_NotCheckedByDesign_RunFinishes", Phase::FirstRead,
            sim::FaultKind::WrongChecksum, 1),
        row("OneHop_FirstRead_WrongInnerAddress_NotCheckedByDesign_RunFinishes", Phase::FirstRead,
            sim::FaultKind::WrongSource, 1),
        row("TwoHops_UploadMiddleBlock_PointerError", Phase::UploadMiddle, sim::FaultKind::PointerError, 2,
            ANALYSE_FAILED, "read flash pointer error" + ANALYSE),
        row("TwoHops_UploadMiddleBlock_LineClosing", Phase::UploadMiddle, sim::FaultKind::CloseLine, 2, NO_ANSWER,
            NO_ANSWER + RECEIVE),
        row("TwoHops_VerifyMiddleBlock_WrongInnerChecksum_NotCheckedByDesign_RunFinishes", Phase::VerifyMiddle,
            sim::FaultKind::WrongChecksum, 2),
    };
    Row corrupt = row("TwoHops_VerifyMiddleBlock_CorruptedReadBackByte", Phase::VerifyMiddle,
                      sim::FaultKind::CorruptReadBack, 2, ANALYSE_FAILED);
    corrupt.corruptReason = true;
    rows.push_back(corrupt);
    return rows;
}

// The devices answer in request order, but a block is verified by its four
// slices whatever the order: the register asked first (0x18) arriving last
// must still be compared, in an inner block and in the last one.
std::vector<Row> reversedRows()
{
    std::vector<Row> rows;
    for (const auto& [name, phase] : {std::pair{"VerifyMiddleBlock", Phase::VerifyMiddle},
                                      std::pair{"VerifyLastBlock", Phase::VerifyLast}}) {
        Row r{std::string(name) + "_RecordsInReverseOrder_CorruptedFirstAskedByte", phase,
              sim::FaultKind::CorruptReadBack, ANALYSE_FAILED, "", ""};
        r.corruptReason = true;
        r.reversed = true;
        r.corruptByte = 0;
        rows.push_back(r);
    }
    Row good{"EveryAnswer_RecordsInReverseOrder_RunFinishes", Phase::FirstRead, sim::FaultKind::ReorderRecords, "",
             "", ""};
    good.finishes = true;
    good.reversed = true;
    rows.push_back(good);
    return rows;
}

std::vector<Row> allRows()
{
    std::vector<Row> rows;
    auto add = [&rows](std::vector<Row> more) { rows.insert(rows.end(), more.begin(), more.end()); };
    add(answerRows("FirstRead", Phase::FirstRead, false));
    add(restartRows("ModeEntry", Phase::ModeEntry, ""));
    add(answerRows("ReadAfterModeEntry", Phase::ReadAfterModeEntry, true));
    add(uploadRows("UploadFirstBlock", Phase::UploadFirst));
    add(uploadRows("UploadMiddleBlock", Phase::UploadMiddle));
    add(uploadRows("UploadLastBlock", Phase::UploadLast));
    add(verifyRows("VerifyFirstBlock", Phase::VerifyFirst));
    add(verifyRows("VerifyMiddleBlock", Phase::VerifyMiddle));
    add(verifyRows("VerifyLastBlock", Phase::VerifyLast));
    add(restartRows("Flashing", Phase::Flashing, "Read new firmware version."));
    add(answerRows("NewVersionRead", Phase::NewVersionRead, true, "Read new firmware version."));
    // The second image goes through the same code as the first: its first
    // written and its last verified block stand for the rest.
    add(uploadRows("Image2UploadFirstBlock", Phase::Image2UploadFirst));
    add(verifyRows("Image2VerifyLastBlock", Phase::Image2VerifyLast));
    add(restartRows("Image2Flashing", Phase::Image2Flashing, "Read firmware 2 version."));
    add(answerRows("Image2VersionRead", Phase::Image2VersionRead, true, "Read firmware 2 version."));
    add(routedRows());
    add(reversedRows());
    return rows;
}

std::string g_diagnosticFile;
std::string g_diagnosticDirectory;

class FaultMatrix : public ::testing::TestWithParam<Row> {
public:
    static void SetUpTestSuite()
    {
        g_diagnosticFile = useDiagnosticDirectory("FaultMatrix");
        g_diagnosticDirectory = std::filesystem::path(g_diagnosticFile).parent_path().string();
    }

    static const Firmware& firmware(File file)
    {
        static const Firmware legacy = makeFirmware(legacyOptions());
        static const Firmware sections = [] {
            mkfw::Options o = sectionOptions();
            o.ltSize = 0x2100; // the smallest little code that holds its build value
            o.bgSize = 0x400;
            return makeFirmware(o);
        }();
        return file == File::Legacy ? legacy : sections;
    }
};

// One run of the row; `stalled` when the simulated bus stalled and the run
// is not judged. boxes: errors also go to message boxes, each answered 700 ms
// later on the UI thread (its timers and queued calls run meanwhile, as in a
// modal box).
void attemptRow(const Row& row, bool boxes, bool last, bool& stalled)
{
    stalled = false;
    const File file = fileOf(row.phase);
    const Firmware& fw = FaultMatrix::firmware(file);
    const std::vector<size_t> blocks = imageBlocks(fw);
    ASSERT_GE(blocks[0], 3u);
    Where where = locate(row.phase, blocks);
    if (row.corruptByte >= 0)
        where.corruptByte = row.corruptByte;
    std::remove(g_diagnosticFile.c_str());

    Rig rig(TIME_SCALE, RESTART_TIME);
    int boxesShown = 0;
    if (boxes)
        rig.loop.setMessageHandler([&](const std::string&, const std::string&) {
            ++boxesShown;
            rig.loop.runUntil([] { return false; }, 700ms);
        });
    const Resources before = resources();
    sim::DeviceConfig config = device(TARGET);
    if (file == File::SectionsOnLittleCode)
        config.running = sim::RunningCode::Little;
    Route route{{TARGET}, {}};
    if (row.hops == 0) {
        rig.bus.addDevice(config);
    } else {
        rig.bus.addDevice(device(0x21));
        ASSERT_TRUE(rig.bus.addDevice(device(0x42), 0x21, 2));
        ASSERT_TRUE(rig.bus.addDevice(config, row.hops == 1 ? 0x21 : 0x42, row.hops == 1 ? 1 : 7));
        route = row.hops == 1 ? Route{{0x21, TARGET}, {1}} : Route{{0x21, 0x42, TARGET}, {2, 7}};
    }
    sim::Fault fault;
    fault.kind = row.kind;
    fault.trigger = sim::FaultTrigger::request(where.request);
    if (row.kind == sim::FaultKind::CorruptReadBack)
        fault.param = where.corruptByte;
    rig.bus.addFault(TARGET, fault);
    if (row.reversed) {
        sim::Fault reorder;
        reorder.kind = sim::FaultKind::ReorderRecords;
        reorder.times = 0;
        rig.bus.addFault(TARGET, reorder);
    }
    ASSERT_TRUE(rig.start(ANSWER_TIMEOUT_MS));
    const Resources idle = resources();
    // What the engine had done when its final event went out.
    int32_t stateAtEnd = -1;
    std::string writtenAtEnd;
    rig.owner.onFinal = [&] {
        stateAtEnd = rig.engine->m_nState.load();
        writtenAtEnd = fileText(g_diagnosticFile);
    };

    const bool started = rig.run(fw, route);
    // A run that ended before the device took in the request its fault is
    // set on was cut short by something else: on a loaded machine, an
    // exchange that outlasted the answer time-out.
    const bool reached = rig.bus.requestCount(TARGET) >= where.request;
    if (const auto stall = rig.bus.longestStall(); (stall > STALL_LIMIT || !reached) && !last) {
        std::cout << "[ STALLED  ] the simulated bus stood still for " << stall.count() << " ms"
                  << (reached ? "" : ", the run ended before its fault") << ": " << row.name << " runs again\n";
        stalled = true;
        return;
    }
    EXPECT_TRUE(started);
    const bool lineGone = rig.bus.lineClosed();
    EXPECT_EQ(lineGone, row.kind == sim::FaultKind::CloseLine);
    if (!lineGone) {
        // Closed by the owner: the port can be taken again, and the engine
        // is back to what it held before the run.
        std::string why;
        EXPECT_TRUE(platform::SerialPort::probe(rig.bus.slavePath(), &why)) << why;
        const Resources after = rig.settle(idle);
        EXPECT_EQ(after, idle) << describe(after) << " after the run, " << describe(idle) << " before";
    }

    const std::vector<Event> events = rig.owner.events();
    EXPECT_EQ(rig.owner.finalCount(), 1) << describe(events);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(stateAtEnd, STATE_IDLE);
    if (row.finishes) {
        EXPECT_EQ(events.back().code, EVENT_FINISHED) << describe(events);
        EXPECT_EQ(writtenAtEnd, "");
    } else {
        // Exactly one final event, the failure, last, after its reason, and
        // the reason, with its place, in the diagnostic file before it.
        EXPECT_EQ(events.back().code, EVENT_FAILED) << describe(events);
        EXPECT_TRUE(
            std::none_of(events.begin(), events.end(), [](const Event& e) { return e.code == EVENT_FINISHED; }));
        const std::vector<std::string> lines = rig.owner.messages();
        ASSERT_GE(lines.size(), 2u) << describe(events);
        std::string report = row.report;
        if (row.corruptReason) {
            const std::string writing = "Writing ERROR @ pos " + std::to_string(where.block * 64 + where.corruptByte);
            EXPECT_EQ(lines[lines.size() - 2], writing) << describe(events);
            report = writing + ANALYSE;
        } else if (!row.lineBefore.empty()) {
            EXPECT_EQ(lines[lines.size() - 2], row.lineBefore) << describe(events);
        }
        if (!row.otherReason.empty() && lines.back() == row.otherReason)
            report = row.otherReason + RECEIVE;
        else
            EXPECT_EQ(lines.back(), row.reason) << describe(events);
        EXPECT_NE(writtenAtEnd.find(report + "\r\n"), std::string::npos) << report << "\nnot in:\n" << writtenAtEnd;
    }

    // Nothing of the run is reported after its final event.
    EXPECT_EQ(fileText(g_diagnosticFile), writtenAtEnd);

    // Everything the engine and the bus held is given back.
    rig.engine.reset();
    rig.bus.stop();
    const Resources after = rig.settle(before);
    EXPECT_EQ(after, before) << describe(after) << " at the end, " << describe(before) << " at the start";
    EXPECT_EQ(rig.owner.finalCount(), 1) << describe(rig.owner.events());
    if (boxes) {
        EXPECT_EQ(boxesShown > 0, !row.finishes);
    }
}

void runRow(const Row& row, bool boxes)
{
    testwatch::Watchdog watchdog(row.name, 240s);
    if (boxes)
        configureErrors(LOG_TO_FILE | LOG_TO_MESSAGEBOX, g_diagnosticDirectory, "FaultMatrix");
    const Resources start = resources();
    bool stalled = true;
    for (int attempt = 1; attempt <= ATTEMPTS && stalled; ++attempt) {
        // What a stalled attempt held is gone before the next one counts.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (resources() != start && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        attemptRow(row, boxes, attempt == ATTEMPTS, stalled);
    }
    if (boxes)
        configureErrors(LOG_TO_FILE, g_diagnosticDirectory, "FaultMatrix");
}

TEST_P(FaultMatrix, RunEndsOnceWithItsReasonAndGivesEverythingBack)
{
    runRow(GetParam(), false);
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, FaultMatrix, ::testing::ValuesIn(allRows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

// The same with message boxes on (-DebugMsg): every fault kind in at least
// three phases. A box waits for the UI thread, which also closes the
// connection and destroys the engine: nothing may wait for the other.
std::vector<Row> boxedRows()
{
    std::vector<Row> rows;
    for (const Row& row : allRows()) {
        const bool phase = row.phase == Phase::FirstRead || row.phase == Phase::UploadMiddle ||
                           row.phase == Phase::VerifyLast;
        const bool kind = row.kind == sim::FaultKind::PointerError || row.kind == sim::FaultKind::EndlessBusy ||
                          row.kind == sim::FaultKind::CorruptReadBack || row.kind == sim::FaultKind::EndlessRestart;
        if (row.hops == 0 && (phase || kind))
            rows.push_back(row);
    }
    return rows;
}

class FaultMatrixWithBoxes : public FaultMatrix {};

TEST_P(FaultMatrixWithBoxes, BoxesAnsweredLateFreezeNothing)
{
    runRow(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(BoxesOn, FaultMatrixWithBoxes, ::testing::ValuesIn(boxedRows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

} // namespace

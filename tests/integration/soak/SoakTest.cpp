// 200 upgrades in a row in one process with one engine, as the window keeps
// it: the file formats and the routes take turns. After a warm-up every run
// gives back each thread and descriptor it took, and resident memory stays
// flat over the last 150 runs.
#include "integration/engine/UpgradeRig.h"

#include <gtest/gtest.h>

#include <array>
#include <iostream>

namespace {

using namespace std::chrono_literals;
using namespace rig;

// A 25 s restart wait takes 250 ms, for devices that restart in 2 ms.
constexpr double TIME_SCALE = 0.01;
constexpr auto RESTART_TIME = 200ms;
constexpr int RUNS = 200;
// Every format on every route once.
constexpr int WARM_UP = 9;
constexpr int MEASURED = 150;
constexpr long RSS_GROWTH_LIMIT_KIB = 1024;
// A run during which the simulated bus's thread stood still for most of a
// restart wait may fail without the tool being at fault: it must still give
// everything back, and it is run again.
constexpr auto STALL_LIMIT = 200ms;
constexpr int STALLED_RUNS_LIMIT = 10;

class Soak : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_diagnosticFile = useDiagnosticDirectory("Soak"); }
    static std::string g_diagnosticFile;
};
std::string Soak::g_diagnosticFile;

TEST_F(Soak, TwoHundredUpgradesGiveBackWhatTheyTake)
{
    const std::array<Firmware, 3> files = {
        makeFirmware(legacyOptions(0x200)),
        makeFirmware(bits32Options(0x200)),
        [] {
            mkfw::Options o = sectionOptions();
            o.ltSize = 0x2100; // the smallest little code that holds its build value
            o.bgSize = 0x400;
            return makeFirmware(o);
        }(),
    };
    ASSERT_EQ(files[0].description.m_nFileFormat, FORMAT_LEGACY);
    ASSERT_EQ(files[1].description.m_nFileFormat, FORMAT_32BITS);
    ASSERT_EQ(files[2].description.m_nFileFormat, FORMAT_SECTIONS);
    const std::array<Route, 3> routes = {
        Route{{0x21}, {}},
        Route{{0x21, 0x42}, {2}},
        Route{{0x21, 0x42, 0x63}, {2, 7}},
    };

    Rig rig(TIME_SCALE, RESTART_TIME);
    // The port worker then takes a whole answer in one read.
    rig.baudRate = 921600;
    rig.bus.addDevice(device(0x21));
    ASSERT_TRUE(rig.bus.addDevice(device(0x42), 0x21, 2));
    ASSERT_TRUE(rig.bus.addDevice(device(0x63), 0x42, 7));
    ASSERT_TRUE(rig.start());

    const auto started = std::chrono::steady_clock::now();
    Resources baseline;
    long rssAtStart = 0;
    int stalledRuns = 0;
    for (int run = 0; run < RUNS; ++run) {
        const int format = run % 3;
        const int route = run / 3 % 3;
        SCOPED_TRACE("run " + std::to_string(run) + ", format " + std::to_string(format) + ", route " +
                     std::to_string(route));
        rig.owner.clear();
        rig.bus.clearStalls();
        rig.run(files[size_t(format)], routes[size_t(route)], 60s);
        const std::vector<Event> events = rig.owner.events();
        ASSERT_EQ(rig.owner.finalCount(), 1) << describe(events);
        const bool stalled = rig.bus.longestStall() > STALL_LIMIT && events.back().code != EVENT_FINISHED;
        if (stalled) {
            std::cout << "[ STALLED  ] the simulated bus stood still for " << rig.bus.longestStall().count()
                      << " ms in run " << run << ": it runs again\n";
            ASSERT_LT(++stalledRuns, STALLED_RUNS_LIMIT) << describe(events);
        } else {
            ASSERT_EQ(events.back().code, EVENT_FINISHED) << describe(events);
        }

        if (run + 1 == WARM_UP)
            baseline = resources();
        if (run + 1 > WARM_UP) {
            const Resources now = rig.settle(baseline);
            ASSERT_EQ(now, baseline) << describe(now) << " after the run, " << describe(baseline) << " before";
        }
        if (run + 1 == RUNS - MEASURED)
            rssAtStart = residentKiB();
        if (stalled)
            --run;
    }
    const long rssAtEnd = residentKiB();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "soak: " << RUNS << " upgrades in " << seconds << " s; resident memory " << rssAtStart
              << " KiB after run " << RUNS - MEASURED << ", " << rssAtEnd << " KiB after run " << RUNS << "\n";
    EXPECT_LE(rssAtEnd - rssAtStart, RSS_GROWTH_LIMIT_KIB);
    EXPECT_EQ(rig.bus.reportedVersion(0x63), (sim::Version{1, 5}));
    // Nothing went wrong on the way, so nothing was reported.
    if (stalledRuns == 0) {
        EXPECT_EQ(fileText(g_diagnosticFile), "");
    }
}

} // namespace

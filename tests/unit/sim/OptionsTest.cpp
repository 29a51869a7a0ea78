// rs485-devsim's command line and the bus it describes.
#include "sim/DevsimOptions.h"

#include <gtest/gtest.h>

using sim::parseDevsimOptions;

namespace {

std::vector<std::string> words(std::initializer_list<const char*> list)
{
    return {list.begin(), list.end()};
}

TEST(SimOptions, RoutedBusWithEverySetting)
{
    std::string error;
    const auto o = parseDevsimOptions(
        words({"--device", "55:1.0:3.2", "--device=0x33:18.4:1.5:2.1", "--little", "--little-version", "1.2",
               "--device", "31:18.4:1.0", "--little-version", "55:4.4", "--router", "55:1=33",
               "--router", "33:2=31", "--busy", "31:2", "--fault", "33:busy=3@wblock2", "--pace=1200",
               "--turnaround-us", "500", "--restart-ms", "150", "--trace", "--link", "COM7",
               "--data-dir", "/tmp/x"}),
        error);
    ASSERT_TRUE(o) << error;
    ASSERT_EQ(o->devices.size(), 3u);
    EXPECT_EQ(o->devices[0].address, 0x55);
    EXPECT_EQ(o->devices[0].bigVersion, (sim::Version{3, 2}));
    EXPECT_EQ(o->devices[0].littleVersion, (sim::Version{4, 4}));
    EXPECT_FALSE(o->devices[0].hardware);
    EXPECT_EQ(o->devices[1].type, (sim::Version{18, 4}));
    EXPECT_EQ(o->devices[1].hardware, (sim::Version{2, 1}));
    EXPECT_EQ(o->devices[1].running, sim::RunningCode::Little);
    EXPECT_EQ(o->devices[1].littleVersion, (sim::Version{1, 2}));
    EXPECT_EQ(o->devices[2].busyPolls, 2);
    EXPECT_EQ(o->devices[0].busyPolls, 0);
    ASSERT_EQ(o->routes.size(), 2u);
    EXPECT_EQ(o->routes[1].router, 0x33);
    EXPECT_EQ(o->routes[1].iface, 2);
    EXPECT_EQ(o->routes[1].child, 0x31);
    ASSERT_EQ(o->faults.size(), 1u);
    EXPECT_EQ(o->faults[0].address, 0x33);
    EXPECT_TRUE(o->bus.pace);
    EXPECT_EQ(o->bus.paceBaud, 1200u);
    EXPECT_EQ(o->bus.turnaround.count(), 500);
    EXPECT_EQ(o->bus.restartTime.count(), 150);
    EXPECT_TRUE(o->trace);
    EXPECT_EQ(o->link, "COM7");
    EXPECT_EQ(o->dataDir, "/tmp/x");

    sim::SimulatedBus bus;
    ASSERT_TRUE(sim::buildBus(*o, bus, error)) << error;
    bus.withBus([](sim::Bus& b) {
        ASSERT_EQ(b.lineDevices().size(), 1u);
        EXPECT_EQ(b.lineDevices()[0]->address(), 0x55);
        EXPECT_EQ(b.device(0x55)->interfaces().at(1).at(0)->address(), 0x33);
        EXPECT_EQ(b.device(0x33)->interfaces().at(2).at(0)->address(), 0x31);
    });
}

TEST(SimOptions, BusyForAllDevicesWhereverItStands)
{
    std::string error;
    const auto o = parseDevsimOptions(
        words({"--busy", "3", "--device=55:1.0:1.0", "--device", "33:1.0:1.0", "--busy=33:1", "--"}), error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->devices[0].busyPolls, 3);
    EXPECT_EQ(o->devices[1].busyPolls, 1);
}

TEST(SimOptions, MistakesAreNamed)
{
    const struct {
        std::vector<std::string> args;
        const char* mentions;
    } cases[] = {
        {words({}), "--device"},
        {words({"--device", "55:18.4"}), "ADDR:TYPE:FW"},
        {words({"--device", "5G:18.4:1.0"}), "hexadecimal"},
        {words({"--device", "55:18.4:1.0", "--device", "55:1.0:1.0"}), "twice"},
        {words({"--little"}), "before any --device"},
        {words({"--device", "55:18.4:1.0", "--little=33"}), "33"},
        {words({"--device", "55:18.4:1.0", "--router", "55:16=33"}), "ROUTER:IFACE=CHILD"},
        {words({"--device", "55:18.4:1.0", "--fault", "55:bogus"}), "bogus"},
        {words({"--device", "55:18.4:1.0", "--fault", "noanswer"}), "ADDR:KIND"},
        {words({"--device", "55:18.4:1.0", "--restart-ms"}), "needs a value"},
        {words({"--device", "55:18.4:1.0", "--restart-ms=", "100"}), "milliseconds"},
        {words({"--device", "55:18.4:1.0", "--link", "../COM1"}), "port name"},
        {words({"--device", "55:18.4:1.0", "--pace=0"}), "baud"},
        {words({"--device", "55:18.4:1.0", "--frobnicate"}), "--frobnicate"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parseDevsimOptions(c.args, error)) << c.mentions;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
}

TEST(SimOptions, RoutesThatCannotBeBuilt)
{
    const std::vector<std::vector<std::string>> cases = {
        words({"--device", "55:1.0:1.0", "--router", "55:1=33"}),                                  // unknown child
        words({"--device", "55:1.0:1.0", "--device", "33:1.0:1.0", "--router", "55:1=33", "--router", "33:1=55"}), // loop
        words({"--device", "55:1.0:1.0", "--device", "33:1.0:1.0", "--device", "44:1.0:1.0",
               "--router", "55:1=33", "--router", "44:1=33"}),                                      // two parents
        words({"--device", "55:1.0:1.0", "--fault", "66:noanswer"}),                                // fault for nobody
    };
    for (const auto& args : cases) {
        std::string error;
        auto o = parseDevsimOptions(args, error);
        ASSERT_TRUE(o) << error;
        sim::SimulatedBus bus;
        EXPECT_FALSE(sim::buildBus(*o, bus, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(SimOptions, HelpNamesEveryOptionAndARoutedExample)
{
    const std::string help = sim::devsimHelp();
    for (const char* option : {"--device", "--little", "--little-version", "--router", "--busy", "--fault",
                               "--pace", "--turnaround-us", "--restart-ms", "--link", "--data-dir", "--trace",
                               "--help", "noanswer", "short", "checksum", "source", "frameerror", "pointer",
                               "busy=N", "endlessbusy", "corrupt", "endlessrestart", "closeline", "wblockN",
                               "rblockN", "reqN", "--router 55:1=33"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(SimOptions, VersionsAndAddresses)
{
    EXPECT_EQ(sim::Version::parse("18.4"), (sim::Version{18, 4}));
    EXPECT_EQ(sim::Version::parse("0.65535"), (sim::Version{0, 65535}));
    for (const char* bad : {"", "18", "18.", ".4", "18.4.1", "1x.4", "65536.0", "-1.0"})
        EXPECT_FALSE(sim::Version::parse(bad)) << bad;
    EXPECT_EQ(sim::parseBusAddress("55"), 0x55);
    EXPECT_EQ(sim::parseBusAddress("0xA"), 0x0A);
    for (const char* bad : {"", "100", "0x", "g1"})
        EXPECT_FALSE(sim::parseBusAddress(bad)) << bad;
}

} // namespace

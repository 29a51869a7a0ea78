// rs485-devsim as a user starts it: its pty line, the COM link, the signals.
#include "DevsimProcess.h"
#include "LinePort.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

using namespace simtest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const Bytes DIRECT_READ = hexBytes("55 10 06 04 00 04 01 E3 57");
const Bytes DIRECT_ANSWER = hexBytes("10 55 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 A9");


fs::path freshDirectory(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / (name + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(Devsim, ServesTheBusOnItsPtyAndEndsOnSigterm)
{
    Devsim sim({"--device", "55:1.2:2.5"});
    const std::string path = sim.ptyPath();
    ASSERT_TRUE(path.starts_with("/dev/pts/")) << path;
    {
        LinePort port(path);
        ASSERT_TRUE(port.isOpen());
        EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.waitExit(), 0);
}

TEST(Devsim, LinkNamesThePortAndGoesAwayOnSigint)
{
    const fs::path dir = freshDirectory("devsim_link");
    Devsim sim({"--link", "COM1", "--data-dir", dir.string(), "--device", "55:1.2:2.5"});
    const std::string path = sim.ptyPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(sim.line(), "link: " + (dir / "ports" / "COM1").string());
    const fs::path link = dir / "ports" / "COM1";
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), path);
    {
        LinePort port(link.string());
        EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    }
    sim.signal(SIGINT);
    EXPECT_EQ(sim.waitExit(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    fs::remove_all(dir);
}

TEST(Devsim, StaleLinkIsReplacedAndAForeignFileKept)
{
    const fs::path dir = freshDirectory("devsim_stale");
    fs::create_directories(dir / "ports");
    fs::create_symlink("/dev/pts/9999", dir / "ports" / "COM2");
    {
        Devsim sim({"--link", "COM2", "--data-dir", dir.string(), "--device", "55:1.2:2.5"});
        const std::string path = sim.ptyPath();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(fs::read_symlink(dir / "ports" / "COM2"), path);
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.waitExit(), 0);
    }
    { std::ofstream(dir / "ports" / "COM3") << "mine"; }
    Devsim refused({"--link", "COM3", "--data-dir", dir.string(), "--device", "55:1.2:2.5"});
    EXPECT_EQ(refused.waitExit(), 1);
    EXPECT_TRUE(fs::is_regular_file(dir / "ports" / "COM3"));
    fs::remove_all(dir);
}

TEST(Devsim, TraceShowsEveryFrame)
{
    Devsim sim({"--trace", "--device", "55:1.2:2.5"});
    LinePort port(sim.ptyPath());
    EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    EXPECT_EQ(sim.line(), "-> 55 10 06 04 00 04 01 E3 57");
    EXPECT_EQ(sim.line(), "<- 10 55 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 A9");
}

TEST(Devsim, RoutedBusFromTheCommandLine)
{
    Devsim sim({"--device", "55:9.9:9.9", "--device", "33:1.2:2.5", "--router", "55:1=33",
                "--fault", "33:noanswer@req2"});
    LinePort port(sim.ptyPath());
    const Bytes read = hexBytes("55 10 0E C1 FF 09 33 55 06 04 00 04 01 E3 7A E3 13");
    EXPECT_EQ(port.exchange(read, 24).size(), 24u);
    EXPECT_TRUE(port.exchange(read, 24, 300ms).empty()) << "request 2 of 0x33 is lost";
    EXPECT_EQ(port.exchange(read, 24).size(), 24u);
}

TEST(Devsim, ClosingLineFaultEndsTheSimulator)
{
    Devsim sim({"--device", "55:1.2:2.5", "--fault", "55:closeline@req1"});
    LinePort port(sim.ptyPath());
    port.write(DIRECT_READ);
    EXPECT_TRUE(port.waitHangUp(3000ms));
    EXPECT_EQ(sim.waitExit(), 0);
    EXPECT_EQ(sim.line(), "line closed");
}

TEST(Devsim, HelpAndBadOptions)
{
    Devsim help({"--help"});
    EXPECT_TRUE(help.line().starts_with("rs485-devsim"));
    EXPECT_EQ(help.waitExit(), 0);
    Devsim bad({"--device", "55:18.4"});
    EXPECT_EQ(bad.waitExit(), 2);
    EXPECT_TRUE(bad.line(200ms).empty()) << "nothing on standard output";
}

} // namespace

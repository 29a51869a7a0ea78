#include "platform/PortMap.h"
#include "unit/comm/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// A fake machine: a device folder with nodes (plain files are enough for the
// numbering rules) and a sysfs folder that says which ttyS are real UARTs.
class FakeMachine {
public:
    FakeMachine()
    {
        fs::create_directories(dev());
        fs::create_directories(sys());
        fs::create_directories(data() + "/ports");
    }
    std::string dev() const { return m_root / "dev"; }
    std::string sys() const { return m_root / "sys"; }
    std::string data() const { return m_root / "data"; }

    void node(const std::string& name) { std::ofstream(dev() + "/" + name).put('x'); }
    void uart(const std::string& name, int type)
    {
        node(name);
        fs::create_directories(sys() + "/" + name);
        std::ofstream(sys() + "/" + name + "/type") << type << "\n";
    }
    void pin(int n, const std::string& target) { fs::create_symlink(target, data() + "/ports/COM" + std::to_string(n)); }

    platform::PortMap map() const { return platform::PortMap(data(), dev(), sys()); }

private:
    TempDir m_root;
};

TEST(PortMap, AutomaticOrderUsbThenAcmThenRealUarts)
{
    FakeMachine m;
    // Created out of order, and with numbers that sort wrongly as text.
    for (const char* name : {"ttyACM0", "ttyUSB10", "ttyUSB2", "ttyUSB0", "tty0", "ttyUSBx", "console"})
        m.node(name);
    m.uart("ttyS1", 4);
    m.uart("ttyS0", 0); // placeholder without hardware
    m.uart("ttyS10", 4);
    m.node("ttyS2"); // no sysfs entry: not counted

    const std::vector<std::string> expected = {m.dev() + "/ttyUSB0", m.dev() + "/ttyUSB2", m.dev() + "/ttyUSB10",
                                               m.dev() + "/ttyACM0", m.dev() + "/ttyS1", m.dev() + "/ttyS10"};
    const platform::PortMap map = m.map();
    EXPECT_EQ(map.detectedDevices(), expected);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(map.resolve(static_cast<int>(i) + 1), expected[i]) << "COM" << i + 1;
    EXPECT_EQ(map.resolve(7), "");
    EXPECT_EQ(map.resolve(0), "");
    EXPECT_EQ(map.resolve(256), "");
}

TEST(PortMap, PinnedEntriesWinAndDanglingPinsStayPinned)
{
    FakeMachine m;
    m.node("ttyUSB0");
    m.node("ttyUSB1");
    m.node("pts7");
    m.pin(1, m.dev() + "/ttyUSB1");
    m.pin(9, "../dev/pts7"); // a relative target is taken from the ports folder
    m.pin(12, m.dev() + "/gone");

    const platform::PortMap map = m.map();
    EXPECT_EQ(map.resolve(1), m.dev() + "/ttyUSB1");
    EXPECT_EQ(map.resolve(2), m.dev() + "/ttyUSB1"); // COM2 is still the second device found
    EXPECT_EQ(map.resolve(9), fs::path(m.data() + "/ports/../dev/pts7").lexically_normal().string());
    // A pin whose device vanished does not fall back to another adapter.
    EXPECT_EQ(map.resolve(12), m.dev() + "/gone");
}

TEST(PortMap, ListShowsMappedNumbersWithStableNames)
{
    FakeMachine m;
    m.node("ttyUSB0");
    m.node("ttyACM0");
    fs::create_directories(m.dev() + "/serial/by-id");
    fs::create_symlink("../../ttyUSB0", m.dev() + "/serial/by-id/usb-Maker_Adapter_123-if00-port0");
    m.pin(5, m.dev() + "/ttyACM0");

    const auto entries = m.map().list(20, /*skipInUse=*/false);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].number, 1);
    EXPECT_EQ(entries[0].device, m.dev() + "/ttyUSB0");
    EXPECT_EQ(entries[0].stableName, m.dev() + "/serial/by-id/usb-Maker_Adapter_123-if00-port0");
    EXPECT_FALSE(entries[0].pinned);
    EXPECT_EQ(entries[1].number, 2);
    EXPECT_EQ(entries[1].stableName, "");
    EXPECT_EQ(entries[2].number, 5);
    EXPECT_TRUE(entries[2].pinned);
    EXPECT_EQ(entries[2].device, m.dev() + "/ttyACM0");

    // Plain files are no terminals: listing only what can be used leaves them out.
    EXPECT_TRUE(m.map().list(20, /*skipInUse=*/true).empty());
}

} // namespace

// The simulated bus served on a real pseudo-terminal, seen from the tool's end.
#include "LinePort.h"
#include "sim/SimulatedBus.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

using namespace simtest;
using namespace std::chrono_literals;

namespace {

const Bytes DIRECT_READ = hexBytes("55 10 06 04 00 04 01 E3 57");
const Bytes DIRECT_ANSWER = hexBytes("10 55 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 A9");
const Bytes ONE_HOP_READ = hexBytes("55 10 0E C1 FF 09 33 55 06 04 00 04 01 E3 7A E3 13");
const Bytes ONE_HOP_ANSWER = hexBytes("10 55 15 D1 11 55 33 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 CC E3 D7");

sim::DeviceConfig device(uint8_t address)
{
    sim::DeviceConfig c;
    c.address = address;
    c.type = {1, 2};
    c.bigVersion = {2, 5};
    return c;
}

sim::Fault fault(sim::FaultKind kind, sim::FaultTrigger trigger = sim::FaultTrigger::next())
{
    sim::Fault f;
    f.kind = kind;
    f.trigger = trigger;
    return f;
}

class SimPty : public ::testing::Test {
protected:
    explicit SimPty(sim::BusOptions options = {}) : bus(options) {}
    void SetUp() override
    {
        bus.addDevice(device(0x55));
        ASSERT_TRUE(bus.addDevice(device(0x33), 0x55, 1));
        ASSERT_TRUE(bus.start()) << bus.lastError();
    }
    sim::SimulatedBus bus;
};

TEST_F(SimPty, GoldenExchangesOverThePty)
{
    LinePort port(bus.slavePath());
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    EXPECT_EQ(port.exchange(ONE_HOP_READ, 24), ONE_HOP_ANSWER);
    EXPECT_TRUE(bus.waitFor([](sim::Bus& b) { return b.device(0x33)->requestCount() == 1; }, 2000ms));
    EXPECT_EQ(bus.requestCount(0x55), 2u);
}

TEST_F(SimPty, ToolMayOpenAndCloseThePortAgainAndAgain)
{
    for (int round = 0; round < 5; ++round) {
        LinePort port(bus.slavePath());
        ASSERT_TRUE(port.isOpen()) << round;
        EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER) << round;
    }
    EXPECT_TRUE(bus.running());
}

TEST_F(SimPty, CutFrameIsGivenUpAfterASilence)
{
    LinePort port(bus.slavePath());
    Bytes bytes = hexBytes("55 10 40 04");
    bytes.insert(bytes.end(), DIRECT_READ.begin(), DIRECT_READ.end());
    EXPECT_EQ(port.exchange(bytes, 17), DIRECT_ANSWER);
}

TEST_F(SimPty, LostAndDamagedAnswers)
{
    LinePort port(bus.slavePath());
    bus.addFault(0x55, fault(sim::FaultKind::NoAnswer));
    EXPECT_TRUE(port.exchange(DIRECT_READ, 17, 300ms).empty());
    bus.addFault(0x55, fault(sim::FaultKind::ShortAnswer));
    EXPECT_EQ(port.exchange(DIRECT_READ, 17, 300ms), hexBytes("10 55 0E 24 00 02 00 01"));
    bus.addFault(0x55, fault(sim::FaultKind::WrongChecksum));
    const Bytes bad = port.exchange(DIRECT_READ, 17);
    ASSERT_EQ(bad.size(), 17u);
    EXPECT_NE(bad.back(), DIRECT_ANSWER.back());
    EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
}

TEST_F(SimPty, ClosingLineHangsUpTheToolsPort)
{
    LinePort port(bus.slavePath());
    bus.addFault(0x33, fault(sim::FaultKind::CloseLine, sim::FaultTrigger::request(1)));
    EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    EXPECT_TRUE(port.exchange(ONE_HOP_READ, 24, 500ms).empty());
    EXPECT_TRUE(port.waitHangUp(3000ms));
    EXPECT_TRUE(bus.waitFor([](sim::Bus& b) { return b.lineClosed(); }, 2000ms));
    EXPECT_TRUE(bus.lineClosed());
}

TEST_F(SimPty, ClosingLineFromTheTest)
{
    LinePort port(bus.slavePath());
    EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
    bus.closeLine();
    EXPECT_TRUE(port.waitHangUp(3000ms));
}

TEST(SimPtyPace, AnswersAtTheLineRateTheToolSet)
{
    sim::BusOptions options;
    options.pace = true;
    options.turnaround = 200us;
    sim::SimulatedBus bus(options);
    bus.addDevice(device(0x55));
    ASSERT_TRUE(bus.start());
    LinePort port(bus.slavePath(), B9600);
    EXPECT_EQ(bus.lineBaudRate(), 9600u);
    EXPECT_EQ(port.exchange(DIRECT_READ, 17), DIRECT_ANSWER);
}

// Uploads, reads back and flashes over the line as the tool does; the version
// bytes the device reports once it answers again.
class LineUpgrade {
public:
    LineUpgrade(LinePort& port, uint8_t address) : m_port(port), m_address(address) {}

    bool upload(const Bytes& image)
    {
        for (uint32_t block = 0; block * 64 < image.size(); ++block) {
            Bytes answer = m_port.exchange(request(m_address, writeBlockPayload(block, image.data() + 64 * block)), 13);
            for (int poll = 0; answer.size() == 13 && statusOf(answer) == 14 && poll < 20; ++poll)
                answer = m_port.exchange(request(m_address, STATUS_POLL), 13);
            if (answer.size() != 13 || statusOf(answer) != 0)
                return false;
        }
        return true;
    }

    bool verify(const Bytes& image)
    {
        for (uint32_t block = 0; block * 64 < image.size(); ++block) {
            const Bytes answer = m_port.exchange(request(m_address, readBlockPayload(block)), 77);
            if (answer.size() != 77 || readBackOf(answer) != Bytes(image.begin() + 64 * block, image.begin() + 64 * block + 64))
                return false;
        }
        return true;
    }

    // Sends the command (no answer comes), then asks for the version until
    // the device answers again.
    Bytes restartWith(uint32_t word, std::chrono::milliseconds within = 5000ms)
    {
        m_port.write(request(m_address, commandPayload(word)));
        const auto deadline = std::chrono::steady_clock::now() + within;
        bool unanswered = false;
        while (std::chrono::steady_clock::now() < deadline) {
            const Bytes answer = m_port.exchange(request(m_address, TYPE_VERSION_READ), 17, 1000ms);
            if (answer.size() == 17) {
                // An earlier poll was perhaps answered only now, late on a
                // loaded machine, and the answer to this one is still to
                // come: it must not be taken for the next request's.
                if (unanswered)
                    m_port.read(17, 1000ms);
                return versionBytesOf(answer);
            }
            unanswered = true;
        }
        return {};
    }

private:
    LinePort& m_port;
    uint8_t m_address;
};

TEST(SimPtyRestart, FlashThenSilenceThenTheNewVersion)
{
    sim::BusOptions options;
    options.timeScale = 0.5; // 1 s restart
    sim::SimulatedBus bus(options);
    sim::DeviceConfig c = device(0x55);
    bus.addDevice(c);
    ASSERT_TRUE(bus.start());
    LinePort port(bus.slavePath());
    LineUpgrade upgrade(port, 0x55);
    const Bytes image = bits32Image(2, 6, false);
    ASSERT_TRUE(upgrade.upload(image));
    ASSERT_TRUE(upgrade.verify(image));
    port.write(request(0x55, commandPayload(uint32_t(image.size()) | 0x06)));
    EXPECT_TRUE(port.exchange(DIRECT_READ, 17, 200ms).empty()) << "silent while restarting";
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    Bytes answer;
    while (answer.size() != 17 && std::chrono::steady_clock::now() < deadline)
        answer = port.exchange(DIRECT_READ, 17, 100ms);
    ASSERT_EQ(answer.size(), 17u);
    EXPECT_EQ(versionBytesOf(answer), (Bytes{0x06, 0x00, 0x02, 0x00}));
}

TEST(SimPtyRestart, EndlessRestartStaysSilent)
{
    sim::BusOptions options;
    options.timeScale = 0.01;
    sim::SimulatedBus bus(options);
    bus.addDevice(device(0x55));
    bus.addFault(0x55, fault(sim::FaultKind::EndlessRestart));
    ASSERT_TRUE(bus.start());
    LinePort port(bus.slavePath());
    port.write(request(0x55, commandPayload(0x16)));
    // Well past the 20 ms restart: still nothing.
    EXPECT_TRUE(bus.waitFor([](sim::Bus& b) { return b.device(0x55)->restartCount() == 1; }, 2000ms));
    EXPECT_TRUE(port.exchange(DIRECT_READ, 17, 300ms).empty());
    EXPECT_TRUE(port.exchange(DIRECT_READ, 17, 300ms).empty());
}

// --- A two-image file made by rs485-mkfw, turned into its upload images ----

#ifdef MKFW_PATH
struct MadeFile {
    Bytes bytes;
    std::map<std::string, uint64_t> keys;
};

MadeFile makeSectionsFile(const std::string& path)
{
    MadeFile made;
    const std::string command = std::string(MKFW_PATH) + " --format sections --lt-version 1.2 --bg-version 1.5 --output " + path;
    FILE* out = ::popen(command.c_str(), "r");
    if (!out)
        return made;
    char line[256];
    while (std::fgets(line, sizeof line, out)) {
        std::string text(line);
        const auto eq = text.find('=');
        if (eq != std::string::npos && text.substr(0, eq) != "file")
            made.keys[text.substr(0, eq)] = std::stoull(text.substr(eq + 1));
    }
    ::pclose(out);
    std::ifstream file(path, std::ios::binary);
    made.bytes.assign(std::istreambuf_iterator<char>(file), {});
    return made;
}

// The little-code image: "VltSD", processor, two bytes, the little code from
// 4096 up to the big-code header, then the BL page.
Bytes littleFrom(const MadeFile& f)
{
    const std::size_t bg = f.keys.at("bg_signature"), bl = f.keys.at("bl_signature");
    Bytes image{'V', 'l', 't', 'S', 'D', f.bytes[bg + 5], 0, 0};
    image.insert(image.end(), f.bytes.begin() + 4096, f.bytes.begin() + long(bg - 4));
    const std::size_t page = bl / 4096 * 4096;
    image.insert(image.end(), f.bytes.begin() + long(page), f.bytes.begin() + long(page + 4096));
    return padded(image);
}

// The big-code image: from its header, with length and checksum filled in.
Bytes bigFrom(const MadeFile& f)
{
    const std::size_t bg = f.keys.at("bg_signature"), length = f.keys.at("bg_length");
    const uint64_t sum = f.keys.at("bg_checksum");
    Bytes image(f.bytes.begin() + long(bg - 4), f.bytes.begin() + long(bg - 4 + length));
    put32(image, 24, uint32_t(length));
    put32(image, 28, uint32_t(sum));
    put32(image, 32, uint32_t(sum >> 32));
    return padded(image);
}

class SimPtySections : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto path = std::filesystem::temp_directory_path() / ("sim_sections_" + std::to_string(::getpid()) + ".bin");
        made = makeSectionsFile(path);
        std::filesystem::remove(path);
        ASSERT_FALSE(made.bytes.empty()) << "rs485-mkfw made no file";
        ASSERT_TRUE(made.keys.count("bg_length") && made.keys.count("bg_checksum"));

        sim::BusOptions options;
        options.timeScale = 0.05; // 100 ms restarts
        bus = std::make_unique<sim::SimulatedBus>(options);
        sim::DeviceConfig c;
        c.address = 0x55;
        c.type = {18, 4};
        c.bigVersion = {1, 0};
        c.littleVersion = {1, 0};
        c.busyPolls = 1;
        bus->addDevice(c);
        ASSERT_TRUE(bus->start());
        port = std::make_unique<LinePort>(bus->slavePath());
    }

    // Upgrade mode, then the little code as the first of two images.
    void littleCodeFirst(LineUpgrade& upgrade, const Bytes& little)
    {
        ASSERT_EQ(upgrade.restartWith(0x16), (Bytes{0x80, 0x00, 0x01, 0x00})) << "upgrade mode: little code 1.0";
        ASSERT_TRUE(upgrade.upload(little));
        ASSERT_TRUE(upgrade.verify(little));
        ASSERT_EQ(upgrade.restartWith(uint32_t(little.size() + 64) | 0x26), (Bytes{0x82, 0x00, 0x01, 0x00}))
            << "the file's little code 1.2";
    }

    MadeFile made;
    std::unique_ptr<sim::SimulatedBus> bus;
    std::unique_ptr<LinePort> port;
};

TEST_F(SimPtySections, LittleCodeThenBigCode)
{
    LineUpgrade upgrade(*port, 0x55);
    const Bytes little = littleFrom(made);
    littleCodeFirst(upgrade, little);
    const Bytes big = bigFrom(made);
    ASSERT_TRUE(upgrade.upload(big));
    ASSERT_TRUE(upgrade.verify(big));
    EXPECT_EQ(upgrade.restartWith(uint32_t(little.size() + 64) | 0x06), (Bytes{0x05, 0x00, 0x01, 0x00}))
        << "the file's big code 1.5 runs";
    EXPECT_EQ(bus->running(0x55), sim::RunningCode::Big);
}

TEST_F(SimPtySections, BigCodeWithAWrongChecksumLeavesTheLittleCode)
{
    LineUpgrade upgrade(*port, 0x55);
    const Bytes little = littleFrom(made);
    littleCodeFirst(upgrade, little);
    Bytes big = bigFrom(made);
    big[30] ^= 0x10;
    ASSERT_TRUE(upgrade.upload(big));
    EXPECT_EQ(upgrade.restartWith(uint32_t(little.size() + 64) | 0x06), (Bytes{0x82, 0x00, 0x01, 0x00}))
        << "still the little code 1.2";
    EXPECT_EQ(bus->running(0x55), sim::RunningCode::Little);
}
#endif

} // namespace

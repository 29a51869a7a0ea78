#pragma once
// A whole upgrade set-up for runs of the real engine and serial stack over a
// pseudo-terminal: the UI thread (a MainLoop at a scaled time), a simulated
// bus, the COM link, an owner that records events, and the process figures
// (threads, descriptors, resident memory) a run must give back. Errors go to
// the real diagnostic file in a directory of the test's own.
#include "unit/engine/EngineTestSupport.h"

#include "diagnostics/Globalfunctions.h"
#include "platform/MainLoop.h"
#include "sim/SimulatedBus.h"
#include "sim/mkfw/FirmwareLayout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace rig {

using namespace std::chrono_literals;
using enginetest::Event;
using enginetest::RecordingOwner;

constexpr int PORT = 7;

// ---------------------------------------------------------------------------
// Process figures

inline int entriesOf(const char* directory)
{
    std::error_code ec;
    int n = 0;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

struct Resources {
    int threads = 0;
    int descriptors = 0;
    friend bool operator==(const Resources&, const Resources&) = default;
};

inline Resources resources()
{
    return {entriesOf("/proc/self/task"), entriesOf("/proc/self/fd")};
}

// A sanitizer's runtime starts a thread of its own with the first thread of
// the process: let that happen, once, before anything is counted. The joined
// thread itself can stay listed for a moment after its join returned, so the
// wait goes on until it is gone.
inline void startSanitizerThread()
{
    static const bool started = [] {
        std::atomic<pid_t> tid{0};
        std::thread([&] { tid = gettid(); }).join();
        const std::string entry = "/proc/self/task/" + std::to_string(tid.load());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::filesystem::exists(entry) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }();
    (void)started;
}

inline std::string describe(const Resources& r)
{
    return std::to_string(r.threads) + " threads, " + std::to_string(r.descriptors) + " descriptors";
}

// Resident memory in KiB.
inline long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// ---------------------------------------------------------------------------
// The diagnostic file

// Errors go to the file only (no console, no message box), log entries
// nowhere; the "LOG_FILE" lock lives in the directory too, away from other
// programs of the user. Call once, before any thread is started.
inline std::string useDiagnosticDirectory(const std::string& name)
{
    const std::string directory = ::testing::TempDir() + "/" + name + "-" + std::to_string(getpid());
    std::filesystem::create_directories(directory);
    ::setenv("XDG_RUNTIME_DIR", directory.c_str(), 1);
    configureLog(0, 1, false, false, name);
    configureErrors(LOG_TO_FILE, directory, name);
    return directory + "/Error_" + name + ".log";
}

inline std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---------------------------------------------------------------------------
// Firmware files as the firmware builds lay them out

struct Firmware {
    KWOSBinFile file;
    KWOSBinFileDescription description;
};

inline Firmware makeFirmware(const mkfw::Options& options)
{
    const mkfw::Result made = mkfw::layOut(options);
    EXPECT_TRUE(made.error.empty()) << made.error;
    Firmware fw;
    KWOSBinFileLabels labels;
    EXPECT_TRUE(loadBinFileBytes(made.bytes, "firmware.bin", fw.file, fw.description, labels));
    return fw;
}

inline mkfw::Options legacyOptions(uint32_t codeSize = 0x400)
{
    mkfw::Options o;
    o.format = mkfw::Format::Legacy;
    o.version = {1, 5};
    o.minVersion = {1, 0};
    o.codeSize = codeSize;
    return o;
}

inline mkfw::Options bits32Options(uint32_t codeSize = 0x400)
{
    mkfw::Options o = legacyOptions(codeSize);
    o.format = mkfw::Format::Bits32;
    return o;
}

inline mkfw::Options sectionOptions()
{
    mkfw::Options o;
    o.format = mkfw::Format::Sections;
    o.ltVersion = {1, 2};
    o.ltMinVersion = {1, 0};
    o.bgVersion = {1, 5};
    return o;
}

// Blocks of the upload images of a file: one image, or little then big.
inline std::vector<size_t> imageBlocks(const Firmware& fw)
{
    if (fw.description.m_nFileFormat == FORMAT_SECTIONS) {
        KWOSSectionImages images;
        EXPECT_TRUE(buildSectionImages(fw.file, fw.description, images));
        return {images.little.size() / 64, images.big.size() / 64};
    }
    KWOImage image;
    EXPECT_TRUE(buildSingleImage(fw.file, fw.description, image));
    return {image.size() / 64};
}

inline sim::DeviceConfig device(uint8_t address, sim::Version big = {1, 3})
{
    sim::DeviceConfig c;
    c.address = address;
    c.type = {18, 4};
    c.bigVersion = big;
    c.littleVersion = {1, 1};
    return c;
}

inline std::string describe(const std::vector<Event>& events)
{
    std::string text;
    for (const Event& e : events)
        text += std::to_string(e.code) + " " + std::to_string(e.value) + " \"" + e.text + "\" " +
                (e.direct ? "direct" : "relayed") + "\n";
    return text;
}

// ---------------------------------------------------------------------------
// UI thread, bus, link and owner of one engine

// Records every event; onFinal runs inside the final event's call, before
// the event is recorded, so a test sees what the engine had done by then.
class Owner final : public KWOIUpgraderOwner {
public:
    void fwUpgraderEvent(int code, int value, const std::string& text, bool direct) override
    {
        if (enginetest::isFinal(code) && onFinal)
            onFinal();
        m_record.fwUpgraderEvent(code, value, text, direct);
    }
    bool isCheckDeviceOnly() const override { return m_record.isCheckDeviceOnly(); }

    std::vector<Event> events() const { return m_record.events(); }
    std::vector<std::string> messages() const { return m_record.messages(); }
    int finalCount() const { return m_record.finalCount(); }
    bool ended() const { return m_record.ended(); }
    void clear() { m_record.clear(); }
    void setCheckOnly(bool only) { m_record.checkOnly = only; }

    // Set before a run, not during it.
    std::function<void()> onFinal;

private:
    RecordingOwner m_record;
};

struct Route {
    std::vector<int32_t> addresses;
    std::vector<int32_t> interfaces;
};

class Rig {
public:
    Rig(double timeScale, std::chrono::milliseconds restartTime = 2000ms)
        : loop(timeScale), bus(busOptions(timeScale, restartTime))
    {
        startSanitizerThread();
        platform::UiBridge::install(&loop);
        static std::atomic<int> counter{0};
        m_dataDirectory = ::testing::TempDir() + "/upgrade-rig-" + std::to_string(getpid()) + "-" +
                          std::to_string(counter++);
        std::filesystem::create_directories(m_dataDirectory + "/ports");
        std::filesystem::create_directories(m_dataDirectory + "/none");
    }
    ~Rig()
    {
        engine.reset();
        bus.stop();
        platform::UiBridge::install(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(m_dataDirectory, ignored);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Starts the bus with its devices, points COM 7 at it and makes the engine.
    bool start(int32_t answerTimeoutMs = 5000)
    {
        if (!bus.start()) {
            ADD_FAILURE() << bus.lastError();
            return false;
        }
        linkPort(bus.slavePath());
        return makeEngine(answerTimeoutMs);
    }

    // COM 7 is `path` from now on.
    void linkPort(const std::string& path)
    {
        const std::string link = m_dataDirectory + "/ports/COM" + std::to_string(PORT);
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
        std::filesystem::create_symlink(path, link);
    }

    bool makeEngine(int32_t answerTimeoutMs)
    {
        bool ok = false;
        const std::string none = m_dataDirectory + "/none";
        engine = std::make_unique<KWOCFwUpgraderRS485>(&ok, &owner, platform::PortMap(m_dataDirectory, none, none));
        engine->m_nResponseTimeout = answerTimeoutMs;
        EXPECT_TRUE(ok);
        return ok;
    }

    // Starts a run; false when startUpgrade refused it.
    bool begin(const Firmware& fw, const Route& route)
    {
        engine->m_File = fw.description;
        return engine->startUpgrade(PORT, baudRate, route.addresses.data(), int(route.addresses.size()),
                                    route.interfaces.empty() ? &m_noInterface : route.interfaces.data(),
                                    int(route.interfaces.size()), &fw.file);
    }

    // Runs the UI thread until the run's final event; false on time-out.
    bool awaitEnd(std::chrono::milliseconds within)
    {
        return loop.runUntil([this] { return owner.ended(); }, within);
    }

    // One run to its final event, then the owner closes the connection.
    bool run(const Firmware& fw, const Route& route, std::chrono::milliseconds within = 120s)
    {
        const bool started = begin(fw, route);
        EXPECT_TRUE(awaitEnd(within)) << describe(owner.events());
        engine->closeConnection();
        return started;
    }

    // Keeps the UI thread running (stray timer ticks and relayed events are
    // served meanwhile) until the process is back to `expected`, at most
    // `within`; returns what it last saw.
    Resources settle(const Resources& expected, std::chrono::milliseconds within = 10s)
    {
        Resources now = resources();
        loop.runUntil(
            [&] {
                now = resources();
                return now == expected;
            },
            within);
        return now;
    }

    // Where COM links live (<data directory>/ports).
    const std::string& dataDirectory() const { return m_dataDirectory; }

    platform::MainLoop loop;
    sim::SimulatedBus bus;
    Owner owner;
    // A pty ignores it; the port worker sizes its reads by it.
    int baudRate = 115200;
    std::unique_ptr<KWOCFwUpgraderRS485> engine;

private:
    static sim::BusOptions busOptions(double timeScale, std::chrono::milliseconds restartTime)
    {
        sim::BusOptions options;
        options.restartTime = restartTime;
        options.timeScale = timeScale;
        return options;
    }

    std::string m_dataDirectory;
    const int32_t m_noInterface = 0;
};

} // namespace rig

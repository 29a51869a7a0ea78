// Throughput of a whole upload and verification through the real engine and
// serial stack, against the simulated bus paced at the line's baud rate with
// no device turnaround. Prints figures; asserts nothing.
//
//   rs485-bench-upload            64 KiB and 256 KiB at 115200, 921600 and 2000000 baud
//   rs485-bench-upload --quick    64 KiB only
//   rs485-bench-upload --quick --baud 115200 --diag off    one configuration
//
// The bus and the line pacer run in a child process, so the CPU time measured
// here is the tool's alone.
#include "LinePacer.h"

#include "diagnostics/Globalfunctions.h"
#include "engine/Fwupgraderrs485.h"
#include "platform/MainLoop.h"
#include "sim/SimulatedBus.h"
#include "sim/mkfw/FirmwareLayout.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* NAME = "rs485-bench-upload";
constexpr int PORT = 1;
constexpr uint8_t TARGET = 0x55;
constexpr double TIME_SCALE = 0.01; // the restart waits, which are not measured
constexpr int BITS_PER_BYTE = 10;
constexpr const char* UPLOAD_STARTS = "Uploading bin file...";
constexpr const char* VERIFICATION_ENDS = "Upload verification successfull.";

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Firmware {
    KWOSBinFile file;
    KWOSBinFileDescription description;
    size_t imageSize = 0;
};

// A legacy file whose upload image is exactly `imageSize` bytes.
bool makeFirmware(size_t imageSize, Firmware& fw)
{
    for (size_t codeSize = imageSize; codeSize > imageSize - 256; --codeSize) {
        mkfw::Options o;
        o.format = mkfw::Format::Legacy;
        o.version = {1, 5};
        o.minVersion = {1, 0};
        o.codeSize = uint32_t(codeSize);
        const mkfw::Result made = mkfw::layOut(o);
        KWOSBinFileLabels labels;
        if (!made.error.empty() || !loadBinFileBytes(made.bytes, "bench.bin", fw.file, fw.description, labels))
            continue;
        KWOImage image;
        if (buildSingleImage(fw.file, fw.description, image) && image.size() == imageSize) {
            fw.imageSize = image.size();
            return true;
        }
    }
    return false;
}

// The moments of a run that bound the upload and the verification.
class TimingOwner final : public KWOIUpgraderOwner {
public:
    explicit TimingOwner(LineCounters& counters) : m_counters(counters) {}

    void fwUpgraderEvent(int code, int, const std::string& text, bool) override
    {
        std::lock_guard guard(m_lock);
        if (code == EVENT_MESSAGE && (text == UPLOAD_STARTS || text == VERIFICATION_ENDS)) {
            Mark& mark = text == UPLOAD_STARTS ? start : end;
            mark.wall = Clock::now();
            mark.cpu = cpuSeconds();
            mark.bytes = m_counters.requestBytes + m_counters.answerBytes;
            mark.seen = true;
            if (text == UPLOAD_STARTS) {
                m_counters.turnarounds = 0;
                m_counters.turnaroundNs = 0;
                for (auto& bucket : m_counters.turnaroundBuckets)
                    bucket = 0;
                m_counters.lastAnswerNs = 0;
            } else {
                turnarounds = m_counters.turnarounds;
                turnaroundNs = m_counters.turnaroundNs;
                for (int i = 0; i < LineCounters::BUCKETS; ++i)
                    buckets[size_t(i)] = m_counters.turnaroundBuckets[i];
            }
        }
        if (code == EVENT_FINISHED || code == EVENT_FAILED || code == EVENT_CHECK_DONE)
            finalCode = code;
    }
    bool isCheckDeviceOnly() const override { return false; }
    bool ended()
    {
        std::lock_guard guard(m_lock);
        return finalCode >= 0;
    }

    struct Mark {
        Clock::time_point wall;
        double cpu = 0;
        uint64_t bytes = 0;
        bool seen = false;
    };
    Mark start, end;
    int finalCode = -1;
    uint64_t turnarounds = 0;
    uint64_t turnaroundNs = 0;
    std::array<uint64_t, LineCounters::BUCKETS> buckets{};

private:
    LineCounters& m_counters;
    std::mutex m_lock;
};

struct Figures {
    double wall = 0;  // seconds
    double bound = 0; // seconds
    double cpu = 0;   // seconds
    uint64_t bytes = 0;
    bool ok = false;
    uint64_t turnarounds = 0;
    double turnaroundMean = 0; // ms
    std::array<uint64_t, LineCounters::BUCKETS> buckets{};
};

// The upper edge (ms) of the bucket below which `share` of the turnarounds lie.
double turnaroundPercentile(const Figures& f, double share)
{
    uint64_t seen = 0;
    for (int i = 0; i < LineCounters::BUCKETS; ++i) {
        seen += f.buckets[size_t(i)];
        if (double(seen) >= share * double(f.turnarounds))
            return double(i + 1) * double(LineCounters::BUCKET_NS) / 1e6;
    }
    return double(LineCounters::BUCKETS) * double(LineCounters::BUCKET_NS) / 1e6;
}

// The child: the simulated bus and the pacer, until the parent closes `control`.
[[noreturn]] void serveLine(unsigned baud, LineCounters& counters, int pathOut, int control)
{
    sim::BusOptions options;
    options.pace = true;
    options.paceBaud = baud;
    options.turnaround = 0us;
    options.restartTime = 2000ms;
    options.timeScale = TIME_SCALE;
    sim::SimulatedBus bus(options);
    sim::DeviceConfig device;
    device.address = TARGET;
    device.type = {18, 4};
    device.bigVersion = {1, 3};
    device.littleVersion = {1, 1};
    bus.addDevice(device);
    std::string path;
    std::unique_ptr<LinePacer> pacer;
    if (!bus.start()) {
        std::fprintf(stderr, "%s: simulator: %s\n", NAME, bus.lastError().c_str());
    } else {
        pacer = std::make_unique<LinePacer>(baud, counters);
        if (pacer->start(bus.slavePath()))
            path = pacer->toolPath();
        else
            std::fprintf(stderr, "%s: pacer: %s\n", NAME, pacer->lastError().c_str());
    }
    path += "\n";
    (void)!::write(pathOut, path.data(), path.size());
    ::close(pathOut);
    char byte;
    while (::read(control, &byte, 1) > 0) {
    }
    pacer.reset();
    bus.stop();
    std::fflush(nullptr);
    _exit(0);
}

// The simulated line in a child process for as long as this object lives;
// path() is empty when it did not start.
class LineChild {
public:
    LineChild(unsigned baud, LineCounters& counters)
    {
        int pathPipe[2], controlPipe[2];
        if (::pipe(pathPipe) != 0)
            return;
        if (::pipe(controlPipe) != 0) {
            ::close(pathPipe[0]);
            ::close(pathPipe[1]);
            return;
        }
        std::fflush(nullptr);
        m_child = ::fork();
        if (m_child == 0) {
            ::close(pathPipe[0]);
            ::close(controlPipe[1]);
            serveLine(baud, counters, pathPipe[1], controlPipe[0]);
        }
        ::close(pathPipe[1]);
        ::close(controlPipe[0]);
        m_control = controlPipe[1];
        char c;
        while (m_child > 0 && ::read(pathPipe[0], &c, 1) == 1 && c != '\n')
            m_path += c;
        ::close(pathPipe[0]);
    }
    // Closing the control pipe ends the child.
    ~LineChild()
    {
        ::close(m_control);
        if (m_child > 0)
            ::waitpid(m_child, nullptr, 0);
    }
    LineChild(const LineChild&) = delete;
    LineChild& operator=(const LineChild&) = delete;

    const std::string& path() const { return m_path; }

private:
    pid_t m_child = -1;
    int m_control = -1;
    std::string m_path;
};

class Bench {
public:
    explicit Bench(std::string data) : m_data(std::move(data)), m_loop(TIME_SCALE)
    {
        platform::UiBridge::install(&m_loop);
        void* shared = mmap(nullptr, sizeof(LineCounters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        m_counters = shared == MAP_FAILED ? nullptr : new (shared) LineCounters;
    }
    ~Bench()
    {
        platform::UiBridge::install(nullptr);
        if (m_counters)
            munmap(m_counters, sizeof(LineCounters));
    }

    Figures run(const Firmware& fw, unsigned baud, bool diagnosticFile)
    {
        Figures f;
        if (!m_counters)
            return f;
        configureErrors(LOG_TO_CONSOLE, m_data, NAME);
        configureLog(diagnosticFile ? LOG_TO_FILE : 0, 255, false, true, NAME);
        m_counters->reset();
        const LineChild line(baud, *m_counters);
        if (!line.path().empty())
            f = upgrade(fw, baud, line.path());
        return f;
    }

    // CPU time per second of wall time of an engine holding the port open, no run.
    double idlePortCpu(unsigned baud, double seconds)
    {
        if (!m_counters)
            return -1;
        const LineChild line(baud, *m_counters);
        double result = -1;
        if (!line.path().empty() && linkPort(line.path())) {
            TimingOwner owner(*m_counters);
            bool ok = false;
            KWOCFwUpgraderRS485 engine(&ok, &owner, portMap());
            engine.m_nComPort = PORT;
            engine.m_nBaudRate = int32_t(baud);
            if (ok && engine.connectToDevice()) {
                std::this_thread::sleep_for(200ms); // the worker settles
                const double cpu0 = cpuSeconds();
                const auto wall0 = Clock::now();
                std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
                result = (cpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - wall0).count();
                engine.closeConnection();
            }
        }
        return result;
    }

    uintmax_t diagnosticFileSize() const
    {
        uintmax_t total = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_data))
            if (entry.is_regular_file() && entry.path().extension() == ".log")
                total += entry.file_size();
        return total;
    }
    void removeDiagnosticFiles() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(m_data))
            if (entry.is_regular_file() && entry.path().extension() == ".log")
                std::filesystem::remove(entry.path());
    }

private:
    platform::PortMap portMap() const { return platform::PortMap(m_data, m_data + "/none", m_data + "/none"); }

    bool linkPort(const std::string& path)
    {
        const std::string link = m_data + "/ports/COM" + std::to_string(PORT);
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
        std::filesystem::create_symlink(path, link, ignored);
        return !ignored;
    }

    Figures upgrade(const Firmware& fw, unsigned baud, const std::string& path)
    {
        Figures f;
        if (!linkPort(path))
            return f;
        TimingOwner owner(*m_counters);
        bool ok = false;
        KWOCFwUpgraderRS485 engine(&ok, &owner, portMap());
        if (!ok)
            return f;
        engine.m_File = fw.description;
        const int32_t route[] = {TARGET};
        const int32_t noInterface = 0;
        if (engine.startUpgrade(PORT, int(baud), route, 1, &noInterface, 0, &fw.file))
            m_loop.runUntil([&] { return owner.ended(); }, 600s);
        engine.closeConnection();
        if (!owner.start.seen || !owner.end.seen) {
            std::fprintf(stderr, "%s: the run did not reach the end of the verification (final event %d)\n", NAME,
                         owner.finalCode);
            return f;
        }
        f.wall = std::chrono::duration<double>(owner.end.wall - owner.start.wall).count();
        f.cpu = owner.end.cpu - owner.start.cpu;
        f.bytes = owner.end.bytes - owner.start.bytes;
        f.bound = double(f.bytes) * BITS_PER_BYTE / double(baud);
        f.ok = owner.finalCode == EVENT_FINISHED;
        f.turnarounds = owner.turnarounds;
        f.turnaroundMean = owner.turnarounds ? double(owner.turnaroundNs) / double(owner.turnarounds) / 1e6 : 0;
        f.buckets = owner.buckets;
        if (!f.ok)
            std::fprintf(stderr, "%s: the run ended with event %d after the verification\n", NAME, owner.finalCode);
        return f;
    }

    std::string m_data;
    platform::MainLoop m_loop;
    LineCounters* m_counters = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    unsigned onlyBaud = 0;
    int onlyDiag = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc)
            onlyBaud = unsigned(std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--diag") == 0 && i + 1 < argc)
            onlyDiag = std::strcmp(argv[++i], "on") == 0;
        else {
            std::fprintf(stderr, "usage: %s [--quick] [--baud N] [--diag on|off]\n", NAME);
            return 2;
        }
    }
    char dirTemplate[] = "/tmp/rs485-bench-upload-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string data = dirTemplate;
    // The diagnostic file's lock is shared by every process of the user: a
    // lock of its own keeps other programs' logging out of the figures.
    setenv("XDG_RUNTIME_DIR", data.c_str(), 1);
    std::filesystem::create_directories(data + "/ports");
    std::filesystem::create_directories(data + "/none");

    std::vector<size_t> sizes = {64 * 1024};
    if (!quick)
        sizes.push_back(256 * 1024);
    // 2000000: the top speed of common RS485 transceivers.
    std::vector<unsigned> bauds = {115200, 921600, 2000000};
    if (onlyBaud)
        bauds = {onlyBaud};

    std::printf("%s: upload + verification of a single image, simulated device paced at the baud rate,\n"
                "no turnaround; bound = every request and answer byte at %d bits a byte\n\n",
                NAME, BITS_PER_BYTE);
    std::printf("%-8s %-7s %-5s %9s %9s %6s %9s %6s %10s\n", "image", "baud", "diag", "wall s", "bound s", "eff",
                "cpu s", "cpu %", "wire bytes");
    double wallOn115200 = 0, boundOn115200 = 0;
    int failures = 0;
    {
        Bench bench(data);
        for (size_t size : sizes) {
            Firmware fw;
            if (!makeFirmware(size, fw)) {
                std::fprintf(stderr, "%s: no firmware file of a %zu-byte image\n", NAME, size);
                return 1;
            }
            for (unsigned baud : bauds) {
                for (bool diagnosticFile : {true, false}) {
                    if (onlyDiag >= 0 && diagnosticFile != bool(onlyDiag))
                        continue;
                    bench.removeDiagnosticFiles();
                    const Figures f = bench.run(fw, baud, diagnosticFile);
                    failures += !f.ok;
                    if (f.wall <= 0) {
                        std::printf("%-8s %-7u %-5s run failed\n", (std::to_string(size / 1024) + " KiB").c_str(),
                                    baud, diagnosticFile ? "on" : "off");
                        continue;
                    }
                    std::printf("%-8s %-7u %-5s %9.3f %9.3f %6.3f %9.3f %6.1f %10llu\n",
                                (std::to_string(size / 1024) + " KiB").c_str(), baud, diagnosticFile ? "on" : "off",
                                f.wall, f.bound, f.bound / f.wall, f.cpu, 100.0 * f.cpu / f.wall,
                                static_cast<unsigned long long>(f.bytes));
                    std::printf("%-8s tool turnaround over %llu exchanges: mean %.2f ms, 50 %% under %.1f ms, 90 %% under "
                                "%.1f ms\n",
                                "", static_cast<unsigned long long>(f.turnarounds), f.turnaroundMean,
                                turnaroundPercentile(f, 0.5), turnaroundPercentile(f, 0.9));
                    std::printf("%-8s turnarounds by 0.5 ms:", "");
                    for (uint64_t count : f.buckets)
                        std::printf(" %llu", static_cast<unsigned long long>(count));
                    std::printf("\n");
                    if (diagnosticFile)
                        std::printf("%-8s diagnostic file: %.1f MiB\n", "", double(bench.diagnosticFileSize()) / 1048576);
                    std::fflush(stdout);
                    if (baud == 115200 && diagnosticFile) {
                        wallOn115200 += f.wall;
                        boundOn115200 += f.bound;
                    }
                }
            }
        }
        configureLog(0, 0, false, false, NAME);
        for (unsigned baud : bauds) {
            const double idle = bench.idlePortCpu(baud, 3.0);
            std::printf("\nCPU of an open idle port at %u baud (read period 2 ms): %.2f ms per second (%.2f %% of a "
                        "core)",
                        baud, idle * 1000.0, idle * 100.0);
        }
        std::printf("\n\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(data, ignored);
    if (failures)
        std::printf("%d run(s) did not finish with EVENT_FINISHED\n", failures);
    if (wallOn115200 > 0)
        std::printf("efficiency %.2f at 115200 baud, diagnostic file on\n", boundOn115200 / wallOn115200);
    else
        std::printf("efficiency at 115200 baud, diagnostic file on: not measured in this run\n");
    return failures ? 1 : 0;
}

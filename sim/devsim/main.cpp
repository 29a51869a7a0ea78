// rs485-devsim: serves simulated bus devices on a pseudo-terminal.
#include "sim/DevsimOptions.h"
#include "sim/SimulatedBus.h"
#include "platform/StandardDescriptors.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string defaultDataDirectory()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/Veltra_Data";
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path().string();
}

// <data directory>/ports/<name> pointing at the pty while the simulator runs.
class PortLink {
public:
    PortLink() = default;
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;
    ~PortLink() { remove(); }

    bool create(const fs::path& dataDir, const std::string& name, const std::string& target, std::string& error)
    {
        std::error_code ec;
        const fs::path dir = dataDir / "ports";
        fs::create_directories(dir, ec);
        if (ec) {
            error = "cannot create " + dir.string() + ": " + ec.message();
            return false;
        }
        const fs::path link = dir / name;
        const auto status = fs::symlink_status(link, ec);
        if (fs::exists(status)) {
            // A link left behind by a simulator that was killed is replaced;
            // anything else belongs to the user.
            if (!fs::is_symlink(status)) {
                error = link.string() + " exists and is not a link";
                return false;
            }
            fs::remove(link, ec);
        }
        fs::create_symlink(target, link, ec);
        if (ec) {
            error = "cannot create link " + link.string() + ": " + ec.message();
            return false;
        }
        m_link = link;
        m_target = target;
        return true;
    }

    void remove()
    {
        if (m_link.empty())
            return;
        std::error_code ec;
        // Only our own link: another simulator may have taken the name since.
        if (fs::read_symlink(m_link, ec) == m_target)
            fs::remove(m_link, ec);
        m_link.clear();
    }

    const fs::path& path() const { return m_link; }

private:
    fs::path m_link;
    std::string m_target;
};

std::string hex(std::span<const uint8_t> bytes)
{
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    if (!platform::secureStandardDescriptors())
        return 1;
    std::string error;
    const auto options = sim::parseDevsimOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::cerr << "rs485-devsim: " << error << "\n";
        return 2;
    }
    if (options->help) {
        std::cout << sim::devsimHelp();
        return 0;
    }

    // Signals are taken by sigwait below; the bus thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1); // the line closed by a fault
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::mutex output; // outlives the bus, whose thread prints the trace
    sim::SimulatedBus bus(options->bus);
    if (!sim::buildBus(*options, bus, error)) {
        std::cerr << "rs485-devsim: " << error << "\n";
        return 2;
    }
    bus.onLineClosed([] { ::kill(::getpid(), SIGUSR1); });
    if (options->trace) {
        bus.setTrace([&output](sim::TraceDirection direction, std::span<const uint8_t> frame) {
            std::lock_guard lock(output);
            std::printf("%s %s\n", direction == sim::TraceDirection::FromLine ? "->" : "<-", hex(frame).c_str());
            std::fflush(stdout);
        });
    }
    // Trace lines wait until the "pty:" line is out, which must come first.
    // Taken after setTrace, which takes the bus lock: one lock order only.
    std::unique_lock header(output);
    if (!bus.start()) {
        std::cerr << "rs485-devsim: cannot open a pseudo-terminal: " << bus.lastError() << "\n";
        return 1;
    }

    PortLink link;
    if (!options->link.empty()) {
        const std::string dataDir = options->dataDir.empty() ? defaultDataDirectory() : options->dataDir;
        if (!link.create(dataDir, options->link, bus.slavePath(), error)) {
            std::cerr << "rs485-devsim: " << error << "\n";
            return 1;
        }
    }

    std::printf("pty: %s\n", bus.slavePath().c_str());
    if (!link.path().empty())
        std::printf("link: %s\n", link.path().c_str());
    std::fflush(stdout);
    header.unlock();

    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    bus.stop();
    link.remove();
    if (signal == SIGUSR1) {
        std::printf("line closed\n");
        std::fflush(stdout);
    }
    return 0;
}

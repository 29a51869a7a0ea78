#pragma once
#include "sim/Faults.h"
#include "sim/FrameParser.h"
#include "sim/Firmware.h"
#include "sim/Version.h"

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

enum class RunningCode { Little, Big };

struct DeviceConfig {
    uint8_t address = 0;
    Version type;                        // reported in REG_DEVICE_TYPE
    Version bigVersion{1, 0};            // version of the big code in flash
    Version littleVersion{1, 0};         // without LITTLE_CODE_BIT; the device adds it
    std::optional<Version> hardware;     // none: the version is reported in the b3 = 0 form
    RunningCode running = RunningCode::Big;
    bool bigCodeValid = true;            // false: no startable big code, the device stays little
    int busyPolls = 0;                   // status reads that answer busy after each block write
    // After CMD_FLASH_FIRST_OF_TWO, start the big code again (when it is valid)
    // instead of staying in the new little code.
    bool bigAfterLittleFlash = false;
};

// What happened on the line besides answers, handed back to the bus.
struct LineEffects {
    bool closeLine = false;
};

// A device on the bus, modelled from its own side: it takes in whole frames,
// executes what they ask and answers when they read something.
class Device {
public:
    static constexpr std::size_t FLASH_SIZE = 1 << 20;
    static constexpr std::size_t LITTLE_AREA = 0x20000;  // little code from flash offset 0
    static constexpr std::size_t BIG_AREA_START = LITTLE_AREA;

    explicit Device(const DeviceConfig& config);

    uint8_t address() const { return m_address; }
    const DeviceConfig& config() const { return m_config; }

    // A well-formed frame addressed to anyone (the line's or an interface's);
    // the answer when it is addressed to this device and asks for one.
    std::optional<Bytes> receive(std::span<const uint8_t> frame, Clock::time_point now,
                                 Clock::duration restartTime, LineEffects& effects);

    // Routing: frames for interface 0xC0 + iface go to these devices.
    void attach(uint8_t iface, Device* child);
    const std::map<uint8_t, std::vector<Device*>>& interfaces() const { return m_interfaces; }

    void addFault(const Fault& fault) { m_faults.push_back(ArmedFault{fault, fault.times}); }
    void clearFaults() { m_faults.clear(); }
    void setBusyPolls(int polls) { m_config.busyPolls = polls; }

    // State as seen from outside (tests, traces). `now` settles a finished restart.
    RunningCode running(Clock::time_point now);
    bool restarting(Clock::time_point now);
    Version bigVersion() const { return m_bigVersion; }
    Version littleVersion() const { return m_littleVersion; }
    bool bigCodeValid() const { return m_bigValid; }
    // The version the device reports now (little code: LITTLE_CODE_BIT set).
    Version reportedVersion() const;
    uint32_t requestCount() const { return m_requests; }
    uint32_t restartCount() const { return m_restarts; }
    const std::vector<uint8_t>& flash() const { return m_flash; }
    const std::vector<uint8_t>& uploadArea() const { return m_upload; }
    std::size_t uploadedBytes() const { return m_uploadEnd; }
    const ImageInfo& lastFlashedImage() const { return m_lastImage; }

private:
    struct ArmedFault {
        Fault fault;
        int remaining; // 0 = unlimited
    };
    // Where in the current request a fault may strike.
    struct Site {
        uint32_t request = 0;
        std::optional<uint32_t> writeBlock;
        std::optional<uint32_t> readBlock;
        bool restart = false;
    };
    struct Request {
        Site site;
        LineEffects* effects = nullptr;
        Clock::time_point now;
        Clock::duration restartTime{};
        bool restartPending = false;
        RunningCode restartInto = RunningCode::Little;
    };

    std::optional<Bytes> route(std::span<const uint8_t> frame, std::span<const uint8_t> payload,
                               Request& request);
    Bytes runRecords(std::span<const uint8_t> payload, Request& request);
    Bytes readRegister(uint8_t reg, std::size_t size, bool& known);
    void writeRegister(uint8_t reg, std::span<const uint8_t> data, Request& request);
    void execute(Request& request);
    void flashUpload(uint32_t length, bool firstOfTwo, Request& request);
    Bytes answerFrame(std::span<const uint8_t> request, std::span<const uint8_t> records) const;
    bool applyAnswerFaults(Bytes& answer, const Site& site); // false: answer lost
    bool takeFault(FaultKind kind, const Site& site, int* param = nullptr);
    void beginRestart(Request& request);
    void settle(Clock::time_point now);
    void boot();

    const uint8_t m_address;
    DeviceConfig m_config;
    std::map<uint8_t, std::vector<Device*>> m_interfaces;
    std::vector<ArmedFault> m_faults;

    Version m_bigVersion;
    Version m_littleVersion;
    bool m_bigValid;
    RunningCode m_running;
    RunningCode m_bootInto = RunningCode::Big;
    std::optional<Clock::time_point> m_restartEnd; // set while restarting; max = never
    uint32_t m_requests = 0;
    uint32_t m_restarts = 0;

    std::array<std::array<uint8_t, 16>, 4> m_data{};
    std::array<uint8_t, 6> m_pointer{};
    bool m_pointerValid = false;
    uint8_t m_status = 0;
    int m_busyLeft = 0;
    bool m_busyForever = false;

    std::vector<uint8_t> m_flash;
    std::vector<uint8_t> m_upload;
    std::size_t m_uploadEnd = 0; // one past the highest byte written
    ImageInfo m_lastImage;
};

} // namespace sim

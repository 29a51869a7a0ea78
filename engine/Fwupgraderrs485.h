#pragma once
// KWOCFwUpgraderRS485: upgrades the firmware of one device on the RS485 bus.
// One class, several sources by concern: Connection.cpp (object, connection,
// events), Frames.cpp (requests and answers), StateMachine.cpp,
// VersionRules.cpp, Transfer.cpp (mode entry, upload, verification,
// flashing) and LoadImages.cpp (upload images).
//
// Use from the window or the command line, on the UI thread:
//   KWOCFwUpgraderRS485 engine(&ok, &owner);       // a UiBridge must be installed
//   engine.enableDowngradeConfirmation();           // optional
//   openBinFile(path, file, engine.m_File, labels); // or setFileDescription()
//   engine.startUpgrade(port, baud, addresses, n, interfaces, n - 1, &file);
//   ... on EVENT_FINISHED, EVENT_FAILED or EVENT_CHECK_DONE:
//   engine.closeConnection();
#include "comm/RSComManager.h"
#include "engine/BinFile.h"
#include "engine/FirmwareImages.h"
#include "platform/PortMap.h"
#include "platform/UiBridge.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

// Event codes of the owner's callback.
constexpr int EVENT_MESSAGE = 0;
constexpr int EVENT_PROGRESS = 1;
constexpr int EVENT_FINISHED = 2;
constexpr int EVENT_FAILED = 3;
constexpr int EVENT_CHECK_DONE = 4;
constexpr int EVENT_DEVICE_TYPE = 5;
constexpr int EVENT_DEVICE_VERSION = 6;
// The text of an event that carries none.
constexpr const char* EVENT_NO_TEXT = "0";

// States of the upgrade state machine (1 is not used).
constexpr int32_t STATE_START = 0;
constexpr int32_t STATE_CHECK_DEVICE = 2;
constexpr int32_t STATE_WAIT_UPGRADE_MODE = 3;
constexpr int32_t STATE_READ_UPGRADE_MODE = 4;
constexpr int32_t STATE_CHECK_UPGRADE_MODE = 5;
constexpr int32_t STATE_UPLOADING = 6;
constexpr int32_t STATE_VERIFYING = 7;
constexpr int32_t STATE_WAIT_FLASHING = 8;
constexpr int32_t STATE_READ_NEW_VERSION = 9;
constexpr int32_t STATE_CHECK_NEW_VERSION = 10;
constexpr int32_t STATE_UPLOADING_2 = 11;
constexpr int32_t STATE_VERIFYING_2 = 12;
constexpr int32_t STATE_WAIT_FLASHING_2 = 13;
constexpr int32_t STATE_READ_NEW_VERSION_2 = 14;
constexpr int32_t STATE_CHECK_NEW_VERSION_2 = 15;
constexpr int32_t STATE_IDLE = 16;

// A device restarts within this time; also the limit of a block's busy polling.
constexpr int32_t WAIT_TIME = 25000;
// Interval of the state timer and step of the countdown.
constexpr int32_t TIMER_STEP = 500;

// Wire constants of the device frames.
constexpr uint8_t MASTER_ADDRESS = 0x10;
constexpr uint8_t FUNC_READ = 0x00;          // + size
constexpr uint8_t FUNC_READ_ANSWER = 0x20;   // + size
constexpr uint8_t FUNC_WRITE = 0x40;         // + size
constexpr uint8_t FUNC_TYPE_MASK = 0xE0;
constexpr uint8_t FUNC_ROUTE = 0xC0;         // + interface 0..15
constexpr uint8_t FUNC_ROUTE_ANSWER = 0xD0;  // 0xD0..0xDF
constexpr uint8_t ROUTE_MARKER = 0xFF;
constexpr uint8_t END_OF_FRAME = 0xE3;
constexpr uint8_t FRAME_ERROR = 0xE4;
constexpr uint8_t REG_DEVICE_TYPE = 0x00;
constexpr uint8_t REG_FIRMWARE_VERSION = 0x01;
constexpr uint8_t REG_DATA_0 = 0x18;         // 0x18..0x1B, 16 bytes each
constexpr uint8_t REG_DATA_3 = 0x1B;
constexpr uint8_t REG_FLASH_POINTER = 0x1C;  // written: command word; read: status
constexpr uint8_t REG_FLASH_EXECUTE = 0x1D;
constexpr uint8_t FLASH_MARKER[2] = {0x55, 0xAA};
constexpr uint32_t CMD_READ_BLOCK = 0x01;
constexpr uint32_t CMD_WRITE_BLOCK = 0x02;
constexpr uint32_t CMD_FLASH = 0x06;
constexpr uint32_t CMD_ENTER_LITTLE_MODE = 0x16;
constexpr uint32_t CMD_FLASH_FIRST_OF_TWO = 0x26;
constexpr uint8_t STATUS_MASK = 0x0F;
constexpr uint8_t STATUS_DONE = 0;
constexpr uint8_t STATUS_BUSY = 14;
constexpr uint8_t STATUS_POINTER_ERROR = 15;
constexpr int32_t DATA_SLICE_SIZE = 16;
constexpr int32_t FLASH_STATUS_SIZE = 6;

// Route limits: the arrays hold 20 addresses; one-byte length fields of the
// largest request (a block write) fit up to 5 hops.
constexpr int MAX_ROUTE_ADDRESSES = 20;
constexpr int MAX_ROUTE_HOPS = 5;

// The owner of an engine (the window, the command line): where events go and
// where the engine reads whether this run only checks the device.
class KWOIUpgraderOwner {
public:
    virtual ~KWOIUpgraderOwner() = default;
    // code 0..6, text "0" when the code carries none; direct is true exactly
    // when the call runs on the UI thread. A call that is not direct returns
    // once the owner has handled the event.
    virtual void fwUpgraderEvent(int code, int value, const std::string& text, bool direct) = 0;
    // Read on any thread during a run.
    virtual bool isCheckDeviceOnly() const = 0;
};

class KWOCFwUpgraderRS485 {
public:
    // ok is false when no owner was given or no UiBridge is installed; the
    // object must then not be used. portMap: what COM n means.
    KWOCFwUpgraderRS485(bool* ok, KWOIUpgraderOwner* owner, platform::PortMap portMap = platform::PortMap());
    ~KWOCFwUpgraderRS485();
    KWOCFwUpgraderRS485(const KWOCFwUpgraderRS485&) = delete;
    KWOCFwUpgraderRS485& operator=(const KWOCFwUpgraderRS485&) = delete;

    // UI thread. addresses[0] is on the line, the last one is the target;
    // interfaces[k] is the interface of addresses[k] that leads to
    // addresses[k + 1]. file: the loaded file (null or empty: none); its
    // description must be in m_File. The file must stay alive and unchanged
    // until the run's final event. True when the state machine was started.
    bool startUpgrade(int port, int baudRate, const int32_t* addresses, int nDeviceAddSize, const int32_t* interfaces,
                      int nDeviceInterfaceSize, const KWOSBinFile* file);
    bool connectToDevice();
    void disconnectFromDevice();
    // After a final event: closes the port and deletes the command manager.
    bool closeConnection();
    bool enableDowngradeConfirmation();
    void setFileDescription(const KWOSBinFileDescription& description) { m_File = description; }
    // The wait for a device restart (mode entry, flashing); WAIT_TIME unless
    // the command line says otherwise. Not during a run.
    void setRestartWait(int32_t ms);
    int32_t restartWait() const { return m_nRestartWait; }
    void displayVersion(bool direct);
    void onStateTimer();

    // Frames (Frames.cpp).
    bool sendData(const uint8_t* frame, int length, int expectedAnswerLength);
    // The command manager's callback; engine is the KWOCFwUpgraderRS485.
    static void receiveData(void* engine, KWOCRSCommand* command);
    bool analyseData(const uint8_t* payload, int length);

    // State machine (StateMachine.cpp).
    void stateManagement(bool direct);

    // Version rules (VersionRules.cpp).
    bool getVersionType();
    int testVersionAndType(bool direct);
    bool testUpgradedVersion(bool direct);

    // Mode entry, upload, verification, flashing (Transfer.cpp, LoadImages.cpp).
    bool putDeviceInLittleMode(bool direct);
    bool startSendBinFile(bool direct);
    bool startVerifyBinFile(bool direct);
    bool startDeviceFlashing(bool direct, int which);
    bool startSecondImage(bool direct);
    bool startLoadBinFile(bool direct);

    // Pure helpers, public for the tests.
    // The request frame for the route: one routing header per hop, the
    // target's header, the payload, then per level (innermost first) 0xE3
    // and that level's checksum.
    static std::vector<uint8_t> buildFrame(std::span<const int32_t> addresses, std::span<const int32_t> interfaces,
                                           std::span<const uint8_t> payload);
    // Checks of an answer after its size (length field, matched response,
    // addresses, end byte, checksum) and the routing unwrap. Null when the
    // answer is good, with the payload's place; else the failure text.
    // Nothing outside answer[0, length) is read.
    static const char* answerFailure(const uint8_t* answer, uint32_t length, int32_t matchedResponse,
                                     uint8_t firstAddress, uint32_t& payloadPosition, uint32_t& payloadLength);
    // A length field at `position` (bit 7: another byte follows; the first
    // byte holds the lowest 7 bits). False when it runs to or past `limit`.
    static bool readLengthField(const uint8_t* bytes, uint32_t limit, uint32_t position, uint64_t& value,
                                uint32_t& next);
    static std::string versionDisplayText(int32_t firmwareVersion, int32_t hardwareVersion);
    // "M.m"; empty when the device reports no hardware version.
    static std::string hardwareVersionText(int32_t hardwareVersion);
    static std::string deviceTypeText(int32_t deviceType);
    // Progress after `blocksDone` blocks of an image of `imageSize` bytes.
    static int progressValue(int32_t blocksDone, int32_t imageSize);
    // The command word of the flash request for image `which` (1 or 2) of a
    // file of this format and size whose little image (sectioned files only)
    // has littleImageSize bytes.
    static uint32_t flashCommandWord(int32_t format, uint64_t fileSize, int32_t littleImageSize, int which);
    // The same for image `which` of this run.
    uint32_t flashCommandWord(int which) const;

    // Fields, in the order of the object's layout.
    std::unique_ptr<KWOCRSComManager> m_pComManager;
    std::atomic<bool> m_bConnected{false};
    int32_t m_nComPort = 1;
    int32_t m_nBaudRate = 115200;
    int32_t m_nResponseTimeout = 5000;
    std::atomic<bool> m_bIgnoreShortAnswer{false};
    int32_t m_nLastCommandNumber = -2; // guarded by m_EngineLock
    bool m_bConfirmDowngrade = false;
    std::unique_ptr<platform::UiTimer> m_pStateTimer;
    const KWOSBinFile* m_pBinFile = nullptr;
    // The current image: one of m_pLittleImage, m_pBigImage, m_SingleImage,
    // never a buffer of its own, so no buffer is released twice.
    KWOImage* m_pFatBuffer = nullptr;
    int32_t m_nFatBufferSize = 0;
    KWOImage m_pLittleImage;
    KWOImage m_pBigImage;
    // Kept when the little image is released: both flash words need it.
    int32_t m_nLittleImageSize = 0;
    int32_t m_nBigImageSize = 0;
    uint16_t m_nStructureId = 0;
    uint16_t m_nBlStructureId = 0;
    uint8_t m_nProcessor = 0;
    int32_t m_nPageSize = PAGE_SIZE;
    std::atomic<bool> m_bUploadComplete{false};
    int32_t m_nLittleCodeStart = LITTLE_CODE_START;
    int32_t m_nEndSearchLimit = 0;
    std::array<uint8_t, 16> m_EndMarker{};
    std::array<int32_t, MAX_ROUTE_ADDRESSES> m_nDeviceAdd{};
    int32_t m_nDeviceAddSize = 0;
    std::array<int32_t, MAX_ROUTE_ADDRESSES - 1> m_nDeviceInterface{};
    int32_t m_nDeviceInterfaceSize = 0;
    KWOIUpgraderOwner* m_EventCallback = nullptr;
    std::vector<uint8_t> m_pAnswerBuffer;
    int32_t m_nAnswerBufferSize = 0;
    int32_t m_nBlockIndex = 0;
    int32_t m_nCountdown = 0;
    std::atomic<int32_t> m_nState{STATE_IDLE};
    int32_t m_nRunningCode = 0;
    int32_t m_nDeviceType = 0;
    int32_t m_nFirmwareVersion = 0;
    int32_t m_nHardwareVersion = -1;
    // The file description (device types, versions, hardware limits,
    // signature offsets, m_nFileFormat) as openBinFile decoded it.
    KWOSBinFileDescription m_File;
    std::array<std::string, 4> m_FileSignatures;
    std::string m_MakerName;

    // Beyond the original layout.
    KWOImage m_SingleImage;             // the image of a one-image file
    int32_t m_nRestartWait = WAIT_TIME; // countdown of the waiting states
    platform::PortMap m_PortMap;
    // Guards m_nLastCommandNumber and the registers the awaited answer must carry.
    std::mutex m_EngineLock;
    std::array<uint8_t, 4> m_ExpectedRegisters{};
    int m_nExpectedRegisterCount = 0;
    // The registers of the answer being analysed (callback thread only).
    std::array<uint8_t, 4> m_AnswerRegisters{};
    int m_nAnswerRegisterCount = 0;
    // Set once the run's final event went out: nothing is raised after it.
    std::atomic<bool> m_bRunEnded{true};
    // Busy polling of one block: started at its first busy status; the timer
    // marks the limit as reached.
    std::unique_ptr<platform::UiTimer> m_pBusyTimer;
    bool m_bBusyPolling = false;
    std::atomic<bool> m_bBusyExpired{false};

private:
    void handleAnswer(KWOCRSCommand* command);
    void raiseEvent(int code, int value, const std::string& text, bool direct);
    void message(const std::string& text, bool direct);
    void progress(int value, bool direct);
    // The run's final event, raised at most once per run.
    void finishRun(int code, bool direct);
    // Reports reportText, sets STATE_IDLE, then shows text and EVENT_FAILED.
    void failRun(const std::string& text, const std::string& reportText, bool direct);
    // State machine failure patterns.
    void failStep(const std::string& text, bool direct);
    void failVersion(const std::string& text, bool direct);
    void announceDevice(bool direct);
    void checkDone(bool direct);
    void startWait(int32_t state);
    void countdown(int32_t next, bool direct);
    void uploadFirstImage(bool direct);
    // Builds the frame of the payload for the route and sends it; the answer
    // must carry exactly `registers`, in any order.
    bool sendRequest(const std::vector<uint8_t>& payload, std::initializer_list<uint8_t> registers,
                     int expectedAnswerLength);
    int expectedAnswerLength(int recordBytes) const;
    bool sendWriteBlock();
    bool sendStatusPoll();
    bool sendReadBlock();
    bool analyseVersionRegister(const uint8_t* data);
    // False (reported) when the slice differs from the image.
    bool analyseDataSlice(int slice, const uint8_t* data);
    // After all four slices of the block matched: the next read, or the end
    // of the image. False (reported) when the next read cannot be sent.
    bool blockVerified();
    int analyseFlashStatus(uint8_t status);
    void stopBusyPolling();
    void releaseCurrentImage();
    bool lineClosed(const char* text, const char* function, bool direct);
    bool acceptDowngrade();
    std::string refusal(const std::string& text, bool direct);
};

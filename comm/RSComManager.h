#pragma once
// KWOCRSComManager: the only way the engine talks to a device. It owns one
// port worker (KWOCComT) while a port is open, a ring of command slots, a
// mutex, five events and a thread that writes the queued commands one at a
// time. Every command that expects an answer is handed back exactly once
// through the callback: answer complete, time-out, or never written.
#include "comm/ComT.h"
#include "comm/RSComObjects.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/PortMap.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// The command is a copy made for the call and destroyed when it returns.
using CommandCallback = void (*)(void* owner, KWOCRSCommand* command);

// addCommand results besides a command number.
constexpr int32_t ADD_COMMAND_FULL = -1;
constexpr int32_t ADD_COMMAND_INVALID = -2;
constexpr int32_t ADD_COMMAND_NO_RING = -3;

class KWOCRSComManager : public platform::Thread {
public:
    KWOCRSComManager(uint32_t fifoSize, uint32_t commandCapacity, uint32_t maxResponseLength, void* owner,
                     CommandCallback callback, int32_t timeoutMs, bool* pisError, bool synchronize,
                     platform::PortMap portMap = platform::PortMap());
    ~KWOCRSComManager() override;

    bool openCom(int32_t port, int32_t baud, int32_t readLoopMs, int32_t stopBits);
    // True once the port is closed; false only when the lock could not be
    // had within 5000 ms (reported), the port then stays open.
    bool closeCom();
    // The command's number (0 or more), ADD_COMMAND_FULL, ADD_COMMAND_INVALID
    // or ADD_COMMAND_NO_RING. The command is copied; it receives the number.
    int32_t addCommand(KWOCRSCommand* command);
    // The worker's receive callback.
    void readDataFromDevice();

    std::unique_ptr<KWOCComT> m_RSCom;
    bool m_bWaitingResponse = false;
    bool m_bAppend = false;
    int32_t m_TimeoutMs = 0;
    bool m_bSynchronizeCom = false;
    uint32_t m_CommandCounter = 0;
    uint32_t m_WriteIndex = 0;
    uint32_t m_ReadIndex = 0;
    std::vector<std::unique_ptr<KWOCRSCommand>> m_CommandsBuffer; // empty if construction failed
    uint32_t m_CommandsBufferSize = 0;
    uint32_t m_SlotCommandCapacity = 0;
    uint32_t m_SlotMaxResponseLength = 0;
    void* m_pOwner = nullptr;
    CommandCallback m_pCallback = nullptr;
    std::unique_ptr<platform::Event> m_hNewCommandEvent;
    std::unique_ptr<platform::Event> m_hFullResponseReceivedEvent;
    std::unique_ptr<platform::Event> m_hGoSendingCommandsEvent;
    std::unique_ptr<platform::Event> m_hSendReceivedCompletedEvent;
    std::unique_ptr<platform::Event> m_hCBReturnedEvent;
    std::unique_ptr<platform::Mutex> m_hMutex;

protected:
    void execute() override;

private:
    static constexpr uint32_t LOCK_WAIT_MS = 5000;
    static constexpr uint32_t COMMAND_COUNTER_LAST = 0x40000000;
    static constexpr int WRITE_RETRY_MS = 10;

    bool lock(const char* function, int line);
    // For the manager thread: waits until the lock is had, every failed wait
    // reported; false only when the thread is to end.
    bool lockUntilTerminated(const char* function, int line);
    void unlock(const char* function, int line, const char* failureText = "Error in releasing mutex");
    void waitForCallback(const char* function);
    bool setEvent(platform::Event* event, const char* function, int line, const char* failureText);
    bool resetEvent(platform::Event* event, const char* function, int line, const char* failureText);
    bool ringFull() const;

    platform::PortMap m_PortMap;
    // True from the moment readDataFromDevice hands a completed command back
    // until its callback returned: the manager thread waits for that callback
    // even when m_hCBReturnedEvent still holds a signal that closeCom left.
    std::atomic<bool> m_bCallbackRunning{false};
    // Counts the ring's resets by openCom (guarded by m_hMutex): the manager
    // thread keeps the generation of the command it handles.
    uint32_t m_RingGeneration = 0;
};

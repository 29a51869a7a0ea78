#pragma once
// KWOCComT: one serial port and the worker thread that reads it. The thread
// sleeps on the line and wakes when bytes arrive; while the rest of an answer
// is on the wire it sleeps on a tick instead, which lets it look at the line
// at least once a read period. Each non-empty chunk goes to m_OnReceive. The
// owner writes synchronously with write().
#include "platform/Event.h"
#include "platform/PeriodicTimer.h"
#include "platform/PortMap.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

// m_State values.
constexpr int32_t COM_STATE_CLOSED = 0;
constexpr int32_t COM_STATE_OPENING = 1;
constexpr int32_t COM_STATE_OPEN = 2;
constexpr int32_t COM_STATE_CLOSING = 3;
constexpr int32_t COM_STATE_FAILED = 4;

class KWOCComT : public platform::Thread {
public:
    // portMap: how COM numbers become devices (tests give temporary folders).
    KWOCComT(bool* pisError, bool synchronize, platform::PortMap portMap = platform::PortMap());
    ~KWOCComT() override;

    // Checks and applies the requested settings and lets the thread open the
    // port. True when the port exists and the thread has been told to open it.
    bool comInit();
    // Sends every byte on the caller's thread; true when the port is open and
    // the write succeeded. A line that takes no more output fails the write
    // ("WriteFile error") after timeLimitMs instead of holding the caller.
    static constexpr uint32_t WRITE_TIME_LIMIT_MS = 5000;
    bool write(const uint8_t* bytes, int32_t count, uint32_t timeLimitMs = WRITE_TIME_LIMIT_MS);
    void requestClose();
    void terminate() override;
    // From the owner, before a request goes out: its answer needs at least
    // this many bytes (0: none is awaited). Once an answer has begun to come
    // in, the thread sleeps for the time the rest takes on the wire instead
    // of waking for every few bytes a paced line carries.
    void expectAnswer(uint32_t count);
    // The answer in progress still needs at least this many bytes (0: it is
    // complete or given up).
    void expectBytes(uint32_t count);

    // Size of the read buffers for a baud rate and read period: a quarter of
    // the bytes one period carries, at least 50, computed without overflow.
    static int32_t bufferSizeFor(uint64_t baud, int64_t readLoopMs);
    // The device path COM n stands for, and why it cannot be opened.
    const platform::PortMap& portMap() const { return m_PortMap; }

    std::unique_ptr<platform::Event> m_pHevTimer;
    std::unique_ptr<platform::PeriodicTimer> m_TimerId; // the periodic timer; null for none
    bool m_bSynchronize = false;
    std::atomic<bool> m_bReadOk{true};
    std::atomic<bool> m_bCloseRequest{false};
    std::atomic<bool> m_bOpenRequest{false};
    uint32_t m_Port = 0;
    uint32_t m_Baud = 0; // unsigned here: any uint32 baud rate requested stays positive
    uint32_t m_StopBits = 0;
    std::vector<uint8_t> m_pReadBuffer;
    int32_t m_ReadChunk = 0;
    uint32_t m_BytesRead = 0;
    std::atomic<int32_t> m_State{COM_STATE_CLOSED};
    int32_t m_ReadLoopMs = 10;
    int32_t m_RequestedPort = 1;
    uint32_t m_RequestedBaud = 9600;
    uint32_t m_RequestedStopBits = 1;
    std::atomic<bool> m_bLineOk{true};
    int32_t m_BufferSize = 0;
    std::vector<uint8_t> m_pReceived; // the chunk, then one zero byte
    uint32_t m_ReceivedLength = 0;
    std::function<void()> m_OnReceive; // reads m_pReceived and m_ReceivedLength
    platform::SerialPort m_pHevComm;   // the open port (it saves and restores the line settings)

protected:
    void execute() override;

private:
    static constexpr uint32_t TIMER_WAIT_MS = 10000;
    static constexpr int32_t MIN_BUFFER_SIZE = 50;
    static constexpr int32_t MAX_BUFFER_SIZE = 1 << 20;

    bool startTimer(uint32_t periodMs);
    void wake();
    enum class Step { SleepOnLine, SleepOnTick, Read };
    enum class Woken { ByLine, ByTick, AfterRead };
    int prepareWait();
    Step lookAtLine(Woken woken);
    Step sleepFor(uint32_t target, long waiting);
    void closePort(int line, const char* failureText);
    void releaseBuffers();
    bool openPort();
    void failLine();
    std::string openFailureText(uint32_t port, uint32_t baud, const std::string& reason) const;

    platform::PortMap m_PortMap;
    // Held by the thread around each turn of its loop except its waits:
    // comInit holds the thread with it while it changes the settings and the timer.
    std::mutex m_HoldLock;
    // Shared by read and write, exclusive for opening and closing: no write
    // reaches a closed or reused descriptor.
    std::shared_mutex m_PortLock;

    // While bytes of an awaited answer are coming in, the thread sleeps on
    // its tick alone, the first one when the rest of a chunk can be there: a
    // thread asleep on the line itself would be woken by every byte.
    std::atomic<uint32_t> m_AwaitedBytes{0};
    Step m_NextStep = Step::SleepOnLine;
    long m_LastWaiting = 0; // bytes waiting at the last look
    std::chrono::nanoseconds m_RestOnWire{0};
    std::atomic<uint32_t> m_AnswerNumber{0}; // counts expectAnswer
    std::chrono::steady_clock::time_point m_ChunkDue;
    // The answer whose end did not come in time: the line wakes the thread for the rest.
    uint32_t m_LateAnswer = 0;
    bool m_bAnswerLate = false;
};

#include "comm/ComT.h"

#include "diagnostics/Globalfunctions.h"
#include "platform/UiBridge.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace {

constexpr const char* SOURCE = "ComT";

void report(int line, const char* function, const std::string& text)
{
    writeLog(SOURCE, line, function, LOG_OUTPUTS_BY_LEVEL, LOG_LEVEL_ERROR, 0, text);
}

} // namespace

KWOCComT::KWOCComT(bool* pisError, bool synchronize, platform::PortMap portMap)
    : m_PortMap(std::move(portMap))
{
    static constexpr const char* FUNCTION = "KWOCComT::KWOCComT";
    if (pisError == nullptr) {
        report(__LINE__, FUNCTION, "Invalid pisError pointer");
        return;
    }
    *pisError = false;
    m_bSynchronize = synchronize;
    setPriority(Priority::AboveNormal);
    m_pHevTimer.reset(new (std::nothrow) platform::Event(false, false));
    if (!m_pHevTimer) {
        report(__LINE__, FUNCTION, "Failed to create event m_pHevTimer");
        *pisError = true;
        return;
    }
    if (!startTimer(10)) {
        report(__LINE__, FUNCTION, "timeSetEvent failed for event m_pHevTimer");
        *pisError = true;
    }
}

KWOCComT::~KWOCComT()
{
    static constexpr const char* FUNCTION = "~KWOCComT::KWOCComT";
    // The thread closes the port and releases the buffers on its way out.
    // It may be waiting for a box of its own: from the UI thread the wait
    // serves it.
    if (!finished()) {
        terminate();
        resume();
        platform::waitServingUi(*this, platform::INFINITE);
    }
    m_TimerId.reset(); // stopping a PeriodicTimer cannot fail
    m_pHevTimer.reset();
    std::unique_lock lock(m_PortLock);
    if (!m_pHevComm.close())
        report(__LINE__, FUNCTION, "CloseHandle failed for event m_pHevComm");
}

bool KWOCComT::startTimer(uint32_t periodMs)
{
    m_TimerId.reset();
    if (!m_pHevTimer)
        return false;
    auto timer = std::unique_ptr<platform::PeriodicTimer>(new (std::nothrow) platform::PeriodicTimer(*m_pHevTimer, periodMs));
    if (!timer || !timer->ok())
        return false;
    m_TimerId = std::move(timer);
    return true;
}

int32_t KWOCComT::bufferSizeFor(uint64_t baud, int64_t readLoopMs)
{
    // A quarter of what one period carries: the read takes half of it, and
    // reads come every period. 64-bit: 4e9 baud times 2^31 ms still fits.
    const uint64_t ms = readLoopMs > 0 ? static_cast<uint64_t>(readLoopMs) : 0;
    const uint64_t size = std::min<uint64_t>(baud, UINT32_MAX) * std::min<uint64_t>(ms, INT32_MAX) / 4000;
    return static_cast<int32_t>(std::clamp<uint64_t>(size, MIN_BUFFER_SIZE, MAX_BUFFER_SIZE));
}

std::string KWOCComT::openFailureText(uint32_t port, uint32_t baud, const std::string& reason) const
{
    std::string text = "Could not open, COM " + std::to_string(port) + " @ baud " + std::to_string(baud);
    if (!reason.empty())
        text += " - " + reason;
    return text;
}

bool KWOCComT::comInit()
{
    static constexpr const char* FUNCTION = "KWOCComT::comInit";
    if (m_RequestedStopBits != 1 && m_RequestedStopBits != 2) {
        report(__LINE__, FUNCTION, "Stop bits value illegal " + std::to_string(m_RequestedStopBits));
        return false;
    }
    if (m_RequestedPort < 1 || m_RequestedPort > 255) {
        report(__LINE__, FUNCTION, "Com Port illegal " + std::to_string(m_RequestedPort));
        return false;
    }
    if (!m_pHevTimer) {
        report(__LINE__, FUNCTION, "Failed to create event m_pHevTimer");
        return false;
    }

    // Hold the thread: it must not run its loop while the settings change.
    std::unique_lock hold(m_HoldLock);
    {
        std::shared_lock port(m_PortLock);
        if (m_pHevComm.isOpen()) {
            report(__LINE__, FUNCTION, "Serial communication already in use");
            return false;
        }
    }

    const std::string device = m_PortMap.resolve(m_RequestedPort);
    platform::SerialPort probe;
    if (device.empty() || !probe.open(device)) {
        report(__LINE__, FUNCTION,
               openFailureText(static_cast<uint32_t>(m_RequestedPort), m_RequestedBaud,
                               device.empty() ? "no serial device is known as COM " + std::to_string(m_RequestedPort)
                                              : probe.errorText()));
        return false;
    }
    if (!probe.close())
        report(__LINE__, FUNCTION, "CloseHandle failed for event m_pHevComm");

    if (m_ReadLoopMs < 0)
        m_ReadLoopMs = 0;
    m_Baud = m_RequestedBaud;
    m_StopBits = m_RequestedStopBits;
    m_Port = static_cast<uint32_t>(m_RequestedPort);
    m_bOpenRequest = true;
    m_bCloseRequest = false;
    m_bLineOk = true;
    m_bReadOk = true;

    if (!startTimer(static_cast<uint32_t>(m_ReadLoopMs))) {
        report(__LINE__, FUNCTION, "timeSetEvent failed for event m_pHevTimer");
        return false;
    }
    hold.unlock();
    resume();
    return true;
}

bool KWOCComT::write(const uint8_t* bytes, int32_t count, uint32_t timeLimitMs)
{
    // Shared with the reader, exclusive against opening and closing.
    std::shared_lock lock(m_PortLock);
    if (!m_pHevComm.isOpen() || m_State != COM_STATE_OPEN || count < 0 || (bytes == nullptr && count > 0))
        return false;
    const int limit = static_cast<int>(std::min<uint32_t>(timeLimitMs, INT32_MAX));
    if (m_pHevComm.writeAll(bytes, static_cast<size_t>(count), nullptr, limit))
        return true;
    failLine();
    report(__LINE__, "KWOCComT::write", "WriteFile error\tKWOCComT::write");
    return false;
}

void KWOCComT::requestClose()
{
    m_State = COM_STATE_CLOSING;
    m_bCloseRequest = true;
    m_bLineOk = true;
    wake();
}

void KWOCComT::terminate()
{
    platform::Thread::terminate();
    wake();
}

// A sleeping thread takes the set as a tick: it looks at its requests at once.
void KWOCComT::wake()
{
    if (m_pHevTimer)
        m_pHevTimer->set();
}

void KWOCComT::failLine()
{
    m_State = COM_STATE_FAILED;
    m_bCloseRequest = true;
    m_bLineOk = false;
    wake();
}

void KWOCComT::expectAnswer(uint32_t count)
{
    ++m_AnswerNumber;
    m_AwaitedBytes = count;
}

void KWOCComT::expectBytes(uint32_t count)
{
    m_AwaitedBytes = count;
}

// On the thread, holding it, before it sleeps: the descriptor to sleep on
// besides the tick, or -1 while the rest of a chunk is on the wire. On the
// line alone no tick is needed: the kernel wakes the thread for any byte and
// for a hang-up, and the requests wake it themselves.
int KWOCComT::prepareWait()
{
    if (m_NextStep == Step::SleepOnTick) {
        // When the rest can be there, and a period after each tick at the
        // latest: the read period bounds the time between two looks.
        const auto period = std::chrono::milliseconds(std::max(m_ReadLoopMs, 1));
        if (m_TimerId)
            m_TimerId->restart(std::min<std::chrono::nanoseconds>(m_RestOnWire, period));
        return -1;
    }
    if (m_TimerId)
        m_TimerId->pause();
    return m_pHevComm.fd(); // opened and closed by this thread alone
}

// What to do next, after the line or the tick woke the thread or after a
// chunk was handed over. An awaited answer is read a chunk at a time, each
// once it can be whole: the thread sleeps while its bytes are on the wire,
// and the owner works on one chunk while the next comes in. Bytes that
// stopped coming short of a chunk (a short answer, an adapter holding the
// rest back) are read as they are; so is the end of an answer that is late,
// and the line then wakes the thread for the rest.
KWOCComT::Step KWOCComT::lookAtLine(Woken woken)
{
    const uint32_t awaited = m_AwaitedBytes;
    long waiting;
    {
        std::shared_lock port(m_PortLock);
        waiting = m_pHevComm.bytesWaiting();
    }
    if (m_bAnswerLate && m_LateAnswer != m_AnswerNumber)
        m_bAnswerLate = false;
    if (waiting < 0) // the driver cannot tell: read whenever woken
        return woken == Woken::AfterRead ? Step::SleepOnLine : Step::Read;
    if (awaited <= 1)
        return waiting > 0 || woken != Woken::AfterRead ? Step::Read : Step::SleepOnLine;
    const uint32_t target = std::min<uint32_t>(awaited, static_cast<uint32_t>(m_ReadChunk));
    if (static_cast<uint32_t>(waiting) >= target)
        return Step::Read;
    if (waiting == 0) {
        if (woken != Woken::AfterRead)
            return Step::Read; // nothing came: a hang-up shows in the read
        // The next chunk is on its way, unless the answer is late.
        return m_bAnswerLate ? Step::SleepOnLine : sleepFor(target, 0);
    }
    if (woken == Woken::ByTick) {
        if (waiting == m_LastWaiting)
            return Step::Read;
        if (target == awaited && std::chrono::steady_clock::now() >= m_ChunkDue) {
            m_bAnswerLate = true;
            m_LateAnswer = m_AnswerNumber;
            return Step::Read;
        }
    }
    return sleepFor(target, waiting);
}

KWOCComT::Step KWOCComT::sleepFor(uint32_t target, long waiting)
{
    m_LastWaiting = waiting;
    const uint64_t bitsPerByte = 1 + 8 + m_StopBits;
    const uint64_t baud = std::max<uint32_t>(m_Baud, 1);
    m_RestOnWire = std::chrono::nanoseconds((target - static_cast<uint64_t>(waiting)) * bitsPerByte * 1000000000ULL / baud);
    m_ChunkDue = std::chrono::steady_clock::now() + m_RestOnWire;
    return Step::SleepOnTick;
}

void KWOCComT::closePort(int line, const char* failureText)
{
    std::unique_lock lock(m_PortLock);
    if (!m_pHevComm.close())
        report(line, "KWOCComT::Execute", failureText);
}

void KWOCComT::releaseBuffers()
{
    m_pReadBuffer = {};
    m_pReceived = {};
    m_ReadChunk = 0;
    m_BufferSize = 0;
}

bool KWOCComT::openPort()
{
    const std::string device = m_PortMap.resolve(static_cast<int>(m_Port));
    std::string reason;
    {
        std::unique_lock lock(m_PortLock);
        if (device.empty())
            reason = "no serial device is known as COM " + std::to_string(m_Port);
        else if (!m_pHevComm.open(device) || !m_pHevComm.configure(m_Baud, m_StopBits)) {
            reason = m_pHevComm.errorText();
            m_pHevComm.close();
        }
    }
    if (reason.empty())
        return true;
    report(__LINE__, "KWOCComT::Execute", openFailureText(m_Port, m_RequestedBaud, reason));
    return false;
}

void KWOCComT::execute()
{
    static constexpr const char* FUNCTION = "KWOCComT::Execute";
    for (;;) {
        int line = -1;
        {
            std::unique_lock hold(m_HoldLock);
            if (terminated()) {
                closePort(__LINE__, "CloseHandle 1 failed for event m_pHevComm");
                releaseBuffers();
                return;
            }
            if (m_bCloseRequest) {
                m_State = COM_STATE_CLOSED;
                m_bCloseRequest = false;
                closePort(__LINE__, "CloseHandle 2 failed for event m_pHevComm");
                releaseBuffers();
                hold.unlock();
                park();
                continue;
            }
            if (m_bOpenRequest) {
                m_State = COM_STATE_OPENING;
                bool wasOpen;
                {
                    std::shared_lock port(m_PortLock);
                    wasOpen = m_pHevComm.isOpen();
                }
                if (wasOpen) {
                    closePort(__LINE__, "CloseHandle 3 failed for event m_pHevComm");
                    // Some adapters need a moment before the device opens again.
                    std::this_thread::sleep_for(std::chrono::milliseconds(250));
                }
                releaseBuffers();
                if (!openPort()) {
                    m_bLineOk = false;
                    m_State = COM_STATE_FAILED;
                    hold.unlock();
                    park();
                    continue;
                }
                m_BufferSize = bufferSizeFor(m_Baud, m_ReadLoopMs);
                m_pReadBuffer.assign(static_cast<size_t>(m_BufferSize), 0);
                m_pReceived.assign(static_cast<size_t>(m_BufferSize), 0);
                m_ReadChunk = m_BufferSize / 2;
                m_NextStep = Step::SleepOnLine;
                m_LastWaiting = 0;
                m_bAnswerLate = false;
                m_State = COM_STATE_OPEN;
                m_bOpenRequest = false;
            }
            if (m_NextStep != Step::Read)
                line = prepareWait();
        }

        if (m_NextStep != Step::Read) {
            const uint32_t waited = m_pHevTimer->waitWith(line, TIMER_WAIT_MS);
            if (waited == platform::WAIT_OBJECT_0 || waited == platform::WAIT_OBJECT_0 + 1) {
                m_NextStep = lookAtLine(line >= 0 ? Woken::ByLine : Woken::ByTick);
            } else if (waited == platform::WAIT_TIMEOUT && line >= 0) {
                continue; // an idle line: nothing came and nobody asked
            } else {
                reportWaitResult(SOURCE, __LINE__, FUNCTION, LOG_OUTPUTS_BY_LEVEL, waited, "HevTimer SenPacket");
                m_NextStep = Step::Read;
            }
            if (m_NextStep != Step::Read)
                continue;
        }
        m_NextStep = Step::SleepOnLine;
        m_LastWaiting = 0;

        long n;
        std::string why;
        {
            std::shared_lock port(m_PortLock);
            n = m_pHevComm.read(m_pReadBuffer.data(), static_cast<size_t>(m_ReadChunk), &why);
        }
        m_bReadOk = n >= 0;
        if (n < 0) {
            failLine();
            report(__LINE__, FUNCTION, "ReadFile error");
            continue;
        }
        m_BytesRead = static_cast<uint32_t>(n);
        if (n == 0 || m_bCloseRequest || m_bOpenRequest)
            continue;

        std::memcpy(m_pReceived.data(), m_pReadBuffer.data(), static_cast<size_t>(n));
        m_ReceivedLength = static_cast<uint32_t>(n);
        m_pReceived[static_cast<size_t>(n)] = 0;
        if (m_OnReceive) {
            if (m_bSynchronize)
                platform::Thread::synchronize(m_OnReceive);
            else
                m_OnReceive();
        }
        // The owner has told what it awaits now; a chunk that filled the
        // read may have left bytes behind.
        m_NextStep = lookAtLine(Woken::AfterRead);
    }
}

#include "comm/RSComManager.h"

#include "comm/Convertions.h"
#include "diagnostics/Globalfunctions.h"
#include "platform/UiBridge.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <string>
#include <thread>

namespace {

constexpr const char* SOURCE = "RSComManager";
constexpr int TRACE_LEVEL_INFO = 1;
constexpr int TRACE_LEVEL_BYTES = 2;
// Trace widths: 26 bytes a line for commands, 19 for received chunks.
constexpr int32_t COMMAND_TRACE_WIDTH = 80;
constexpr int32_t ANSWER_TRACE_WIDTH = 60;

void report(int line, const char* function, const std::string& text)
{
    writeLog(SOURCE, line, function, LOG_OUTPUTS_BY_LEVEL, LOG_LEVEL_ERROR, 0, text);
}

void trace(int line, const char* function, int level, const std::string& text)
{
    writeLog(SOURCE, line, function, LOG_OUTPUTS_BY_LEVEL, level, 0, text);
}

bool waitOk(uint32_t result)
{
    return result == platform::WAIT_OBJECT_0 || result == platform::WAIT_ABANDONED;
}

std::unique_ptr<platform::Event> makeEvent(bool manualReset, bool initialState)
{
    return std::unique_ptr<platform::Event>(new (std::nothrow) platform::Event(manualReset, initialState));
}

} // namespace

KWOCRSComManager::KWOCRSComManager(uint32_t fifoSize, uint32_t commandCapacity, uint32_t maxResponseLength,
                                   void* owner, CommandCallback callback, int32_t timeoutMs, bool* pisError,
                                   bool synchronize, platform::PortMap portMap)
    : m_TimeoutMs(timeoutMs), m_bSynchronizeCom(synchronize), m_SlotCommandCapacity(commandCapacity),
      m_SlotMaxResponseLength(maxResponseLength), m_pOwner(owner), m_pCallback(callback),
      m_PortMap(std::move(portMap))
{
    static constexpr const char* FUNCTION = "KWOCRSComManager::KWOCRSComManager";
    if (pisError == nullptr) {
        report(__LINE__, FUNCTION, "No valid pointer to pisError.");
        return;
    }
    *pisError = true;
    if (fifoSize < 2) {
        report(__LINE__, FUNCTION, "Buffer size for commands must be equal or greater than 2.");
        return;
    }
    std::vector<std::unique_ptr<KWOCRSCommand>> ring;
    ring.reserve(fifoSize);
    for (uint32_t i = 0; i < fifoSize; ++i) {
        bool slotError = true;
        ring.push_back(std::make_unique<KWOCRSCommand>(commandCapacity, maxResponseLength, &slotError));
        if (slotError) {
            report(__LINE__, FUNCTION, "Error in allocating memory for the RSCommands in the FIFO buffer.");
            return;
        }
    }

    bool error = false;
    m_hMutex.reset(new (std::nothrow) platform::Mutex());
    if (!m_hMutex) {
        report(__LINE__, FUNCTION, "Mutex m_hMutex couldn't be created.");
        error = true;
    }
    struct EventSpec {
        std::unique_ptr<platform::Event>& event;
        bool manualReset;
        bool initialState;
        const char* name;
    };
    const EventSpec events[] = {
        {m_hNewCommandEvent, false, false, "m_hNewCommandEvent"},
        {m_hFullResponseReceivedEvent, false, false, "m_hFullResponseReceivedEvent"},
        {m_hGoSendingCommandsEvent, true, false, "m_hGoSendingCommandsEvent"},
        {m_hSendReceivedCompletedEvent, true, true, "m_hSendReceivedCompletedEvent"},
        {m_hCBReturnedEvent, false, false, "m_hCBReturnedEvent"},
    };
    for (const EventSpec& spec : events) {
        spec.event = makeEvent(spec.manualReset, spec.initialState);
        if (!spec.event) {
            report(__LINE__, FUNCTION, std::string("Event ") + spec.name + " couldn't be created");
            error = true;
        }
    }
    *pisError = error;
    if (error)
        return;
    m_CommandsBuffer = std::move(ring);
    m_CommandsBufferSize = fifoSize;
}

KWOCRSComManager::~KWOCRSComManager()
{
    static constexpr const char* FUNCTION = "~KWOCRSComManager::KWOCRSComManager";
    if (m_CommandsBuffer.empty())
        return; // failed construction: the thread never ran, nothing was opened
    closeCom();
    terminate();
    resume();
    setEvent(m_hGoSendingCommandsEvent.get(), FUNCTION, __LINE__, "SetEvent m_hGoSendingCommandsEvent failed.");
    setEvent(m_hNewCommandEvent.get(), FUNCTION, __LINE__, "SetEvent m_hNewCommandEvent failed.");
    // The thread may be inside a callback that waits for the UI thread (an
    // event, a box): from the UI thread this wait serves it.
    platform::waitServingUi(*this, platform::INFINITE);
    // Every thread that could touch the ring has ended; a lock that cannot
    // be had is reported and the ring is released all the same.
    const bool locked = lock(FUNCTION, __LINE__);
    m_CommandsBuffer.clear();
    if (locked)
        unlock(FUNCTION, __LINE__);
}

bool KWOCRSComManager::lock(const char* function, int line)
{
    const uint32_t result = platform::waitFor(m_hMutex.get(), LOCK_WAIT_MS);
    if (result != platform::WAIT_OBJECT_0)
        reportWaitResult(SOURCE, line, function, LOG_OUTPUTS_BY_LEVEL, result, "m_hMutex");
    if (!waitOk(result))
        return false;
    // The UI thread waits for this lock (addCommand, closeCom): a box shown
    // while it is held would wait for the UI thread in turn.
    holdMessageBoxes();
    return true;
}

bool KWOCRSComManager::lockUntilTerminated(const char* function, int line)
{
    while (!lock(function, line))
        if (terminated())
            return false;
    return true;
}

void KWOCRSComManager::unlock(const char* function, int line, const char* failureText)
{
    const bool released = m_hMutex->release();
    releaseMessageBoxes();
    if (!released)
        report(line, function, failureText);
}

bool KWOCRSComManager::setEvent(platform::Event* event, const char* function, int line, const char* failureText)
{
    if (event && event->set())
        return true;
    report(line, function, failureText);
    return false;
}

bool KWOCRSComManager::resetEvent(platform::Event* event, const char* function, int line, const char* failureText)
{
    if (event && event->reset())
        return true;
    report(line, function, failureText);
    return false;
}

bool KWOCRSComManager::ringFull() const
{
    return (m_WriteIndex + 1) % m_CommandsBufferSize == m_ReadIndex;
}

bool KWOCRSComManager::openCom(int32_t port, int32_t baud, int32_t readLoopMs, int32_t stopBits)
{
    static constexpr const char* FUNCTION = "KWOCRSComManager::openCom";
    const std::string label = "(Port:" + std::to_string(port) + ", Baud:" + std::to_string(baud) +
                              ", ReadLoop:" + std::to_string(readLoopMs) + "ms, StopBits:" + std::to_string(stopBits) +
                              ")";
    if (m_CommandsBuffer.empty())
        return false;
    if (m_RSCom) {
        if (m_RSCom->m_State == COM_STATE_OPEN && m_RSCom->m_RequestedPort == port &&
            m_RSCom->m_RequestedBaud == static_cast<uint32_t>(baud) && m_RSCom->m_ReadLoopMs == readLoopMs &&
            m_RSCom->m_RequestedStopBits == static_cast<uint32_t>(stopBits)) {
            trace(__LINE__, FUNCTION, TRACE_LEVEL_INFO, "com: port already open " + label);
            return true;
        }
        if (!closeCom())
            return false;
    }

    bool error = true;
    auto worker = std::make_unique<KWOCComT>(&error, m_bSynchronizeCom, m_PortMap);
    if (error) {
        report(__LINE__, FUNCTION, "Unable to open port. Creation of m_RSCom failed");
        return false;
    }
    worker->m_OnReceive = [this] { readDataFromDevice(); };
    worker->m_RequestedPort = port;
    worker->m_RequestedBaud = static_cast<uint32_t>(baud);
    worker->m_ReadLoopMs = readLoopMs;
    worker->m_RequestedStopBits = static_cast<uint32_t>(stopBits);
    KWOCComT* const opening = worker.get();

    if (!lock(FUNCTION, __LINE__))
        return false;
    // Commands still queued from the last connection are dropped without a
    // callback. A new generation: the manager thread may still be inside a
    // command of the old ring (closeCom gave up waiting for it), and must not
    // advance, write or hand back anything of the new ring for it.
    ++m_RingGeneration;
    m_bWaitingResponse = false;
    m_bAppend = false;
    m_ReadIndex = m_WriteIndex = 0;
    m_CommandCounter = 0;
    for (auto& slot : m_CommandsBuffer)
        slot->m_Tag = -1;
    m_RSCom = std::move(worker);
    unlock(FUNCTION, __LINE__);

    if (opening->comInit()) {
        resetEvent(m_hFullResponseReceivedEvent.get(), FUNCTION, __LINE__,
                   "ResetEvent m_hFullResponseReceivedEvent failed.");
        setEvent(m_hGoSendingCommandsEvent.get(), FUNCTION, __LINE__, "SetEvent m_hGoSendingCommandsEvent failed.");
        resume();
        trace(__LINE__, FUNCTION, TRACE_LEVEL_INFO, "com: port open " + label);
        return true;
    }

    std::unique_ptr<KWOCComT> failed;
    if (lock(FUNCTION, __LINE__)) {
        failed = std::move(m_RSCom);
        unlock(FUNCTION, __LINE__);
    }
    failed.reset(); // its thread never opened a port; it ends here
    report(__LINE__, FUNCTION,
           "Cannot open connection (initialization of TCom object).\n Check physical connection and/or chosen port "
           "number.");
    return false;
}

bool KWOCRSComManager::closeCom()
{
    static constexpr const char* FUNCTION = "KWOCRSComManager::closeCom";
    if (m_CommandsBuffer.empty())
        return true;
    // A command waiting for its answer ends at once without a callback, and
    // the manager thread stops before its next command.
    resetEvent(m_hGoSendingCommandsEvent.get(), FUNCTION, __LINE__, "ResetEvent m_hGoSendingCommandsEvent failed.");
    setEvent(m_hFullResponseReceivedEvent.get(), FUNCTION, __LINE__, "SetEvent m_hFullResponseReceivedEvent failed.");
    setEvent(m_hCBReturnedEvent.get(), FUNCTION, __LINE__, "SetEvent m_hCBReturnedEvent failed.");
    if (!m_RSCom) // only this thread sets or clears m_RSCom
        return true;
    const std::string label = "(Port:" + std::to_string(m_RSCom->m_RequestedPort) + ")";

    // Bounded, and from the UI thread serving: the command in progress may
    // be in a callback that waits for the UI thread.
    const uint32_t waited = platform::waitServingUi(*m_hSendReceivedCompletedEvent, LOCK_WAIT_MS);
    if (waited != platform::WAIT_OBJECT_0)
        reportWaitResult(SOURCE, __LINE__, FUNCTION, LOG_OUTPUTS_BY_LEVEL, waited, "m_hSendReceivedCompletedEvent");

    // Cleared under the lock before the worker ends, so neither the manager
    // thread nor a late chunk can reach a worker being destroyed.
    if (!lock(FUNCTION, __LINE__))
        return false;
    std::unique_ptr<KWOCComT> worker = std::move(m_RSCom);
    unlock(FUNCTION, __LINE__);

    worker->terminate();
    worker->resume();
    if (waited == platform::WAIT_TIMEOUT)
        report(__LINE__, FUNCTION,
               "Trying to delete RSCom will probably causes entire application\n to freeze (perhaps WriteFile of ComT "
               "that blocks)");
    // Its thread may be in a callback (readDataFromDevice) waiting for the
    // UI thread: served while waiting. A write cannot hold it for ever.
    platform::waitServingUi(*worker, platform::INFINITE);
    worker.reset();
    trace(__LINE__, FUNCTION, TRACE_LEVEL_INFO, "com: port closed " + label);
    return true;
}

int32_t KWOCRSComManager::addCommand(KWOCRSCommand* command)
{
    static constexpr const char* FUNCTION = "KWOCRSComManager::addCommand";
    if (command == nullptr)
        return ADD_COMMAND_INVALID;
    // The ring exists from construction on or never; after a failed
    // construction there may be no mutex to take either.
    if (m_CommandsBuffer.empty()) {
        report(__LINE__, FUNCTION, "No m_CommandsBuffer (check result of RSComManager constructor!)");
        return ADD_COMMAND_NO_RING;
    }
    if (!lock(FUNCTION, __LINE__))
        return ADD_COMMAND_FULL; // could not be queued now
    if (ringFull()) {
        unlock(FUNCTION, __LINE__);
        return ADD_COMMAND_FULL;
    }
    KWOCRSCommand& slot = *m_CommandsBuffer[m_WriteIndex];
    if (!slot.assign(command)) {
        unlock(FUNCTION, __LINE__);
        return ADD_COMMAND_INVALID;
    }
    const int32_t number = static_cast<int32_t>(m_CommandCounter);
    slot.m_Number = number;
    m_WriteIndex = (m_WriteIndex + 1) % m_CommandsBufferSize;
    m_CommandCounter = m_CommandCounter >= COMMAND_COUNTER_LAST ? 0 : m_CommandCounter + 1;
    command->m_Number = number;
    unlock(FUNCTION, __LINE__);
    setEvent(m_hNewCommandEvent.get(), FUNCTION, __LINE__, "SetEvent m_hNewCommandEvent failed.");
    return number;
}

void KWOCRSComManager::waitForCallback(const char* function)
{
    // A signal that closeCom left behind does not stand for a callback that
    // readDataFromDevice is still running.
    do {
        const uint32_t result = platform::waitFor(m_hCBReturnedEvent.get(), platform::INFINITE);
        if (result != platform::WAIT_OBJECT_0) {
            reportWaitResult(SOURCE, __LINE__, function, LOG_OUTPUTS_BY_LEVEL, result, "m_hCBReturnedEvent");
            return;
        }
    } while (m_bCallbackRunning && !terminated());
}

void KWOCRSComManager::execute()
{
    static constexpr const char* FUNCTION = "KWOCRSComManager::Execute";
    using Clock = std::chrono::steady_clock;
    while (!terminated()) {
        if (!lockUntilTerminated(FUNCTION, __LINE__))
            return;
        while (m_ReadIndex != m_WriteIndex) {
            KWOCRSCommand& command = *m_CommandsBuffer[m_ReadIndex];
            const uint32_t generation = m_RingGeneration;
            resetEvent(m_hSendReceivedCompletedEvent.get(), FUNCTION, __LINE__,
                       "ResetEvent m_hSendReceivedCompletedEvent failed.\tKWOCRSComManager::Execute");
            m_bWaitingResponse = false;

            // The retry budget is elapsed time: a write that blocked before
            // failing has used it up as much as sleeping would have.
            bool written = false;
            bool abandoned = false;
            // The worker learns the answer's length before the request goes
            // out: the answer may begin before write() returns.
            const uint32_t answerBytes = command.bytesToComplete(0);
            const auto deadline = Clock::now() + std::chrono::milliseconds(m_TimeoutMs);
            while (Clock::now() < deadline) {
                // A reset ring has other commands in its slots now.
                if (!m_RSCom || m_RingGeneration != generation) {
                    abandoned = true;
                    break;
                }
                // A line that takes no output must not hold the lock past
                // the budget: the write gives up within what is left of it.
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                m_RSCom->expectAnswer(answerBytes);
                if (m_RSCom->write(command.m_pCommand.data(), static_cast<int32_t>(command.m_CommandLength),
                                   static_cast<uint32_t>(std::max<long long>(left, 1)))) {
                    trace(__LINE__, FUNCTION, TRACE_LEVEL_BYTES,
                          "com: -> " + bufferToHexString(command.m_pCommand.data(),
                                                         static_cast<int32_t>(command.m_CommandLength),
                                                         COMMAND_TRACE_WIDTH, 1));
                    written = true;
                    break;
                }
                unlock(FUNCTION, __LINE__);
                std::this_thread::sleep_for(std::chrono::milliseconds(WRITE_RETRY_MS));
                if (terminated())
                    return;
                if (!lockUntilTerminated(FUNCTION, __LINE__))
                    return;
            }

            if (m_RingGeneration != generation)
                abandoned = true;
            if (m_RSCom && (!written || abandoned))
                m_RSCom->expectBytes(0);
            if (abandoned) {
                unlock(FUNCTION, __LINE__);
                setEvent(m_hCBReturnedEvent.get(), FUNCTION, __LINE__, "SetEvent m_hCBReturnedEvent failed.");
            } else if (command.m_ExpectedResponseCount == 0) {
                unlock(FUNCTION, __LINE__);
                setEvent(m_hCBReturnedEvent.get(), FUNCTION, __LINE__, "SetEvent m_hCBReturnedEvent failed.");
            } else if (!written) {
                // Never written within the budget: handed back with no answer.
                KWOCRSCommand copy(&command);
                copy.m_MatchedResponse = -1;
                unlock(FUNCTION, __LINE__);
                if (m_pCallback && m_pOwner)
                    m_pCallback(m_pOwner, &copy);
                setEvent(m_hCBReturnedEvent.get(), FUNCTION, __LINE__, "SetEvent m_hCBReturnedEvent failed.");
            } else {
                m_bWaitingResponse = true;
                m_bAppend = false;
                command.m_ResponseLength = 0;
                unlock(FUNCTION, __LINE__);
                const uint32_t waited = platform::waitFor(m_hFullResponseReceivedEvent.get(),
                                                          m_TimeoutMs > 0 ? static_cast<uint32_t>(m_TimeoutMs) : 0);
                if (waited != platform::WAIT_OBJECT_0) {
                    reportWaitResult(SOURCE, __LINE__, FUNCTION, LOG_OUTPUTS_BY_LEVEL, waited,
                                     "m_hFullResponseReceivedEvent");
                    if (!lockUntilTerminated(FUNCTION, __LINE__))
                        return;
                    if (m_RingGeneration != generation) {
                        // Dropped by openCom with the ring it belonged to.
                        unlock(FUNCTION, __LINE__);
                    } else if (!m_bWaitingResponse) {
                        // Completed meanwhile: readDataFromDevice hands it back.
                        m_hFullResponseReceivedEvent->reset();
                        unlock(FUNCTION, __LINE__);
                    } else {
                        m_bWaitingResponse = false;
                        if (m_RSCom)
                            m_RSCom->expectBytes(0);
                        KWOCRSCommand copy(&command);
                        copy.m_MatchedResponse = -1;
                        unlock(FUNCTION, __LINE__);
                        if (m_pCallback && m_pOwner)
                            m_pCallback(m_pOwner, &copy);
                        setEvent(m_hCBReturnedEvent.get(), FUNCTION, __LINE__, "SetEvent m_hCBReturnedEvent failed.");
                    }
                }
            }

            if (!lockUntilTerminated(FUNCTION, __LINE__))
                return;
            if (m_RingGeneration == generation) {
                m_bWaitingResponse = false;
                m_ReadIndex = (m_ReadIndex + 1) % m_CommandsBufferSize;
            }
            unlock(FUNCTION, __LINE__);
            setEvent(m_hSendReceivedCompletedEvent.get(), FUNCTION, __LINE__,
                     "SetEvent m_hSendReceivedCompletedEvent failed.");

            waitForCallback(FUNCTION);
            const uint32_t go = platform::waitFor(m_hGoSendingCommandsEvent.get(), platform::INFINITE);
            if (go != platform::WAIT_OBJECT_0)
                reportWaitResult(SOURCE, __LINE__, FUNCTION, LOG_OUTPUTS_BY_LEVEL, go, "m_hGoSendingCommandsEvent");
            if (terminated())
                return;
            if (!lockUntilTerminated(FUNCTION, __LINE__))
                return;
        }
        unlock(FUNCTION, __LINE__);
        const uint32_t waited = platform::waitFor(m_hNewCommandEvent.get(), platform::INFINITE);
        if (waited != platform::WAIT_OBJECT_0)
            reportWaitResult(SOURCE, __LINE__, FUNCTION, LOG_OUTPUTS_BY_LEVEL, waited, "m_hNewCommandEvent");
    }
}

void KWOCRSComManager::readDataFromDevice()
{
    static constexpr const char* FUNCTION = "KWOCRSComManager::readDataFromDevice";
    if (!lock(FUNCTION, __LINE__))
        return; // the chunk is dropped; nothing runs unlocked
    if (!m_RSCom) {
        report(__LINE__, FUNCTION,
               "No object RSCom created in class KWOCRSComManager.\n Perhaps this object has been deleted since the "
               "data has been sent to him.");
        unlock(FUNCTION, __LINE__);
        return;
    }
    const uint8_t* chunk = m_RSCom->m_pReceived.data();
    const uint32_t length = m_RSCom->m_ReceivedLength;
    const std::string hex = bufferToHexString(chunk, static_cast<int32_t>(length), ANSWER_TRACE_WIDTH, 1);
    if (!m_bWaitingResponse) {
        report(__LINE__, FUNCTION, "Packet received without comand sent.\n data " + hex);
        unlock(FUNCTION, __LINE__, "Error in releasing mutex.");
        return;
    }
    trace(__LINE__, FUNCTION, TRACE_LEVEL_BYTES, "com: <- " + hex);

    KWOCRSCommand& slot = *m_CommandsBuffer[m_ReadIndex];
    const bool complete = slot.setResponseAndCompare(chunk, length, m_bAppend);
    m_bAppend = !complete;
    m_RSCom->expectBytes(complete ? 0 : slot.bytesToComplete(slot.m_ResponseLength));
    if (!complete) {
        const bool released = m_hMutex->release();
        releaseMessageBoxes();
        if (!released)
            reportError("Error in releasing mutex.");
        return;
    }
    KWOCRSCommand copy(&slot);
    m_bWaitingResponse = false; // later chunks are reported as unexpected
    m_bCallbackRunning = true;
    setEvent(m_hFullResponseReceivedEvent.get(), FUNCTION, __LINE__,
             "SetEvent m_hFullResponseReceivedEvent failed.\tKWOCRSComManager::readDataFromDevice");
    unlock(FUNCTION, __LINE__);
    if (m_pCallback && m_pOwner)
        m_pCallback(m_pOwner, &copy);
    m_bCallbackRunning = false;
    setEvent(m_hCBReturnedEvent.get(), FUNCTION, __LINE__,
             "SetEvent m_hCBReturnedEvent failed.\tKWOCRSComManager::readDataFromDevice");
}

#include "comm/RSComManager.h"
#include "integration/comm/Pty.h"
#include "unit/comm/LogRecorder.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <condition_variable>
#include <mutex>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

const std::vector<uint8_t> REQUEST = {0x10, 0x01, 0xA2, 0x00, 0x01, 0x00, 0x02, 0xE3, 0x59};
const std::string OPEN_LABEL = "(Port:3, Baud:115200, ReadLoop:2ms, StopBits:1)";

struct Handed {
    int32_t number;
    std::vector<uint8_t> response;
    int32_t matched;
    bool onManagerThread;
};

// The owner of a manager: records every command handed back. A test may
// make the callback wait (gate) to see what happens meanwhile.
class Owner {
public:
    static void callback(void* owner, KWOCRSCommand* command)
    {
        static_cast<Owner*>(owner)->handed(command);
    }

    void handed(KWOCRSCommand* command)
    {
        if (onCallback)
            onCallback(*command);
        std::lock_guard lock(m_lock);
        m_handed.push_back({command->m_Number,
                            std::vector<uint8_t>(command->m_pResponse.begin(),
                                                 command->m_pResponse.begin() + command->m_ResponseLength),
                            command->m_MatchedResponse, manager && manager->isCurrentThread()});
        m_changed.notify_all();
    }
    bool waitCount(size_t n, std::chrono::milliseconds timeout = 5000ms)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] { return m_handed.size() >= n; });
    }
    std::vector<Handed> handed()
    {
        std::lock_guard lock(m_lock);
        return m_handed;
    }

    KWOCRSComManager* manager = nullptr;
    std::function<void(const KWOCRSCommand&)> onCallback;

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Handed> m_handed;
};

KWOCRSCommand request(uint32_t answerLength, const std::vector<uint8_t>& bytes = REQUEST)
{
    KWOCExpectedResponse response;
    response.setExactLength(answerLength);
    bool error = true;
    KWOCRSCommand command(bytes.data(), static_cast<uint32_t>(bytes.size()), 150, &response, answerLength ? 1 : 0,
                          &error);
    EXPECT_FALSE(error);
    return KWOCRSCommand(&command);
}

std::vector<uint8_t> answer(size_t n, uint8_t first = 0x10)
{
    std::vector<uint8_t> a(n);
    for (size_t i = 0; i < n; ++i)
        a[i] = static_cast<uint8_t>(first + i);
    return a;
}

class RSComManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        logrec::clear();
        ASSERT_TRUE(pty.ok());
    }
    void make(int32_t timeoutMs = 200, uint32_t fifoSize = 10)
    {
        manager = std::make_unique<KWOCRSComManager>(fifoSize, 150, 150, &owner, &Owner::callback, timeoutMs, &error,
                                                     false, pty.portMap());
        owner.manager = manager.get();
    }
    bool open(int32_t baud = 115200) { return manager->openCom(PTY_PORT, baud, 2, 1); }
    bool waitOpen()
    {
        return eventually([&] { return manager->m_RSCom && manager->m_RSCom->m_State == COM_STATE_OPEN; });
    }

    Pty pty;
    Owner owner;
    bool error = true;
    std::unique_ptr<KWOCRSComManager> manager;
};

TEST_F(RSComManagerTest, AnswerInTwoChunksIsHandedBackOnce)
{
    make();
    ASSERT_FALSE(error);
    ASSERT_TRUE(open());
    EXPECT_EQ(logrec::count("com: port open " + OPEN_LABEL), 1u);
    KWOCRSCommand command = request(12);
    EXPECT_EQ(manager->addCommand(&command), 0);
    EXPECT_EQ(command.m_Number, 0);
    EXPECT_EQ(pty.readExactly(REQUEST.size()), REQUEST);

    const auto full = answer(12);
    ASSERT_TRUE(pty.send({full.begin(), full.begin() + 5}));
    ASSERT_TRUE(logrec::waitForText("com: <- 10 11 12 13 14"));
    ASSERT_TRUE(pty.send({full.begin() + 5, full.end()}));
    ASSERT_TRUE(owner.waitCount(1));
    // Nothing else is handed back, not even after the time-out.
    EXPECT_FALSE(owner.waitCount(2, 400ms));
    const auto handed = owner.handed();
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].number, 0);
    EXPECT_EQ(handed[0].response, full);
    EXPECT_EQ(handed[0].matched, 0);
    EXPECT_FALSE(handed[0].onManagerThread);

    const auto sent = logrec::withPrefix("com: -> ");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, "com: -> 10 01 A2 00 01 00 02 E3 59");
    EXPECT_EQ(sent[0].level, 2);
    EXPECT_EQ(sent[0].file, "RSComManager");
    EXPECT_EQ(logrec::withPrefix("com: <- ")[0].level, 2);
    EXPECT_TRUE(logrec::errors().empty()) << logrec::dump();
}

// However an answer is cut on its way, the owner gets it once and whole; and
// the next request, queued from the callback, goes out right after it with
// every byte in order.
TEST_F(RSComManagerTest, AnswersInAnyPiecesAreTakenWholeAndTheNextRequestFollows)
{
    make(2000);
    ASSERT_TRUE(open());
    ASSERT_TRUE(waitOpen());
    const auto full = answer(13);
    struct Delivery {
        std::vector<size_t> cuts; // where the far end pauses
        std::chrono::microseconds pause;
    };
    std::vector<Delivery> deliveries = {{{}, 0us}};
    Delivery byteByByte{{}, 300us}; // about a 38400 baud line
    for (size_t cut = 1; cut < full.size(); ++cut)
        byteByByte.cuts.push_back(cut);
    deliveries.push_back(byteByByte);
    // Pauses within one read period and longer than one.
    for (size_t cut = 1; cut < full.size(); ++cut)
        for (auto pause : {200us, 5000us})
            deliveries.push_back({{cut}, pause});

    auto requestBytes = [](size_t i) {
        return std::vector<uint8_t>{0x10, 0x01, 0xA2, uint8_t(i), uint8_t(i >> 8), 0xE3, uint8_t(0x59 + i)};
    };
    std::atomic<size_t> queued{1};
    owner.onCallback = [&](const KWOCRSCommand&) {
        if (queued < deliveries.size()) {
            KWOCRSCommand next = request(13, requestBytes(queued));
            EXPECT_GE(manager->addCommand(&next), 0);
            ++queued;
        }
    };
    KWOCRSCommand first = request(13, requestBytes(0));
    ASSERT_EQ(manager->addCommand(&first), 0);
    for (size_t i = 0; i < deliveries.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(pty.readExactly(requestBytes(i).size()), requestBytes(i));
        size_t from = 0;
        for (size_t cut : deliveries[i].cuts) {
            ASSERT_TRUE(pty.send({full.begin() + long(from), full.begin() + long(cut)}));
            std::this_thread::sleep_for(deliveries[i].pause); // the far end's pace, not a wait for a result
            from = cut;
        }
        ASSERT_TRUE(pty.send({full.begin() + long(from), full.end()}));
        ASSERT_TRUE(owner.waitCount(i + 1));
    }
    EXPECT_TRUE(pty.readFor(50ms).empty());
    const auto handed = owner.handed();
    ASSERT_EQ(handed.size(), deliveries.size());
    for (size_t i = 0; i < handed.size(); ++i) {
        EXPECT_EQ(handed[i].number, int32_t(i));
        EXPECT_EQ(handed[i].response, full) << i;
        EXPECT_EQ(handed[i].matched, 0) << i;
        EXPECT_FALSE(handed[i].onManagerThread) << i;
    }
    EXPECT_TRUE(logrec::errors().empty()) << logrec::dump();
}

TEST_F(RSComManagerTest, NoAnswerIsHandedBackByTheManagerThread)
{
    make(200);
    ASSERT_TRUE(open());
    KWOCRSCommand command = request(12);
    EXPECT_EQ(manager->addCommand(&command), 0);
    ASSERT_TRUE(owner.waitCount(1));
    const auto handed = owner.handed();
    EXPECT_EQ(handed[0].number, 0);
    EXPECT_TRUE(handed[0].response.empty());
    EXPECT_EQ(handed[0].matched, -1);
    EXPECT_TRUE(handed[0].onManagerThread);
    EXPECT_EQ(logrec::count("Event m_hFullResponseReceivedEvent Timeout reached"), 1u) << logrec::dump();

    // Bytes that come late find no command waiting.
    ASSERT_TRUE(pty.send({0x01, 0x02, 0x03}));
    ASSERT_TRUE(logrec::waitForText("Packet received without comand sent.\n data 01 02 03"));
    EXPECT_EQ(logrec::withPrefix("Packet received")[0].function, "KWOCRSComManager::readDataFromDevice");
    EXPECT_EQ(owner.handed().size(), 1u);
}

TEST_F(RSComManagerTest, RingNumbersAndCommandsWithoutAnswer)
{
    make();
    EXPECT_EQ(manager->addCommand(nullptr), ADD_COMMAND_INVALID);
    // No port open: commands queue but are never written; the tenth finds the ring full.
    KWOCRSCommand command = request(12);
    for (int32_t i = 0; i < 9; ++i)
        EXPECT_EQ(manager->addCommand(&command), i);
    EXPECT_EQ(manager->addCommand(&command), ADD_COMMAND_FULL);
    EXPECT_TRUE(pty.readFor(50ms).empty());
    EXPECT_TRUE(owner.handed().empty());

    // Opening drops them and numbers start again at 0.
    ASSERT_TRUE(open());
    KWOCRSCommand silent = request(0, {0xAA, 0xBB});
    EXPECT_EQ(manager->addCommand(&silent), 0);
    EXPECT_EQ(manager->addCommand(&command), 1);
    // The command without an answer is written, handed back to nobody, and the next follows at once.
    EXPECT_EQ(pty.readExactly(2 + REQUEST.size()).size(), 2 + REQUEST.size());
    ASSERT_TRUE(pty.send(answer(12)));
    ASSERT_TRUE(owner.waitCount(1));
    EXPECT_FALSE(owner.waitCount(2, 300ms));
    EXPECT_EQ(owner.handed()[0].number, 1);
    EXPECT_TRUE(pty.readFor(20ms).empty()) << "the dropped commands are not written";
}

TEST_F(RSComManagerTest, OpenTwiceAndWithAnotherBaudRate)
{
    make();
    ASSERT_TRUE(open());
    ASSERT_TRUE(waitOpen());
    KWOCComT* first = manager->m_RSCom.get();
    ASSERT_TRUE(open());
    EXPECT_EQ(manager->m_RSCom.get(), first);
    const auto already = logrec::withPrefix("com: port already open ");
    ASSERT_EQ(already.size(), 1u);
    EXPECT_EQ(already[0].text, "com: port already open " + OPEN_LABEL);
    EXPECT_EQ(already[0].level, 1);

    ASSERT_TRUE(open(9600));
    EXPECT_EQ(logrec::count("com: port closed (Port:3)"), 1u);
    EXPECT_EQ(logrec::count("com: port open (Port:3, Baud:9600, ReadLoop:2ms, StopBits:1)"), 1u);
    ASSERT_TRUE(waitOpen());
    EXPECT_EQ(manager->m_RSCom->m_RequestedBaud, 9600u);
    KWOCRSCommand command = request(4);
    EXPECT_EQ(manager->addCommand(&command), 0);
    EXPECT_EQ(pty.readExactly(REQUEST.size()), REQUEST);
}

TEST_F(RSComManagerTest, MissingPortAndBadRingSize)
{
    make();
    EXPECT_FALSE(manager->openCom(9, 115200, 2, 1));
    EXPECT_EQ(manager->m_RSCom, nullptr);
    EXPECT_EQ(logrec::count("Cannot open connection (initialization of TCom object).\n Check physical connection "
                            "and/or chosen port number."),
              1u)
        << logrec::dump();
    EXPECT_EQ(logrec::countPrefix("Could not open, COM 9 @ baud 115200"), 1u);

    logrec::clear();
    bool failed = false;
    KWOCRSComManager tooSmall(1, 150, 150, &owner, &Owner::callback, 200, &failed, false, pty.portMap());
    EXPECT_TRUE(failed);
    EXPECT_EQ(logrec::count("Buffer size for commands must be equal or greater than 2."), 1u);
    KWOCRSCommand command = request(4);
    EXPECT_EQ(tooSmall.addCommand(&command), ADD_COMMAND_NO_RING);
}

TEST_F(RSComManagerTest, LeftoverCallbackSignalCannotSkipTheFirstCallbackAfterReopening)
{
    make(2000);
    ASSERT_TRUE(open());
    ASSERT_TRUE(manager->closeCom()); // leaves m_hCBReturnedEvent set: no command was in progress
    ASSERT_TRUE(open());

    // While the first command's callback runs, the second must not be written.
    std::vector<uint8_t> writtenDuringCallback;
    owner.onCallback = [&](const KWOCRSCommand& command) {
        if (command.m_Number == 0)
            writtenDuringCallback = pty.readFor(300ms);
    };
    KWOCRSCommand first = request(4);
    KWOCRSCommand second = request(4, {0x10, 0x02});
    EXPECT_EQ(manager->addCommand(&first), 0);
    EXPECT_EQ(manager->addCommand(&second), 1);
    EXPECT_EQ(pty.readExactly(REQUEST.size()), REQUEST);
    ASSERT_TRUE(pty.send(answer(4)));
    ASSERT_TRUE(owner.waitCount(1));
    EXPECT_TRUE(writtenDuringCallback.empty()) << "the second command went out during the first callback";
    EXPECT_EQ(pty.readExactly(2), (std::vector<uint8_t>{0x10, 0x02}));
}

TEST_F(RSComManagerTest, AWriteThatCannotDrainFailsWithinTheBudgetAndTheManagerCanBeDestroyed)
{
    testwatch::Watchdog watchdog("a write on a line with suspended output", 30s, [&] { manager.reset(); });
    make(1000);
    ASSERT_TRUE(open());
    ASSERT_TRUE(waitOpen());
    // Output suspended (as by XOFF): the write finds no room, ever.
    ASSERT_EQ(tcflow(pty.slave(), TCOOFF), 0);
    KWOCRSCommand command = request(4);
    EXPECT_EQ(manager->addCommand(&command), 0);
    // Handed back once the budget is spent, with its usual report.
    ASSERT_TRUE(owner.waitCount(1, 1000ms + 1500ms)) << logrec::dump();
    EXPECT_EQ(logrec::count("WriteFile error\tKWOCComT::write"), 1u) << logrec::dump();
    EXPECT_TRUE(owner.handed()[0].response.empty());
    EXPECT_EQ(owner.handed()[0].matched, -1);
    EXPECT_TRUE(owner.handed()[0].onManagerThread);
    EXPECT_FALSE(owner.waitCount(2, 300ms));
    manager.reset(); // the port closes although its output never drained
    EXPECT_EQ(tcflow(pty.slave(), TCOON), 0);
}

TEST_F(RSComManagerTest, ReopeningAfterAGivenUpCloseNeitherLosesNorRepeatsACommand)
{
    testwatch::Watchdog watchdog("the reopening after a given-up close", 40s, [&] { manager.reset(); });
    make(200);
    ASSERT_TRUE(open());
    ASSERT_TRUE(waitOpen());
    // The first hand-back (its time-out) takes longer than closeCom waits.
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
    owner.onCallback = [&](const KWOCRSCommand&) {
        if (calls++ == 0)
            eventually([&] { return release.load(); }, 30000ms);
    };
    KWOCRSCommand stale = request(4);
    EXPECT_EQ(manager->addCommand(&stale), 0);
    EXPECT_EQ(pty.readExactly(REQUEST.size()), REQUEST);
    ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
    EXPECT_TRUE(manager->closeCom());
    EXPECT_EQ(logrec::countPrefix("Trying to delete RSCom"), 1u) << logrec::dump();

    ASSERT_TRUE(open());
    ASSERT_TRUE(waitOpen());
    const std::vector<uint8_t> fresh = {0x10, 0x02, 0x03};
    KWOCRSCommand next = request(4, fresh);
    EXPECT_EQ(manager->addCommand(&next), 0); // the numbers start again
    release = true;

    // The new command goes out once, the old one not again.
    EXPECT_EQ(pty.readExactly(fresh.size()), fresh);
    ASSERT_TRUE(pty.send(answer(4)));
    ASSERT_TRUE(owner.waitCount(2));
    EXPECT_TRUE(pty.readFor(300ms).empty());
    EXPECT_FALSE(owner.waitCount(3, 400ms));
    const auto handed = owner.handed();
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_TRUE(handed[0].response.empty());
    EXPECT_EQ(handed[1].number, 0);
    EXPECT_EQ(handed[1].response, answer(4));
    EXPECT_EQ(handed[1].matched, 0);
}

TEST_F(RSComManagerTest, LockWaitThatTimesOutGivesUp)
{
    make();
    ASSERT_TRUE(open());
    ASSERT_TRUE(waitOpen());
    std::atomic<bool> held{false};
    std::atomic<bool> done{false};
    std::thread holder([&] {
        ASSERT_EQ(manager->m_hMutex->wait(1000), platform::WAIT_OBJECT_0);
        held = true;
        eventually([&] { return done.load(); }, 20000ms);
        manager->m_hMutex->release();
    });
    ASSERT_TRUE(eventually([&] { return held.load(); }));
    int32_t added = 0;
    bool closed = true;
    std::thread closer([&] { closed = manager->closeCom(); });
    KWOCRSCommand command = request(4);
    added = manager->addCommand(&command);
    closer.join();
    done = true;
    holder.join();

    EXPECT_EQ(added, ADD_COMMAND_FULL);
    EXPECT_EQ(manager->m_WriteIndex, 0u) << "nothing was queued without the lock";
    EXPECT_FALSE(closed);
    EXPECT_NE(manager->m_RSCom, nullptr) << "the worker was not ended without the lock";
    EXPECT_EQ(logrec::count("Event m_hMutex Timeout reached"), 2u) << logrec::dump();
    EXPECT_EQ(logrec::countPrefix("Error in releasing mutex"), 0u);
    // Usable again once the lock is free.
    EXPECT_EQ(manager->addCommand(&command), 0);
    EXPECT_TRUE(manager->closeCom());
}

TEST_F(RSComManagerTest, CloseAndReopenWhileCommandsStream)
{
    make(200);
    ASSERT_TRUE(open());
    std::atomic<bool> stop{false};
    std::thread farEnd([&] {
        while (!stop)
            pty.readFor(5ms);
    });
    std::thread producer([&] {
        KWOCRSCommand silent = request(0, {0x55, 0x55});
        while (!stop) {
            manager->addCommand(&silent);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(manager->closeCom());
        ASSERT_TRUE(open(i % 2 ? 9600 : 115200));
    }
    stop = true;
    producer.join();
    farEnd.join();
    EXPECT_EQ(logrec::countPrefix("WriteFile error"), 0u) << logrec::dump();
    EXPECT_EQ(logrec::countPrefix("No object RSCom"), 0u);
}

TEST_F(RSComManagerTest, OrdinaryUserReopensThePortAfterClose)
{
    make();
    pty.closeSlave();
    ASSERT_TRUE(open());
    ASSERT_TRUE(waitOpen());
    ASSERT_TRUE(manager->closeCom());
    const std::string device = pty.device();
    const int code = runInChild([&] {
        if (!dropToNobody())
            return 10;
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 ? 0 : 20;
    });
    EXPECT_EQ(code, 0);
}

} // namespace

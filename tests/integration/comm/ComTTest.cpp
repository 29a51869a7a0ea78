#include "comm/ComT.h"
#include "platform/MainLoop.h"
#include "integration/comm/Pty.h"
#include "unit/comm/LogRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// A worker on the test's pty with a receive callback that collects chunks.
class Worker {
public:
    explicit Worker(const Pty& pty, uint32_t baud = 115200, int32_t readLoopMs = 2)
        : com(&error, false, pty.portMap())
    {
        com.m_RequestedPort = PTY_PORT;
        com.m_RequestedBaud = baud;
        com.m_ReadLoopMs = readLoopMs;
        com.m_OnReceive = [this] {
            std::lock_guard lock(m_lock);
            ++callbacks;
            m_received.insert(m_received.end(), com.m_pReceived.data(), com.m_pReceived.data() + com.m_ReceivedLength);
            zeroAfterChunk = zeroAfterChunk && com.m_pReceived[com.m_ReceivedLength] == 0;
            emptyChunks += com.m_ReceivedLength == 0;
        };
    }
    ~Worker()
    {
        com.terminate();
        com.resume();
        com.wait(platform::INFINITE);
    }
    std::vector<uint8_t> received()
    {
        std::lock_guard lock(m_lock);
        return m_received;
    }
    bool waitState(int32_t state) { return eventually([&] { return com.m_State == state; }); }

    bool error = true;
    KWOCComT com;
    // Read by the test while the port thread may be in the callback.
    std::atomic<int> callbacks = 0;
    std::atomic<int> emptyChunks = 0;
    std::atomic<bool> zeroAfterChunk = true;

private:
    std::mutex m_lock;
    std::vector<uint8_t> m_received;
};

class ComT : public ::testing::Test {
protected:
    void SetUp() override
    {
        logrec::clear();
        ASSERT_TRUE(pty.ok());
    }
    Pty pty;
};

TEST_F(ComT, RefusedSettingsChangeNothing)
{
    struct Case {
        int32_t port;
        uint32_t stopBits;
        const char* text;
    } cases[] = {
        {PTY_PORT, 3, "Stop bits value illegal 3"},
        {0, 1, "Com Port illegal 0"},
        {256, 1, "Com Port illegal 256"},
    };
    for (const auto& c : cases) {
        logrec::clear();
        Worker w(pty);
        ASSERT_FALSE(w.error);
        w.com.m_RequestedPort = c.port;
        w.com.m_RequestedStopBits = c.stopBits;
        EXPECT_FALSE(w.com.comInit());
        ASSERT_EQ(logrec::errors().size(), 1u) << logrec::dump();
        EXPECT_EQ(logrec::errors()[0].text, c.text);
        EXPECT_EQ(logrec::errors()[0].function, "KWOCComT::comInit");
        EXPECT_EQ(logrec::errors()[0].file, "ComT");
        EXPECT_EQ(w.com.m_State, COM_STATE_CLOSED);
        EXPECT_FALSE(w.com.started());
    }

    // A port number that maps to nothing: the original text, then why.
    logrec::clear();
    Worker w(pty);
    w.com.m_RequestedPort = 7;
    EXPECT_FALSE(w.com.comInit());
    ASSERT_EQ(logrec::errors().size(), 1u);
    EXPECT_EQ(logrec::errors()[0].text, "Could not open, COM 7 @ baud 115200 - no serial device is known as COM 7");
}

TEST_F(ComT, ReceivesChunksAndWritesWhileOpen)
{
    Worker w(pty);
    ASSERT_FALSE(w.error);
    EXPECT_FALSE(w.com.write(reinterpret_cast<const uint8_t*>("x"), 1)); // closed: false, no report
    ASSERT_TRUE(w.com.comInit()) << logrec::dump();
    ASSERT_TRUE(w.waitState(COM_STATE_OPEN));
    EXPECT_TRUE(w.com.m_bLineOk);
    // 115200 baud read every 2 ms: buffers of 57, reads of 28.
    EXPECT_EQ(w.com.m_BufferSize, 57);
    EXPECT_EQ(w.com.m_ReadChunk, 28);

    // Idle ticks read 0 bytes and call nobody.
    EXPECT_TRUE(pty.readFor(std::chrono::milliseconds(20)).empty());
    EXPECT_EQ(w.callbacks, 0);

    std::vector<uint8_t> answer(100);
    for (size_t i = 0; i < answer.size(); ++i)
        answer[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_TRUE(pty.send(answer));
    ASSERT_TRUE(eventually([&] { return w.received().size() >= answer.size(); }));
    EXPECT_EQ(w.received(), answer);
    EXPECT_GE(w.callbacks, 4); // at most 28 bytes a read
    EXPECT_EQ(w.emptyChunks, 0);
    EXPECT_TRUE(w.zeroAfterChunk);

    const uint8_t request[] = {0x10, 0x01, 0xA2};
    EXPECT_TRUE(w.com.write(request, 3));
    EXPECT_EQ(pty.readExactly(3), std::vector<uint8_t>(request, request + 3));

    // comInit on an open port is refused.
    EXPECT_FALSE(w.com.comInit());
    EXPECT_EQ(logrec::count("Serial communication already in use"), 1u);

    w.com.requestClose();
    EXPECT_EQ(w.com.m_State, COM_STATE_CLOSING);
    ASSERT_TRUE(w.waitState(COM_STATE_CLOSED));
    EXPECT_FALSE(w.com.write(request, 3));
    EXPECT_TRUE(logrec::errors().size() == 1u) << logrec::dump();

    // And it opens again.
    ASSERT_TRUE(w.com.comInit());
    ASSERT_TRUE(w.waitState(COM_STATE_OPEN));
    EXPECT_TRUE(w.com.write(request, 3));
    EXPECT_EQ(pty.readExactly(3).size(), 3u);
}

TEST_F(ComT, FailedOpeningParksInStateFourAndWritesFailSilently)
{
    Worker w(pty, /*baud=*/0);
    ASSERT_TRUE(w.com.comInit()); // the port exists; the line setting fails on the thread
    ASSERT_TRUE(w.waitState(COM_STATE_FAILED));
    EXPECT_FALSE(w.com.m_bLineOk);
    ASSERT_TRUE(logrec::waitForText("Could not open, COM 3 @ baud 0"));
    const auto errors = logrec::errors();
    ASSERT_EQ(errors.size(), 1u) << logrec::dump();
    EXPECT_EQ(errors[0].function, "KWOCComT::Execute");
    EXPECT_EQ(errors[0].text, "Could not open, COM 3 @ baud 0 - " + pty.device() + ": baud rate 0 not supported");

    const uint8_t byte = 0x55;
    EXPECT_FALSE(w.com.write(&byte, 1));
    EXPECT_EQ(logrec::errors().size(), 1u) << "a write on a port that is not open reports nothing";

    w.com.m_RequestedBaud = 9600;
    ASSERT_TRUE(w.com.comInit());
    ASSERT_TRUE(w.waitState(COM_STATE_OPEN));
    EXPECT_EQ(w.com.m_BufferSize, 50);
    EXPECT_EQ(w.com.m_ReadChunk, 25);
}

TEST_F(ComT, FarEndClosingMidAnswerEndsTheLine)
{
    Worker w(pty);
    ASSERT_TRUE(w.com.comInit());
    ASSERT_TRUE(w.waitState(COM_STATE_OPEN));
    ASSERT_TRUE(pty.send({0x10, 0x01, 0x02}));
    ASSERT_TRUE(eventually([&] { return w.received().size() == 3; }));
    pty.closeMaster();
    ASSERT_TRUE(logrec::waitForText("ReadFile error"));
    ASSERT_TRUE(w.waitState(COM_STATE_CLOSED));
    EXPECT_FALSE(w.com.m_bLineOk);
    EXPECT_EQ(logrec::errors().size(), 1u) << logrec::dump();
    EXPECT_EQ(logrec::errors()[0].function, "KWOCComT::Execute");
    const uint8_t byte = 0x55;
    EXPECT_FALSE(w.com.write(&byte, 1));
    EXPECT_EQ(logrec::errors().size(), 1u) << "later writes fail silently";
}

TEST_F(ComT, HeldPortIsRefusedWithTheReason)
{
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const std::string device = pty.device();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        platform::SerialPort holder;
        char c = holder.open(device) ? 1 : 0;
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 1);
    Worker w(pty);
    EXPECT_FALSE(w.com.comInit());
    EXPECT_EQ(logrec::count("Could not open, COM 3 @ baud 115200 - " + device + ": in use by another program"), 1u)
        << logrec::dump();
    char c = 0;
    (void)!::write(release[1], &c, 1);
    waitpid(pid, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        ::close(fd);
}

TEST_F(ComT, WriteIsSerialisedAgainstClosing)
{
    Worker w(pty);
    ASSERT_TRUE(w.com.comInit());
    ASSERT_TRUE(w.waitState(COM_STATE_OPEN));
    std::atomic<bool> stop{false};
    std::thread farEnd([&] {
        while (!stop)
            pty.readFor(std::chrono::milliseconds(5));
    });
    // Descriptors freed by a close are reused at once by these pipes: a write
    // that reached a closed descriptor would land in one of them.
    std::atomic<int> strayBytes{0};
    std::thread reuser([&] {
        while (!stop) {
            int p[2];
            if (pipe2(p, O_NONBLOCK) != 0)
                continue;
            char buffer[64];
            const ssize_t n = ::read(p[0], buffer, sizeof buffer);
            if (n > 0)
                strayBytes += static_cast<int>(n);
            ::close(p[0]);
            ::close(p[1]);
        }
    });
    std::atomic<int> writes{0};
    std::thread writer([&] {
        const uint8_t request[] = {0x10, 0x01, 0xA2, 0x00};
        while (!stop)
            writes += w.com.write(request, sizeof request);
    });
    for (int i = 0; i < 30; ++i) {
        w.com.requestClose();
        ASSERT_TRUE(w.waitState(COM_STATE_CLOSED));
        ASSERT_TRUE(w.com.comInit());
        ASSERT_TRUE(w.waitState(COM_STATE_OPEN));
    }
    stop = true;
    writer.join();
    reuser.join();
    farEnd.join();
    EXPECT_GT(writes.load(), 0);
    EXPECT_EQ(strayBytes.load(), 0);
    EXPECT_EQ(logrec::countPrefix("WriteFile error"), 0u) << logrec::dump();
}

TEST(ComTBuffers, SizedWithoutOverflowForAnyBaudRate)
{
    struct Case {
        uint64_t baud;
        int64_t ms;
        int32_t size;
    } cases[] = {
        {115200, 2, 57},
        {9600, 10, 50},
        {1000, 10, 50},
        {3000000, 100, 75000},
        {921600, 1000, 230400},
        {4000000000u, 10, 1 << 20},   // 32-bit arithmetic would wrap here
        {4294967295u, 2147483647, 1 << 20},
        {115200, 0, 50},
        {115200, -5, 50},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KWOCComT::bufferSizeFor(c.baud, c.ms), c.size) << c.baud << " baud, " << c.ms << " ms";
}

} // namespace

namespace {

TEST_F(ComT, SynchronizedCallbackRunsOnTheUiThread)
{
    platform::MainLoop loop;
    platform::UiBridge::install(&loop);
    bool error = true;
    KWOCComT com(&error, /*synchronize=*/true, pty.portMap());
    ASSERT_FALSE(error);
    std::atomic<int> onUi{0};
    std::atomic<int> elsewhere{0};
    com.m_RequestedPort = PTY_PORT;
    com.m_RequestedBaud = 115200;
    com.m_ReadLoopMs = 2;
    com.m_OnReceive = [&] { (loop.isUiThread() ? onUi : elsewhere) += static_cast<int>(com.m_ReceivedLength); };
    ASSERT_TRUE(com.comInit());
    // Bytes sent before the worker has configured the line may be discarded.
    ASSERT_TRUE(loop.runUntil([&] { return com.m_State == COM_STATE_OPEN; }, std::chrono::milliseconds(5000)));
    ASSERT_TRUE(pty.send({1, 2, 3, 4}));
    // This thread is the UI thread while it runs the loop.
    EXPECT_TRUE(loop.runUntil([&] { return onUi + elsewhere >= 4; }, std::chrono::milliseconds(5000)));
    EXPECT_EQ(onUi.load(), 4);
    EXPECT_EQ(elsewhere.load(), 0);
    // The worker may be waiting for the UI thread: keep the loop running while it ends.
    std::thread ender([&] {
        com.terminate();
        com.resume();
        com.wait(platform::INFINITE);
    });
    loop.runUntil([&] { return com.finished(); }, std::chrono::milliseconds(5000));
    ender.join();
    platform::UiBridge::install(nullptr);
}

} // namespace

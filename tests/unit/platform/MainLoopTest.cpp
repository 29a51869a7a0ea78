// The headless UI thread: queued calls, timers, questions, and how callers
// are released when the loop ends.
#include "PlatformTestSupport.h"

#include "platform/Event.h"
#include "platform/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using platform::INFINITE;
using platform::WAIT_OBJECT_0;
using platform::WAIT_TIMEOUT;
using platformtest::Clock;

namespace {

// Runs the loop on a thread of its own until the fixture ends.
class LoopThread {
public:
    // Returns once the loop runs: a call posted before can only run then.
    explicit LoopThread(platform::MainLoop& loop) : m_loop(loop)
    {
        platform::Event running(true, false);
        m_loop.post([&running] { running.set(); });
        m_thread = std::thread([this] { m_loop.run(); });
        EXPECT_EQ(running.wait(5000), WAIT_OBJECT_0);
    }
    ~LoopThread()
    {
        m_loop.quit();
        m_thread.join();
    }
    std::thread::id id() const { return m_thread.get_id(); }

private:
    platform::MainLoop& m_loop;
    std::thread m_thread;
};

TEST(MainLoop, TimeScaleMakesAShortWaitOfALongSingleShot)
{
    platform::MainLoop loop(0.01);
    std::thread::id tickThread;
    int ticks = 0;
    auto timer = loop.createTimer([&] {
        tickThread = std::this_thread::get_id();
        ++ticks;
    });
    const auto start = Clock::now();
    std::thread([&] { timer->start(25000, true); }).join(); // started from another thread
    EXPECT_TRUE(timer->isActive());
    ASSERT_TRUE(loop.runUntil([&] { return ticks == 1; }, 5000ms));
    EXPECT_LT(Clock::now() - start, 2s) << "25 s scaled by 0.01";
    EXPECT_EQ(tickThread, std::this_thread::get_id()) << "ticks on the loop thread";
    EXPECT_FALSE(timer->isActive()) << "a single-shot timer stops before its tick";
    loop.runUntil([] { return false; }, 30ms);
    EXPECT_EQ(ticks, 1) << "single shot";
}

TEST(MainLoop, TimerStartedFromAnotherThreadFiresOnTheRunningLoop)
{
    platform::MainLoop loop;
    std::atomic<std::thread::id> tickThread{};
    platform::Event ticked(true, false);
    auto timer = loop.createTimer([&] {
        tickThread = std::this_thread::get_id();
        ticked.set();
    });
    LoopThread running(loop);
    timer->start(5, true); // the loop may be asleep with no timer due
    ASSERT_EQ(ticked.wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(tickThread.load(), running.id());
}

TEST(MainLoop, PeriodicTimerStoppedOrRestartedFromItsOwnTick)
{
    platform::MainLoop loop;
    int periodic = 0;
    std::unique_ptr<platform::UiTimer> self;
    self = loop.createTimer([&] {
        if (++periodic == 3)
            self->stop();
    });
    self->start(10, false);
    ASSERT_TRUE(loop.runUntil([&] { return periodic == 3; }, 5000ms));
    EXPECT_FALSE(self->isActive());
    loop.runUntil([] { return false; }, 50ms);
    EXPECT_EQ(periodic, 3) << "stopped from inside its tick";

    // A single shot restarted from its tick fires again.
    int shots = 0;
    std::unique_ptr<platform::UiTimer> again;
    again = loop.createTimer([&] {
        if (++shots < 3)
            again->start(1, true);
    });
    again->start(1, true);
    ASSERT_TRUE(loop.runUntil([&] { return shots == 3; }, 5000ms));
    EXPECT_FALSE(again->isActive());
}

TEST(MainLoop, DestroyedTimerNeverFiresEvenWhenAlreadyDue)
{
    platform::MainLoop loop;
    int ticks = 0;
    auto gone = loop.createTimer([&] { ++ticks; });
    gone->start(1, true);
    const auto due = Clock::now() + 5ms;
    while (Clock::now() < due)
        std::this_thread::yield();
    gone.reset();
    loop.runUntil([] { return false; }, 30ms);
    EXPECT_EQ(ticks, 0);

    // A timer that destroys itself from its tick.
    std::unique_ptr<platform::UiTimer> self;
    int selfTicks = 0;
    self = loop.createTimer([&] {
        ++selfTicks;
        self.reset();
    });
    self->start(1, false);
    ASSERT_TRUE(loop.runUntil([&] { return self == nullptr; }, 5000ms));
    loop.runUntil([] { return false; }, 30ms);
    EXPECT_EQ(selfTicks, 1);
}

TEST(MainLoop, DestroyingATimerOnAnotherThreadWaitsForItsTick)
{
    platform::MainLoop loop;
    platform::Event inTick(true, false), leaveTick(true, false), destroyed(true, false);
    std::atomic<bool> tickOver{false};
    auto timer = loop.createTimer([&] {
        inTick.set();
        leaveTick.wait(INFINITE);
        tickOver = true;
    });
    LoopThread running(loop);
    timer->start(1, true);
    ASSERT_EQ(inTick.wait(5000), WAIT_OBJECT_0);
    std::atomic<bool> overWhenDestroyed{false};
    std::thread destroyer([&] {
        timer.reset();
        overWhenDestroyed = tickOver.load();
        destroyed.set();
    });
    EXPECT_EQ(destroyed.wait(30), WAIT_TIMEOUT) << "returned while the tick still ran";
    leaveTick.set();
    EXPECT_EQ(destroyed.wait(5000), WAIT_OBJECT_0);
    destroyer.join();
    EXPECT_TRUE(overWhenDestroyed);
}

TEST(MainLoop, RunAndWaitRunsOnTheLoopThreadBeforeReturning)
{
    platform::MainLoop loop;
    // On the UI thread: at once, in place.
    bool inline_ = false;
    loop.runAndWait([&] { inline_ = true; });
    EXPECT_TRUE(inline_);
    EXPECT_TRUE(loop.isUiThread());

    LoopThread running(loop);
    EXPECT_FALSE(loop.isUiThread()) << "the thread in run() is the UI thread";
    std::thread::id ranOn;
    bool ran = false;
    loop.runAndWait([&] {
        ranOn = std::this_thread::get_id();
        ran = true;
    });
    EXPECT_TRUE(ran) << "returned before the call ran";
    EXPECT_EQ(ranOn, running.id());

    std::atomic<int> posted{0};
    for (int i = 0; i < 5; ++i)
        loop.post([&posted, i] {
            if (posted == i)
                ++posted; // in order
        });
    loop.runAndWait([] {});
    EXPECT_EQ(posted.load(), 5) << "posted calls run in order, before a later call";
}

TEST(MainLoop, RunUntilMakesItsThreadTheUiThreadForItsDuration)
{
    platform::MainLoop loop;
    bool uiInside = false;
    std::thread([&] {
        loop.runUntil([&] { return uiInside = loop.isUiThread(); }, 1000ms);
    }).join();
    EXPECT_TRUE(uiInside);
    EXPECT_TRUE(loop.isUiThread()) << "the constructing thread is the UI thread again";
}

TEST(MainLoop, QuestionsAndMessagesFromAWorkerRunOnTheLoopThread)
{
    platform::MainLoop loop;
    std::thread::id askedOn, shownOn;
    std::string shown;
    loop.setAskHandler([&](const std::string& text) {
        askedOn = std::this_thread::get_id();
        return text == "Downgrade?";
    });
    loop.setMessageHandler([&](const std::string& text, const std::string& caption) {
        shownOn = std::this_thread::get_id();
        shown = caption + "|" + text;
    });
    std::atomic<int> answer{-1};
    std::atomic<bool> boxClosed{false};
    std::thread worker([&] {
        answer = loop.askYesNo("Downgrade?", "caption") ? 1 : 0;
        loop.messageBox("text", "Title", platform::MessageIcon::Error);
        boxClosed = true;
    });
    ASSERT_TRUE(loop.runUntil([&] { return boxClosed.load(); }, 5000ms));
    worker.join();
    EXPECT_EQ(answer.load(), 1);
    EXPECT_EQ(askedOn, std::this_thread::get_id());
    EXPECT_EQ(shownOn, std::this_thread::get_id());
    EXPECT_EQ(shown, "Title|text");
}

TEST(MainLoop, WithoutHandlersTheAnswerIsNoAndTheMessageGoesToStandardError)
{
    platform::MainLoop loop;
    EXPECT_FALSE(loop.askYesNo("Downgrade?", "caption"));
    testing::internal::CaptureStderr();
    loop.messageBox("Port missing", "Upgrader", platform::MessageIcon::Warning);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Upgrader: Port missing\n");
}

TEST(MainLoop, QuitReleasesWaitingCallersAndIsFinal)
{
    platform::MainLoop loop;
    std::atomic<pid_t> callerTid{0};
    std::atomic<bool> ran{false};
    std::atomic<bool> askAnswered{false};
    loop.setAskHandler([](const std::string&) { return true; });
    std::thread caller([&] {
        callerTid = platformtest::currentTid();
        loop.runAndWait([&] { ran = true; }); // nobody runs the loop: waits
        askAnswered = loop.askYesNo("Downgrade?", "caption");
    });
    ASSERT_TRUE(platformtest::waitUntilSleeping(callerTid));
    loop.quit();
    caller.join(); // must not hang
    EXPECT_FALSE(ran);
    EXPECT_FALSE(askAnswered) << "after quit a question is answered No";

    // The dropped call would reference the caller's gone stack frame: it must
    // never run, whatever runs the loop later.
    EXPECT_FALSE(loop.runUntil([&] { return ran.load(); }, 100ms));
    loop.run(); // returns at once
    EXPECT_FALSE(ran);
}

TEST(MainLoop, QuitFromATickEndsRunUntilBeforeItsDeadline)
{
    platform::MainLoop loop;
    auto timer = loop.createTimer([&] { loop.quit(); });
    timer->start(1, true);
    const auto start = Clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 60000ms));
    EXPECT_LT(Clock::now() - start, 30s);
}

TEST(MainLoop, QuitBeforeRunIsNotLost)
{
    platform::MainLoop loop;
    std::thread quitter([&] { loop.quit(); });
    quitter.join();
    loop.run(); // would block for ever if the quit were forgotten
    SUCCEED();
}

TEST(MainLoop, DestructionReleasesAWaitingCallerAndUninstallsTheBridge)
{
    auto loop = std::make_unique<platform::MainLoop>();
    platform::UiBridge::install(loop.get());
    std::atomic<pid_t> callerTid{0};
    std::atomic<bool> ran{false};
    std::thread caller([&, raw = loop.get()] {
        callerTid = platformtest::currentTid();
        raw->runAndWait([&] { ran = true; });
    });
    ASSERT_TRUE(platformtest::waitUntilSleeping(callerTid));
    loop.reset();
    caller.join();
    EXPECT_FALSE(ran);
    EXPECT_EQ(platform::UiBridge::current(), nullptr);
}

} // namespace

// Events, mutexes, threads, timers and the headless main loop.
#include "platform/Event.h"
#include "platform/MainLoop.h"
#include "platform/Mutex.h"
#include "platform/PeriodicTimer.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using platform::WAIT_ABANDONED;
using platform::WAIT_OBJECT_0;
using platform::WAIT_TIMEOUT;

namespace {

TEST(Event, AutoResetReleasesOneWaiterPerSignalManualResetReleasesAll)
{
    platform::Event autoEvent(false, true);
    EXPECT_EQ(platform::waitFor(autoEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(platform::waitFor(autoEvent, 0), WAIT_TIMEOUT) << "the first wait consumed the signal";

    platform::Event manual(true, false);
    EXPECT_EQ(platform::waitFor(manual, 10), WAIT_TIMEOUT);
    manual.set();
    EXPECT_EQ(platform::waitFor(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(platform::waitFor(manual, 0), WAIT_OBJECT_0) << "a manual-reset event stays set";
    manual.reset();
    EXPECT_EQ(platform::waitFor(manual, 0), WAIT_TIMEOUT);

    // Two waiters on one auto-reset event: one set releases exactly one.
    platform::Event gate(false, false);
    std::atomic<int> released{0};
    std::thread a([&] { if (gate.wait(3000) == WAIT_OBJECT_0) ++released; });
    std::thread b([&] { if (gate.wait(3000) == WAIT_OBJECT_0) ++released; });
    gate.set();
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (released == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(released.load(), 1);
    gate.set();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
}

TEST(Mutex, RecursiveOwnedTimedAndAbandonedWhenItsOwnerEnds)
{
    platform::Mutex mutex;
    ASSERT_EQ(mutex.wait(0), WAIT_OBJECT_0);
    ASSERT_EQ(mutex.wait(0), WAIT_OBJECT_0) << "recursive";
    uint32_t other = 0;
    bool otherReleased = true;
    std::thread([&] {
        other = mutex.wait(20);
        otherReleased = mutex.release();
    }).join();
    EXPECT_EQ(other, WAIT_TIMEOUT);
    EXPECT_FALSE(otherReleased) << "a thread that does not own it cannot release it";
    EXPECT_TRUE(mutex.release());
    EXPECT_TRUE(mutex.release());
    EXPECT_FALSE(mutex.release()) << "released more often than taken";

    std::thread([&] { ASSERT_EQ(mutex.wait(0), WAIT_OBJECT_0); }).join(); // ends holding it
    EXPECT_EQ(mutex.wait(1000), WAIT_ABANDONED);
    EXPECT_TRUE(mutex.release());
    EXPECT_EQ(mutex.wait(0), WAIT_OBJECT_0) << "abandonment is reported once";
    EXPECT_TRUE(mutex.release());
}

TEST(Mutex, ThreadMayOutliveAMutexItHeld)
{
    platform::Event taken(true, false), leave(true, false);
    auto mutex = std::make_unique<platform::Mutex>();
    std::thread holder([&] {
        mutex->wait(0);
        taken.set();
        leave.wait(3000);
    });
    taken.wait(3000);
    mutex.reset();
    leave.set();
    holder.join(); // its exit hook must not touch freed memory (ASan would say)
}

TEST(PeriodicTimer, KeepsItsPeriodOverOneSecond)
{
    platform::Event tick(false, false);
    int ticks = 0;
    const auto start = std::chrono::steady_clock::now();
    {
        platform::PeriodicTimer timer(tick, 10);
        ASSERT_TRUE(timer.ok());
        while (std::chrono::steady_clock::now() - start < 1s)
            if (tick.wait(100) == WAIT_OBJECT_0)
                ++ticks;
    }
    // 100 periods; a shared machine may merge a few late wake-ups.
    EXPECT_GE(ticks, 85);
    EXPECT_LE(ticks, 101);
}

class Worker : public platform::Thread {
public:
    ~Worker() override
    {
        terminate();
        resume();
        wait(platform::INFINITE);
    }
    std::atomic<int> rounds{0};

protected:
    void execute() override
    {
        while (!terminated()) {
            ++rounds;
            park();
        }
    }
};

TEST(Thread, StartsSuspendedParksUntilResumedEndsOnTerminate)
{
    Worker worker;
    EXPECT_FALSE(worker.started());
    EXPECT_EQ(worker.rounds.load(), 0);
    worker.resume();
    platform::MainLoop loop;
    ASSERT_TRUE(loop.runUntil([&] { return worker.rounds == 1; }, 2000ms));
    worker.resume();
    ASSERT_TRUE(loop.runUntil([&] { return worker.rounds == 2; }, 2000ms));
    worker.terminate();
    EXPECT_EQ(worker.wait(2000), WAIT_OBJECT_0);
    EXPECT_TRUE(worker.finished());
}

TEST(Thread, SynchronizeRunsOnTheLoopThreadWhileTheCallerWaits)
{
    platform::MainLoop loop;
    platform::UiBridge::install(&loop);
    std::thread::id ranOn;
    std::atomic<bool> callerResumed{false};
    std::atomic<bool> bodyDoneBeforeCallerResumed{false};
    std::thread caller([&] {
        platform::Thread::synchronize([&] {
            ranOn = std::this_thread::get_id();
            bodyDoneBeforeCallerResumed = !callerResumed;
        });
        callerResumed = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return callerResumed.load(); }, 2000ms));
    caller.join();
    platform::UiBridge::install(nullptr);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(bodyDoneBeforeCallerResumed);
}

TEST(MainLoop, TimeScaleTimersFromOtherThreadsAndQuestions)
{
    platform::MainLoop loop(0.01);
    std::thread::id tickThread;
    int ticks = 0;
    auto timer = loop.createTimer([&] {
        tickThread = std::this_thread::get_id();
        ++ticks;
    });
    const auto start = std::chrono::steady_clock::now();
    std::thread([&] { timer->start(25000, true); }).join(); // started from another thread
    ASSERT_TRUE(loop.runUntil([&] { return ticks == 1; }, 5000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "25 s scaled by 0.01";
    EXPECT_EQ(tickThread, std::this_thread::get_id());
    EXPECT_FALSE(timer->isActive()) << "a single-shot timer stops before its tick";

    // A periodic timer stopped from inside its own tick fires no more.
    int periodic = 0;
    std::unique_ptr<platform::UiTimer> self;
    self = loop.createTimer([&] {
        if (++periodic == 3)
            self->stop();
    });
    self->start(100, false);
    ASSERT_TRUE(loop.runUntil([&] { return periodic == 3; }, 5000ms));
    loop.runUntil([] { return false; }, 50ms);
    EXPECT_EQ(periodic, 3);

    // A destroyed timer never fires.
    int destroyedTicks = 0;
    auto gone = loop.createTimer([&] { ++destroyedTicks; });
    gone->start(1, true);
    gone.reset();
    loop.runUntil([] { return false; }, 30ms);
    EXPECT_EQ(destroyedTicks, 0);

    // The question asked on a worker thread is answered on the loop thread.
    std::thread::id askedOn;
    loop.setAskHandler([&](const std::string& text) {
        askedOn = std::this_thread::get_id();
        return text == "Downgrade?";
    });
    std::atomic<int> answer{-1};
    std::thread asker([&] { answer = loop.askYesNo("Downgrade?", "caption") ? 1 : 0; });
    ASSERT_TRUE(loop.runUntil([&] { return answer != -1; }, 2000ms));
    asker.join();
    EXPECT_EQ(answer.load(), 1);
    EXPECT_EQ(askedOn, std::this_thread::get_id());
}

TEST(MainLoop, RunAndWaitIsReleasedWhenTheLoopQuits)
{
    auto loop = std::make_unique<platform::MainLoop>();
    loop->quit();
    bool ran = false;
    std::thread([&] { loop->runAndWait([&] { ran = true; }); }).join(); // must not hang
    EXPECT_FALSE(ran);
}

} // namespace

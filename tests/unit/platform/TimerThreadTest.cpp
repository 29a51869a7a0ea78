// The periodic tick of the port worker and the worker-thread base.
#include "PlatformTestSupport.h"

#include "platform/Event.h"
#include "platform/MainLoop.h"
#include "platform/PeriodicTimer.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using platform::INFINITE;
using platform::WAIT_FAILED;
using platform::WAIT_OBJECT_0;
using platform::WAIT_TIMEOUT;
using platformtest::Clock;
using platformtest::eventually;

namespace {

// Counts the ticks seen over `span`, waiting on the event as the port worker does.
int ticksOver(uint32_t periodMs, std::chrono::milliseconds span, uint32_t* reportedPeriod = nullptr)
{
    platform::Event tick(false, false);
    int ticks = 0;
    platform::PeriodicTimer timer(tick, periodMs);
    EXPECT_TRUE(timer.ok());
    if (reportedPeriod)
        *reportedPeriod = timer.periodMs();
    const auto end = Clock::now() + span;
    while (Clock::now() < end)
        if (tick.wait(100) == WAIT_OBJECT_0)
            ++ticks;
    return ticks;
}

TEST(PeriodicTimer, KeepsItsPeriod)
{
    // The machine is shared: a late wake-up merges ticks (seen: a fifth of
    // them under load), so only the upper bounds are tight.
    const int at10 = ticksOver(10, 1000ms);
    EXPECT_GE(at10, 60);
    EXPECT_LE(at10, 101);
    const int at2 = ticksOver(2, 500ms);
    EXPECT_GE(at2, 120);
    EXPECT_LE(at2, 251);
}

TEST(PeriodicTimer, PeriodZeroIsOneMillisecondNotABusyLoop)
{
    uint32_t reported = 0;
    const int ticks = ticksOver(0, 200ms, &reported);
    EXPECT_EQ(reported, 1u);
    EXPECT_GE(ticks, 50);
    EXPECT_LE(ticks, 201) << "a period of 0 must not set the event as fast as the thread can";
}

TEST(PeriodicTimer, StopsAtOnceOnDestructionAndNeverSetsAfterwards)
{
    platform::Event tick(false, false);
    platform::Event destroyed(true, false);
    std::thread owner([&] {
        {
            platform::PeriodicTimer slow(tick, 60000);
            EXPECT_TRUE(slow.ok());
        } // the destructor must not wait for the minute
        destroyed.set();
    });
    EXPECT_EQ(destroyed.wait(5000), WAIT_OBJECT_0);
    owner.join();
    EXPECT_FALSE(tick.isSet());

    {
        platform::PeriodicTimer fast(tick, 1);
        EXPECT_EQ(tick.wait(2000), WAIT_OBJECT_0);
    }
    tick.reset();
    EXPECT_EQ(tick.wait(30), WAIT_TIMEOUT) << "set after its destruction";
}

// The port worker pauses the ticks while it sleeps on its line, and sets the
// next one for when the rest of an answer can be there.
TEST(PeriodicTimer, PausedAndRestartedWithAFirstTickOfItsOwn)
{
    platform::Event tick(false, false);
    platform::PeriodicTimer slow(tick, 60000);
    ASSERT_TRUE(slow.ok());
    ASSERT_TRUE(slow.restart(1ms));
    EXPECT_EQ(tick.wait(5000), WAIT_OBJECT_0) << "the first tick waited for the period";
    ASSERT_TRUE(slow.restart(1ms));
    slow.pause();
    EXPECT_EQ(tick.wait(30), WAIT_TIMEOUT) << "a tick came while paused";
    platform::PeriodicTimer fast(tick, 1);
    fast.pause();
    ASSERT_TRUE(fast.restart());
    EXPECT_EQ(tick.wait(5000), WAIT_OBJECT_0);
}

// The port worker sleeps on its line and its tick at once.
TEST(Event, WaitWithADescriptorReportsWhichCameFirst)
{
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    platform::Event tick(false, false);
    EXPECT_EQ(tick.waitWith(pipeFds[0], 20), WAIT_TIMEOUT);
    ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);
    EXPECT_EQ(tick.waitWith(pipeFds[0], 5000), WAIT_OBJECT_0 + 1);
    tick.set();
    EXPECT_EQ(tick.waitWith(pipeFds[0], 5000), WAIT_OBJECT_0) << "the event first, as for several objects";
    EXPECT_EQ(tick.waitWith(pipeFds[0], 5000), WAIT_OBJECT_0 + 1) << "the set was taken once";
    {
        platform::PeriodicTimer fast(tick, 1);
        EXPECT_EQ(tick.waitWith(-1, 5000), WAIT_OBJECT_0) << "no descriptor: the ticks alone";
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

size_t threadsOfThisProcess()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// An idle open port ticks 500 times a second: each tick must wake the port
// thread only, not a timer thread that wakes it in turn.
TEST(PeriodicTimer, TicksWithoutAThreadOfItsOwn)
{
    platform::Event tick(false, false);
    const size_t before = threadsOfThisProcess();
    platform::PeriodicTimer timer(tick, 2);
    ASSERT_TRUE(timer.ok());
    EXPECT_EQ(tick.wait(2000), WAIT_OBJECT_0);
    // At most as many: a thread joined by an earlier test may still have been listed.
    EXPECT_LE(threadsOfThisProcess(), before);
}

// A thread in event.wait(30000). A wake-up that never comes shows as a wait
// still running after 10 s, well before its own limit ends it.
class Waiter {
public:
    explicit Waiter(platform::Event& event)
        : m_thread([this, &event] {
              m_tid = platformtest::currentTid();
              m_result = event.wait(30000);
              m_done = true;
          })
    {
    }
    ~Waiter() { m_thread.join(); }
    bool asleep() const { return platformtest::waitUntilSleeping(m_tid); }
    // The wait's result once it returned within 10 s, else WAIT_FAILED.
    uint32_t result() const
    {
        return eventually([this] { return m_done.load(); }, 10s) ? m_result.load() : WAIT_FAILED;
    }

private:
    std::atomic<pid_t> m_tid{0};
    std::atomic<uint32_t> m_result{WAIT_FAILED};
    std::atomic<bool> m_done{false};
    std::thread m_thread; // last: it uses the members above
};

TEST(PeriodicTimer, ASetStillWakesAWaiterAsleepOnTheTicks)
{
    platform::Event tick(false, false);
    platform::PeriodicTimer slow(tick, 60000);
    ASSERT_TRUE(slow.ok());
    Waiter waiter(tick);
    ASSERT_TRUE(waiter.asleep());
    tick.set();
    EXPECT_EQ(waiter.result(), WAIT_OBJECT_0) << "the set waited for a tick";
    EXPECT_EQ(tick.wait(0), WAIT_TIMEOUT) << "one set, one release";
}

TEST(PeriodicTimer, TicksReachAWaiterThatFellAsleepBeforeTheyStarted)
{
    platform::Event tick(false, false);
    Waiter waiter(tick);
    ASSERT_TRUE(waiter.asleep());
    platform::PeriodicTimer fast(tick, 5);
    ASSERT_TRUE(fast.ok());
    EXPECT_EQ(waiter.result(), WAIT_OBJECT_0) << "the ticks never reached the waiter";
}

class Worker : public platform::Thread {
public:
    ~Worker() override
    {
        terminate();
        resume();
        wait(INFINITE);
    }
    std::atomic<int> rounds{0};
    platform::Event beforePark{false, false}; // each round, before parking
    platform::Event mayPark{true, true};

protected:
    void execute() override
    {
        while (!terminated()) {
            ++rounds;
            beforePark.set();
            mayPark.wait(INFINITE);
            park();
        }
    }
};

TEST(Thread, StartsSuspendedParksUntilResumedEndsOnTerminate)
{
    Worker worker;
    EXPECT_FALSE(worker.started());
    EXPECT_EQ(worker.wait(0), WAIT_OBJECT_0) << "never started counts as ended";
    EXPECT_EQ(worker.beforePark.wait(30), WAIT_TIMEOUT) << "runs before the first resume";
    worker.resume();
    EXPECT_TRUE(worker.started());
    ASSERT_TRUE(eventually([&] { return worker.rounds == 1; }));
    EXPECT_EQ(worker.wait(20), WAIT_TIMEOUT) << "parked, not ended";
    EXPECT_FALSE(worker.finished());
    worker.resume();
    ASSERT_TRUE(eventually([&] { return worker.rounds == 2; }));
    worker.terminate();
    EXPECT_EQ(worker.wait(2000), WAIT_OBJECT_0);
    EXPECT_TRUE(worker.finished());
    EXPECT_EQ(worker.rounds.load(), 2);
}

TEST(Thread, ResumeWhileRunningIsNotLost)
{
    Worker worker;
    worker.mayPark.reset();
    worker.resume();
    ASSERT_EQ(worker.beforePark.wait(5000), WAIT_OBJECT_0);
    worker.resume(); // the worker has not parked yet
    worker.mayPark.set();
    ASSERT_EQ(worker.beforePark.wait(5000), WAIT_OBJECT_0) << "park() must return at once";
    EXPECT_EQ(worker.rounds.load(), 2);
}

class SelfWaiting : public platform::Thread {
public:
    ~SelfWaiting() override
    {
        terminate();
        wait(INFINITE);
    }
    std::atomic<uint32_t> ownWait{0};

protected:
    void execute() override { ownWait = wait(INFINITE); }
};

TEST(Thread, CannotWaitForItsOwnEnd)
{
    SelfWaiting thread;
    thread.resume();
    ASSERT_EQ(thread.wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(thread.ownWait.load(), WAIT_FAILED);
}

class SelfDeleting : public platform::Thread {
public:
    explicit SelfDeleting(platform::Event& gone) : m_gone(gone) {}
    ~SelfDeleting() override { m_gone.set(); }

protected:
    void execute() override { delete this; }

private:
    platform::Event& m_gone;
};

TEST(Thread, MayBeDeletedFromItsOwnExecute)
{
    platform::Event gone(true, false);
    (new SelfDeleting(gone))->resume();
    EXPECT_EQ(gone.wait(5000), WAIT_OBJECT_0); // and no abort, no use after free
}

class NiceProbe : public platform::Thread {
public:
    ~NiceProbe() override
    {
        terminate();
        resume();
        wait(INFINITE);
    }
    std::atomic<int> nice{100};
    platform::Event measured{false, false};

protected:
    void execute() override
    {
        while (!terminated()) {
            errno = 0;
            nice = ::getpriority(PRIO_PROCESS, 0); // this thread's own value
            measured.set();
            park();
        }
    }
};

TEST(Thread, AboveNormalIsOneStepAboveTheProcessAndDoesNotAddUp)
{
    const int processNice = ::getpriority(PRIO_PROCESS, 0);
    NiceProbe probe;
    probe.setPriority(platform::Thread::Priority::AboveNormal); // before the start
    probe.resume();
    ASSERT_EQ(probe.measured.wait(5000), WAIT_OBJECT_0);
    if (probe.nice == processNice)
        GTEST_SKIP() << "not allowed to raise a thread's priority here";
    EXPECT_EQ(probe.nice.load(), processNice - 1);
    probe.setPriority(platform::Thread::Priority::AboveNormal); // again, while running
    probe.resume();
    ASSERT_EQ(probe.measured.wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.nice.load(), processNice - 1);
    probe.setPriority(platform::Thread::Priority::Normal);
    probe.resume();
    ASSERT_EQ(probe.measured.wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.nice.load(), processNice);
}

class BridgeInstalled {
public:
    explicit BridgeInstalled(platform::UiBridge* bridge) { platform::UiBridge::install(bridge); }
    ~BridgeInstalled() { platform::UiBridge::install(nullptr); }
};

TEST(Thread, SynchronizeRunsOnTheLoopThreadWhileTheCallerWaits)
{
    platform::MainLoop loop;
    BridgeInstalled installed(&loop);
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
    EXPECT_TRUE(loop.runUntil([&] { return callerResumed.load(); }, 5000ms));
    caller.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(bodyDoneBeforeCallerResumed);
}

TEST(Thread, SynchronizeRunsInPlaceWithoutABridgeAndOnTheUiThread)
{
    std::thread::id ranOn;
    std::thread([&] { platform::Thread::synchronize([&] { ranOn = std::this_thread::get_id(); }); }).join();
    EXPECT_NE(ranOn, std::thread::id{});
    EXPECT_NE(ranOn, std::this_thread::get_id()) << "no bridge: on the calling thread";

    platform::MainLoop loop; // this thread is its UI thread
    BridgeInstalled installed(&loop);
    bool ran = false;
    platform::Thread::synchronize([&] { ran = true; });
    EXPECT_TRUE(ran) << "on the UI thread it must not wait for the loop";
}

} // namespace

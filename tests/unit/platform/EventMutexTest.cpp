// Events and thread-owned mutexes: the wait codes the reporting code relies on.
#include "PlatformTestSupport.h"

#include "platform/Event.h"
#include "platform/Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::INFINITE;
using platform::WAIT_ABANDONED;
using platform::WAIT_FAILED;
using platform::WAIT_OBJECT_0;
using platform::WAIT_TIMEOUT;
using platformtest::eventually;

namespace {

TEST(Wait, CodesHaveTheValuesTheReportsExpect)
{
    EXPECT_EQ(WAIT_OBJECT_0, 0x0u);
    EXPECT_EQ(WAIT_ABANDONED, 0x80u);
    EXPECT_EQ(WAIT_TIMEOUT, 0x102u);
    EXPECT_EQ(WAIT_FAILED, 0xFFFFFFFFu);
    EXPECT_EQ(platform::waitFor(static_cast<platform::Waitable*>(nullptr), 0), WAIT_FAILED);
}

TEST(Event, WaitResultsByKindAndState)
{
    struct Case {
        bool manual;
        bool initial;
        uint32_t ms;
        uint32_t first;
        uint32_t second; // a second wait right after the first
    };
    const Case cases[] = {
        {false, true, 0, WAIT_OBJECT_0, WAIT_TIMEOUT},   // auto: the wait consumed the signal
        {false, true, INFINITE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {true, true, 0, WAIT_OBJECT_0, WAIT_OBJECT_0},   // manual: stays set
        {true, true, INFINITE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {false, false, 0, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {false, false, 20, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {true, false, 20, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "manual " << c.manual << " initial " << c.initial << " ms " << c.ms);
        platform::Event event(c.manual, c.initial);
        EXPECT_EQ(platform::waitFor(event, c.ms), c.first);
        EXPECT_EQ(platform::waitFor(&event, c.ms == INFINITE ? 0 : c.ms), c.second);
    }
}

TEST(Event, SetAndResetChangeTheStateSeenByLaterWaits)
{
    platform::Event manual(true, false);
    EXPECT_FALSE(manual.isSet());
    manual.set();
    EXPECT_TRUE(manual.isSet());
    EXPECT_EQ(manual.wait(0), WAIT_OBJECT_0);
    manual.reset();
    EXPECT_EQ(manual.wait(0), WAIT_TIMEOUT);

    // Nobody waits: an auto-reset event stays set until one wait consumes it.
    platform::Event automatic(false, false);
    automatic.set();
    automatic.set();
    EXPECT_TRUE(automatic.isSet());
    EXPECT_EQ(automatic.wait(0), WAIT_OBJECT_0);
    EXPECT_FALSE(automatic.isSet());
    EXPECT_EQ(automatic.wait(0), WAIT_TIMEOUT) << "two sets without a waiter are one signal";
    automatic.set();
    automatic.reset();
    EXPECT_EQ(automatic.wait(0), WAIT_TIMEOUT);
}

// Two threads wait on one event; returns how many were released by `sets`
// calls of set() made once both sleep inside the wait.
int releasedBySets(bool manual, int sets)
{
    platform::Event event(manual, false);
    std::atomic<pid_t> tids[2] = {0, 0};
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (auto& tid : tids)
        waiters.emplace_back([&] {
            tid = platformtest::currentTid();
            if (event.wait(300) == WAIT_OBJECT_0)
                ++released;
        });
    for (auto& tid : tids)
        EXPECT_TRUE(platformtest::waitUntilSleeping(tid));
    for (int i = 0; i < sets; ++i)
        event.set();
    for (auto& waiter : waiters)
        waiter.join();
    return released.load();
}

TEST(Event, AutoResetReleasesOneWaiterPerSetManualResetReleasesAll)
{
    EXPECT_EQ(releasedBySets(false, 1), 1);
    EXPECT_EQ(releasedBySets(false, 2), 2) << "a second set before the first waiter woke is not lost";
    EXPECT_EQ(releasedBySets(true, 1), 2);
}

TEST(Event, WaiterWakesWhenSetFromAnotherThread)
{
    platform::Event event(false, false);
    std::thread setter([&] { event.set(); });
    EXPECT_EQ(event.wait(INFINITE), WAIT_OBJECT_0);
    setter.join();
}

TEST(Mutex, RecursiveOwnedTimedAndReleasedOnlyByItsOwner)
{
    platform::Mutex mutex;
    ASSERT_EQ(mutex.wait(0), WAIT_OBJECT_0);
    ASSERT_EQ(mutex.wait(INFINITE), WAIT_OBJECT_0) << "recursive";
    uint32_t other = 0;
    bool otherReleased = true;
    std::thread([&] {
        other = mutex.wait(20);
        otherReleased = mutex.release();
    }).join();
    EXPECT_EQ(other, WAIT_TIMEOUT);
    EXPECT_FALSE(otherReleased) << "a thread that does not own it cannot release it";
    EXPECT_TRUE(mutex.release());
    uint32_t whileHeldOnce = 0;
    std::thread([&] { whileHeldOnce = mutex.wait(0); }).join();
    EXPECT_EQ(whileHeldOnce, WAIT_TIMEOUT) << "taken twice, released once: still owned";
    EXPECT_TRUE(mutex.release());
    EXPECT_FALSE(mutex.release()) << "released more often than taken";

    uint32_t afterRelease = WAIT_FAILED;
    std::thread([&] {
        afterRelease = mutex.wait(1000);
        mutex.release();
    }).join();
    EXPECT_EQ(afterRelease, WAIT_OBJECT_0);
}

TEST(Mutex, AbandonedWhenItsOwnerThreadEnds)
{
    platform::Mutex mutex;
    std::thread([&] { ASSERT_EQ(mutex.wait(0), WAIT_OBJECT_0); }).join(); // ends holding it
    EXPECT_EQ(mutex.wait(1000), WAIT_ABANDONED);
    std::thread([&] { EXPECT_EQ(mutex.wait(0), WAIT_TIMEOUT) << "the abandoned wait took ownership"; }).join();
    EXPECT_TRUE(mutex.release());
    EXPECT_EQ(mutex.wait(0), WAIT_OBJECT_0) << "abandonment is reported once";
    EXPECT_TRUE(mutex.release());

    // Taken twice, then the owner ends: the next owner starts at depth one.
    std::thread([&] {
        mutex.wait(0);
        mutex.wait(0);
    }).join();
    EXPECT_EQ(mutex.wait(0), WAIT_ABANDONED);
    EXPECT_TRUE(mutex.release());
    EXPECT_FALSE(mutex.release());
}

TEST(Mutex, ThreadBlockedOnItGetsItAbandonedWhenTheOwnerEnds)
{
    platform::Mutex mutex;
    platform::Event taken(true, false), leave(true, false);
    std::thread owner([&] {
        mutex.wait(0);
        taken.set();
        leave.wait(INFINITE);
    });
    ASSERT_EQ(taken.wait(5000), WAIT_OBJECT_0);
    std::atomic<pid_t> waiterTid{0};
    std::atomic<uint32_t> result{0};
    std::thread waiter([&] {
        waiterTid = platformtest::currentTid();
        result = mutex.wait(INFINITE);
        mutex.release();
    });
    EXPECT_TRUE(platformtest::waitUntilSleeping(waiterTid));
    leave.set();
    owner.join();
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_ABANDONED);
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

TEST(Mutex, ExcludesOtherThreads)
{
    platform::Mutex mutex;
    long counter = 0; // deliberately unprotected except by the mutex
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(mutex.wait(INFINITE), WAIT_OBJECT_0);
                const long seen = counter;
                counter = seen + 1;
                ASSERT_TRUE(mutex.release());
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 8000);
}

} // namespace

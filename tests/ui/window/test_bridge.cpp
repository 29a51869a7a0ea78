// The Qt UI-thread bridge: calls, timers and boxes asked for from other threads.
#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QThread>

#include <atomic>
#include <thread>

using namespace uitest;

namespace {

QThread* uiThread()
{
    return QApplication::instance()->thread();
}

TEST(QtUiBridge, CallsFromAWorkerRunOnTheUiThread)
{
    EXPECT_TRUE(bridge().isUiThread());
    std::atomic<bool> workerSeesUi{true};
    std::atomic<bool> ranOnUi{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> posted{false};
    std::thread worker([&] {
        workerSeesUi = bridge().isUiThread();
        bridge().runAndWait([&] { ranOnUi = QThread::currentThread() == uiThread(); });
        // runAndWait returned: its function has run.
        returned = ranOnUi.load();
        bridge().post([&] { posted = QThread::currentThread() == uiThread(); });
    });
    EXPECT_TRUE(waitUntil([&] { return returned.load() && posted.load(); }));
    worker.join();
    EXPECT_FALSE(workerSeesUi.load());
    EXPECT_TRUE(ranOnUi.load());
}

TEST(QtUiBridge, TimersStartedAndStoppedFromAnyThreadTickOnTheUiThread)
{
    std::atomic<int> ticks{0};
    std::atomic<bool> tickOnUi{true};
    auto timer = bridge().createTimer([&] {
        if (QThread::currentThread() != uiThread())
            tickOnUi = false;
        ++ticks;
    });
    // One-shot, started from a worker, interval scaled by the test time scale:
    // 60 s unscaled would never tick within the wait.
    std::thread([&] { timer->start(60000, true); }).join();
    EXPECT_TRUE(timer->isActive());
    ASSERT_TRUE(waitUntil([&] { return ticks.load() == 1; }, 5000));
    EXPECT_FALSE(timer->isActive());
    EXPECT_TRUE(tickOnUi.load());

    // Periodic, stopped from a worker after a few ticks.
    timer->start(500, false);
    ASSERT_TRUE(waitUntil([&] { return ticks.load() >= 4; }));
    std::thread([&] { timer->stop(); }).join();
    EXPECT_FALSE(timer->isActive());
    QTest::qWait(0); // deliver the queued stop
    const int stoppedAt = ticks.load();
    EXPECT_FALSE(waitUntil([&] { return ticks.load() > stoppedAt; }, 200));
}

TEST(QtUiBridge, ATimerDestroyedOnAWorkerNeverTicksAgain)
{
    std::atomic<int> ticks{0};
    auto timer = bridge().createTimer([&] { ++ticks; });
    timer->start(100, false);
    ASSERT_TRUE(waitUntil([&] { return ticks.load() >= 1; }));
    std::thread([&] { timer.reset(); }).join();
    const int at = ticks.load();
    EXPECT_FALSE(waitUntil([&] { return ticks.load() > at; }, 200));
}

TEST(QtUiBridge, TicksCanStopOrDeleteTheirOwnTimer)
{
    std::unique_ptr<platform::UiTimer> timer;
    std::atomic<int> ticks{0};
    timer = bridge().createTimer([&] {
        ++ticks;
        timer.reset();
    });
    timer->start(100, false);
    ASSERT_TRUE(waitUntil([&] { return ticks.load() == 1 && !timer; }));
    EXPECT_FALSE(waitUntil([&] { return ticks.load() > 1; }, 100));
}

TEST(QtUiBridge, BoxesAskedForByAWorkerAreModalOnTheUiThreadAndTheWorkerWaits)
{
    std::atomic<bool> messageDone{false};
    std::atomic<int> answer{-1};
    QString shownText;
    bool shownOnUi = false;
    answerNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box)
            return false;
        shownText = box->text();
        shownOnUi = QThread::currentThread() == uiThread();
        box->accept();
        answerNextModal([](QWidget* next) {
            auto* question = qobject_cast<QMessageBox*>(next);
            if (!question || !question->button(QMessageBox::Yes))
                return false;
            question->button(QMessageBox::Yes)->click();
            return true;
        });
        return true;
    });
    std::thread worker([&] {
        bridge().messageBox("Invalid Com port", "caption", platform::MessageIcon::Error);
        messageDone = true;
        answer = bridge().askYesNo("Downgrade ?", "caption") ? 1 : 0;
    });
    ASSERT_TRUE(waitUntil([&] { return answer.load() != -1; }));
    worker.join();
    EXPECT_TRUE(messageDone.load());
    EXPECT_EQ(shownText, QStringLiteral("Invalid Com port"));
    EXPECT_TRUE(shownOnUi);
    EXPECT_EQ(answer.load(), 1);
}

TEST(QtUiBridge, WhileClosingNoBoxIsShownAndQuestionsAreAnsweredNo)
{
    bridge().setClosing(true);
    std::atomic<int> answer{-1};
    std::thread worker([&] {
        bridge().messageBox("text", "caption", platform::MessageIcon::Error);
        answer = bridge().askYesNo("Downgrade ?", "caption") ? 1 : 0;
    });
    // Nothing serves a box here: the worker must come back by itself.
    worker.join();
    const bool askedOnUi = bridge().askYesNo("Downgrade ?", "caption");
    bridge().setClosing(false);
    EXPECT_EQ(answer.load(), 0);
    EXPECT_FALSE(askedOnUi);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace

#pragma once
// The Qt side of platform::UiBridge: the thread that created the bridge (the
// QApplication's thread) is the UI thread; calls from other threads are
// carried there as queued calls, blocking ones where the caller must wait.
#include "platform/UiBridge.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>

class QMessageBox;

class QtUiBridge final : public QObject, public platform::UiBridge {
    Q_OBJECT
public:
    // Create on the UI thread, after the QApplication.
    QtUiBridge();
    ~QtUiBridge() override;

    bool isUiThread() const override;
    void runAndWait(const std::function<void()>& fn) override;
    void post(std::function<void()> fn) override;
    std::unique_ptr<platform::UiTimer> createTimer(std::function<void()> onTick) override;
    void messageBox(const std::string& text, const std::string& caption, platform::MessageIcon icon) override;
    bool askYesNo(const std::string& text, const std::string& caption) override;
    bool openUrl(const std::string& url) override;
    void serveWaitingCalls() override;

    // While the main window closes no box is shown: messages go to the console
    // only and questions are answered No, so no worker thread waits for a
    // window that is going away. Closing also releases the threads already
    // waiting for a box (their question answered No) and closes the boxes
    // that are open; call it on the UI thread.
    void setClosing(bool closing);
    bool closing() const { return m_closing.load(); }

    // Multiplies every timer interval, so that tests can run the engine's
    // 25-second waits in milliseconds. Tests only; production keeps 1.0.
    void setTimeScaleForTests(double scale) { m_timeScale.store(scale); }
    double timeScale() const { return m_timeScale.load(); }

    // The installed bridge when it is a QtUiBridge, else null.
    static QtUiBridge* installed();

private:
    // A call another thread waits for. Boxes and questions hold copies of
    // what they show, so that their caller can be released before they end.
    struct Call {
        std::function<void()> run;
        bool box = false;
        bool started = false;
        bool done = false;
        bool released = false; // a box caller let go by the closing
        bool yes = false;
    };

    // Queues call for the UI thread and waits until it has run (or, for a
    // box, until the closing released it).
    void callAndWait(const std::shared_ptr<Call>& call);
    // Shows a box, or a Yes/No question, on the UI thread and waits for
    // its answer; from another thread through a call that the closing can
    // release. True only for a question answered Yes.
    bool boxAndWait(const std::string& text, const std::string& caption, platform::MessageIcon icon, bool question);
    // On the UI thread. call: the waiting caller's call, null for the UI
    // thread's own box.
    bool showBox(Call* call, const std::string& text, const std::string& caption, platform::MessageIcon icon,
                 bool question);
    // A box that the closing closes again.
    int execBox(QMessageBox& box);

    std::mutex m_callsLock;
    std::condition_variable m_callsChanged;
    std::deque<std::shared_ptr<Call>> m_calls;
    std::set<Call*> m_boxesInProgress;  // guarded by m_callsLock
    std::set<QMessageBox*> m_openBoxes; // UI thread only
    std::atomic<bool> m_closing{false};
    std::atomic<double> m_timeScale{1.0};
};

#pragma once
// The Qt side of platform::UiBridge: the thread that created the bridge (the
// QApplication's thread) is the UI thread; calls from other threads are
// carried there as queued calls, blocking ones where the caller must wait.
#include "platform/UiBridge.h"

#include <QObject>

#include <atomic>

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

    // While the main window closes no box is shown: messages go to the console
    // only and questions are answered No, so no worker thread waits for a
    // window that is going away.
    void setClosing(bool closing) { m_closing.store(closing); }
    bool closing() const { return m_closing.load(); }

    // Multiplies every timer interval, so that tests can run the engine's
    // 25-second waits in milliseconds. Tests only; production keeps 1.0.
    void setTimeScaleForTests(double scale) { m_timeScale.store(scale); }
    double timeScale() const { return m_timeScale.load(); }

    // The installed bridge when it is a QtUiBridge, else null.
    static QtUiBridge* installed();

private:
    std::atomic<bool> m_closing{false};
    std::atomic<double> m_timeScale{1.0};
};

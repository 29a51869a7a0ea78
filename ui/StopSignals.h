#pragma once
// SIGINT and SIGTERM close the window as its close button does: a run in
// progress ends through the window's own closing path, the port is given back
// and the program leaves its message loop normally instead of dying mid-transfer.
// The question about a running upgrade is not asked: the signal is the answer,
// and nobody may be at the screen.
#include <QObject>

class QSocketNotifier;
class TFormMain;

class StopSignals : public QObject {
public:
    explicit StopSignals(TFormMain* window);
    ~StopSignals() override;
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void onSignal();

    TFormMain* m_window;
    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
};

#pragma once
// What the window tests share: a temporary HOME (set before anything reads
// it), the QApplication with a QtUiBridge whose timers run faster, waiting on
// conditions while the event loop runs, and the diagnostic file as the place
// where reported errors can be read back.
#include "ui/QtUiBridge.h"

#include <QApplication>
#include <QTest>
#include <QStringList>
#include <QWidget>

class QTimer;

#include <chrono>
#include <functional>
#include <string>

namespace uitest {

// Engine timers run at this fraction of their time (a 25 s wait takes 0.25 s).
constexpr double TIME_SCALE = 0.01;
constexpr int DEFAULT_WAIT_MS = 15000;

// The temporary home of this test process and its data directory.
const std::string& homeDirectory();
std::string dataDirectory();

QtUiBridge& bridge();

// Runs the event loop until pred() holds or the deadline passes; returns pred().
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = DEFAULT_WAIT_MS);

// Errors go to the diagnostic file of the data directory only.
void reportErrorsToFile();
// The whole diagnostic file ("" when there is none).
std::string diagnosticFile();

template <typename T>
T* child(QWidget* parent, const char* name)
{
    return parent->findChild<T*>(QString::fromLatin1(name));
}

// Errors go to the diagnostic file and to message boxes (as with -DebugMsg).
void reportErrorsToFileAndBoxes();

// The operator of a troubleshooting session: every message box (and the
// downgrade question) that opens is answered once it has been open for
// 700 ms, longer than the window's 200 ms firmware-state timer, so that
// whatever runs inside a box's own event loop has had its turn. OK, or the
// given answer to a question. onBox sees each box first and may take it
// over by returning true (it is then not answered).
class BoxAnswerer {
public:
    explicit BoxAnswerer(bool yes = false, int afterMs = 700);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // Texts of the boxes seen so far, in order.
    QStringList texts() const { return m_texts; }
    std::function<bool(QWidget* box)> onBox;

private:
    QTimer* m_poll;
    QWidget* m_current = nullptr;
    bool m_takenOver = false;
    std::chrono::steady_clock::time_point m_since;
    QStringList m_texts;
};

// Schedules an answer to a modal dialog: answer(dialog) is offered every modal
// dialog that shows while the event loop runs, until it returns true (handled).
// Call it on the UI thread.
void answerNextModal(std::function<bool(QWidget*)> answer);

} // namespace uitest

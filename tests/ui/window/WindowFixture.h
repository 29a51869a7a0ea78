#pragma once
// A main window with its About box, ports linked into the data directory, and
// the controls found by their object names.
#include "UiTestSupport.h"

#include "ui/Aboutform.h"
#include "ui/Mainform.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <memory>
#include <string>
#include <vector>

namespace uitest {

// <data directory>/ports/COM<n> pointing at a device, removed again at the end.
class LinkedPort {
public:
    LinkedPort(int number, const std::string& device);
    ~LinkedPort();
    LinkedPort(const LinkedPort&) = delete;
    LinkedPort& operator=(const LinkedPort&) = delete;

private:
    std::string m_link;
};

// Bytes of a firmware file written to the temporary home.
std::string writeFile(const std::string& name, const std::vector<uint8_t>& bytes);

class WindowTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds and shows the window (the port list is made at show).
    void openWindow();

    template <typename T>
    T* control(const char* name)
    {
        T* found = child<T>(form.get(), name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QPushButton* button(const char* name) { return control<QPushButton>(name); }
    QLineEdit* edit(const char* name) { return control<QLineEdit>(name); }
    QLabel* label(const char* name) { return control<QLabel>(name); }
    QPlainTextEdit* stateBox() { return control<QPlainTextEdit>("MemoFUState"); }
    QProgressBar* progress() { return control<QProgressBar>("PBFUProgress"); }
    QStringList stateLines();

    // How often a text was reported as an error since the window was made.
    int reported(const std::string& text);
    // Loads a file through "Load *.bin file..." and its dialog.
    void loadThroughDialog(const std::string& path);
    // True when every control a run locks is enabled.
    bool controlsUnlocked();
    // Clicks and waits for the end of the run it starts (a final event shown).
    bool runToEnd(QPushButton* starter, int timeoutMs = DEFAULT_WAIT_MS);

    std::unique_ptr<TFormMain> form;
    TFormAbout* about = nullptr;
};

// The controls a run locks, in the order the end of a run unlocks them.
extern const std::vector<const char*> RUN_CONTROLS;

} // namespace uitest

#include "UiTestSupport.h"

#include "app/StartupRules.h"
#include "diagnostics/Globalfunctions.h"
#include "platform/DataDirectory.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace uitest {
namespace {

std::string makeHome()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "rs485-ui-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

// HOME is replaced before main() runs, so nothing can have read the real one.
const std::string g_home = [] {
    std::string home = makeHome();
    setenv("HOME", home.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return home;
}();

class QtEnvironment final : public testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "test_ui";
        static char* argv[] = {name, nullptr};
        m_application = std::make_unique<QApplication>(argc, argv);
        m_bridge = std::make_unique<QtUiBridge>();
        m_bridge->setTimeScaleForTests(TIME_SCALE);
        platform::UiBridge::install(m_bridge.get());
        platform::dataDirectory(); // creates it
    }

    void TearDown() override
    {
        platform::UiBridge::install(nullptr);
        m_bridge.reset();
        m_application.reset();
        std::error_code ignored;
        std::filesystem::remove_all(g_home, ignored);
    }

    QtUiBridge& bridge() { return *m_bridge; }

private:
    std::unique_ptr<QApplication> m_application;
    std::unique_ptr<QtUiBridge> m_bridge;
};

QtEnvironment* const g_environment =
    static_cast<QtEnvironment*>(testing::AddGlobalTestEnvironment(new QtEnvironment));

} // namespace

const std::string& homeDirectory()
{
    return g_home;
}

std::string dataDirectory()
{
    return platform::dataDirectory();
}

QtUiBridge& bridge()
{
    return g_environment->bridge();
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    return QTest::qWaitFor(pred, timeoutMs);
}

void reportErrorsToFile()
{
    configureErrors(LOG_TO_FILE, dataDirectory(), app::APPLICATION_NAME);
    configureLog(0, 255, false, true, app::APPLICATION_NAME);
}

std::string diagnosticFile()
{
    std::ifstream in(dataDirectory() + "/Error_" + app::APPLICATION_NAME + ".log", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void reportErrorsToFileAndBoxes()
{
    configureErrors(LOG_TO_FILE | LOG_TO_MESSAGEBOX, dataDirectory(), app::APPLICATION_NAME);
    configureLog(0, 255, false, true, app::APPLICATION_NAME);
}

BoxAnswerer::BoxAnswerer(bool yes, int afterMs) : m_poll(new QTimer)
{
    m_poll->setInterval(10);
    QObject::connect(m_poll, &QTimer::timeout, m_poll, [this, yes, afterMs] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (box != m_current) {
            m_current = box;
            m_since = std::chrono::steady_clock::now();
            m_texts << box->text();
            m_takenOver = onBox && onBox(box);
        }
        if (m_takenOver || std::chrono::steady_clock::now() - m_since < std::chrono::milliseconds(afterMs))
            return;
        QAbstractButton* answer = box->button(yes ? QMessageBox::Yes : QMessageBox::No);
        if (!answer)
            answer = box->button(QMessageBox::Ok);
        m_current = nullptr; // the next box may reuse its address
        if (answer)
            answer->click();
    });
    m_poll->start();
}

BoxAnswerer::~BoxAnswerer()
{
    delete m_poll;
}

void answerNextModal(std::function<bool(QWidget*)> answer)
{
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && answer(modal)) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start();
}

} // namespace uitest

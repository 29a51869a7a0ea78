// rs485-upgrader: the window program. Start-up settles the data directory,
// reads the command line and configures the diagnostics before any window or
// worker thread exists, then runs the window until it closes.
#include "app/StartupRules.h"
#include "platform/DataDirectory.h"
#include "platform/StandardDescriptors.h"
#include "platform/UiBridge.h"
#include "ui/Aboutform.h"
#include "ui/AppIcon.h"
#include "ui/Mainform.h"
#include "ui/QtUiBridge.h"
#include "ui/StopSignals.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>
#include <string>

namespace {

void showException(const QString& message)
{
    QMessageBox::critical(nullptr, QString::fromLatin1(app::APPLICATION_TITLE), message);
}

} // namespace

int main(int argc, char** argv)
{
    if (!platform::secureStandardDescriptors())
        return 1;
    const std::string dataDirectory = platform::dataDirectory();
    const app::StartupOutputs outputs = app::readCommandLine(argc, argv);
    app::configureDiagnostics(outputs, dataDirectory);

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rs485-upgrader"));
    QApplication::setApplicationDisplayName(QString::fromLatin1(app::APPLICATION_TITLE));
    QApplication::setDesktopFileName(QStringLiteral("rs485-upgrader"));
    QApplication::setWindowIcon(applicationIcon());

    // Installed before the window starts its display thread and the engine.
    QtUiBridge bridge;
    platform::UiBridge::install(&bridge);

    try {
        TFormMain formMain;
        auto* formAbout = new TFormAbout(&formMain); // hidden until asked for; owned by the window
        formMain.setAboutForm(formAbout);
        new StopSignals(&formMain); // owned by the window
        formMain.show();
        QApplication::exec();
    } catch (const std::exception& error) {
        showException(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        showException(QString());
    }
    platform::UiBridge::install(nullptr);
    return 0;
}

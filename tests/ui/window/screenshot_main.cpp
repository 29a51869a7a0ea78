// ui_screenshot OUTDIR [SUFFIX]: pictures of the window for people to look at:
// idle, during an upgrade of a simulated device, after a failed run, and the
// About box (window-idle, window-upgrading, window-failed, about; SUFFIX goes
// before ".png"). Run under a display (xvfb-run); QT_SCALE_FACTOR=2 gives the
// pictures of a high-density screen.
#include "platform/UiBridge.h"
#include "sim/SimulatedBus.h"
#include "sim/mkfw/FirmwareLayout.h"
#include "ui/Aboutform.h"
#include "ui/AppIcon.h"
#include "ui/Mainform.h"
#include "ui/QtUiBridge.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

constexpr double TIME_SCALE = 0.01;
constexpr int RUN_LIMIT_MS = 60000;
constexpr uint8_t GOOD_DEVICE = 0x55;
constexpr uint8_t FAILING_DEVICE = 0x56; // reads one block back wrong

// Grabbed as it is drawn now: grab() paints the widget itself, so a picture
// taken during the run shows that moment.
bool save(QWidget& window, const std::string& path)
{
    if (!window.grab().save(QString::fromStdString(path))) {
        std::cerr << "ui_screenshot: cannot write " << path << "\n";
        return false;
    }
    std::cout << path << "\n";
    return true;
}

std::string writeFirmware(const std::string& home)
{
    mkfw::Options options;
    options.format = mkfw::Format::Legacy;
    options.deviceType = {18, 4};
    options.version = {1, 5};
    options.minVersion = {1, 0};
    options.maxHardware = mkfw::Version{2, 9};
    // Large enough for the upload to be caught half-way.
    options.codeSize = 0x8000;
    const mkfw::Result file = mkfw::layOut(options);
    const std::string folder = home + "/firmware";
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/sensor-fw-1.5.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
    return path;
}

sim::DeviceConfig device(uint8_t address)
{
    sim::DeviceConfig config;
    config.address = address;
    config.type = {18, 4};
    config.bigVersion = {1, 0};
    config.hardware = sim::Version{2, 0};
    return config;
}

bool runEnded(const TFormMain& form, int code)
{
    return QTest::qWaitFor([&] { return form.lastEventCode() == code; }, RUN_LIMIT_MS);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: ui_screenshot OUTDIR [SUFFIX]\n";
        return 2;
    }
    const std::string outDir = std::filesystem::absolute(argv[1]).string();
    const std::string suffix = argc == 3 ? argv[2] : "";
    const auto picture = [&](const char* name) { return outDir + "/" + name + suffix + ".png"; };
    std::string home = (std::filesystem::temp_directory_path() / "rs485-shot-XXXXXX").string();
    if (!mkdtemp(home.data()))
        return 1;
    setenv("HOME", home.c_str(), 1);
    std::filesystem::create_directories(home + "/Veltra_Data/ports");

    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    QApplication::setWindowIcon(applicationIcon());
    QtUiBridge bridge;
    bridge.setTimeScaleForTests(TIME_SCALE);
    platform::UiBridge::install(&bridge);

    sim::BusOptions options;
    options.timeScale = TIME_SCALE;
    sim::SimulatedBus bus(options);
    bus.addDevice(device(GOOD_DEVICE));
    bus.addDevice(device(FAILING_DEVICE));
    sim::Fault fault;
    fault.kind = sim::FaultKind::CorruptReadBack;
    fault.trigger = sim::FaultTrigger::readBlock(40);
    fault.param = 21;
    if (!bus.addFault(FAILING_DEVICE, fault) || !bus.start()) {
        std::cerr << "ui_screenshot: " << bus.lastError() << "\n";
        return 1;
    }
    std::filesystem::create_symlink(bus.slavePath(), home + "/Veltra_Data/ports/COM1");
    const std::string firmware = writeFirmware(home);

    bool ok = true;
    {
        TFormMain form;
        auto* about = new TFormAbout(&form);
        form.setAboutForm(about);
        form.show();
        ok = QTest::qWaitForWindowExposed(&form) && ok;
        ok = save(form, picture("window-idle")) && ok;

        // Through the dialog, as an operator would.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                answer.stop();
                dialog->selectFile(QString::fromStdString(firmware));
                static_cast<QDialog*>(dialog)->accept();
            }
        });
        answer.start(10);
        form.findChild<QPushButton*>(QStringLiteral("BFUOpenFileBin"))->click();
        form.findChild<QPushButton*>(QStringLiteral("BFUStart"))->click();
        auto* progress = form.findChild<QProgressBar*>(QStringLiteral("PBFUProgress"));
        if (!QTest::qWaitFor([&] { return progress->value() >= 40; }, RUN_LIMIT_MS)) {
            std::cerr << "ui_screenshot: the simulated upload did not get under way\n";
            ok = false;
        }
        ok = save(form, picture("window-upgrading")) && ok;
        if (!runEnded(form, EVENT_FINISHED)) {
            std::cerr << "ui_screenshot: the simulated upgrade did not finish\n";
            ok = false;
        }

        form.findChild<QLineEdit*>(QStringLiteral("EMainAdd"))->setText(QStringLiteral("56"));
        form.findChild<QPushButton*>(QStringLiteral("BFUStart"))->click();
        if (!runEnded(form, EVENT_FAILED)) {
            std::cerr << "ui_screenshot: the run on the failing device did not fail\n";
            ok = false;
        }
        ok = save(form, picture("window-failed")) && ok;

        form.menuBar()->actions().front()->trigger();
        ok = QTest::qWaitForWindowExposed(about) && ok;
        ok = save(*about, picture("about")) && ok;
    }
    platform::UiBridge::install(nullptr);
    bus.stop();
    std::filesystem::remove_all(home);
    return ok ? 0 : 1;
}

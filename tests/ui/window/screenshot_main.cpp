// ui_screenshot OUTDIR: pictures of the window for people to look at, idle
// and after an upgrade of a simulated device. Run under a display (xvfb-run).
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

bool save(QWidget& window, const std::string& path)
{
    QTest::qWait(200); // let the window paint before it is grabbed
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
    options.codeSize = 0x4000;
    const mkfw::Result file = mkfw::layOut(options);
    const std::string path = home + "/sensor-fw-1.5.bin";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
    return path;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: ui_screenshot OUTDIR\n";
        return 2;
    }
    const std::string outDir = std::filesystem::absolute(argv[1]).string();
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
    sim::DeviceConfig device;
    device.address = 0x55;
    device.type = {18, 4};
    device.bigVersion = {1, 0};
    device.hardware = sim::Version{2, 0};
    bus.addDevice(device);
    if (!bus.start()) {
        std::cerr << "ui_screenshot: " << bus.lastError() << "\n";
        return 1;
    }
    std::filesystem::create_symlink(bus.slavePath(), home + "/Veltra_Data/ports/COM1");
    const std::string firmware = writeFirmware(home);

    int result = 0;
    {
        TFormMain form;
        form.setAboutForm(new TFormAbout(&form));
        form.show();
        if (!save(form, outDir + "/window-idle.png"))
            result = 1;

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
        if (!QTest::qWaitFor([&] { return form.lastEventCode() == EVENT_FINISHED; }, 60000)) {
            std::cerr << "ui_screenshot: the simulated upgrade did not finish\n";
            result = 1;
        }
        if (!save(form, outDir + "/window-upgraded.png"))
            result = 1;
    }
    platform::UiBridge::install(nullptr);
    bus.stop();
    std::filesystem::remove_all(home);
    return result;
}

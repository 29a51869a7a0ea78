// The main window without a device: layout, port list, file loading, the
// display of engine events and the About box.
#include "WindowFixture.h"

#include "app/StartupRules.h"
#include "platform/SerialPort.h"
#include "sim/Pty.h"

#include <QAccessible>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QUrl>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace uitest;

namespace {

struct Placement {
    const char* name;
    const char* text; // caption or start text; null: not checked
    int left, top, width, height; // width/height 0: not checked
};

// Positions are relative to the group box or the tab page.
const Placement LAYOUT[] = {
    {"LComPort", "Port :", 37, 25, 0, 0},
    {"CBComPort", nullptr, 145, 22, 106, 21},
    {"LBaudRate", "BaudRate (bits/sec) :", 37, 54, 0, 0},
    {"EBaudRate", "115200", 145, 49, 106, 24},
    {"LMainAdd", "Main add : 0x", 307, 24, 0, 0},
    {"EMainAdd", "55", 403, 20, 37, 24},
    {"LNestedAdd1", "Nested add 1 : 0x", 307, 60, 0, 0},
    {"ENestedAdd1", "55", 403, 55, 37, 24},
    {"LInterfaceNumber1", "Interface number 1 :", 466, 60, 0, 0},
    {"EInterfaceNumber1", "0", 569, 55, 37, 24},
    {"LNestedAdd2", "Nested add 2 : 0x", 307, 95, 0, 0},
    {"ENestedAdd2", "55", 403, 90, 37, 24},
    {"LInterfaceNumber2", "Interface number 2 :", 466, 95, 0, 0},
    {"EInterfaceNumber2", "0", 569, 90, 37, 24},
    {"RBMainDirect", "Main Direct", 19, 7, 0, 0},
    {"RBNested1ThroughMain", "Nested 1x through Main", 19, 38, 0, 0},
    {"RBNested2ThroughMain", "Nested 2x through Main", 19, 69, 0, 0},
    {"BWakeUp", "WakeUp", 184, 7, 118, 37},
    {"BCheckDevice", "Check device", 19, 115, 97, 43},
    {"LType", "Type/Model :", 122, 120, 0, 0},
    {"LTypeVal", "--.--", 213, 120, 0, 0},
    {"LOldVersion", "FW/HW version :", 122, 139, 0, 0},
    {"LOldVersionVal", "--.-- / --.--", 213, 140, 0, 0},
    {"BFUOpenFileBin", "Load *.bin file...", 19, 171, 97, 43},
    {"LFUFileName", "Name :", 122, 171, 0, 0},
    {"LFUFileNameVal", "---", 162, 171, 0, 0},
    {"LFUFileLength", "Length :", 122, 186, 0, 0},
    {"LFUFileLengthVal", "0 Bytes", 163, 186, 0, 0},
    {"LFUVersionNew", "New FW version :", 122, 201, 0, 0},
    {"LFUVersionNewVal", "--.--", 213, 201, 0, 0},
    {"LFUVersionNewVal2", "--.--", 213, 218, 0, 0},
    {"BFUStart", "Start", 19, 268, 214, 44},
    {"MemoFUState", "", 347, 10, 330, 282},
    {"PBFUProgress", nullptr, 347, 296, 330, 16},
};

QString textOf(QWidget* widget)
{
    if (auto* l = qobject_cast<QLabel*>(widget))
        return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(widget))
        return e->text();
    if (auto* b = qobject_cast<QAbstractButton*>(widget))
        return b->text();
    if (auto* m = qobject_cast<QPlainTextEdit*>(widget))
        return m->toPlainText();
    return {};
}

const QStringList ROUTING_CONTROLS = {"LNestedAdd1",       "ENestedAdd1",          "LInterfaceNumber1",
                                      "EInterfaceNumber1", "LNestedAdd2",          "ENestedAdd2",
                                      "LInterfaceNumber2", "EInterfaceNumber2",    "RBMainDirect",
                                      "RBNested1ThroughMain", "RBNested2ThroughMain", "BWakeUp"};

using MainWindow = WindowTest;

TEST_F(MainWindow, EveryControlSitsAtItsPlaceWithItsStartText)
{
    openWindow();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("RS485 Firmware upgrader"));
    QWidget* client = form->centralWidget();
    EXPECT_EQ(client->size(), QSize(718, 511));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed border";
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    auto* group = control<QGroupBox>("GBCommunication");
    EXPECT_EQ(group->title(), QStringLiteral("Communication"));
    EXPECT_EQ(group->geometry(), QRect(10, 13, 695, 129));
    EXPECT_TRUE(group->font().bold());
    auto* pages = control<QTabWidget>("PCFirmware");
    EXPECT_EQ(pages->geometry(), QRect(10, 148, 695, 353));
    ASSERT_EQ(pages->count(), 1);
    EXPECT_EQ(pages->tabText(0), QStringLiteral("Firmware upgrade"));
    const QList<QAction*> menu = form->menuBar()->actions();
    ASSERT_EQ(menu.size(), 1);
    EXPECT_EQ(menu.front()->text(), QStringLiteral("About"));

    for (const Placement& p : LAYOUT) {
        auto* widget = control<QWidget>(p.name);
        ASSERT_NE(widget, nullptr) << p.name;
        EXPECT_EQ(widget->pos(), QPoint(p.left, p.top)) << p.name;
        if (p.width > 0) {
            EXPECT_EQ(widget->size(), QSize(p.width, p.height)) << p.name;
        }
        if (p.text) {
            EXPECT_EQ(textOf(widget), QString::fromUtf8(p.text)) << p.name;
        }
        EXPECT_FALSE(widget->font().bold() && qobject_cast<QLabel*>(widget)) << p.name;
        const bool routing = ROUTING_CONTROLS.contains(QString::fromLatin1(p.name));
        EXPECT_EQ(widget->isVisible(), !routing) << p.name;
    }
    EXPECT_TRUE(control<QRadioButton>("RBMainDirect")->isChecked());
    EXPECT_FALSE(button("BFUStart")->isEnabled());
    EXPECT_TRUE(button("BFUStart")->font().bold());
    EXPECT_EQ(button("BFUStart")->font().pointSize(), 20);
    EXPECT_TRUE(stateBox()->isReadOnly());
    EXPECT_EQ(progress()->minimum(), 0);
    EXPECT_EQ(progress()->maximum(), 100);
    EXPECT_FALSE(control<QComboBox>("CBComPort")->isEditable());
}

TEST_F(MainWindow, TheConstructorDeletesThePreviousRunsDiagnosticFiles)
{
    const std::string name = app::APPLICATION_NAME;
    const std::string error = dataDirectory() + "/Error_" + name + ".log";
    const std::string log = dataDirectory() + "/Log_" + name + ".log";
    const std::string other = dataDirectory() + "/Error_other.log";
    for (const std::string& path : {error, log, other})
        std::ofstream(path) << "previous run\n";
    openWindow(); // showing it reports "Invalid Com port" into a fresh file
    EXPECT_EQ(diagnosticFile().find("previous run"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(log));
    EXPECT_TRUE(std::filesystem::exists(other));
    std::filesystem::remove(other);
}

TEST_F(MainWindow, WithoutPortsStartAndCheckAskForOne)
{
    openWindow();
    EXPECT_EQ(control<QComboBox>("CBComPort")->count(), 0);
    EXPECT_EQ(reported("Invalid Com port"), 1);
    button("BCheckDevice")->click();
    EXPECT_EQ(reported("Select first the comunication port"), 1);
    EXPECT_TRUE(controlsUnlocked() || !button("BFUStart")->isEnabled());
    EXPECT_TRUE(button("BCheckDevice")->isEnabled());
}

TEST_F(MainWindow, ThePortListShowsOnlyPortsThatOpen)
{
    sim::Pty free3, free12, held5;
    std::string error;
    ASSERT_TRUE(free3.open(error) && free12.open(error) && held5.open(error)) << error;
    LinkedPort com3(3, free3.slavePath()), com12(12, free12.slavePath()), com5(5, held5.slavePath());
    LinkedPort com7(7, "/dev/rs485-ui-test-absent");
    LinkedPort com21(21, free3.slavePath()); // beyond the list
    platform::SerialPort holder;
    ASSERT_TRUE(holder.open(held5.slavePath())) << holder.errorText();

    openWindow();
    auto* ports = control<QComboBox>("CBComPort");
    QStringList entries;
    for (int i = 0; i < ports->count(); ++i)
        entries << ports->itemText(i);
    EXPECT_EQ(entries, QStringList({"COM03", "COM12"}));
    EXPECT_EQ(ports->currentText(), QStringLiteral("COM03"));
    EXPECT_EQ(form->comPort(), 3);
    ports->setCurrentIndex(1);
    EXPECT_EQ(form->comPort(), 12);
    EXPECT_EQ(reported("Invalid Com port"), 0);
}

TEST_F(MainWindow, NestedAddressFieldsTurnRedWhileInvalid)
{
    openWindow();
    auto* nested1 = edit("ENestedAdd1");
    auto* nested2 = edit("ENestedAdd2");
    const QColor normal = nested1->palette().color(QPalette::Base);
    const struct {
        const char* text;
        bool valid;
    } cases[] = {{"00", false}, {"5", false}, {"G1", false}, {"0a", true}, {"FF", true}, {"555", false}, {"55", true}};
    for (const auto& c : cases) {
        nested1->setText(QString::fromLatin1(c.text));
        nested2->setText(QString::fromLatin1(c.text));
        for (QLineEdit* field : {nested1, nested2})
            EXPECT_EQ(field->palette().color(QPalette::Base), c.valid ? normal : QColor(Qt::red)) << c.text;
    }
    // The main address field is not coloured.
    edit("EMainAdd")->setText(QStringLiteral("G1"));
    EXPECT_EQ(edit("EMainAdd")->palette().color(QPalette::Base), normal);
}

TEST_F(MainWindow, RoutingButtonsPutTheBaudRateBack)
{
    openWindow();
    for (const char* name : {"RBNested1ThroughMain", "RBNested2ThroughMain", "RBMainDirect"}) {
        edit("EBaudRate")->setText(QStringLiteral("9600"));
        control<QRadioButton>(name)->click();
        EXPECT_EQ(edit("EBaudRate")->text(), QStringLiteral("115200")) << name;
    }
}

std::vector<uint8_t> legacyFile(size_t size, uint8_t minor)
{
    // 16 bytes of code before the header, "Veltra" at 16: type 18.4, firmware
    // 1.<minor> under hardware 2.9, minimum firmware 1.0.
    std::vector<uint8_t> bytes(size, 0x11);
    const uint8_t header[] = {'V', 'e', 'l', 't', 'r', 'a', 0x00, 0x12, 0x00, 0x04,
                              0x02, 0x09, 0x01, minor, 0x00, 0x01, 0x00, 0x00};
    std::copy(std::begin(header), std::end(header), bytes.begin() + 16);
    return bytes;
}

TEST_F(MainWindow, LoadingAFileFillsTheLabelsAndARejectedOneLeavesNothingToStart)
{
    openWindow();
    const std::string good = writeFile("good.bin", legacyFile(1000, 5));
    loadThroughDialog(good);
    EXPECT_EQ(label("LFUFileNameVal")->text(), QStringLiteral("good.bin"));
    EXPECT_EQ(label("LFUFileLengthVal")->text(), QStringLiteral("1000 Bytes"));
    EXPECT_EQ(label("LFUVersionNewVal")->text(), QStringLiteral("1.5"));
    EXPECT_EQ(label("LFUVersionNewVal2")->text(), QString());
    EXPECT_TRUE(button("BFUStart")->isEnabled());
    EXPECT_EQ(reported("Bin file not valid."), 0);

    // Wrong extension, then no signature: each rejection disables Start.
    for (const auto& [name, bytes] : {std::pair<std::string, std::vector<uint8_t>>{"good.BIN", legacyFile(1000, 5)},
                                      {"empty.bi2", std::vector<uint8_t>(64, 0)}}) {
        loadThroughDialog(good);
        ASSERT_TRUE(button("BFUStart")->isEnabled());
        const int before = reported("Bin file not valid.\tTFormMain::BFUOpenFileBinClick");
        loadThroughDialog(writeFile(name, bytes));
        EXPECT_FALSE(button("BFUStart")->isEnabled()) << name;
        EXPECT_EQ(reported("Bin file not valid.\tTFormMain::BFUOpenFileBinClick"), before + 1) << name;
    }
    EXPECT_EQ(reported("Wrong file extension.\tTFormMain::openBinFile"), 1);
    EXPECT_EQ(reported("Valid signature not found in the bin file.\tTFormMain::openBinFile"), 1);

    // Cancelling the dialog changes nothing.
    answerNextModal([](QWidget* modal) {
        qobject_cast<QDialog*>(modal)->reject();
        return true;
    });
    button("BFUOpenFileBin")->click();
    EXPECT_FALSE(button("BFUStart")->isEnabled());
}

TEST_F(MainWindow, EventsShowAsTheirCodesSay)
{
    openWindow();
    form->fwUpgraderEvent(EVENT_MESSAGE, -1, "first line", true);
    form->fwUpgraderEvent(EVENT_DEVICE_TYPE, -1, "18.4", true);
    form->fwUpgraderEvent(EVENT_DEVICE_VERSION, -1, "L 2.3 / 1.5", true);
    EXPECT_EQ(label("LTypeVal")->text(), QStringLiteral("18.4"));
    EXPECT_EQ(label("LOldVersionVal")->text(), QStringLiteral("L 2.3 / 1.5"));
    const struct {
        int value;
        int shown;
    } progressCases[] = {{0, 0}, {100, 100}, {42, 42}, {150, 100}, {-5, 0}};
    for (const auto& c : progressCases) {
        form->fwUpgraderEvent(EVENT_PROGRESS, c.value, "0", true);
        EXPECT_EQ(progress()->value(), c.shown) << c.value;
    }
    form->fwUpgraderEvent(EVENT_PROGRESS, 60, "0", true);
    form->fwUpgraderEvent(EVENT_FINISHED, 0, "0", true);
    EXPECT_EQ(progress()->value(), 0);
    EXPECT_EQ(stateLines(), QStringList({"first line", "Upgrade finished successfully."}));
    EXPECT_EQ(form->lastEventCode(), EVENT_FINISHED);

    const QColor normal = stateBox()->palette().color(QPalette::Base);
    form->fwUpgraderEvent(EVENT_MESSAGE, -1, "the reason", true);
    form->fwUpgraderEvent(EVENT_FAILED, -1, "0", true);
    EXPECT_EQ(stateLines().mid(2), QStringList({"the reason", "Upgrade failed."}));
    EXPECT_EQ(stateBox()->palette().color(QPalette::Base), QColor(255, 80, 80));
    EXPECT_EQ(reported("Upgrade failed.\tTFormMain::fwUpgraderEvent"), 1);
    // Check device gives the colour back even when it then refuses to start.
    button("BCheckDevice")->click();
    EXPECT_EQ(stateBox()->palette().color(QPalette::Base), normal);
    EXPECT_EQ(stateLines().size(), 4) << "only Start clears the text";
}

TEST_F(MainWindow, RelayedEventsArriveOneAtATimeInOrderWhileTheRaiserWaits)
{
    openWindow();
    constexpr int COUNT = 40;
    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    std::thread engineThread([&] {
        for (int i = 0; i < COUNT; ++i) {
            form->fwUpgraderEvent(EVENT_MESSAGE, -1, "line " + std::to_string(i), false);
            // Returned: the line must already be in the state box.
            int lines = 0;
            bridge().runAndWait([&] { lines = stateBox()->blockCount(); });
            if (lines != i + 1)
                ++mismatches;
            form->fwUpgraderEvent(EVENT_PROGRESS, i, "0", false);
        }
        form->fwUpgraderEvent(7, -1, "0", false);
        done = true;
    });
    ASSERT_TRUE(waitUntil([&] { return done.load(); }));
    engineThread.join();
    EXPECT_EQ(mismatches.load(), 0);
    QStringList expected;
    for (int i = 0; i < COUNT; ++i)
        expected << QStringLiteral("line %1").arg(i);
    EXPECT_EQ(stateLines(), expected);
    EXPECT_EQ(progress()->value(), 0) << "code 7 ends like code 4";
    EXPECT_EQ(form->lastEventCode(), 7);
}

TEST_F(MainWindow, AfterClosingRelayedEventsAreDroppedAndTheRaiserIsNotHeld)
{
    openWindow();
    form->close();
    std::atomic<bool> returned{false};
    std::thread engineThread([&] {
        form->fwUpgraderEvent(EVENT_FINISHED, 0, "0", false);
        returned = true;
    });
    engineThread.join(); // no event loop runs here: it must come back by itself
    EXPECT_TRUE(returned.load());
    EXPECT_NE(form->lastEventCode(), EVENT_FINISHED);
    EXPECT_FALSE(stateBox()->toPlainText().contains(QStringLiteral("Upgrade finished")));
}

TEST_F(MainWindow, TheAboutBoxFollowsTheMainWindow)
{
    openWindow();
    EXPECT_FALSE(about->isVisible());
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About RS485 Firmware upgrader"));
    EXPECT_EQ(child<QLabel>(about, "LApplicationTitle")->text(), QStringLiteral("Veltra - RS485 Firmware upgrader"));
    EXPECT_EQ(child<QLabel>(about, "LVersionVal")->text(), QStringLiteral("02.06"));
    EXPECT_EQ(about->size(), QSize(311, 137));
    EXPECT_FALSE(about->isModal());

    QAction* menuAbout = form->menuBar()->actions().front();
    for (const QPoint& mainAt : {QPoint(100, 80), QPoint(260, 190)}) {
        about->hide();
        form->move(mainAt);
        ASSERT_TRUE(waitUntil([&] { return form->frameGeometry().topLeft() == mainAt; }, 2000));
        menuAbout->trigger();
        EXPECT_TRUE(about->isVisible());
        EXPECT_EQ(about->frameGeometry().topLeft(), mainAt + QPoint(50, 50));
        EXPECT_EQ(form->findChildren<TFormAbout*>().size(), 1) << "the same box every time";
    }
    // The main window stays usable while the box shows.
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// Every caption, value and button of a window fits its control at the font the
// control really uses, with room to the next control of its row.
void expectTextsFit(QWidget* window)
{
    for (QLabel* text : window->findChildren<QLabel*>()) {
        const QString name = text->objectName();
        if (text->text().isEmpty())
            continue;
        EXPECT_LE(QFontMetrics(text->font()).horizontalAdvance(text->text()), text->width())
            << name.toStdString() << " '" << text->text().toStdString() << "' in " << QFontInfo(text->font()).family().toStdString();
        const int textRight = text->x() + QFontMetrics(text->font()).horizontalAdvance(text->text());
        for (QWidget* other : text->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (other == text || other->isWindow())
                continue;
            EXPECT_FALSE(text->geometry().intersects(other->geometry()))
                << name.toStdString() << " over " << other->objectName().toStdString();
            const bool sameRow = other->y() < text->y() + text->height() && other->y() + other->height() > text->y();
            if (sameRow && other->x() > text->x()) {
                EXPECT_LE(textRight + 3, other->x()) << name.toStdString() << " runs into " << other->objectName().toStdString();
            }
        }
    }
    for (QRadioButton* radio : window->findChildren<QRadioButton*>()) {
        EXPECT_LE(radio->sizeHint().width(), radio->width()) << radio->objectName().toStdString();
        for (QWidget* other : radio->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            EXPECT_FALSE(other != radio && radio->geometry().intersects(other->geometry()))
                << radio->objectName().toStdString() << " over " << other->objectName().toStdString();
    }
    for (QPushButton* push : window->findChildren<QPushButton*>()) {
        const QStyle* style = push->style();
        const int inset = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, push) +
                          style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, push);
        EXPECT_LE(QFontMetrics(push->font()).horizontalAdvance(push->text()) + 2 * inset, push->width())
            << push->objectName().toStdString();
    }
}

TEST_F(MainWindow, EveryTextFitsItsControlAtTheFontInUse)
{
    openWindow();
    // The fonts set up installs: Tahoma from fonts-wine, URW Gothic for Start.
    if (std::filesystem::exists("/usr/share/wine/fonts/tahoma.ttf")) {
        EXPECT_EQ(QFontInfo(label("LFUFileLength")->font()).family(), QStringLiteral("Tahoma"));
    }
    if (QFontDatabase::hasFamily(QStringLiteral("URW Gothic"))) {
        EXPECT_TRUE(QFontInfo(button("BFUStart")->font()).family().startsWith(QStringLiteral("URW Gothic")));
    }
    expectTextsFit(form.get());
    expectTextsFit(about);

    // Long values: cut, the whole text kept as tooltip.
    const std::string folder = homeDirectory() + "/a-folder-with-a-rather-long-name";
    std::filesystem::create_directories(folder);
    const std::string name = "sensor-firmware-for-the-type-18.4-of-the-second-production-line-1.5.bin";
    const std::string path = folder + "/" + name;
    std::filesystem::copy_file(writeFile("short.bin", legacyFile(1000, 5)), path,
                               std::filesystem::copy_options::overwrite_existing);
    loadThroughDialog(path);
    form->fwUpgraderEvent(EVENT_DEVICE_TYPE, -1, std::string(60, 'T'), true);
    auto* fileName = label("LFUFileNameVal");
    EXPECT_TRUE(fileName->text().startsWith(QStringLiteral("sensor-")) && fileName->text().endsWith(QStringLiteral("1.5.bin")) &&
                fileName->text().contains(QChar(0x2026)))
        << fileName->text().toStdString();
    EXPECT_EQ(fileName->toolTip(), QString::fromStdString(path));
    EXPECT_EQ(label("LTypeVal")->toolTip(), QString(60, QLatin1Char('T')));
    expectTextsFit(form.get());
    // A short name again is shown whole.
    loadThroughDialog(writeFile("good.bin", legacyFile(1000, 5)));
    EXPECT_EQ(fileName->text(), QStringLiteral("good.bin"));
}

TEST_F(MainWindow, OpensCentredOnTheScreenWithThePointer)
{
    QScreen* screen = QGuiApplication::screens().back();
    const QRect area = screen->availableGeometry();
    QCursor::setPos(area.center());
    ASSERT_TRUE(waitUntil([&] { return QGuiApplication::screenAt(QCursor::pos()) == screen; }, 2000));
    openWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const QPoint offset = form->frameGeometry().center() - area.center();
    EXPECT_LE(std::abs(offset.x()), 2) << offset.x() << " on " << screen->name().toStdString();
    EXPECT_LE(std::abs(offset.y()), 2) << offset.y();
    // Shown again after the operator moved it: it stays where it was put.
    form->move(area.topLeft() + QPoint(20, 30));
    ASSERT_TRUE(waitUntil([&] { return form->frameGeometry().topLeft() == area.topLeft() + QPoint(20, 30); }, 2000));
    form->hide();
    form->show();
    EXPECT_EQ(form->frameGeometry().topLeft(), area.topLeft() + QPoint(20, 30));
}

TEST_F(MainWindow, FieldsAreNamedByTheirLabelsForScreenReaders)
{
    openWindow();
    const struct {
        const char* field;
        const char* label; // null: no label, only a name
        const char* name;
    } rows[] = {
        {"CBComPort", "LComPort", "Port"},
        {"EBaudRate", "LBaudRate", "BaudRate (bits/sec)"},
        {"EMainAdd", "LMainAdd", "Main add 0x"},
        {"ENestedAdd1", "LNestedAdd1", "Nested add 1 0x"},
        {"EInterfaceNumber1", "LInterfaceNumber1", "Interface number 1"},
        {"ENestedAdd2", "LNestedAdd2", "Nested add 2 0x"},
        {"EInterfaceNumber2", "LInterfaceNumber2", "Interface number 2"},
        {"MemoFUState", nullptr, "Upgrade state"},
        {"PBFUProgress", nullptr, "Upgrade progress"},
        {"BCheckDevice", nullptr, "Check device"},
        {"BFUOpenFileBin", nullptr, "Load *.bin file..."},
        {"BFUStart", nullptr, "Start"},
    };
    for (const auto& row : rows) {
        auto* field = control<QWidget>(row.field);
        if (row.label) {
            EXPECT_EQ(label(row.label)->buddy(), field) << row.field;
        }
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(field);
        ASSERT_NE(accessible, nullptr) << row.field;
        EXPECT_EQ(accessible->text(QAccessible::Name), QString::fromUtf8(row.name)) << row.field;
    }
    EXPECT_EQ(QAccessible::queryAccessibleInterface(child<QLabel>(about, "ImageMail"))->text(QAccessible::Name),
              TFormAbout::mailAddress());
}

TEST_F(MainWindow, TheFileDialogOpensWhereTheOperatorLeftIt)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::path(homeDirectory()) / "folders";
    for (const char* folder : {"bin", "bi2", "other", "upper", "last"})
        fs::create_directories(root / folder);
    for (const char* file : {"bin/a.bin", "bi2/a.bi2", "other/a.txt", "upper/A.BIN"})
        std::ofstream(root / file) << "x";
    fs::create_directories(root / "other/sub.bin"); // a folder, not a file
    const std::string home = homeDirectory();
    const struct {
        const char* last;
        const char* program;
        std::string expected;
    } rows[] = {
        {"", "bin", (root / "bin").string()},
        {"", "bi2", (root / "bi2").string()},
        {"", "other", home},
        {"", "upper", home},
        {"", "missing", home},
        {"last", "bin", (root / "last").string()},
    };
    for (const auto& row : rows) {
        const std::string last = *row.last ? (root / row.last).string() : std::string();
        EXPECT_EQ(TFormMain::openDialogFolder(last, (root / row.program).string(), home), row.expected)
            << row.last << " / " << row.program;
    }

    // The dialog itself: home at first (no firmware beside this program),
    // then the folder of the file chosen last, also a rejected one.
    openWindow();
    QStringList opened;
    const auto openAndChoose = [&](const std::string& path) {
        answerNextModal([&, path](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog)
                return false;
            opened << QDir(dialog->directory()).canonicalPath();
            dialog->selectFile(QString::fromStdString(path));
            static_cast<QDialog*>(dialog)->accept();
            return true;
        });
        button("BFUOpenFileBin")->click();
    };
    openAndChoose(writeFile("good.bin", legacyFile(1000, 5)));
    const fs::path rejected = root / "last" / "rejected.bin";
    std::ofstream(rejected) << "not firmware";
    openAndChoose(rejected.string());
    openAndChoose(writeFile("good.bin", legacyFile(1000, 5)));
    ASSERT_EQ(opened.size(), 3);
    EXPECT_EQ(opened[0], QDir(QString::fromStdString(home)).canonicalPath());
    EXPECT_EQ(opened[1], QDir(QString::fromStdString(home)).canonicalPath());
    EXPECT_EQ(opened[2], QDir(QString::fromStdString((root / "last").string())).canonicalPath());
    EXPECT_EQ(QDir::homePath(), QString::fromStdString(home));
}

// Receives what the About box asks the desktop to open.
class UrlCatcher final : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

TEST_F(MainWindow, TheAboutBoxAndItsLinksWorkFromTheKeyboard)
{
    openWindow();
    UrlCatcher catcher;
    for (const char* scheme : {"https", "mailto"})
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher, "open");
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QTest::keyClick(form->windowHandle(), Qt::Key_F1);
    ASSERT_TRUE(waitUntil([&] { return about->isVisible() && QApplication::activeWindow() == about; }, 5000));
    ASSERT_EQ(QApplication::focusWidget(), child<QLabel>(about, "LWebAddress"));
    QTest::keyClick(about->windowHandle(), Qt::Key_Return);
    QTest::keyClick(about->windowHandle(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), child<QLabel>(about, "ImageMail"));
    QTest::keyClick(about->windowHandle(), Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(about->windowHandle(), Qt::Key_Escape);
    for (const char* scheme : {"https", "mailto"})
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    ASSERT_EQ(catcher.opened.size(), 2);
    EXPECT_EQ(catcher.opened[0], QUrl(TFormAbout::webAddress()));
    EXPECT_EQ(catcher.opened[1].scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(catcher.opened[1].path(), TFormAbout::mailAddress());
    EXPECT_TRUE(waitUntil([&] { return !about->isVisible(); }, 2000)) << "Escape closes it";
}

} // namespace

#include "test_mainform.moc"

// Runs from the window against the simulated bus on a pseudo-terminal linked
// as COM1: whole upgrades, failures, checks, validation, closing mid-run and
// the wake-up burst.
#include "WindowFixture.h"

#include "platform/SerialPort.h"
#include "sim/SimulatedBus.h"
#include "sim/mkfw/FirmwareLayout.h"
#include "Watchdog.h"

#include <QMessageBox>
#include <QTimer>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using namespace uitest;

namespace {

constexpr uint8_t DEVICE = 0x55;

std::vector<uint8_t> legacyFirmware(mkfw::Version version, uint32_t size = 0x1000)
{
    mkfw::Options options;
    options.format = mkfw::Format::Legacy;
    options.deviceType = {18, 4};
    options.version = version;
    options.minVersion = {1, 0};
    options.codeSize = size;
    const mkfw::Result file = mkfw::layOut(options);
    EXPECT_TRUE(file.error.empty()) << file.error;
    return file.bytes;
}

sim::DeviceConfig device(uint8_t address, sim::Version big, std::optional<sim::Version> hardware = std::nullopt)
{
    sim::DeviceConfig config;
    config.address = address;
    config.type = {18, 4};
    config.bigVersion = big;
    config.hardware = hardware;
    return config;
}

// Records the order in which controls become enabled.
class EnableOrder final : public QObject {
public:
    explicit EnableOrder(const std::function<QWidget*(const char*)>& find)
    {
        for (const char* name : RUN_CONTROLS)
            find(name)->installEventFilter(this);
    }
    QStringList order;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::EnabledChange && static_cast<QWidget*>(watched)->isEnabled())
            order << watched->objectName();
        return false;
    }
};

class SimulatedRun : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        sim::BusOptions options;
        options.timeScale = TIME_SCALE;
        bus = std::make_unique<sim::SimulatedBus>(options);
    }

    void startBus()
    {
        ASSERT_TRUE(bus->start()) << bus->lastError();
        port = std::make_unique<LinkedPort>(1, bus->slavePath());
        openWindow();
        ASSERT_EQ(form->comPort(), 1);
    }

    void TearDown() override
    {
        WindowTest::TearDown();
        port.reset();
        bus.reset();
    }

    bool portReleased() { return platform::SerialPort::probe(bus->slavePath()); }

    std::unique_ptr<sim::SimulatedBus> bus;
    std::unique_ptr<LinkedPort> port;
};

TEST_F(SimulatedRun, StartUpgradesTheDeviceAndUnlocksTheWindowInOrder)
{
    bus->addDevice(device(DEVICE, {1, 0}, sim::Version{2, 0}));
    startBus();
    loadThroughDialog(writeFile("upgrade.bin", legacyFirmware({1, 5})));
    ASSERT_TRUE(button("BFUStart")->isEnabled());

    std::vector<int> progressSeen;
    QObject::connect(progress(), &QProgressBar::valueChanged, form.get(), [&](int v) { progressSeen.push_back(v); });
    EnableOrder enabled([this](const char* name) { return control<QWidget>(name); });

    button("BFUStart")->click();
    EXPECT_FALSE(controlsUnlocked());
    EXPECT_FALSE(button("BFUStart")->isEnabled());
    EXPECT_EQ(stateLines().value(0), QStringLiteral("Start upgrade."));
    ASSERT_TRUE(waitUntil([&] { return form->lastEventCode() == EVENT_FINISHED; })) << stateBox()->toPlainText().toStdString();

    const QStringList lines = stateLines();
    EXPECT_GT(lines.size(), 3) << "step lines between start and end";
    EXPECT_EQ(lines.last(), QStringLiteral("Upgrade finished successfully."));
    EXPECT_EQ(lines.filter(QStringLiteral("Upgrade failed.")).size(), 0);
    EXPECT_EQ(label("LTypeVal")->text(), QStringLiteral("18.4"));
    // The version read after the flash replaces the one read before it.
    EXPECT_EQ(label("LOldVersionVal")->text(), QStringLiteral("1.5 / 2.0"));
    EXPECT_EQ(progress()->value(), 0);
    const int highest = progressSeen.empty() ? 0 : *std::max_element(progressSeen.begin(), progressSeen.end());
    EXPECT_GE(highest, 90);
    EXPECT_GE(std::set<int>(progressSeen.begin(), progressSeen.end()).size(), 5u) << "the bar moved";
    QStringList expectedOrder;
    for (const char* name : RUN_CONTROLS)
        expectedOrder << QString::fromLatin1(name);
    EXPECT_EQ(enabled.order, expectedOrder);

    // The firmware-state timer closes the connection shortly after the end.
    EXPECT_TRUE(waitUntil([&] { return portReleased(); }, 2000));
    EXPECT_EQ(bus->reportedVersion(DEVICE), (sim::Version{1, 5}));
}

TEST_F(SimulatedRun, AFailedRunTurnsTheStateBoxRedUntilTheNextStart)
{
    bus->addDevice(device(DEVICE, {1, 0}));
    sim::Fault fault;
    fault.kind = sim::FaultKind::WrongChecksum;
    fault.trigger = sim::FaultTrigger::request(1);
    ASSERT_TRUE(bus->addFault(DEVICE, fault));
    startBus();
    loadThroughDialog(writeFile("upgrade.bin", legacyFirmware({1, 5})));
    const QColor normal = stateBox()->palette().color(QPalette::Base);

    ASSERT_TRUE(runToEnd(button("BFUStart"), 20000));
    EXPECT_EQ(form->lastEventCode(), EVENT_FAILED);
    const QStringList lines = stateLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines.last(), QStringLiteral("Upgrade failed."));
    EXPECT_NE(lines[lines.size() - 2], QStringLiteral("Start upgrade.")) << "the reason comes before";
    EXPECT_EQ(stateBox()->palette().color(QPalette::Base), QColor(255, 80, 80));
    EXPECT_TRUE(waitUntil([&] { return portReleased(); }, 2000));

    // Start gives the colour back and clears the text; this run succeeds.
    button("BFUStart")->click();
    EXPECT_EQ(stateBox()->palette().color(QPalette::Base), normal);
    EXPECT_EQ(stateLines().value(0), QStringLiteral("Start upgrade."));
    ASSERT_TRUE(waitUntil([&] { return form->lastEventCode() == EVENT_FINISHED && controlsUnlocked(); }));
}

TEST_F(SimulatedRun, CheckDeviceNeedsNoFileButStartDoes)
{
    bus->addDevice(device(DEVICE, {2, 3}));
    startBus();
    ASSERT_FALSE(button("BFUStart")->isEnabled());
    ASSERT_TRUE(runToEnd(button("BCheckDevice")));
    EXPECT_EQ(form->lastEventCode(), EVENT_CHECK_DONE);
    EXPECT_EQ(label("LTypeVal")->text(), QStringLiteral("18.4"));
    EXPECT_EQ(label("LOldVersionVal")->text(), QStringLiteral("2.3 / NA"));
    EXPECT_FALSE(stateLines().contains(QStringLiteral("Start upgrade.")));
    EXPECT_TRUE(button("BFUStart")->isEnabled()) << "the end of any run enables Start";
    EXPECT_TRUE(waitUntil([&] { return portReleased(); }, 2000));

    ASSERT_TRUE(runToEnd(button("BFUStart")));
    EXPECT_EQ(form->lastEventCode(), EVENT_FAILED);
    EXPECT_EQ(stateLines(), QStringList({"Start upgrade.", "No bin file has been selected.", "Upgrade failed."}));
    EXPECT_TRUE(waitUntil([&] { return portReleased(); }, 2000));
}

TEST_F(SimulatedRun, FieldsAreValidatedBeforeARunStarts)
{
    bus->addDevice(device(0x0A, {1, 0}));
    bus->addDevice(device(0xFF, {1, 0}));
    bus->addDevice(device(DEVICE, {1, 0}));
    ASSERT_TRUE(bus->addDevice(device(0x33, {1, 0}), DEVICE, 0));
    ASSERT_TRUE(bus->addDevice(device(0x34, {1, 0}), DEVICE, 15));
    startBus();

    struct Case {
        const char* mode;    // radio button
        const char* field;   // edit changed
        const char* text;
        const char* refusal; // null: accepted, a check run ends with EVENT_CHECK_DONE
    };
    const Case cases[] = {
        {"RBMainDirect", "EMainAdd", "00", "Invalid Main address"},
        {"RBMainDirect", "EMainAdd", "5", "Invalid Main address"},
        {"RBMainDirect", "EMainAdd", "555", "Invalid Main address"},
        {"RBMainDirect", "EMainAdd", "G1", "Invalid Main address"},
        {"RBMainDirect", "EMainAdd", "0a", nullptr},
        {"RBMainDirect", "EMainAdd", "FF", nullptr},
        {"RBMainDirect", "EBaudRate", "0", "Invalid Baudrate value"},
        {"RBMainDirect", "EBaudRate", "-5", "Invalid Baudrate value"},
        {"RBMainDirect", "EBaudRate", "abc", "Invalid Baudrate value"},
        {"RBMainDirect", "EBaudRate", "1", nullptr},
        {"RBNested1ThroughMain", "EInterfaceNumber1", "16", "Invalid Nested 1 interface"},
        {"RBNested1ThroughMain", "EInterfaceNumber1", "", "Invalid Nested 1 interface"},
        {"RBNested1ThroughMain", "EInterfaceNumber1", "0", nullptr},
        {"RBNested1ThroughMain", "ENestedAdd1", "00", "Invalid Nested 1 address"},
        {"RBNested2ThroughMain", "EInterfaceNumber2", "16", "Invalid Nested 2 interface"},
        {"RBNested2ThroughMain", "ENestedAdd2", "G1", "Invalid Nested 2 address"},
    };
    for (const Case& c : cases) {
        // Baud rate set after the radio button, which resets it.
        control<QRadioButton>(c.mode)->click();
        edit("EMainAdd")->setText(QStringLiteral("55"));
        edit("ENestedAdd1")->setText(QStringLiteral("33"));
        edit("EInterfaceNumber1")->setText(QStringLiteral("0"));
        edit("ENestedAdd2")->setText(QStringLiteral("34"));
        edit("EInterfaceNumber2")->setText(QStringLiteral("0"));
        edit(c.field)->setText(QString::fromUtf8(c.text));
        const int refusalsBefore = c.refusal ? reported(c.refusal) : 0;
        form->fwUpgraderEvent(EVENT_PROGRESS, 0, "0", true); // a code that no run ends with
        if (c.refusal) {
            // A refusal is decided before anything is locked: no run, no end event.
            button("BCheckDevice")->click();
            EXPECT_EQ(reported(c.refusal), refusalsBefore + 1) << c.field << "=" << c.text;
            EXPECT_EQ(form->lastEventCode(), EVENT_PROGRESS) << "no run: " << c.field << "=" << c.text;
            EXPECT_TRUE(button("BCheckDevice")->isEnabled()) << c.field << "=" << c.text;
        } else {
            ASSERT_TRUE(runToEnd(button("BCheckDevice"))) << c.field << "=" << c.text;
            EXPECT_EQ(form->lastEventCode(), EVENT_CHECK_DONE) << c.field << "=" << c.text;
        }
    }
    // Interface 15 reaches the device behind the last interface.
    control<QRadioButton>("RBNested1ThroughMain")->click();
    edit("ENestedAdd1")->setText(QStringLiteral("34"));
    edit("EInterfaceNumber1")->setText(QStringLiteral("15"));
    ASSERT_TRUE(runToEnd(button("BCheckDevice")));
    EXPECT_EQ(form->lastEventCode(), EVENT_CHECK_DONE);
    EXPECT_GT(bus->requestCount(0x34), 0u);
}

TEST_F(SimulatedRun, ARefusedStartLeavesTheWindowUsable)
{
    bus->addDevice(device(DEVICE, {1, 0}));
    startBus();
    // Another program takes the port after the list was made.
    platform::SerialPort holder;
    ASSERT_TRUE(holder.open(bus->slavePath())) << holder.errorText();
    ASSERT_TRUE(runToEnd(button("BCheckDevice")));
    EXPECT_EQ(reported("startUpgrade for Main direct failed\tTFormMain::BFUStartClick"), 1);
    EXPECT_EQ(stateLines().mid(0, 2), QStringList({"Unable to open connection", "Check communication port"}));
    EXPECT_EQ(stateLines().last(), QStringLiteral("Upgrade failed."));
    EXPECT_TRUE(controlsUnlocked());
    holder.close();
    ASSERT_TRUE(runToEnd(button("BCheckDevice")));
    EXPECT_EQ(form->lastEventCode(), EVENT_CHECK_DONE);
}

TEST_F(SimulatedRun, TheDowngradeQuestionIsAskedOnTheUiThread)
{
    bus->addDevice(device(DEVICE, {1, 9}));
    startBus();
    loadThroughDialog(writeFile("older.bin", legacyFirmware({1, 5})));
    QString asked;
    answerNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box || !box->button(QMessageBox::No))
            return false;
        asked = box->text();
        box->button(QMessageBox::No)->click();
        return true;
    });
    ASSERT_TRUE(runToEnd(button("BFUStart")));
    EXPECT_EQ(asked, QStringLiteral("You are downgrading ! Continue?"));
    EXPECT_EQ(bus->reportedVersion(DEVICE), (sim::Version{1, 9}));
    EXPECT_TRUE(waitUntil([&] { return portReleased(); }, 2000));
}

// Closing during a run: an upgrade asks first, a check does not. The question
// runs its own event loop, so the run goes on while it is open.
TEST_F(SimulatedRun, ClosingDuringAnUpgradeAsksFirst)
{
    testwatch::Watchdog watchdog("closing during an upgrade", std::chrono::seconds(120));
    bus->addDevice(device(DEVICE, {1, 0}));
    bus->addDevice(device(0x56, {1, 0}));
    ASSERT_TRUE(bus->start()) << bus->lastError();
    port = std::make_unique<LinkedPort>(1, bus->slavePath());
    // Signal: a stop signal comes while the question is open.
    enum class Answer { Yes, No, None, Signal };
    // Each upgrade brings a newer version: no downgrade question comes between.
    const struct {
        const char* name;
        const char* starter;
        const char* address;
        uint8_t minor;
        Answer answer;
        bool closed;
    } rows[] = {
        {"No keeps it going", "BFUStart", "55", 5, Answer::No, false},
        {"the run ends while it is open", "BFUStart", "55", 6, Answer::None, true},
        {"a check closes without asking", "BCheckDevice", "55", 7, Answer::None, true},
        {"Yes stops the run", "BFUStart", "55", 7, Answer::Yes, true},
        {"a stop signal closes it", "BFUStart", "56", 7, Answer::Signal, true},
    };
    const QString question = QStringLiteral(
        "An upgrade is running. Closing now stops it and may leave the device in its upgrade mode. Close anyway?");
    for (const auto& row : rows) {
        const bool upgrade = row.starter == std::string("BFUStart");
        openWindow();
        edit("EMainAdd")->setText(QString::fromLatin1(row.address));
        loadThroughDialog(writeFile("large.bin", legacyFirmware({1, row.minor}, 0x8000)));
        button(row.starter)->click();
        if (upgrade) {
            ASSERT_TRUE(waitUntil([&] { return progress()->value() >= 5; })) << row.name;
            ASSERT_LT(progress()->value(), 90) << "the upload is still under way: " << row.name;
        }
        ASSERT_FALSE(controlsUnlocked()) << row.name;
        std::chrono::steady_clock::time_point answeredAt;
        auto answerer = std::make_unique<BoxAnswerer>();
        answerer->onBox = [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No)) << row.name;
            answeredAt = std::chrono::steady_clock::now();
            if (row.answer == Answer::Signal)
                form->closeWithoutAsking();
            else if (row.answer != Answer::None)
                box->button(row.answer == Answer::Yes ? QMessageBox::Yes : QMessageBox::No)->click();
            return true;
        };
        const bool closed = form->close();
        const auto closedAt = std::chrono::steady_clock::now();
        EXPECT_EQ(closed, row.closed) << row.name;
        EXPECT_EQ(answerer->texts(), upgrade ? QStringList{question} : QStringList{}) << row.name;
        if (row.answer == Answer::No) {
            EXPECT_FALSE(form->isClosing());
            ASSERT_TRUE(waitUntil([&] { return form->lastEventCode() == EVENT_FINISHED && controlsUnlocked(); }, 60000))
                << form->lastEventCode() << ": " << stateBox()->toPlainText().toStdString();
            answerer = std::make_unique<BoxAnswerer>();
            EXPECT_TRUE(form->close()) << "after the run nothing is asked";
            EXPECT_TRUE(answerer->texts().isEmpty());
        }
        if (row.answer == Answer::None && upgrade) {
            EXPECT_EQ(form->lastEventCode(), EVENT_FINISHED) << stateBox()->toPlainText().toStdString();
        }
        if (row.answer == Answer::Yes || row.answer == Answer::Signal) {
            EXPECT_LT(closedAt - answeredAt, std::chrono::seconds(5)) << row.name;
            EXPECT_NE(form->lastEventCode(), EVENT_FINISHED) << row.name;
        }
        if (upgrade && (row.answer == Answer::No || row.answer == Answer::None)) {
            EXPECT_EQ(bus->reportedVersion(DEVICE), (sim::Version{1, row.minor})) << row.name;
        }
        // close() came back: the engine and the display thread are gone.
        EXPECT_EQ(form->upgrader(), nullptr) << row.name;
        EXPECT_TRUE(portReleased()) << row.name;
        const int linesAfter = static_cast<int>(stateLines().size());
        QTest::qWait(50);
        EXPECT_EQ(stateLines().size(), linesAfter) << "nothing shown after the closing: " << row.name;
        form.reset();
        bridge().setClosing(false);
    }
}

// The operator's path by Tab, and the buttons by Return and keypad Enter.
TEST_F(SimulatedRun, TheKeyboardAloneRunsACheckAndAnUpgrade)
{
    bus->addDevice(device(DEVICE, {1, 0}));
    startBus();
    loadThroughDialog(writeFile("upgrade.bin", legacyFirmware({1, 5})));
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    control<QWidget>("CBComPort")->setFocus();
    QStringList path;
    for (int i = 0; i < 6; ++i) {
        path << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString());
        QTest::keyClick(form->windowHandle(), Qt::Key_Tab);
    }
    EXPECT_EQ(path, QStringList({"CBComPort", "EBaudRate", "EMainAdd", "BCheckDevice", "BFUOpenFileBin", "BFUStart"}));

    // The check's end may be shown before keyClick returns: it is told by the type read.
    ASSERT_EQ(label("LTypeVal")->text(), QStringLiteral("--.--"));
    button("BCheckDevice")->setFocus();
    QTest::keyClick(form->windowHandle(), Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return label("LTypeVal")->text() == QStringLiteral("18.4") && controlsUnlocked(); }, 60000))
        << "Return on Check device started no check";
    EXPECT_EQ(form->lastEventCode(), EVENT_CHECK_DONE);

    button("BFUStart")->setFocus();
    QTest::keyClick(form->windowHandle(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(stateLines().value(0), QStringLiteral("Start upgrade."));
    ASSERT_TRUE(waitUntil([&] { return form->lastEventCode() == EVENT_FINISHED && controlsUnlocked(); }, 60000))
        << stateBox()->toPlainText().toStdString();
    EXPECT_EQ(bus->reportedVersion(DEVICE), (sim::Version{1, 5}));
}

TEST_F(SimulatedRun, CodesOutsideTheTableUnlockLikeCheckDone)
{
    // A line where nobody answers: the run waits for its answer meanwhile.
    sim::Pty line;
    std::string error;
    ASSERT_TRUE(line.open(error)) << error;
    port = std::make_unique<LinkedPort>(1, line.slavePath());
    for (const int code : {7, -1}) {
        openWindow();
        button("BCheckDevice")->click();
        ASSERT_FALSE(controlsUnlocked()) << code;
        std::thread engineLike([&] { form->fwUpgraderEvent(code, -1, "0", false); });
        // The raiser waits until the window has shown the event.
        ASSERT_TRUE(waitUntil([&] { return controlsUnlocked(); })) << code;
        engineLike.join();
        EXPECT_EQ(form->lastEventCode(), code);
        EXPECT_EQ(progress()->value(), 0);
        EXPECT_TRUE(control<QTimer>("TimerFirmwareState")->isActive()) << "only codes 2, 3 and 4 close the line";
        form.reset(); // closing in the middle of the run
        EXPECT_TRUE(platform::SerialPort::probe(line.slavePath())) << code;
    }
}

TEST_F(SimulatedRun, WakeUpSendsTheBurstWithoutWaitingForTheUiThreadOnAnEcho)
{
    // No simulator: a bare pseudo-terminal that echoes what it receives.
    sim::Pty line;
    std::string error;
    ASSERT_TRUE(line.open(error)) << error;
    port = std::make_unique<LinkedPort>(1, line.slavePath());
    openWindow();
    std::atomic<bool> stop{false};
    std::atomic<size_t> received{0};
    std::atomic<size_t> others{0};
    std::atomic<unsigned> baud{0};
    std::thread far([&] {
        uint8_t buffer[256];
        while (!stop) {
            pollfd p{line.master(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            const ssize_t n = read(line.master(), buffer, sizeof buffer);
            if (n <= 0)
                continue;
            if (baud == 0)
                baud = line.lineBaudRate();
            for (ssize_t i = 0; i < n; ++i)
                if (buffer[i] != 0x55)
                    ++others;
            received += static_cast<size_t>(n);
            (void)!write(line.master(), buffer, static_cast<size_t>(n)); // the echo
        }
    });
    auto* wakeUp = button("BWakeUp");
    wakeUp->click();
    ASSERT_TRUE(waitUntil([&] { return wakeUp->text() == QStringLiteral("WakeUp") && wakeUp->isEnabled(); }, 10000));
    EXPECT_TRUE(waitUntil([&] { return received.load() >= 300; }, 2000));
    stop = true;
    far.join();
    EXPECT_EQ(received.load(), 300u);
    EXPECT_EQ(others.load(), 0u);
    EXPECT_EQ(baud.load(), 1000u);
    EXPECT_TRUE(platform::SerialPort::probe(line.slavePath())) << "the wake-up port is closed again";
}

// ---------------------------------------------------------------------------
// With message boxes on (-DebugMsg): every box an engine thread or the window
// raises is answered 700 ms later, while the firmware-state timer ticks inside
// it. Nothing may freeze: each failure ends, the port is freed, and the next
// run succeeds; closing the window over an open box ends at once.

class BoxedRun : public SimulatedRun {
protected:
    void SetUp() override
    {
        SimulatedRun::SetUp();
        reportErrorsToFileAndBoxes();
    }
    void TearDown() override
    {
        answerer.reset();
        SimulatedRun::TearDown();
        reportErrorsToFile();
        watchdog.reset();
    }

    // The run `starter` starts ends with `code`, the port is freed, and the
    // run after it (by `again`, answering questions Yes) ends with `next`.
    void failThenSucceed(const char* starter, int code, const char* again, int next)
    {
        ASSERT_TRUE(runToEnd(button(starter), 30000)) << stateBox()->toPlainText().toStdString();
        EXPECT_EQ(form->lastEventCode(), code) << stateBox()->toPlainText().toStdString();
        EXPECT_TRUE(waitUntil([&] { return portReleased(); }, 5000));
        answerer = std::make_unique<BoxAnswerer>(true);
        ASSERT_TRUE(runToEnd(button(again), 30000)) << stateBox()->toPlainText().toStdString();
        EXPECT_EQ(form->lastEventCode(), next) << stateBox()->toPlainText().toStdString();
        EXPECT_TRUE(waitUntil([&] { return portReleased(); }, 5000));
    }

    void loadFile(mkfw::Version version) { loadThroughDialog(writeFile("boxed.bin", legacyFirmware(version, 0x400))); }

    void addFault(sim::FaultKind kind, sim::FaultTrigger trigger, int param = -1)
    {
        sim::Fault fault;
        fault.kind = kind;
        fault.trigger = trigger;
        fault.param = param;
        ASSERT_TRUE(bus->addFault(DEVICE, fault));
    }

    std::unique_ptr<testwatch::Watchdog> watchdog =
        std::make_unique<testwatch::Watchdog>("a window test with message boxes", std::chrono::seconds(120));
    std::unique_ptr<BoxAnswerer> answerer = std::make_unique<BoxAnswerer>();
};

TEST_F(BoxedRun, AFailedCheckIsAnsweredAndTheNextCheckSucceeds)
{
    bus->addDevice(device(DEVICE, {1, 0}));
    addFault(sim::FaultKind::WrongChecksum, sim::FaultTrigger::request(1));
    startBus();
    failThenSucceed("BCheckDevice", EVENT_FAILED, "BCheckDevice", EVENT_CHECK_DONE);
    EXPECT_TRUE(stateLines().contains(QStringLiteral("CheckSum not valid.")));
}

TEST_F(BoxedRun, AFailedUpgradeIsAnsweredAndTheNextUpgradeSucceeds)
{
    bus->addDevice(device(DEVICE, {1, 0}));
    addFault(sim::FaultKind::PointerError, sim::FaultTrigger::writeBlock(3));
    startBus();
    loadFile({1, 5});
    failThenSucceed("BFUStart", EVENT_FAILED, "BFUStart", EVENT_FINISHED);
    EXPECT_EQ(bus->reportedVersion(DEVICE), (sim::Version{1, 5}));
}

TEST_F(BoxedRun, AVerificationMismatchIsAnsweredAndTheNextUpgradeSucceeds)
{
    bus->addDevice(device(DEVICE, {1, 0}));
    addFault(sim::FaultKind::CorruptReadBack, sim::FaultTrigger::readBlock(2), 21);
    startBus();
    loadFile({1, 5});
    ASSERT_TRUE(runToEnd(button("BFUStart"), 30000));
    EXPECT_TRUE(stateLines().contains(QStringLiteral("Writing ERROR @ pos ") + QString::number(2 * 64 + 21)))
        << stateBox()->toPlainText().toStdString();
    EXPECT_EQ(form->lastEventCode(), EVENT_FAILED);
    EXPECT_TRUE(waitUntil([&] { return portReleased(); }, 5000));
    answerer = std::make_unique<BoxAnswerer>(true);
    ASSERT_TRUE(runToEnd(button("BFUStart"), 30000));
    EXPECT_EQ(form->lastEventCode(), EVENT_FINISHED) << stateBox()->toPlainText().toStdString();
    EXPECT_EQ(bus->reportedVersion(DEVICE), (sim::Version{1, 5}));
}

TEST_F(BoxedRun, TheDowngradeQuestionAnsweredNoFailsAndAnsweredYesUpgrades)
{
    bus->addDevice(device(DEVICE, {1, 9}));
    startBus();
    loadFile({1, 5});
    failThenSucceed("BFUStart", EVENT_FAILED, "BFUStart", EVENT_FINISHED);
    EXPECT_TRUE(answerer->texts().contains(QStringLiteral("You are downgrading ! Continue?")));
    EXPECT_EQ(bus->reportedVersion(DEVICE), (sim::Version{1, 5}));
}

TEST_F(BoxedRun, ClosingTheWindowOverABoxOfAnEngineThreadEndsPromptly)
{
    bus->addDevice(device(DEVICE, {1, 0}));
    addFault(sim::FaultKind::WrongChecksum, sim::FaultTrigger::request(1));
    startBus();
    bool closed = false;
    answerer->onBox = [&](QWidget* box) {
        if (!qobject_cast<QMessageBox*>(box)->text().contains(QStringLiteral("CheckSum not valid.")))
            return false;
        form->close(); // inside the box's own event loop
        closed = true;
        return true;
    };
    button("BCheckDevice")->click();
    ASSERT_TRUE(waitUntil([&] { return closed; }, 10000));
    // close() came back: the engine and its threads are gone, the port is free.
    EXPECT_EQ(form->upgrader(), nullptr);
    EXPECT_TRUE(portReleased());
    EXPECT_TRUE(waitUntil([] { return QApplication::activeModalWidget() == nullptr; }, 5000)) << "the box closed";
    form.reset();
    bridge().setClosing(false);
}

TEST_F(BoxedRun, ClosingTheWindowOverTheDowngradeQuestionEndsPromptly)
{
    bus->addDevice(device(DEVICE, {1, 9}));
    startBus();
    loadFile({1, 5});
    bool closed = false;
    answerer->onBox = [&](QWidget* box) {
        if (!qobject_cast<QMessageBox*>(box)->button(QMessageBox::No))
            return false;
        // Closing during the upgrade asks first: Yes.
        answerNextModal([](QWidget* modal) {
            if (modal->objectName() != QStringLiteral("CloseQuestion"))
                return false;
            qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click();
            return true;
        });
        form->close();
        closed = true;
        return true;
    };
    button("BFUStart")->click();
    ASSERT_TRUE(waitUntil([&] { return closed; }, 10000));
    EXPECT_EQ(form->upgrader(), nullptr);
    EXPECT_TRUE(portReleased());
    EXPECT_TRUE(waitUntil([] { return QApplication::activeModalWidget() == nullptr; }, 5000)) << "the question closed";
    form.reset();
    bridge().setClosing(false);
    EXPECT_EQ(bus->reportedVersion(DEVICE), (sim::Version{1, 9})) << "answered No";
}

// The closing question waits for the operator, not for a thread: its own
// event loop shows an engine thread's box, and the run's end closes it.
TEST_F(BoxedRun, AnEngineBoxIsShownWhileTheClosingQuestionIsOpen)
{
    bus->addDevice(device(DEVICE, {1, 0}));
    startBus();
    loadThroughDialog(writeFile("large.bin", legacyFirmware({1, 5}, 0x8000)));
    button("BFUStart")->click();
    ASSERT_TRUE(waitUntil([&] { return progress()->value() >= 5; }));
    bool faulted = false;
    answerer->onBox = [&](QWidget* modal) {
        if (modal->objectName() != QStringLiteral("CloseQuestion"))
            return false; // answered after its delay
        if (!faulted) {
            faulted = true;
            addFault(sim::FaultKind::WrongChecksum, sim::FaultTrigger::request(bus->requestCount(DEVICE) + 2));
        }
        return true; // left open
    };
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(faulted);
    EXPECT_FALSE(answerer->texts().filter(QStringLiteral("CheckSum not valid.")).isEmpty())
        << answerer->texts().join('|').toStdString();
    EXPECT_EQ(form->lastEventCode(), EVENT_FAILED);
    EXPECT_EQ(form->upgrader(), nullptr);
    EXPECT_TRUE(portReleased());
    form.reset();
    bridge().setClosing(false);
}

TEST_F(BoxedRun, WakeUpOnALineThatGoesAwayDuringTheBurstLeavesTheWindowUsable)
{
    auto line = std::make_unique<sim::Pty>();
    std::string error;
    ASSERT_TRUE(line->open(error)) << error;
    port = std::make_unique<LinkedPort>(1, line->slavePath());
    openWindow();
    std::atomic<bool> gone{false};
    std::thread far([&] {
        uint8_t buffer[64];
        // A loaded machine can hand the first bytes over seconds late.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{line->master(), POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN) && read(line->master(), buffer, sizeof buffer) > 0)
                break;
        }
        line->close(); // unplugged in the middle of the burst
        gone = true;
    });
    auto* wakeUp = button("BWakeUp");
    wakeUp->click();
    const bool restored = waitUntil(
        [&] { return gone && wakeUp->text() == QStringLiteral("WakeUp") && wakeUp->isEnabled(); }, 45000);
    far.join();
    ASSERT_TRUE(restored);
    EXPECT_TRUE(gone);
    EXPECT_TRUE(answerer->texts().filter(QStringLiteral("ReadFile error")).size() >= 1) << answerer->texts().join('|').toStdString();
    EXPECT_TRUE(button("BCheckDevice")->isEnabled());
    EXPECT_EQ(reported("ReadFile error"), 1);
    EXPECT_TRUE(platform::SerialPort::probe(line->slavePath()) || !std::filesystem::exists(line->slavePath()));
}

} // namespace

#include "ui/Mainform.h"

#include "comm/ComT.h"
#include "diagnostics/Globalfunctions.h"
#include "platform/DataDirectory.h"
#include "platform/PortMap.h"
#include "ui/Aboutform.h"
#include "app/StartupRules.h"
#include "engine/FieldRules.h"
#include "ui/Fonts.h"
#include "ui/QtUiBridge.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

constexpr int FIRMWARE_STATE_PERIOD_MS = 200;
constexpr int WAKE_UP_TICK_MS = 1;
constexpr uint32_t WAKE_UP_BAUD = 1000;
constexpr int WAKE_UP_BYTES = 300;
constexpr uint8_t WAKE_UP_BYTE = 0x55;
constexpr auto WAKE_UP_SETTLE = std::chrono::milliseconds(100);
constexpr auto WAKE_UP_BURST = std::chrono::milliseconds(3000);
constexpr const char* DEFAULT_BAUD_RATE = "115200";
// COM numbers the port list offers.
constexpr int LAST_LISTED_PORT = 20;
constexpr const char* CLOSE_DURING_UPGRADE_QUESTION =
    "An upgrade is running. Closing now stops it and may leave the device in its upgrade mode. Close anyway?";

template <typename Widget>
Widget* place(QWidget* parent, const char* name, int left, int top, int width = -1, int height = -1)
{
    auto* widget = new Widget(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setFont(windowFont());
    widget->move(left, top);
    if (width > 0 && height > 0)
        widget->resize(width, height);
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const char* text, int left, int top)
{
    auto* widget = place<QLabel>(parent, name, left, top);
    widget->setText(QString::fromUtf8(text));
    widget->adjustSize();
    return widget;
}

QLineEdit* edit(QWidget* parent, const char* name, const char* text, int left, int top, int width, int height)
{
    auto* widget = place<QLineEdit>(parent, name, left, top, width, height);
    widget->setText(QString::fromUtf8(text));
    return widget;
}

template <typename Button>
Button* button(QWidget* parent, const char* name, const char* text, int left, int top, int width = -1,
               int height = -1)
{
    auto* widget = place<Button>(parent, name, left, top, width, height);
    widget->setText(QString::fromUtf8(text));
    if (width <= 0)
        widget->adjustSize();
    return widget;
}

std::string text(const QLineEdit* field)
{
    return field->text().toStdString();
}

} // namespace

// ---------------------------------------------------------------------------
// KWOCThreadFWDisplay

KWOCThreadFWDisplay::KWOCThreadFWDisplay(TFormMain& form, bool createPaused, bool* pisError) : m_form(form)
{
    setPriority(Priority::AboveNormal);
    if (pisError == nullptr) {
        reportError("pisError == NULL\tKWOCThreadFWDisplay::KWOCThreadFWDisplay");
        return;
    }
    *pisError = false;
    m_record.m_code = EVENT_CHECK_DONE;
    m_record.m_value = 0;
    m_record.m_text.clear();
    m_record.m_pHevStartDisplay = std::make_unique<platform::Event>(false, false);
    m_record.m_pHevDisplayFinished = std::make_unique<platform::Event>(false, false);
    if (!createPaused)
        resume();
}

KWOCThreadFWDisplay::~KWOCThreadFWDisplay()
{
    // execute() uses this object: end it before the members go.
    terminate();
    if (m_record.m_pHevStartDisplay)
        m_record.m_pHevStartDisplay->set();
    resume();
    wait(platform::INFINITE);
}

void KWOCThreadFWDisplay::execute()
{
    if (!m_record.m_pHevStartDisplay || !m_record.m_pHevDisplayFinished)
        return;
    while (!terminated()) {
        reportWaitResult(platform::waitFor(*m_record.m_pHevStartDisplay, platform::INFINITE),
                         "Event start display FWUpgrader");
        synchronize([this] { showEvent(); });
        if (!m_record.m_pHevDisplayFinished->set())
            reportError("SetEvent m_pHevDisplayFinished failed.\tKWOCThreadFWDisplay::Execute");
    }
}

void KWOCThreadFWDisplay::showEvent()
{
    // On its way out (window closing) the thread shows nothing again.
    if (m_form.isClosing())
        return;
    int code = 0;
    int value = 0;
    std::string text;
    {
        std::lock_guard<std::mutex> guard(m_recordLock);
        code = m_record.m_code;
        value = m_record.m_value;
        text = m_record.m_text;
    }
    // A box of the event runs a nested event loop: a closing that comes in
    // there must not wait for this thread, which waits for this call.
    ++m_form.m_showingRelayedEvent;
    m_form.showUpgraderEvent(code, value, text);
    --m_form.m_showingRelayedEvent;
}

// ---------------------------------------------------------------------------
// TFormMain: construction and layout

TFormMain::TFormMain(platform::PortMap portMap, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_portMap(std::move(portMap))
{
    setWindowTitle(QString::fromUtf8(app::APPLICATION_TITLE));
    installWindowFonts();
    setFont(windowFont());
    m_binFilePath.clear();
    // A new window is not closing, whatever an earlier one did.
    if (QtUiBridge* bridge = QtUiBridge::installed())
        bridge->setClosing(false);
    buildControls();

    deletePreviousDiagnosticFiles();

    m_wakeUpPort.reset();
    m_comPort = -1;

    bool ok = false;
    m_upgrader = std::make_unique<KWOCFwUpgraderRS485>(&ok, this, m_portMap);
    if (!ok) {
        m_upgrader.reset();
        reportError("Failed to create KWOCFwUpgrader object !\tTFormMain::TFormMain");
    }
    if (m_upgrader)
        m_upgrader->enableDowngradeConfirmation();

    m_binFile = KWOSBinFile();
    m_mainAddress = -1;
    m_nestedAddresses.fill(-1);
    m_interfaceNumbers.fill(-1);
    m_lastEventCode = EVENT_CHECK_DONE;

    bool displayError = true;
    m_display = std::make_unique<KWOCThreadFWDisplay>(*this, false, &displayError);
    if (displayError) {
        reportError("Initialization of application failed\rThis application will be closed.");
        std::exit(0);
    }
    connectHandlers();
}

TFormMain::~TFormMain()
{
    shutDown();
    // A closing from inside a relayed event's box left the display thread
    // for now; the box has returned by the time the window is destroyed.
    stopDisplayThread();
}

void TFormMain::buildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(CLIENT_WIDTH, CLIENT_HEIGHT);
    setCentralWidget(client);

    auto* aboutAction = menuBar()->addAction(QStringLiteral("About"));
    aboutAction->setObjectName(QStringLiteral("MenuAbout"));
    aboutAction->setShortcut(QKeySequence::HelpContents);
    connect(aboutAction, &QAction::triggered, this, &TFormMain::MenuAboutClick);

    // Group box "Communication": its caption is bold, its controls are not.
    m_groupCommunication = place<QGroupBox>(client, "GBCommunication", 10, 13, 695, 129);
    m_groupCommunication->setTitle(QStringLiteral("Communication"));
    m_groupCommunication->setFont(boldFont(windowFont().pointSize()));
    QWidget* group = m_groupCommunication;

    LComPort = label(group, "LComPort", "Port :", 37, 25);
    CBComPort = place<QComboBox>(group, "CBComPort", 145, 22, 106, 21);
    CBComPort->setEditable(false);
    LBaudRate = label(group, "LBaudRate", "BaudRate (bits/sec) :", 37, 54);
    EBaudRate = edit(group, "EBaudRate", DEFAULT_BAUD_RATE, 145, 49, 106, 24);
    LMainAdd = label(group, "LMainAdd", "Main add : 0x", 307, 24);
    EMainAdd = edit(group, "EMainAdd", "55", 403, 20, 37, 24);
    LNestedAdd1 = label(group, "LNestedAdd1", "Nested add 1 : 0x", 307, 60);
    ENestedAdd1 = edit(group, "ENestedAdd1", "55", 403, 55, 37, 24);
    LInterfaceNumber1 = label(group, "LInterfaceNumber1", "Interface number 1 :", 466, 60);
    EInterfaceNumber1 = edit(group, "EInterfaceNumber1", "0", 569, 55, 37, 24);
    LNestedAdd2 = label(group, "LNestedAdd2", "Nested add 2 : 0x", 307, 95);
    ENestedAdd2 = edit(group, "ENestedAdd2", "55", 403, 90, 37, 24);
    LInterfaceNumber2 = label(group, "LInterfaceNumber2", "Interface number 2 :", 466, 95);
    EInterfaceNumber2 = edit(group, "EInterfaceNumber2", "0", 569, 90, 37, 24);
    const auto* digitsOnly = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
    EInterfaceNumber1->setValidator(digitsOnly);
    EInterfaceNumber2->setValidator(digitsOnly);

    m_pageControl = place<QTabWidget>(client, "PCFirmware", 10, 148, 695, 353);
    m_tabFirmwareUpgrade = new QWidget;
    m_tabFirmwareUpgrade->setObjectName(QStringLiteral("TSFirmwareUpgrade"));
    m_pageControl->addTab(m_tabFirmwareUpgrade, QStringLiteral("Firmware upgrade"));
    QWidget* page = m_tabFirmwareUpgrade;

    RBMainDirect = button<QRadioButton>(page, "RBMainDirect", "Main Direct", 19, 7);
    RBMainDirect->setChecked(true);
    RBNested1ThroughMain = button<QRadioButton>(page, "RBNested1ThroughMain", "Nested 1x through Main", 19, 38);
    RBNested2ThroughMain = button<QRadioButton>(page, "RBNested2ThroughMain", "Nested 2x through Main", 19, 69);
    BWakeUp = button<QPushButton>(page, "BWakeUp", "WakeUp", 184, 7, 118, 37);
    BCheckDevice = button<QPushButton>(page, "BCheckDevice", "Check device", 19, 115, 97, 43);
    LType = label(page, "LType", "Type/Model :", 122, 120);
    LTypeVal = label(page, "LTypeVal", "--.--", 213, 120);
    LOldVersion = label(page, "LOldVersion", "FW/HW version :", 122, 139);
    LOldVersionVal = label(page, "LOldVersionVal", "--.-- / --.--", 213, 140);
    BFUOpenFileBin = button<QPushButton>(page, "BFUOpenFileBin", "Load *.bin file...", 19, 171, 97, 43);
    LFUFileName = label(page, "LFUFileName", "Name :", 122, 171);
    LFUFileNameVal = label(page, "LFUFileNameVal", "---", 162, 171);
    LFUFileLength = label(page, "LFUFileLength", "Length :", 122, 186);
    LFUFileLengthVal = label(page, "LFUFileLengthVal", "0 Bytes", 163, 186);
    LFUVersionNew = label(page, "LFUVersionNew", "New FW version :", 122, 201);
    LFUVersionNewVal = label(page, "LFUVersionNewVal", "--.--", 213, 201);
    LFUVersionNewVal2 = label(page, "LFUVersionNewVal2", "--.--", 213, 218);
    BFUStart = button<QPushButton>(page, "BFUStart", "Start", 19, 268, 214, 44);
    BFUStart->setFont(startButtonFont());
    BFUStart->setEnabled(false);
    MemoFUState = place<QPlainTextEdit>(page, "MemoFUState", 347, 10, 330, 282);
    MemoFUState->setReadOnly(true);
    MemoFUState->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoFUState->setAutoFillBackground(true);
    PBFUProgress = place<QProgressBar>(page, "PBFUProgress", 347, 296, 330, 16);
    PBFUProgress->setRange(0, 100);
    PBFUProgress->setValue(0);
    PBFUProgress->setTextVisible(false);

    TimerFirmwareState = new QTimer(this);
    TimerFirmwareState->setObjectName(QStringLiteral("TimerFirmwareState"));
    TimerFirmwareState->setInterval(FIRMWARE_STATE_PERIOD_MS);
    TimerWakeUp = new QTimer(this);
    TimerWakeUp->setObjectName(QStringLiteral("TimerWakeUp"));
    TimerWakeUp->setInterval(WAKE_UP_TICK_MS);

    // Fixed border: the client area never changes size.
    adjustSize();
    setFixedSize(sizeHint());
    fitTexts();
    setUpKeyboardAndNames();
}

void TFormMain::fitTexts()
{
    const std::initializer_list<QLabel*> values = {LTypeVal,         LOldVersionVal,   LFUFileNameVal,
                                                   LFUFileLengthVal, LFUVersionNewVal, LFUVersionNewVal2};
    for (QLabel* caption : findChildren<QLabel*>())
        if (std::find(values.begin(), values.end(), caption) == values.end())
            fitLabel(caption, caption->text(), Overflow::Condense);
    for (QLabel* value : values)
        setLabel(value, value->text().toStdString());
    for (QPushButton* pushButton : {BWakeUp, BCheckDevice, BFUOpenFileBin, BFUStart})
        fitButton(pushButton);
}

void TFormMain::setUpKeyboardAndNames()
{
    // Return and Enter press the focused button, as Space does.
    for (QPushButton* pushButton : {BWakeUp, BCheckDevice, BFUOpenFileBin, BFUStart})
        pushButton->setAutoDefault(true);
    // The operator's path; hidden controls are passed over.
    QWidget* const path[] = {CBComPort,         EBaudRate,   EMainAdd,          ENestedAdd1,
                             EInterfaceNumber1, ENestedAdd2, EInterfaceNumber2, RBMainDirect,
                             RBNested1ThroughMain, RBNested2ThroughMain, BWakeUp, BCheckDevice,
                             BFUOpenFileBin,    BFUStart,    MemoFUState};
    for (size_t i = 1; i < std::size(path); ++i)
        QWidget::setTabOrder(path[i - 1], path[i]);
    // A single tab: nothing to choose there.
    m_pageControl->setFocusPolicy(Qt::NoFocus);
    if (auto* tabs = m_pageControl->findChild<QTabBar*>())
        tabs->setFocusPolicy(Qt::NoFocus);
    // Readable line by line from the keyboard (and so by a screen reader).
    MemoFUState->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    CBComPort->setFocus();

    const std::pair<QLabel*, QWidget*> labelled[] = {
        {LComPort, CBComPort},          {LBaudRate, EBaudRate},         {LMainAdd, EMainAdd},
        {LNestedAdd1, ENestedAdd1},     {LInterfaceNumber1, EInterfaceNumber1},
        {LNestedAdd2, ENestedAdd2},     {LInterfaceNumber2, EInterfaceNumber2}};
    for (const auto& [caption, field] : labelled) {
        caption->setBuddy(field);
        field->setAccessibleName(nameOfLabel(caption->text()));
    }
    // Qt's text control reports every appended line to assistive technology
    // (a text-inserted event), so the state box needs no announcement of its own.
    MemoFUState->setAccessibleName(QStringLiteral("Upgrade state"));
    PBFUProgress->setAccessibleName(QStringLiteral("Upgrade progress"));
}

void TFormMain::placeOnPointerScreen()
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    // The frame is counted where it is known already; a window larger than
    // the screen keeps its title bar on it.
    const QSize outer = frameGeometry().size();
    const int left = area.left() + (area.width() - outer.width()) / 2;
    const int top = area.top() + (area.height() - outer.height()) / 2;
    move(std::max(left, area.left()), std::max(top, area.top()));
}

void TFormMain::connectHandlers()
{
    connect(CBComPort, &QComboBox::currentIndexChanged, this, &TFormMain::CBComPortChange);
    connect(ENestedAdd1, &QLineEdit::textChanged, this, &TFormMain::ENestedAdd1Change);
    connect(ENestedAdd2, &QLineEdit::textChanged, this, &TFormMain::ENestedAdd2Change);
    connect(BFUOpenFileBin, &QPushButton::clicked, this, &TFormMain::BFUOpenFileBinClick);
    connect(BCheckDevice, &QPushButton::clicked, this, &TFormMain::BCheckDeviceClick);
    connect(BFUStart, &QPushButton::clicked, this, &TFormMain::BFUStartClick);
    connect(BWakeUp, &QPushButton::clicked, this, &TFormMain::BWakeUpClick);
    connect(TimerWakeUp, &QTimer::timeout, this, &TFormMain::TimerWakeUpTimer);
    connect(TimerFirmwareState, &QTimer::timeout, this, &TFormMain::TimerFirmwareStateTimer);
    connect(RBMainDirect, &QRadioButton::clicked, this, &TFormMain::RBMainDirectClick);
    connect(RBNested1ThroughMain, &QRadioButton::clicked, this, &TFormMain::RBNested1ThroughMainClick);
    connect(RBNested2ThroughMain, &QRadioButton::clicked, this, &TFormMain::RBNested1ThroughMainClick);
}

void TFormMain::deletePreviousDiagnosticFiles()
{
    const std::filesystem::path directory = platform::dataDirectory();
    for (const char* prefix : {"Error_", "Log_"}) {
        std::error_code error;
        const auto file = directory / (std::string(prefix) + app::APPLICATION_NAME + ".log");
        if (std::filesystem::exists(file, error))
            std::filesystem::remove(file, error);
    }
}

// ---------------------------------------------------------------------------
// Show, ports and fields

void TFormMain::showEvent(QShowEvent* event)
{
    // Only the first time: later the operator may have put it elsewhere.
    if (!m_placed) {
        m_placed = true;
        placeOnPointerScreen();
    }
    QMainWindow::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFormMain::FormShow()
{
    for (QWidget* control : std::initializer_list<QWidget*>{
             LNestedAdd1, ENestedAdd1, LInterfaceNumber1, EInterfaceNumber1, LNestedAdd2, ENestedAdd2,
             LInterfaceNumber2, EInterfaceNumber2, RBMainDirect, RBNested1ThroughMain, RBNested2ThroughMain,
             BWakeUp})
        control->setVisible(routingControlsVisible);

    {
        const QSignalBlocker quiet(CBComPort);
        CBComPort->clear();
        // Only ports that open now: absent ones and those another program holds are left out.
        for (const platform::PortEntry& entry : m_portMap.list(LAST_LISTED_PORT, true))
            CBComPort->addItem(QString::fromStdString(field_rules::entryOfComPort(entry.number)));
        if (CBComPort->count() > 0)
            CBComPort->setCurrentIndex(0);
    }
    CBComPortChange();
}

void TFormMain::CBComPortChange()
{
    m_comPort = field_rules::comPortOfEntry(CBComPort->currentText().toStdString());
    if (m_comPort == -1)
        reportError("Invalid Com port");
}

void TFormMain::colourAddressField(QLineEdit* field)
{
    QPalette palette = field->palette();
    const bool valid = field_rules::address(text(field)) != -1;
    palette.setColor(QPalette::Base, valid ? QApplication::palette(field).color(QPalette::Base) : QColor(Qt::red));
    field->setPalette(palette);
}

void TFormMain::ENestedAdd1Change()
{
    colourAddressField(ENestedAdd1);
}

void TFormMain::ENestedAdd2Change()
{
    colourAddressField(ENestedAdd2);
}

void TFormMain::RBMainDirectClick()
{
    EBaudRate->setText(QString::fromLatin1(DEFAULT_BAUD_RATE));
}

void TFormMain::RBNested1ThroughMainClick()
{
    EBaudRate->setText(QString::fromLatin1(DEFAULT_BAUD_RATE));
}

void TFormMain::MenuAboutClick()
{
    if (!m_about)
        return;
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

// ---------------------------------------------------------------------------
// Firmware file

void TFormMain::BFUOpenFileBinClick()
{
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("OpenDialog"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("Bin files (*.bin *.bi2)"));
    dialog.setDirectory(QString::fromStdString(
        openDialogFolder(m_lastFolder, platform::executableDirectory(), QDir::homePath().toStdString())));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    if (files.size() != 1)
        return;
    m_binFilePath = files.front().toStdString();
    m_lastFolder = std::filesystem::path(m_binFilePath).parent_path().string();
    if (openBinFile(m_binFilePath)) {
        BFUStart->setEnabled(true);
        return;
    }
    // A rejected file leaves nothing that could be uploaded.
    BFUStart->setEnabled(false);
    reportError("Bin file not valid.");
    reportError("Bin file not valid.\tTFormMain::BFUOpenFileBinClick");
}

bool TFormMain::openBinFile(const std::string& path)
{
    if (!m_upgrader) {
        reportError("Failed to create KWOCFwUpgrader object !\tTFormMain::openBinFile");
        return false;
    }
    KWOSBinFileLabels labels{"---", "0 Bytes", "--.--", "--.--"};
    const bool ok = ::openBinFile(path, m_binFile, m_upgrader->m_File, labels);
    setLabel(LFUFileNameVal, labels.fileName);
    setLabel(LFUFileLengthVal, labels.fileLength);
    setLabel(LFUVersionNewVal, labels.version);
    setLabel(LFUVersionNewVal2, labels.version2);
    // The whole path behind a name that may be cut in its middle.
    if (LFUFileNameVal->text() != QStringLiteral("---"))
        LFUFileNameVal->setToolTip(QString::fromStdString(path));
    return ok;
}

std::string TFormMain::openDialogFolder(const std::string& lastFolder, const std::string& programFolder,
                                        const std::string& homeFolder)
{
    if (!lastFolder.empty())
        return lastFolder;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(programFolder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string extension = entry->path().extension().string();
        if ((extension == ".bin" || extension == ".bi2") && entry->is_regular_file(error))
            return programFolder;
    }
    return homeFolder;
}

// ---------------------------------------------------------------------------
// Start and Check device

void TFormMain::BFUStartClick()
{
    checkDeviceOnly = false;
    setStateBoxFailed(false);
    validateAndStart();
}

void TFormMain::BCheckDeviceClick()
{
    checkDeviceOnly = true;
    setStateBoxFailed(false);
    validateAndStart();
}

bool TFormMain::readRoute(int& addressCount, int& interfaceCount)
{
    m_mainAddress = -1;
    m_nestedAddresses.fill(-1);
    m_interfaceNumbers.fill(-1);
    addressCount = 1;
    interfaceCount = 0;

    m_mainAddress = field_rules::address(text(EMainAdd));
    if (m_mainAddress == -1) {
        reportError("Invalid Main address");
        return false;
    }
    if (RBMainDirect->isChecked()) {
        if (m_upgrader)
            m_upgrader->enableDowngradeConfirmation();
        return true;
    }
    m_nestedAddresses[0] = field_rules::address(text(ENestedAdd1));
    if (m_nestedAddresses[0] == -1) {
        reportError("Invalid Nested 1 address");
        return false;
    }
    m_interfaceNumbers[0] = field_rules::interfaceNumber(text(EInterfaceNumber1));
    if (m_interfaceNumbers[0] == -1) {
        reportError("Invalid Nested 1 interface");
        return false;
    }
    addressCount = 2;
    interfaceCount = 1;
    if (RBNested1ThroughMain->isChecked())
        return true;
    m_nestedAddresses[1] = field_rules::address(text(ENestedAdd2));
    if (m_nestedAddresses[1] == -1) {
        reportError("Invalid Nested 2 address");
        return false;
    }
    m_interfaceNumbers[1] = field_rules::interfaceNumber(text(EInterfaceNumber2));
    if (m_interfaceNumbers[1] == -1) {
        reportError("Invalid Nested 2 interface");
        return false;
    }
    addressCount = 3;
    interfaceCount = 2;
    return true;
}

void TFormMain::validateAndStart()
{
    if (CBComPort->currentIndex() < 0) {
        reportError("Select first the comunication port");
        return;
    }
    if (m_comPort == -1) {
        reportError("Invalid Com port");
        return;
    }
    const int baudRate = field_rules::baudRate(text(EBaudRate));
    if (baudRate == -1) {
        reportError("Invalid Baudrate value");
        return;
    }
    int addressCount = 0;
    int interfaceCount = 0;
    if (!readRoute(addressCount, interfaceCount))
        return;

    const char* startFailed = RBMainDirect->isChecked()
                                  ? "startUpgrade for Main direct failed\tTFormMain::BFUStartClick"
                                  : "startUpgrade for Nested through Main failed\tTFormMain::BFUStartClick";
    if (!m_upgrader) {
        // Nothing could end a run: report and leave the controls usable.
        reportError(startFailed);
        return;
    }

    if (!checkDeviceOnly)
        MemoFUState->clear();
    setProgress(0);
    setControlsEnabled(false);
    if (!checkDeviceOnly)
        appendStateLine("Start upgrade.");
    TimerFirmwareState->start();
    m_runActive = true;

    int32_t addresses[3] = {m_mainAddress, m_nestedAddresses[0], m_nestedAddresses[1]};
    const KWOSBinFile* file = m_binFile.empty() ? nullptr : &m_binFile;
    if (!m_upgrader->startUpgrade(m_comPort, baudRate, addresses, addressCount, m_interfaceNumbers.data(),
                                  interfaceCount, file)) {
        reportError(startFailed);
        // A refusal without a final event would leave the window locked.
        setControlsEnabled(true);
        m_runActive = false;
    }
}

void TFormMain::setControlsEnabled(bool enabled)
{
    for (QWidget* control : std::initializer_list<QWidget*>{
             BFUStart, BFUOpenFileBin, BCheckDevice, BWakeUp, CBComPort, RBMainDirect, RBNested1ThroughMain,
             RBNested2ThroughMain, EBaudRate, EMainAdd, ENestedAdd1, ENestedAdd2, EInterfaceNumber1,
             EInterfaceNumber2})
        control->setEnabled(enabled);
}

// ---------------------------------------------------------------------------
// Wake-up burst

void TFormMain::BWakeUpClick()
{
    TimerWakeUp->start();
}

void TFormMain::TimerWakeUpTimer()
{
    TimerWakeUp->stop();
    BWakeUp->setText(QStringLiteral("Running..."));
    BWakeUp->setEnabled(false);
    BWakeUp->repaint();
    std::this_thread::sleep_for(WAKE_UP_SETTLE);

    auto restoreButton = [this] {
        BWakeUp->setText(QStringLiteral("WakeUp"));
        BWakeUp->setEnabled(true);
    };
    if (CBComPort->currentIndex() < 0) {
        reportError("Select first the comunication port");
        restoreButton();
        return;
    }
    if (m_comPort == -1) {
        reportError("Invalid Com port");
        restoreButton();
        return;
    }
    if (m_wakeUpPort) {
        m_wakeUpPort->requestClose();
        m_wakeUpPort.reset();
    }

    // No receive callback: an echo of the burst must not make the worker wait
    // for this thread, which is blocked until the burst is over.
    bool portError = false;
    m_wakeUpPort = std::make_unique<KWOCComT>(&portError, true, m_portMap);
    m_wakeUpPort->m_RequestedPort = m_comPort;
    m_wakeUpPort->m_RequestedBaud = WAKE_UP_BAUD;
    m_wakeUpPort->comInit();
    std::this_thread::sleep_for(WAKE_UP_SETTLE);

    const std::vector<uint8_t> burst(WAKE_UP_BYTES, WAKE_UP_BYTE);
    m_wakeUpPort->write(burst.data(), static_cast<int32_t>(burst.size()));
    std::this_thread::sleep_for(WAKE_UP_BURST);

    m_wakeUpPort->terminate();
    m_wakeUpPort->resume();
    // The worker may be waiting for a box of its own ("ReadFile error"):
    // this wait serves it.
    platform::waitServingUi(*m_wakeUpPort, platform::INFINITE);
    m_wakeUpPort.reset();
    restoreButton();
}

// ---------------------------------------------------------------------------
// Engine events

void TFormMain::fwUpgraderEvent(int code, int value, const std::string& text, bool direct)
{
    if (m_closing)
        return;
    if (direct) {
        // Shown from its own copy: a relayed event waiting in the record stays intact.
        showUpgraderEvent(code, value, text);
        return;
    }
    std::lock_guard<std::mutex> relay(m_relayLock);
    if (m_closing || !m_display)
        return;
    {
        std::lock_guard<std::mutex> guard(m_display->m_recordLock);
        m_display->m_record.m_code = code;
        m_display->m_record.m_value = value;
        m_display->m_record.m_text = text;
    }
    if (!m_display->m_record.m_pHevStartDisplay->set())
        reportError("SetEvent m_pHevStartDisplay failed.\tTFormMain::fwUpgraderEvent");
    // Without limit: the UI thread shows the event, and every wait of the
    // UI thread for an engine thread serves the display meanwhile; the
    // closing releases this wait.
    reportWaitResult(platform::waitFor(*m_display->m_record.m_pHevDisplayFinished, platform::INFINITE),
                     "Event start display FWUpgrader");
}

void TFormMain::showUpgraderEvent(int code, int value, const std::string& text)
{
    if (m_closing)
        return;
    switch (code) {
    case EVENT_MESSAGE:
        appendStateLine(text);
        break;
    case EVENT_PROGRESS:
        setProgress(value);
        break;
    case EVENT_FINISHED:
        runEnded();
        appendStateLine("Upgrade finished successfully.");
        setControlsEnabled(true);
        setProgress(0);
        break;
    case EVENT_FAILED:
        runEnded();
        appendStateLine("Upgrade failed.");
        reportError("Upgrade failed.\tTFormMain::fwUpgraderEvent");
        setStateBoxFailed(true);
        setControlsEnabled(true);
        setProgress(0);
        break;
    case EVENT_DEVICE_TYPE:
        setLabel(LTypeVal, text);
        break;
    case EVENT_DEVICE_VERSION:
        setLabel(LOldVersionVal, text);
        break;
    case EVENT_CHECK_DONE:
    default:
        runEnded();
        setControlsEnabled(true);
        setProgress(0);
        break;
    }
    // Only now, after the "Upgrade failed." box: the firmware-state timer
    // ticks inside that box, and it must not close the connection while the
    // engine's thread still waits for this event.
    m_lastEventCode = code;
}

void TFormMain::TimerFirmwareStateTimer()
{
    const int code = m_lastEventCode;
    if (code != EVENT_FINISHED && code != EVENT_FAILED && code != EVENT_CHECK_DONE)
        return;
    // Stopped first: closing serves boxes, whose nested loops run timers.
    TimerFirmwareState->stop();
    if (m_upgrader)
        m_upgrader->closeConnection();
}

void TFormMain::appendStateLine(const std::string& line)
{
    // Engine texts break lines with CR LF.
    QString text = QString::fromStdString(line);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    MemoFUState->appendPlainText(text);
    MemoFUState->verticalScrollBar()->setValue(MemoFUState->verticalScrollBar()->maximum());
}

void TFormMain::setProgress(int value)
{
    PBFUProgress->setValue(std::clamp(value, 0, 100));
}

void TFormMain::setStateBoxFailed(bool failed)
{
    QPalette palette = MemoFUState->palette();
    palette.setColor(QPalette::Base, failed ? QColor(FAILED_RED, FAILED_GREEN, FAILED_BLUE)
                                            : QApplication::palette(MemoFUState).color(QPalette::Base));
    MemoFUState->setPalette(palette);
}

void TFormMain::setLabel(QLabel* label, const std::string& text)
{
    fitLabel(label, QString::fromStdString(text), label == LFUFileNameVal ? Overflow::ElideMiddle : Overflow::ElideRight);
}

void TFormMain::runEnded()
{
    m_runActive = false;
    // A question about closing over this run has no subject any more: the
    // window closes as asked.
    if (m_closeQuestion)
        m_closeQuestion->done(QMessageBox::No);
}

// ---------------------------------------------------------------------------
// Closing

void TFormMain::closeEvent(QCloseEvent* event)
{
    if (!m_shutDownDone && !confirmClosing()) {
        event->ignore();
        return;
    }
    shutDown();
    QMainWindow::closeEvent(event);
}

void TFormMain::closeWithoutAsking()
{
    m_closeWithoutAsking = true;
    if (m_closeQuestion) {
        // The closing that asked goes on once the question has returned.
        m_closeQuestion->done(QMessageBox::No);
        return;
    }
    close();
}

bool TFormMain::confirmClosing()
{
    if (m_closeWithoutAsking || !m_runActive || checkDeviceOnly)
        return true;
    // A second closing while the question is open: the question decides.
    if (m_closeQuestion)
        return false;
    // Waits for the operator only, never for a thread: its own event loop
    // serves every call the engine's threads wait for (relayed events, boxes,
    // the downgrade question), so the run goes on, and its end or a stop
    // signal closes the question (runEnded, closeWithoutAsking).
    QMessageBox question(QMessageBox::Question, QString::fromUtf8(app::APPLICATION_TITLE),
                         QString::fromUtf8(CLOSE_DURING_UPGRADE_QUESTION), QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("CloseQuestion"));
    question.setDefaultButton(QMessageBox::No);
    m_closeQuestion = &question;
    const int answer = question.exec();
    m_closeQuestion = nullptr;
    return answer == QMessageBox::Yes || m_closeWithoutAsking || !m_runActive;
}

void TFormMain::shutDown()
{
    if (m_shutDownDone)
        return;
    m_shutDownDone = true;

    // From here on relayed events are dropped and boxes are not shown;
    // threads waiting for a box or the downgrade question go on (No), and
    // open boxes close.
    m_closing = true;
    if (QtUiBridge* bridge = QtUiBridge::installed())
        bridge->setClosing(true);
    TimerFirmwareState->stop();
    TimerWakeUp->stop();
    // Release an engine thread waiting for its event to be shown: it must be
    // free to end when the engine closes its connection.
    if (m_display && m_display->m_record.m_pHevDisplayFinished)
        m_display->m_record.m_pHevDisplayFinished->set();

    m_upgrader.reset();
    m_binFile = KWOSBinFile();
    stopDisplayThread();
    m_binFilePath.clear();
}

void TFormMain::stopDisplayThread()
{
    if (!m_display)
        return;
    m_display->resume();
    m_display->terminate();
    if (!m_display->m_record.m_pHevStartDisplay->set())
        reportError("SetEvent m_pHevStartDisplay failed.\tTFormMain::~TFormMain");
    if (!m_display->m_record.m_pHevDisplayFinished->set())
        reportError("SetEvent m_pHevDisplayFinished failed.\tTFormMain::~TFormMain");
    // Inside a relayed event's box the thread waits for that very call,
    // further down this stack: it ends once the box has returned, and the
    // destructor waits for it then.
    if (m_showingRelayedEvent > 0)
        return;
    // Serves the thread's last display request while waiting, or both
    // threads would wait for each other.
    platform::waitServingUi(*m_display, platform::INFINITE);
    m_display.reset();
}

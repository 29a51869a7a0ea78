#pragma once
// The main window (TFormMain) and the relay that brings the engine's events
// to it (KWOSFWUpgraderDisplay, KWOCThreadFWDisplay).
#include "engine/BinFile.h"
#include "engine/Fwupgraderrs485.h"
#include "platform/Event.h"
#include "platform/PortMap.h"
#include "platform/Thread.h"

#include <QMainWindow>
#include <QPointer>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class KWOCComT;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;
class TFormAbout;
class TFormMain;

// The routed modes and the wake-up are built but not offered to the operator.
constexpr bool routingControlsVisible = false;

// The event waiting to be shown.
struct KWOSFWUpgraderDisplay {
    int m_code = EVENT_CHECK_DONE;
    int m_value = 0;
    std::string m_text;
    std::unique_ptr<platform::Event> m_pHevStartDisplay;    // auto reset: an event waits to be shown
    std::unique_ptr<platform::Event> m_pHevDisplayFinished; // auto reset: it has been shown
};

// Shows relayed events on the UI thread while the raising thread waits.
class KWOCThreadFWDisplay final : public platform::Thread {
public:
    KWOCThreadFWDisplay(TFormMain& form, bool createPaused, bool* pisError);
    ~KWOCThreadFWDisplay() override;

    // On the UI thread: applies the record's event to the window.
    void showEvent();

    KWOSFWUpgraderDisplay m_record;
    // Guards m_record's code, value and text.
    std::mutex m_recordLock;

protected:
    void execute() override;

private:
    TFormMain& m_form;
};

class TFormMain final : public QMainWindow, public KWOIUpgraderOwner {
    Q_OBJECT
public:
    static constexpr int CLIENT_WIDTH = 718;
    static constexpr int CLIENT_HEIGHT = 511;
    static constexpr int ROUTE_SIZE = 20;
    // State-box background after a failure.
    static constexpr int FAILED_RED = 255, FAILED_GREEN = 80, FAILED_BLUE = 80;

    // portMap: what COM n means (tests point it at temporary folders).
    explicit TFormMain(platform::PortMap portMap = platform::PortMap(), QWidget* parent = nullptr);
    ~TFormMain() override;

    // The About box shown by the menu item; the program entry creates it.
    void setAboutForm(TFormAbout* about) { m_about = about; }

    // Loads, checks and shows a firmware file (the "Load *.bin file..." button
    // after its dialog). False when the file was rejected: no file is then usable.
    bool openBinFile(const std::string& path);

    // The engine's event callback, on whatever thread the engine runs.
    void fwUpgraderEvent(int code, int value, const std::string& text, bool direct) override;
    bool isCheckDeviceOnly() const override { return checkDeviceOnly.load(); }

    // Applies one event to the window (UI thread only).
    void showUpgraderEvent(int code, int value, const std::string& text);

    // The closing sequence: drop relayed events, release waiting engine
    // threads, delete the engine, then the file, then the display thread.
    // Runs once, from closeEvent or the destructor.
    void shutDown();

    // Closes without the question about a running upgrade, also when that
    // question is open (a stop signal: nobody may be there to answer).
    void closeWithoutAsking();

    // Where "Load *.bin file..." opens: the folder of the file chosen last in
    // this session; before any, the program's folder when it holds a firmware
    // file (a portable copy beside its files), else the home folder.
    static std::string openDialogFolder(const std::string& lastFolder, const std::string& programFolder,
                                        const std::string& homeFolder);

    int lastEventCode() const { return m_lastEventCode.load(); }
    KWOCFwUpgraderRS485* upgrader() const { return m_upgrader.get(); }
    bool isClosing() const { return m_closing.load(); }
    int comPort() const { return m_comPort; }

    // Read by the engine on its own threads during a run.
    std::atomic<bool> checkDeviceOnly{false};

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    void FormShow();
    void CBComPortChange();
    void ENestedAdd1Change();
    void ENestedAdd2Change();
    void BFUOpenFileBinClick();
    void BCheckDeviceClick();
    void BFUStartClick();
    void BWakeUpClick();
    void TimerWakeUpTimer();
    void TimerFirmwareStateTimer();
    void RBMainDirectClick();
    void RBNested1ThroughMainClick();
    void MenuAboutClick();

private:
    void buildControls();
    void fitTexts();
    void setUpKeyboardAndNames();
    void placeOnPointerScreen();
    void connectHandlers();
    void deletePreviousDiagnosticFiles();
    void validateAndStart();
    bool readRoute(int& addressCount, int& interfaceCount);
    void setControlsEnabled(bool enabled);
    void colourAddressField(QLineEdit* field);
    void setStateBoxFailed(bool failed);
    void appendStateLine(const std::string& line);
    void setProgress(int value);
    void setLabel(QLabel* label, const std::string& text);
    void stopDisplayThread();
    // The end of a run as the window sees it (its final event shown).
    void runEnded();
    // False when the operator keeps the window open over a running upgrade.
    bool confirmClosing();

    // Controls, named as in the design.
    QGroupBox* m_groupCommunication = nullptr;
    QTabWidget* m_pageControl = nullptr;
    QWidget* m_tabFirmwareUpgrade = nullptr;
    QLabel* LComPort = nullptr;
    QComboBox* CBComPort = nullptr;
    QLabel* LBaudRate = nullptr;
    QLineEdit* EBaudRate = nullptr;
    QLabel* LMainAdd = nullptr;
    QLineEdit* EMainAdd = nullptr;
    QLabel* LNestedAdd1 = nullptr;
    QLineEdit* ENestedAdd1 = nullptr;
    QLabel* LInterfaceNumber1 = nullptr;
    QLineEdit* EInterfaceNumber1 = nullptr;
    QLabel* LNestedAdd2 = nullptr;
    QLineEdit* ENestedAdd2 = nullptr;
    QLabel* LInterfaceNumber2 = nullptr;
    QLineEdit* EInterfaceNumber2 = nullptr;
    QRadioButton* RBMainDirect = nullptr;
    QRadioButton* RBNested1ThroughMain = nullptr;
    QRadioButton* RBNested2ThroughMain = nullptr;
    QPushButton* BWakeUp = nullptr;
    QPushButton* BCheckDevice = nullptr;
    QLabel* LType = nullptr;
    QLabel* LTypeVal = nullptr;
    QLabel* LOldVersion = nullptr;
    QLabel* LOldVersionVal = nullptr;
    QPushButton* BFUOpenFileBin = nullptr;
    QLabel* LFUFileName = nullptr;
    QLabel* LFUFileNameVal = nullptr;
    QLabel* LFUFileLength = nullptr;
    QLabel* LFUFileLengthVal = nullptr;
    QLabel* LFUVersionNew = nullptr;
    QLabel* LFUVersionNewVal = nullptr;
    QLabel* LFUVersionNewVal2 = nullptr;
    QPushButton* BFUStart = nullptr;
    QPlainTextEdit* MemoFUState = nullptr;
    QProgressBar* PBFUProgress = nullptr;
    QTimer* TimerFirmwareState = nullptr;
    QTimer* TimerWakeUp = nullptr;

    int m_comPort = -1;
    std::unique_ptr<KWOCFwUpgraderRS485> m_upgrader;
    KWOSBinFile m_binFile;
    std::string m_binFilePath;
    // The folder of the file chosen last in this session ("" before any).
    std::string m_lastFolder;
    int m_mainAddress = -1;
    std::array<int32_t, ROUTE_SIZE> m_nestedAddresses{};
    std::array<int32_t, ROUTE_SIZE> m_interfaceNumbers{};
    std::atomic<int> m_lastEventCode{EVENT_CHECK_DONE};
    std::unique_ptr<KWOCThreadFWDisplay> m_display;
    std::unique_ptr<KWOCComT> m_wakeUpPort;

    platform::PortMap m_portMap;
    TFormAbout* m_about = nullptr;
    std::atomic<bool> m_closing{false};
    bool m_shutDownDone = false;
    // From the lock of the controls to the display of the run's final event.
    bool m_runActive = false;
    bool m_placed = false;
    bool m_closeWithoutAsking = false;
    // The question about a running upgrade while it is open.
    QPointer<QMessageBox> m_closeQuestion;
    // Relayed events being shown further down the UI thread's stack.
    int m_showingRelayedEvent = 0;
    // One relayed event at a time, whichever engine thread raises it.
    std::mutex m_relayLock;

    friend class KWOCThreadFWDisplay;
};

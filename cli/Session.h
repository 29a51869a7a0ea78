#pragma once
// One engine driven from the command line: the MainLoop of the calling thread
// is the UI thread; events are printed as they come.
#include "cli/CliOptions.h"
#include "cli/Report.h"
#include "engine/Fwupgraderrs485.h"
#include "platform/MainLoop.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace cli {

struct RunResult {
    int finalEvent = EVENT_FAILED;
    std::string finalLine; // "Upgrade finished successfully.", ... or "Upgrade failed. <reason>"
    bool alreadyShown = false;
    int interruptedBy = 0; // the signal that stopped the run, 0: none
    std::string reason;    // of a failed or interrupted run: its last message line
    DeviceReading device;
    double seconds = 0;    // wall time of the run
};

class Session final : public KWOIUpgraderOwner {
public:
    // out: where lines go; terminal: redraw the progress bar in place.
    Session(platform::MainLoop& loop, const Options& options, std::FILE* out, bool terminal);
    ~Session() override;

    bool ok() const { return m_ok; }
    // A signal number set by another thread stops the run at once.
    void setInterrupt(const std::atomic<int>* signal) { m_interrupt = signal; }
    KWOCFwUpgraderRS485& engine() { return *m_engine; }

    // One run against `target`; returns once its final event was handled and
    // the connection is closed. file may be empty for a check.
    RunResult run(int port, int target, const KWOSBinFile& file);

    void fwUpgraderEvent(int code, int value, const std::string& text, bool direct) override;
    bool isCheckDeviceOnly() const override { return m_checkOnly; }

private:
    void print(const std::string& text);
    void noteVersion();
    void showProgress(int value);
    void draw(const std::string& text);
    void endProgressLine();

    platform::MainLoop& m_loop;
    const Options& m_options;
    std::FILE* m_out;
    const bool m_terminal;
    const bool m_checkOnly;
    bool m_ok = false;
    std::unique_ptr<KWOCFwUpgraderRS485> m_engine;

    const std::atomic<int>* m_interrupt = nullptr;

    std::mutex m_lock; // events may come from the port's thread
    int m_finalEvent = -1;
    int m_interruptedBy = 0; // from then on, events are not shown
    std::string m_lastMessage;
    std::string m_lastPrinted;
    DeviceReading m_device;
    int m_progressStage = -1; // engine state of the transfer being shown
    bool m_stageClosed = false; // a message followed its progress: it is over
    int64_t m_stageBytes = 0;   // size of its image, taken at its start
    int m_lastDecile = 0;
    bool m_progressOpen = false; // a bar drawn without its line end
    std::chrono::steady_clock::time_point m_progressStart;
};

} // namespace cli

#include "diagnostics/Globalfunctions.h"
#include "diagnostics/GlobalfunctionsTesting.h"

#include "platform/NamedLock.h"
#include "platform/UiBridge.h"
#include "platform/Wait.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* BUILT_IN_DIRECTORY = "./";
constexpr const char* BUILT_IN_APPLICATION_NAME = "My KWO Application";

constexpr const char* FILE_LOCK_NAME = "LOG_FILE";
constexpr uint32_t FILE_LOCK_WAIT_MS = 5000;

constexpr const char* ERROR_FILE_PART = "Error_";
constexpr const char* LOG_FILE_PART = "Log_";
constexpr const char* FILE_EXTENSION = ".log";
constexpr const char* UTF8_BOM = "\xEF\xBB\xBF";
constexpr const char* MAKER_NOTICE = "Diagnostic file of the RS485 firmware upgrade tool";
constexpr const char* COLUMN_LINE = "Date Hour File Function Line Error description\r\n\r\n";

constexpr const char* TEXT_CREATE_MUTEX_FAILED = "Unable to Create Mutex for Log File writing";
constexpr const char* TEXT_RELEASE_MUTEX_FAILED = "Unable to release Mutex for Log File writing";
constexpr const char* PREFIX_TIMEOUT = "Unable to write the log file (Mutex Timeout)\r\n\r\n";
constexpr const char* PREFIX_ABANDONED = "Unable to write the log file (Mutex Abandoned)\r\n\r\n";
constexpr const char* PREFIX_UNKNOWN = "Unable to write the log file (Mutex Unknown error)\r\n\r\n";

// Random part of the name of a file of its own: 1000000 up to 9999999 excluded.
constexpr int OWN_FILE_NUMBER_MIN = 1000000;
constexpr int OWN_FILE_NUMBER_MAX = 9999998;
constexpr int OWN_FILE_ATTEMPTS = 100;

constexpr int ACTION_RESTART = 1;
constexpr int ACTION_EXIT = 2;

// Written by start-up before any other thread exists, read-only afterwards.
struct Settings {
    std::string directory = BUILT_IN_DIRECTORY;
    std::string applicationName = BUILT_IN_APPLICATION_NAME;
    int logOutputs = LOG_TO_CONSOLE;
    int errorOutputs = LOG_TO_CONSOLE;
    int maxLevel = 255;
    bool timeStampOnLog = false;
    bool singleFile = false;
};

Settings g_settings;

std::atomic<bool> g_consoleEnabled{true};
std::atomic<bool> g_consoleOpen{false};
std::mutex g_consoleOpening;

std::mutex g_fileLockCreation;
std::unique_ptr<platform::NamedLock> g_fileLock;

std::atomic<void (*)(int)> g_entryObserver{nullptr};

void writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

bool writeAllChecked(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// With no window (no bridge installed) a box would block nobody's attention:
// its text goes to standard error instead.
struct HeldBox {
    std::string text;
    std::string caption;
    platform::MessageIcon icon;
};

thread_local int t_boxesHeld = 0;
thread_local std::vector<HeldBox> t_heldBoxes;

void showMessageBox(const std::string& text, const std::string& caption, platform::MessageIcon icon)
{
    if (t_boxesHeld > 0) {
        t_heldBoxes.push_back({text, caption, icon});
        return;
    }
    if (platform::UiBridge* ui = platform::UiBridge::current()) {
        ui->messageBox(text, caption, icon);
        return;
    }
    writeAll(STDERR_FILENO, caption + ": " + text + "\n");
}

void showWarning(const std::string& text)
{
    showMessageBox(text, g_settings.applicationName, platform::MessageIcon::Warning);
}

std::string currentEntryHead(const char* file, int line, const char* function)
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    return formatEntryHead(local, static_cast<int>(ms), file, line, function);
}

std::string filePath(bool isError, const std::string& suffix)
{
    std::string path = g_settings.directory;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += (g_settings.singleFile || isError) ? ERROR_FILE_PART : LOG_FILE_PART;
    path += g_settings.applicationName + suffix + FILE_EXTENSION;
    return path;
}

std::string fileHeader(bool isError)
{
    return std::string(isError ? "Error Log File\t\t" : "Log File\t\t") + g_settings.applicationName + "\t\t" +
           MAKER_NOTICE + "\r\n\r\n" + COLUMN_LINE;
}

// The lock object is made on the first file write; a failure is retried on the next.
platform::NamedLock* fileLock()
{
    std::lock_guard<std::mutex> guard(g_fileLockCreation);
    if (!g_fileLock) {
        auto lock = std::make_unique<platform::NamedLock>(FILE_LOCK_NAME, g_settings.directory);
        if (!lock->ok())
            return nullptr;
        g_fileLock = std::move(lock);
    }
    return g_fileLock.get();
}

int randomOwnFileNumber()
{
    thread_local std::mt19937 engine{std::random_device{}()};
    return std::uniform_int_distribution<int>(OWN_FILE_NUMBER_MIN, OWN_FILE_NUMBER_MAX)(engine);
}

struct OpenedFile {
    int fd = -1;
    bool created = false;
};

OpenedFile openShared(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0)
        return {fd, true};
    if (errno != EEXIST)
        return {};
    return {open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC), false};
}

// After a failed wait the text goes to a file nobody else can be writing:
// O_EXCL makes sure the random name is not already taken.
OpenedFile openOwn(bool isError)
{
    for (int attempt = 0; attempt < OWN_FILE_ATTEMPTS; ++attempt) {
        const std::string path = filePath(isError, "_" + std::to_string(randomOwnFileNumber()));
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
            return {fd, true};
        if (errno != EEXIST)
            return {};
    }
    return {};
}

bool writeEntry(const OpenedFile& file, bool isError, const char* prefix, const std::string& text)
{
    std::string content;
    struct stat info{};
    if (fstat(file.fd, &info) == 0 && info.st_size == 0)
        content = UTF8_BOM;
    if (file.created)
        content += fileHeader(isError);
    if (prefix)
        content += prefix;
    content += text;
    return writeAllChecked(file.fd, content);
}

const char* failedWaitPrefix(uint32_t waitResult)
{
    switch (waitResult) {
    case platform::WAIT_TIMEOUT:
        return PREFIX_TIMEOUT;
    case platform::WAIT_ABANDONED:
        return PREFIX_ABANDONED;
    default:
        return PREFIX_UNKNOWN;
    }
}

bool performAction(int action)
{
    if (action == ACTION_RESTART)
        return restartWindows();
    if (action == ACTION_EXIT)
        std::exit(0);
    return true;
}

} // namespace

std::string formatEntryHead(const std::tm& localTime, int milliseconds, const char* file, int line,
                            const char* function)
{
    char time[32];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d:%03d", localTime.tm_hour, localTime.tm_min, localTime.tm_sec,
                  milliseconds);
    return std::string(time) + " " + (file ? file : "-") + " " + std::to_string(line) + " " +
           (function ? function : "-") + "\r\n";
}

bool writeLog(const char* file, int line, const char* function, int outputs, int level, int action,
              const std::string& text)
{
    if (level > g_settings.maxLevel)
        return true;
    if (auto* observer = g_entryObserver.load())
        observer(level);
    const bool isError = level == LOG_LEVEL_ERROR;
    const std::string head = (isError || g_settings.timeStampOnLog) ? currentEntryHead(file, line, function) : "";
    if (outputs == LOG_OUTPUTS_BY_LEVEL)
        outputs = isError ? g_settings.errorOutputs : g_settings.logOutputs;

    if (outputs & LOG_TO_FILE)
        appendToLogFile(head + text + "\r\n\r\n", isError);
    if (outputs & LOG_TO_CONSOLE)
        writeToConsole(head + (isError ? "error:" : "") + text + "\r\n");
    if (outputs & LOG_TO_MESSAGEBOX)
        showMessageBox(head + text, g_settings.applicationName + (isError ? " error" : ""), platform::MessageIcon::None);
    return performAction(action);
}

void holdMessageBoxes()
{
    ++t_boxesHeld;
}

void releaseMessageBoxes()
{
    if (t_boxesHeld == 0 || --t_boxesHeld > 0)
        return;
    std::vector<HeldBox> boxes;
    boxes.swap(t_heldBoxes);
    for (const HeldBox& box : boxes)
        showMessageBox(box.text, box.caption, box.icon);
}

bool reportError(const std::string& text, int action)
{
    return writeLog("-", 0, "-", LOG_OUTPUTS_BY_LEVEL, LOG_LEVEL_ERROR, action, text);
}

void reportWaitResult(const char* file, int line, const char* function, int outputs, uint32_t waitResult,
                      const std::string& objectName)
{
    std::string message;
    switch (waitResult) {
    case platform::WAIT_OBJECT_0:
        return;
    case platform::WAIT_TIMEOUT:
        message = "Event " + objectName + " Timeout reached";
        break;
    case platform::WAIT_ABANDONED:
        message = "Event " + objectName + " Abandoned";
        break;
    case platform::WAIT_FAILED:
        message = "Wait on Event " + objectName + " failed";
        break;
    default:
        message = "Event " + objectName + " Unknown error";
        break;
    }
    writeLog(file, line, function, outputs, LOG_LEVEL_ERROR, 0, message);
}

void reportWaitResult(uint32_t waitResult, const std::string& objectName)
{
    reportWaitResult("-", 0, "-", LOG_OUTPUTS_BY_LEVEL, waitResult, objectName);
}

void configureLog(int outputs, int maxLevel, bool timeStampOnLog, bool singleFile, const std::string& applicationName)
{
    g_settings.logOutputs = outputs;
    g_settings.maxLevel = maxLevel;
    g_settings.timeStampOnLog = timeStampOnLog;
    g_settings.singleFile = singleFile;
    g_settings.applicationName = applicationName;
}

void configureErrors(int outputs, const std::string& directory, const std::string& applicationName)
{
    g_settings.errorOutputs = outputs;
    g_settings.directory = directory;
    g_settings.applicationName = applicationName;
}

namespace {

bool appendUnderLock(platform::NamedLock* lock, const std::string& text, bool isError)
{
    const uint32_t waitResult = lock->acquire(FILE_LOCK_WAIT_MS);
    // An abandoned lock is held all the same; only its entry goes elsewhere.
    const bool held = waitResult == platform::WAIT_OBJECT_0 || waitResult == platform::WAIT_ABANDONED;
    const bool waited = waitResult == platform::WAIT_OBJECT_0;
    const char* prefix = waited ? nullptr : failedWaitPrefix(waitResult);

    OpenedFile file = waited ? openShared(filePath(isError, "")) : openOwn(isError);
    if (file.fd < 0) {
        if (held)
            lock->release();
        return false;
    }
    writeEntry(file, isError, prefix, text);
    close(file.fd);

    // Without the lock there is nothing to release; the failure is still shown.
    if (!held || !lock->release()) {
        showWarning(TEXT_RELEASE_MUTEX_FAILED);
        return false;
    }
    return waited;
}

} // namespace

bool appendToLogFile(const std::string& text, bool isError)
{
    platform::NamedLock* lock = fileLock();
    if (!lock) {
        showWarning(TEXT_CREATE_MUTEX_FAILED);
        return false;
    }
    const bool written = appendUnderLock(lock, text, isError);
    // Shown once the lock is given back: a box may take its time.
    if (const std::string problem = lock->takeProblem(); !problem.empty())
        showWarning(problem);
    return written;
}

void writeToConsole(const std::string& text)
{
    if (!g_consoleEnabled.load())
        return;
    if (!g_consoleOpen.load()) {
        int failure = 0;
        {
            std::lock_guard<std::mutex> guard(g_consoleOpening);
            if (!g_consoleEnabled.load())
                return;
            if (!g_consoleOpen.load()) {
                if (fcntl(STDERR_FILENO, F_GETFL) == -1) {
                    failure = errno;
                    g_consoleEnabled.store(false);
                } else {
                    g_consoleOpen.store(true);
                }
            }
        }
        if (failure != 0) {
            char code[16];
            std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(failure));
            showWarning(std::string("Unable to open output console (error 0x") + code + ")");
            return;
        }
    }
    writeAll(STDERR_FILENO, text);
}

bool restartWindows()
{
    return false;
}

void setEntryObserverForTesting(void (*observer)(int))
{
    g_entryObserver.store(observer);
}

void resetDiagnosticsForTesting()
{
    g_settings = Settings{};
    g_consoleEnabled.store(true);
    g_consoleOpen.store(false);
    std::lock_guard<std::mutex> guard(g_fileLockCreation);
    g_fileLock.reset();
}

#include "unit/comm/LogRecorder.h"

#include "diagnostics/Globalfunctions.h"

#include <condition_variable>
#include <ctime>
#include <mutex>

namespace logrec {
namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<Entry> g_entries;

void record(const char* file, int line, const char* function, int level, const std::string& text)
{
    {
        std::lock_guard lock(g_lock);
        g_entries.push_back({file ? file : "", line, function ? function : "", level, text});
    }
    g_changed.notify_all();
}

} // namespace

void clear()
{
    std::lock_guard lock(g_lock);
    g_entries.clear();
}

std::vector<Entry> entries()
{
    std::lock_guard lock(g_lock);
    return g_entries;
}

size_t count(const std::string& text)
{
    size_t n = 0;
    for (const auto& e : entries())
        n += e.text == text;
    return n;
}

size_t countPrefix(const std::string& prefix)
{
    return withPrefix(prefix).size();
}

std::vector<Entry> withPrefix(const std::string& prefix)
{
    std::vector<Entry> found;
    for (const auto& e : entries())
        if (e.text.compare(0, prefix.size(), prefix) == 0)
            found.push_back(e);
    return found;
}

std::vector<Entry> errors()
{
    std::vector<Entry> found;
    for (const auto& e : entries())
        if (e.level == LOG_LEVEL_ERROR)
            found.push_back(e);
    return found;
}

bool waitUntil(const std::function<bool(const std::vector<Entry>&)>& pred, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(g_lock);
    return g_changed.wait_for(lock, timeout, [&] { return pred(g_entries); });
}

bool waitForText(const std::string& prefix, std::chrono::milliseconds timeout)
{
    return waitUntil(
        [&](const std::vector<Entry>& all) {
            for (const auto& e : all)
                if (e.text.compare(0, prefix.size(), prefix) == 0)
                    return true;
            return false;
        },
        timeout);
}

std::string dump()
{
    std::string text;
    for (const auto& e : entries())
        text += e.file + ":" + std::to_string(e.line) + " " + e.function + " [" + std::to_string(e.level) + "] " +
                e.text + "\n";
    return text;
}

} // namespace logrec

// The reporting service as the serial stack sees it. Defined here so that
// the real one (which writes files and the console) is not linked in.
bool writeLog(const char* file, int line, const char* function, int, int level, int, const std::string& text)
{
    logrec::record(file, line, function, level, text);
    return true;
}

bool reportError(const std::string& text, int)
{
    logrec::record("", 0, "", LOG_LEVEL_ERROR, text);
    return true;
}

void reportWaitResult(const char* file, int line, const char* function, int, uint32_t waitResult,
                      const std::string& objectName)
{
    if (waitResult == 0)
        return;
    const char* what = waitResult == 0x102 ? " Timeout reached" : waitResult == 0x80 ? " Abandoned" : " Failed";
    logrec::record(file, line, function, LOG_LEVEL_ERROR, "Event " + objectName + what);
}

void reportWaitResult(uint32_t waitResult, const std::string& objectName)
{
    reportWaitResult("", 0, "", 0, waitResult, objectName);
}

void configureLog(int, int, bool, bool, const std::string&) {}
void configureErrors(int, const std::string&, const std::string&) {}
bool appendToLogFile(const std::string&, bool) { return true; }
void writeToConsole(const std::string&) {}
bool restartWindows() { return false; }
void holdMessageBoxes() {} // the recorder shows no boxes
void releaseMessageBoxes() {}
std::string formatEntryHead(const std::tm&, int, const char*, int, const char*) { return {}; }

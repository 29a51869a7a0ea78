#pragma once
// Shared by the diagnostics and start-up tests: a private folder per test
// (data directory and lock directory), standard error captured into a file,
// and a UiBridge that records message boxes instead of showing them.
#include "diagnostics/GlobalfunctionsTesting.h"
#include "platform/UiBridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace testsupport {

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline std::vector<std::string> filesIn(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file())
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A temporary folder removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "rs485diag.XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    const std::filesystem::path& path() const { return m_path; }
    std::string str() const { return m_path.string(); }

private:
    std::filesystem::path m_path;
};

// Sets an environment variable for the life of the object.
class EnvOverride {
public:
    EnvOverride(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old, m_had = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvOverride()
    {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

// Standard error (the debug console) redirected into a file while alive.
class StderrCapture {
public:
    StderrCapture() : m_file(std::filesystem::temp_directory_path() / ("rs485stderr." + std::to_string(getpid())))
    {
        int fd = open(m_file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        m_saved = dup(STDERR_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture()
    {
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        std::filesystem::remove(m_file);
    }
    std::string text() const { return readFile(m_file); }

private:
    std::filesystem::path m_file;
    int m_saved = -1;
};

struct RecordedBox {
    std::string text;
    std::string caption;
    platform::MessageIcon icon;
};

// Records message boxes; every other service is a no-op (no loop needed).
class RecordingBridge final : public platform::UiBridge {
public:
    bool isUiThread() const override { return true; }
    void runAndWait(const std::function<void()>& fn) override { fn(); }
    void post(std::function<void()> fn) override { fn(); }
    std::unique_ptr<platform::UiTimer> createTimer(std::function<void()>) override { return nullptr; }
    void messageBox(const std::string& text, const std::string& caption, platform::MessageIcon icon) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_boxes.push_back({text, caption, icon});
    }
    bool askYesNo(const std::string&, const std::string&) override { return false; }
    std::vector<RecordedBox> boxes() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_boxes;
    }

private:
    mutable std::mutex m_lock;
    std::vector<RecordedBox> m_boxes;
};

// Each test: its own data folder, its own lock folder, built-in settings.
class DiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override { resetDiagnosticsForTesting(); }
    void TearDown() override
    {
        platform::UiBridge::install(nullptr);
        resetDiagnosticsForTesting();
    }
    void installBridge() { platform::UiBridge::install(&m_bridge); }

    TempDir m_data;
    TempDir m_run;
    EnvOverride m_runtime{"XDG_RUNTIME_DIR", m_run.str().c_str()};
    RecordingBridge m_bridge;
};

constexpr const char* BOM = "\xEF\xBB\xBF";
constexpr const char* NOTICE = "Diagnostic file of the RS485 firmware upgrade tool";
constexpr const char* COLUMNS = "Date Hour File Function Line Error description\r\n\r\n";

inline std::string header(bool isError, const std::string& application)
{
    return std::string(isError ? "Error Log File\t\t" : "Log File\t\t") + application + "\t\t" + NOTICE + "\r\n\r\n" +
           COLUMNS;
}

// Replaces every "hh:mm:ss:mmm " time at the start of a line (or after ": ") with "TT:TT:TT:TTT"
// so that whole files can be compared byte for byte.
inline std::string maskTimes(const std::string& text)
{
    // "dd:dd:dd:ddd " (13 characters); std::regex is avoided for its warnings
    // under the sanitizer builds.
    auto isTime = [&](size_t at) {
        static const char shape[] = "dd:dd:dd:ddd ";
        if (at + 13 > text.size())
            return false;
        for (size_t i = 0; i < 13; ++i) {
            const char c = text[at + i];
            if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i])
                return false;
        }
        return true;
    };
    std::string out = text;
    for (size_t at = 0; at < text.size(); ++at) {
        const bool lineStart = at == 0 || text[at - 1] == '\n' || (at >= 2 && text.compare(at - 2, 2, ": ") == 0);
        if (lineStart && isTime(at))
            out.replace(at, 12, "TT:TT:TT:TTT");
    }
    return out;
}

// The number of a file of its own: name is prefix + seven digits + ".log";
// -1 when the name has another form.
inline long ownFileNumber(const std::string& name, const std::string& prefix)
{
    if (name.size() != prefix.size() + 7 + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - 4, 4, ".log") != 0)
        return -1;
    const std::string digits = name.substr(prefix.size(), 7);
    if (digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stol(digits);
}

} // namespace testsupport

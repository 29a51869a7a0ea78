#pragma once
// The one reporting service of the program: every error and log entry goes
// through writeLog, to the diagnostic file, the debug console (standard
// error) and/or a message box, by the bits of `outputs`.
#include <cstdint>
#include <ctime>
#include <string>

// Destinations (bit set).
constexpr int LOG_TO_FILE = 1;
constexpr int LOG_TO_CONSOLE = 2;
constexpr int LOG_TO_MESSAGEBOX = 4;
// Outputs value meaning "as the level decides" (error outputs or log outputs).
constexpr int LOG_OUTPUTS_BY_LEVEL = 255;
// Level of an error; any other level is a log entry.
constexpr int LOG_LEVEL_ERROR = -1;

bool writeLog(const char* file, int line, const char* function, int outputs, int level, int action,
              const std::string& text);
bool reportError(const std::string& text, int action = 0);
void reportWaitResult(const char* file, int line, const char* function, int outputs, uint32_t waitResult,
                      const std::string& objectName);
void reportWaitResult(uint32_t waitResult, const std::string& objectName);

void configureLog(int outputs, int maxLevel, bool timeStampOnLog, bool singleFile, const std::string& applicationName);
void configureErrors(int outputs, const std::string& directory, const std::string& applicationName);

bool appendToLogFile(const std::string& text, bool isError);
void writeToConsole(const std::string& text);
// This program never restarts the computer: always false.
bool restartWindows();

// Entries written by this thread while it holds a lock that the UI thread
// may wait for show their message box only once the lock is released: a box
// waits for the UI thread, so a box under such a lock would make both
// threads wait for each other. File and console get the entry at once.
// Calls nest; the boxes follow in their order at the outermost release.
void holdMessageBoxes();
void releaseMessageBoxes();

class MessageBoxesHeld {
public:
    MessageBoxesHeld() { holdMessageBoxes(); }
    ~MessageBoxesHeld() { releaseMessageBoxes(); }
    MessageBoxesHeld(const MessageBoxesHeld&) = delete;
    MessageBoxesHeld& operator=(const MessageBoxesHeld&) = delete;
};

// Head of an entry: "hh:mm:ss:mmm file line function\r\n" (24-hour local
// time, milliseconds as three digits). writeLog builds it from one reading
// of the clock.
std::string formatEntryHead(const std::tm& localTime, int milliseconds, const char* file, int line,
                            const char* function);

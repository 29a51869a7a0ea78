// Entry heads, file layout, levels, destinations and wait reports.
#include "diagnostics/Globalfunctions.h"
#include "unit/diagnostics/DiagnosticsTestSupport.h"

#include "platform/Wait.h"

#include <sys/wait.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::tm timeOfDay(int hour, int minute, int second)
{
    std::tm t{};
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(EntryHead, FormatsTimeMillisecondsAndPlace)
{
    struct Case {
        std::tm time;
        int ms;
        const char* file;
        int line;
        const char* function;
        const char* expected;
    } cases[] = {
        {timeOfDay(14, 5, 9), 7, "-", 0, "-", "14:05:09:007 - 0 -\r\n"},
        {timeOfDay(14, 5, 9), 45, "-", 0, "-", "14:05:09:045 - 0 -\r\n"},
        {timeOfDay(14, 5, 9), 123, "-", 0, "-", "14:05:09:123 - 0 -\r\n"},
        {timeOfDay(0, 0, 0), 0, "ComT", 381, "KWOCComT::Execute", "00:00:00:000 ComT 381 KWOCComT::Execute\r\n"},
        {timeOfDay(23, 59, 59), 999, "RSComManager", 12, "f", "23:59:59:999 RSComManager 12 f\r\n"},
        {timeOfDay(9, 0, 1), 10, "a", -3, "b", "09:00:01:010 a -3 b\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatEntryHead(c.time, c.ms, c.file, c.line, c.function), c.expected) << c.expected;
}

using FileLayout = DiagnosticsTest;

TEST_F(FileLayout, ErrorWithoutPlaceStartsNewFileWithBomAndErrorHeader)
{
    configureErrors(LOG_TO_FILE, m_data.str(), "Test App");
    EXPECT_TRUE(reportError("openCom failed\tKWOCRSComManager::openCom"));
    EXPECT_TRUE(reportError("second"));

    EXPECT_EQ(filesIn(m_data.path()), std::vector<std::string>{"Error_Test App.log"});
    const std::string content = readFile(m_data.path() / "Error_Test App.log");
    EXPECT_EQ(maskTimes(content), std::string(BOM) + header(true, "Test App") +
                                      "TT:TT:TT:TTT - 0 -\r\nopenCom failed\tKWOCRSComManager::openCom\r\n\r\n"
                                      "TT:TT:TT:TTT - 0 -\r\nsecond\r\n\r\n");
}

TEST_F(FileLayout, LogEntryWithoutAndWithTimeStamp)
{
    configureErrors(LOG_TO_CONSOLE, m_data.str(), "App");
    configureLog(LOG_TO_FILE, 255, false, false, "App");
    writeLog("ComT", 10, "open", LOG_OUTPUTS_BY_LEVEL, 1, 0, "com: port open");
    configureLog(LOG_TO_FILE, 255, true, false, "App");
    writeLog("ComT", 11, "read", LOG_OUTPUTS_BY_LEVEL, 2, 0, "com: <- 10 E3");

    EXPECT_EQ(filesIn(m_data.path()), std::vector<std::string>{"Log_App.log"});
    EXPECT_EQ(maskTimes(readFile(m_data.path() / "Log_App.log")),
              std::string(BOM) + header(false, "App") + "com: port open\r\n\r\n" +
                  "TT:TT:TT:TTT ComT 11 read\r\ncom: <- 10 E3\r\n\r\n");
}

TEST_F(FileLayout, NameAndHeaderFollowSingleFileAndEntryKind)
{
    // Single file: a log entry goes into the "Error_" file, header chosen by the entry.
    configureErrors(LOG_TO_FILE, m_data.str() + "/", "App");
    configureLog(LOG_TO_FILE, 255, false, true, "App");
    writeLog("f", 1, "g", LOG_OUTPUTS_BY_LEVEL, 1, 0, "log first");
    reportError("then error");
    EXPECT_EQ(filesIn(m_data.path()), std::vector<std::string>{"Error_App.log"});
    EXPECT_EQ(maskTimes(readFile(m_data.path() / "Error_App.log")),
              std::string(BOM) + header(false, "App") + "log first\r\n\r\nTT:TT:TT:TTT - 0 -\r\nthen error\r\n\r\n");
}

TEST_F(FileLayout, ExistingFilesGetNoHeaderAndOnlyEmptyOnesABom)
{
    configureErrors(LOG_TO_FILE, m_data.str(), "App");
    configureLog(LOG_TO_FILE, 255, false, false, "App");
    std::ofstream(m_data.path() / "Log_App.log").close();          // empty
    std::ofstream(m_data.path() / "Error_App.log") << "previous"; // not empty
    EXPECT_TRUE(appendToLogFile("one", false));
    EXPECT_TRUE(appendToLogFile("two", true));
    EXPECT_EQ(readFile(m_data.path() / "Log_App.log"), std::string(BOM) + "one");
    EXPECT_EQ(readFile(m_data.path() / "Error_App.log"), "previoustwo");
}

TEST_F(FileLayout, UnwritableDirectoryLosesTheEntrySilently)
{
    installBridge();
    configureErrors(LOG_TO_FILE, (m_data.path() / "missing").string(), "App");
    EXPECT_FALSE(appendToLogFile("lost", true));
    EXPECT_TRUE(reportError("lost too"));
    EXPECT_TRUE(m_bridge.boxes().empty());
    // The lock was given back: the next write in a valid folder succeeds at once.
    configureErrors(LOG_TO_FILE, m_data.str(), "App");
    EXPECT_TRUE(appendToLogFile("kept", true));
}

TEST_F(FileLayout, BuiltInSettingsWriteToConsoleOnlyAsErrorAndLog)
{
    StderrCapture console;
    EXPECT_TRUE(reportError("bad\tX::y"));
    EXPECT_TRUE(writeLog("F", 3, "fn", LOG_OUTPUTS_BY_LEVEL, 1, 0, "plain"));
    EXPECT_EQ(maskTimes(console.text()), "TT:TT:TT:TTT - 0 -\r\nerror:bad\tX::y\r\nplain\r\n");
    EXPECT_TRUE(filesIn(m_data.path()).empty());
}

TEST_F(FileLayout, MessageBoxCarriesHeadTextAndCaption)
{
    installBridge();
    configureErrors(LOG_TO_MESSAGEBOX, m_data.str(), "App");
    configureLog(LOG_TO_MESSAGEBOX, 255, false, false, "App");
    reportError("broken");
    writeLog("F", 3, "fn", LOG_OUTPUTS_BY_LEVEL, 1, 0, "note");
    auto boxes = m_bridge.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(maskTimes(boxes[0].text), "TT:TT:TT:TTT - 0 -\r\nbroken");
    EXPECT_EQ(boxes[0].caption, "App error");
    EXPECT_EQ(boxes[0].icon, platform::MessageIcon::None);
    EXPECT_EQ(boxes[1].text, "note");
    EXPECT_EQ(boxes[1].caption, "App");
}

TEST_F(FileLayout, MessageBoxWithoutBridgeGoesToStandardError)
{
    StderrCapture console;
    configureErrors(LOG_TO_MESSAGEBOX, m_data.str(), "App");
    reportError("nobody to click");
    EXPECT_EQ(maskTimes(console.text()), "App error: TT:TT:TT:TTT - 0 -\r\nnobody to click\n");
}

using Levels = DiagnosticsTest;

TEST_F(Levels, FilteringOutputsAndActions)
{
    struct Case {
        int maxLevel;
        int level;
        int outputs;
        int action;
        bool result;
        bool written;
    } cases[] = {
        {255, 256, LOG_TO_FILE, 0, true, false}, // above the maximum: dropped, still true
        {255, 255, LOG_TO_FILE, 0, true, true},
        {0, 1, LOG_TO_FILE, 0, true, false},
        {-1, 0, LOG_TO_FILE, 0, true, false},
        {-1, -1, LOG_TO_FILE, 0, true, true},  // errors pass while the maximum is at least -1
        {-2, -1, LOG_TO_FILE, 0, true, false},
        {255, 1, 0, 0, true, false},            // no destination
        {255, 1, LOG_TO_FILE, 1, false, true},  // restart requested: never done, so false
        {255, 1, LOG_TO_FILE, 3, true, true},   // unknown action: none
        {255, 300, LOG_TO_FILE, 1, true, false}, // dropped before the action
    };
    for (const Case& c : cases) {
        fs::remove_all(m_data.path() / "Log_App.log");
        fs::remove_all(m_data.path() / "Error_App.log");
        configureErrors(LOG_TO_CONSOLE, m_data.str(), "App");
        configureLog(LOG_TO_CONSOLE, c.maxLevel, false, false, "App");
        StderrCapture console;
        EXPECT_EQ(writeLog("f", 1, "g", c.outputs, c.level, c.action, "entry"), c.result)
            << "max " << c.maxLevel << " level " << c.level;
        EXPECT_EQ(!filesIn(m_data.path()).empty(), c.written) << "max " << c.maxLevel << " level " << c.level;
        EXPECT_EQ(console.text(), "") << "explicit outputs must not fall back to the settings";
    }
}

TEST_F(Levels, OutputsByLevelChooseErrorOrLogDestinations)
{
    StderrCapture console;
    configureErrors(LOG_TO_FILE, m_data.str(), "App");
    configureLog(LOG_TO_CONSOLE, 255, false, false, "App");
    reportError("to the file");
    writeLog("f", 1, "g", LOG_OUTPUTS_BY_LEVEL, 2, 0, "to the console");
    EXPECT_EQ(filesIn(m_data.path()), std::vector<std::string>{"Error_App.log"});
    EXPECT_EQ(maskTimes(readFile(m_data.path() / "Error_App.log")),
              std::string(BOM) + header(true, "App") + "TT:TT:TT:TTT - 0 -\r\nto the file\r\n\r\n");
    EXPECT_EQ(console.text(), "to the console\r\n");
}

TEST_F(Levels, ExitActionEndsTheProcessWithCodeZeroEvenWithoutOutputs)
{
    configureErrors(LOG_TO_FILE, m_data.str(), "App");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writeLog("f", 1, "g", 0, LOG_LEVEL_ERROR, 2, "bye");
        _exit(42); // only reached when the action was not performed
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(filesIn(m_data.path()).empty());
}

using WaitReports = DiagnosticsTest;

TEST_F(WaitReports, TextsByResultAndNothingForSuccess)
{
    struct Case {
        uint32_t result;
        const char* expected;
    } cases[] = {
        {platform::WAIT_OBJECT_0, ""},
        {platform::WAIT_TIMEOUT, "TT:TT:TT:TTT - 0 -\r\nerror:Event m_hMutex Timeout reached\r\n"},
        {platform::WAIT_ABANDONED, "TT:TT:TT:TTT - 0 -\r\nerror:Event m_hMutex Abandoned\r\n"},
        {platform::WAIT_FAILED, "TT:TT:TT:TTT - 0 -\r\nerror:Wait on Event m_hMutex failed\r\n"},
        {0x1, "TT:TT:TT:TTT - 0 -\r\nerror:Event m_hMutex Unknown error\r\n"},
    };
    for (const Case& c : cases) {
        StderrCapture console;
        reportWaitResult(c.result, "m_hMutex");
        EXPECT_EQ(maskTimes(console.text()), c.expected) << std::hex << c.result;
    }
}

TEST_F(WaitReports, LongFormKeepsPlaceAndOutputs)
{
    installBridge();
    StderrCapture console;
    reportWaitResult("RSComManager", 212, "KWOCRSComManager::addCommand", LOG_TO_CONSOLE | LOG_TO_MESSAGEBOX,
                     platform::WAIT_TIMEOUT, "m_hMutex");
    reportWaitResult("RSComManager", 213, "f", LOG_TO_CONSOLE, platform::WAIT_OBJECT_0, "m_hMutex");
    EXPECT_EQ(maskTimes(console.text()),
              "TT:TT:TT:TTT RSComManager 212 KWOCRSComManager::addCommand\r\nerror:Event m_hMutex Timeout reached\r\n");
    ASSERT_EQ(m_bridge.boxes().size(), 1u);
    EXPECT_EQ(m_bridge.boxes()[0].caption, "My KWO Application error");
}

TEST(Restart, NeverRestartsAndWritesNothing)
{
    resetDiagnosticsForTesting();
    StderrCapture console;
    EXPECT_FALSE(restartWindows());
    EXPECT_EQ(console.text(), "");
}

} // namespace

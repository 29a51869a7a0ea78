// Start-up rules: the command line, the diagnostics set-up and the data directory.
#include "app/StartupRules.h"
#include "diagnostics/Globalfunctions.h"
#include "platform/DataDirectory.h"
#include "unit/diagnostics/DiagnosticsTestSupport.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using CommandLine = DiagnosticsTest;

TEST_F(CommandLine, OptionsAndBadArgumentsUnderBuiltInSettings)
{
    struct Case {
        std::vector<const char*> arguments;
        int errorOutputs;
        int logOutputs;
        std::vector<std::string> reported;
    } cases[] = {
        {{}, LOG_TO_CONSOLE, LOG_TO_FILE, {}},
        {{"-DebugMsg"}, LOG_TO_CONSOLE | LOG_TO_MESSAGEBOX, LOG_TO_FILE, {}},
        {{"-NoLogFile"}, LOG_TO_CONSOLE, 0, {}},
        {{"-NoLogFile", "-DebugMsg"}, LOG_TO_CONSOLE | LOG_TO_MESSAGEBOX, 0, {}},
        {{"-debugmsg"}, LOG_TO_CONSOLE, LOG_TO_FILE, {"-debugmsg"}},
        {{"-NOLOGFILE", "DebugMsg", "-DebugMsg "}, LOG_TO_CONSOLE, LOG_TO_FILE, {"-NOLOGFILE", "DebugMsg", "-DebugMsg "}},
        {{""}, LOG_TO_CONSOLE, LOG_TO_FILE, {""}},
        {{"-DebugMsg", "-DebugMsg", "-NoLogFile", "-NoLogFile"}, LOG_TO_CONSOLE | LOG_TO_MESSAGEBOX, 0, {}},
        {{"x", "-NoLogFile", "-DEBUGMSG", "-DebugMsg", "", "COM3"},
         LOG_TO_CONSOLE | LOG_TO_MESSAGEBOX,
         0,
         {"x", "-DEBUGMSG", "", "COM3"}},
    };
    const fs::path previous = fs::current_path();
    fs::current_path(m_data.path());
    for (const Case& c : cases) {
        resetDiagnosticsForTesting();
        std::vector<const char*> argv{"/usr/bin/rs485-upgrader"};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        StderrCapture console;
        const app::StartupOutputs outputs = app::readCommandLine(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(outputs.errorOutputs, c.errorOutputs) << argv.size();
        EXPECT_EQ(outputs.logOutputs, c.logOutputs) << argv.size();

        // Built-in settings: debug console only, nothing in any file.
        std::string expected;
        for (const auto& bad : c.reported)
            expected += "TT:TT:TT:TTT - 0 -\r\nerror:Bad executable argument\t" + bad + "\r\n";
        EXPECT_EQ(maskTimes(console.text()), expected);
    }
    fs::current_path(previous);
    EXPECT_TRUE(filesIn(m_data.path()).empty()) << "the built-in folder is the current one";
}

TEST_F(CommandLine, BadArgumentUnderDebugMsgIsNotShownInABoxBeforeSetUp)
{
    installBridge();
    StderrCapture console;
    const char* argv[] = {"prog", "-DebugMsg", "-x"};
    app::readCommandLine(3, argv);
    EXPECT_TRUE(m_bridge.boxes().empty()) << "the built-in settings apply while the command line is read";
}

using StartupDiagnostics = DiagnosticsTest;

TEST_F(StartupDiagnostics, LogEntryOpensTheErrorFileWithLogHeader)
{
    StderrCapture console;
    const std::string app = "Veltra - RS485 Firmware upgrader";
    app::configureDiagnostics({LOG_TO_CONSOLE, LOG_TO_FILE}, m_data.str());
    writeLog("RSComManager", 88, "KWOCRSComManager::openCom", LOG_OUTPUTS_BY_LEVEL, 1, 0, "com: port open");
    writeLog("ComT", 9, "x", LOG_OUTPUTS_BY_LEVEL, 256, 0, "dropped");
    reportError("sendData failed\tKWOCFwUpgraderRS485::analyseData");

    EXPECT_EQ(filesIn(m_data.path()), std::vector<std::string>{"Error_" + app + ".log"});
    EXPECT_EQ(readFile(m_data.path() / ("Error_" + app + ".log")),
              std::string(BOM) + header(false, app) + "com: port open\r\n\r\n");
    EXPECT_EQ(maskTimes(console.text()),
              "TT:TT:TT:TTT - 0 -\r\nerror:sendData failed\tKWOCFwUpgraderRS485::analyseData\r\n");
}

TEST_F(StartupDiagnostics, DebugMsgAddsBoxesAndNoLogFileSilencesLogEntries)
{
    installBridge();
    StderrCapture console;
    app::configureDiagnostics({LOG_TO_CONSOLE | LOG_TO_MESSAGEBOX, 0}, m_data.str());
    writeLog("ComT", 1, "f", LOG_OUTPUTS_BY_LEVEL, 2, 0, "com: -> 10 E3");
    reportError("bad");
    EXPECT_TRUE(filesIn(m_data.path()).empty());
    auto boxes = m_bridge.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Veltra - RS485 Firmware upgrader error");
    EXPECT_EQ(maskTimes(boxes[0].text), "TT:TT:TT:TTT - 0 -\r\nbad");
}

class DataDirectory : public ::testing::Test {
protected:
    TempDir m_home;
};

TEST_F(DataDirectory, UnderHomeAndCreated)
{
    for (const std::string suffix : {"", "/"}) {
        EnvOverride home("HOME", (m_home.str() + suffix).c_str());
        const std::string directory = platform::dataDirectory();
        EXPECT_EQ(directory, m_home.str() + "/Veltra_Data");
        EXPECT_TRUE(fs::is_directory(directory));
        EXPECT_EQ(platform::dataDirectory(), directory) << "an existing folder is fine";
    }
}

TEST_F(DataDirectory, WithoutHomeTheExecutablesFolderAndNothingCreated)
{
    const std::string expected = fs::canonical("/proc/self/exe").parent_path().string();
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        EnvOverride home("HOME", value);
        EXPECT_EQ(platform::executableDirectory(), expected);
        EXPECT_EQ(platform::dataDirectory(), expected);
        EXPECT_FALSE(fs::exists(fs::path(expected) / "Veltra_Data"));
    }
}

TEST_F(DataDirectory, FolderThatCannotBeCreatedIsStillNamed)
{
    const fs::path file = m_home.path() / "plain-file";
    std::ofstream(file) << "x";
    EnvOverride home("HOME", file.c_str());
    EXPECT_EQ(platform::dataDirectory(), file.string() + "/Veltra_Data");
}

} // namespace

// rs485-upgrade: argument rules, then whole runs of the program against
// rs485-devsim in its own process, each in a home of its own.
#include "cli/CliOptions.h"
#include "engine/FirmwareImages.h"
#include "engine/Fwupgraderrs485.h"
#include "platform/SerialPort.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

TEST(CliArguments, ValuesFollowTheWindowsRules)
{
    struct Case {
        std::vector<std::string> args;
        const char* error; // null: accepted
    };
    const Case cases[] = {
        {{"fw.bin"}, nullptr},
        {{"-a", "0a", "fw.bin"}, nullptr},
        {{"-a", "FF", "fw.bin"}, nullptr},
        {{"-a", "00", "fw.bin"}, "Invalid Main address"},
        {{"-a", "5", "fw.bin"}, "Invalid Main address"},
        {{"-a", "555", "fw.bin"}, "Invalid Main address"},
        {{"-a", "G1", "fw.bin"}, "Invalid Main address"},
        {{"-b", "0", "fw.bin"}, "Invalid Baudrate value"},
        {{"--baud=-5", "fw.bin"}, "Invalid Baudrate value"},
        {{"-b", "abc", "fw.bin"}, "Invalid Baudrate value"},
        {{"-b", "1", "fw.bin"}, nullptr},
        {{"-V", "20:0", "-a", "33", "fw.bin"}, nullptr},
        {{"-V", "20:15", "-V", "21:3", "-a", "33", "fw.bin"}, nullptr},
        {{"-V", "20:16", "fw.bin"}, "Invalid Nested 1 interface"},
        {{"-V", "20", "fw.bin"}, "Invalid Nested 1 interface"},
        {{"-V", "00:1", "fw.bin"}, "Invalid Main address"},
        {{"-V", "20:1", "-a", "00", "fw.bin"}, "Invalid Nested 1 address"},
        {{"-V", "20:1", "-V", "G1:1", "fw.bin"}, "Invalid Nested 1 address"},
        {{"-V", "20:1", "-V", "21:x", "fw.bin"}, "Invalid Nested 2 interface"},
        {{"-V", "20:1", "-V", "21:1", "-a", "0", "fw.bin"}, "Invalid Nested 2 address"},
        {{"-V", "20:1", "-V", "21:1", "-V", "22:1", "fw.bin"}, "At most 2 routing devices (--via)"},
        {{"--addresses", "55,5G", "fw.bin"}, "Invalid Main address"},
        {{}, "No bin file has been selected."},
        {{"a.bin", "b.bin"}, "Only one bin file can be given"},
        {{"--bogus", "fw.bin"}, "Unknown option --bogus"},
        {{"fw.bin", "-p"}, "Option -p needs a value"},
        {{"--restart-wait", "-1", "fw.bin"}, "Invalid restart wait (seconds, 0 to 3600): -1"},
        {{"-v", "-q", "fw.bin"}, "--verbose and --quiet cannot be combined"},
        {{"--check"}, nullptr},
        {{"--check", "--addresses", "55,56"}, "--addresses upgrades devices; check one device at a time"},
        {{"--list-ports"}, nullptr},
        {{"--help"}, nullptr},
        // Joined values, combined flags and -- as a user types them by habit.
        {{"-b0", "fw.bin"}, "Invalid Baudrate value"},
        {{"--baud=115200", "fw.bin"}, nullptr},
        {{"-qv", "fw.bin"}, "--verbose and --quiet cannot be combined"},
        {{"fw.bin", "-qp"}, "Option -p needs a value"},
        {{"--port=", "fw.bin"}, "Invalid Com port"},
        {{"-x.bin"}, "Unknown option -x.bin"},
        {{"fw.bin", "--", "-x.bin"}, "Only one bin file can be given"},
        {{"--info"}, "No bin file has been selected."},
        {{"--info", "--json", "fw.bin"}, nullptr},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args)
            joined += a + " ";
        const cli::ParseResult r = cli::parseArguments(c.args);
        if (c.error) {
            EXPECT_FALSE(r.ok) << joined;
            EXPECT_EQ(r.error, c.error) << joined;
        } else {
            EXPECT_TRUE(r.ok) << joined << ": " << r.error;
        }
    }
}

TEST(CliArguments, OptionsReachTheRun)
{
    const cli::ParseResult r = cli::parseArguments({"--port", "/dev/ttyUSB3", "--baud=9600", "-V", "20:4", "-V", "21:15",
                                                    "--addresses", "33,34", "--yes", "--restart-wait", "3", "-v",
                                                    "fw.bi2"});
    ASSERT_TRUE(r.ok) << r.error;
    const cli::Options& o = r.options;
    EXPECT_EQ(o.port, "/dev/ttyUSB3");
    EXPECT_EQ(o.baudRate, 9600);
    EXPECT_EQ(o.targets, (std::vector<int>{0x33, 0x34}));
    EXPECT_TRUE(o.severalTargets);
    EXPECT_EQ(o.downgrade, cli::Downgrade::Accept);
    EXPECT_EQ(o.restartWaitMs, 3000);
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(o.file, "fw.bi2");
    std::vector<int32_t> addresses, interfaces;
    cli::routeOf(o, 0x34, addresses, interfaces);
    EXPECT_EQ(addresses, (std::vector<int32_t>{0x20, 0x21, 0x34}));
    EXPECT_EQ(interfaces, (std::vector<int32_t>{4, 15}));
    EXPECT_EQ(cli::comNumberOf("COM7"), 7);
    EXPECT_EQ(cli::comNumberOf("com12"), 12);
    EXPECT_EQ(cli::comNumberOf("COM0"), 0);
    EXPECT_EQ(cli::comNumberOf("COM256"), 0);
    EXPECT_EQ(cli::comNumberOf("/dev/ttyS0"), 0);
    const cli::ParseResult joined = cli::parseArguments({"-b9600", "-pCOM3", "-qa56", "--json", "--", "-x.bin"});
    ASSERT_TRUE(joined.ok) << joined.error;
    EXPECT_EQ(joined.options.baudRate, 9600);
    EXPECT_EQ(joined.options.port, "COM3");
    EXPECT_TRUE(joined.options.quiet);
    EXPECT_TRUE(joined.options.json);
    EXPECT_EQ(joined.options.targets, (std::vector<int>{0x56}));
    EXPECT_EQ(joined.options.file, "-x.bin");
    const cli::ParseResult defaults = cli::parseArguments({"fw.bin"});
    EXPECT_EQ(defaults.options.port, "COM1");
    EXPECT_EQ(defaults.options.baudRate, 115200);
    EXPECT_EQ(defaults.options.targets, (std::vector<int>{0x55}));
    EXPECT_EQ(defaults.options.restartWaitMs, 25000);
    EXPECT_EQ(defaults.options.downgrade, cli::Downgrade::Ask);
}

struct Output {
    int status = -1;
    std::string text;
    std::string lastLine() const
    {
        std::istringstream in(text);
        std::string line, last;
        while (std::getline(in, line))
            if (!line.empty())
                last = line;
        return last;
    }
};

// A home of its own (the data directory lives in it), the simulator in its
// own process linked there as COM1, and the programs run with that home.
class CliRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/rs485-cli-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home = pattern;
    }

    void TearDown() override
    {
        stopSimulator();
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }

    void startSimulator(const std::vector<std::string>& deviceArgs)
    {
        const std::string log = home + "/devsim.log";
        std::vector<std::string> args{DEVSIM_PROGRAM, "--link", "COM1", "--data-dir", home + "/Veltra_Data",
                                      "--restart-ms", "100"};
        args.insert(args.end(), deviceArgs.begin(), deviceArgs.end());
        devsim = fork();
        ASSERT_GE(devsim, 0);
        if (devsim == 0) {
            FILE* out = std::freopen(log.c_str(), "w", stdout);
            (void)out;
            dup2(STDOUT_FILENO, STDERR_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream in(log);
            std::stringstream content;
            content << in.rdbuf();
            if (content.str().find("link: ") != std::string::npos)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // polling a condition, with a deadline
        }
        FAIL() << "rs485-devsim did not link its pty";
    }

    void stopSimulator()
    {
        if (devsim > 0) {
            kill(devsim, SIGTERM);
            waitpid(devsim, nullptr, 0);
            devsim = -1;
        }
    }

    std::string firmware(const std::string& name, const std::string& options)
    {
        const std::string path = home + "/" + name;
        const std::string command = std::string(MKFW_PROGRAM) + " " + options + " --output " + path + " >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }

    // Runs rs485-upgrade with stdin from /dev/null (no terminal); the time
    // limit only guards against a hang. outputOnly: standard error is left
    // out of the text.
    Output upgrade(const std::string& args, bool outputOnly = false)
    {
        const std::string command = "HOME=" + home + " timeout 120 " + UPGRADE_PROGRAM + " " + args +
                                    " </dev/null " + (outputOnly ? "2>>" + home + "/stderr.txt" : "2>&1");
        Output out;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return out;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.text.append(buffer, n);
        const int status = pclose(pipe);
        out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return out;
    }

    // rs485-upgrade in its own process, output into `output`, for a test
    // that must signal it while it runs.
    pid_t startUpgrade(const std::vector<std::string>& upgradeArgs, const std::string& output)
    {
        std::vector<std::string> args{UPGRADE_PROGRAM};
        args.insert(args.end(), upgradeArgs.begin(), upgradeArgs.end());
        const std::string homeVariable = "HOME=" + home;
        const pid_t pid = fork();
        if (pid == 0) {
            FILE* out = std::freopen(output.c_str(), "w", stdout);
            (void)out;
            dup2(STDOUT_FILENO, STDERR_FILENO);
            FILE* in = std::freopen("/dev/null", "r", stdin);
            (void)in;
            putenv(const_cast<char*>(homeVariable.c_str()));
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    // Polls a condition with a deadline.
    static bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    std::string diagnosticFile() const { return home + "/Veltra_Data/Error_Veltra - RS485 Firmware upgrader.log"; }

    std::string home;
    pid_t devsim = -1;
};

std::string fileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Every line of the text as a JSON object, keys in their written order; a
// line that is not one fails the test.
std::vector<nlohmann::ordered_json> jsonLines(const std::string& text)
{
    std::vector<nlohmann::ordered_json> records;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        try {
            records.push_back(nlohmann::ordered_json::parse(line));
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << "not a JSON line: " << line << " (" << e.what() << ")";
        }
    }
    return records;
}

std::string sameFile(const std::string& path)
{
    std::error_code ignored;
    return fs::weakly_canonical(path, ignored).string();
}

TEST_F(CliRun, SingleAndTwoImageUpgradesThenChecks)
{
    startSimulator({"--device", "55:18.4:1.0:2.0", "--device", "56:18.4:1.0"});
    const std::string single = firmware("single.bin", "--format 32bits --version 1.5 --code-size 0x2000");
    const std::string sections = firmware("double.bi2", "--format sections --lt-version 1.2 --bg-version 1.6");

    Output out = upgrade("--restart-wait 2 " + single);
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_EQ(out.lastLine(), "Upgrade finished successfully.") << out.text;
    EXPECT_NE(out.text.find("Type/Model : 18.4\nFW/HW version : 1.0 / 2.0\n"), std::string::npos) << out.text;
    EXPECT_NE(out.text.find("Progress 100 %"), std::string::npos) << "a line per 10 % without a terminal";

    out = upgrade("--restart-wait 2 -a 56 " + sections);
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("Uploading bin file 2..."), std::string::npos) << out.text;
    EXPECT_EQ(out.lastLine(), "Upgrade finished successfully.") << out.text;

    out = upgrade("--check -a 56");
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("FW/HW version : 1.6 / NA"), std::string::npos) << out.text;
    EXPECT_EQ(out.lastLine(), "Check version and type read successfully.");

    out = upgrade("--check -q " + single);
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_EQ(out.text, "Check version and type read successfully.\n") << "quiet: only the final line";
}

TEST_F(CliRun, RoutedCheckThroughTwoHopsAndAPortGivenByPath)
{
    startSimulator({"--device", "20:18.4:1.0", "--device", "21:18.4:1.0", "--device", "33:18.4:1.3:1.1",
                    "--router", "20:2=21", "--router", "21:7=33"});
    Output out = upgrade("--check -V 20:2 -V 21:7 -a 33");
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("FW/HW version : 1.3 / 1.1"), std::string::npos) << out.text;

    std::ifstream log(home + "/devsim.log");
    std::string first;
    std::getline(log, first);
    ASSERT_EQ(first.rfind("pty: ", 0), 0u) << first;
    out = upgrade("--check -p " + first.substr(5) + " -V 20:2 -V 21:7 -a 33");
    EXPECT_EQ(out.status, 0) << out.text;

    out = upgrade("--check --json -V20:2 --via=21:7 -a33", true);
    EXPECT_EQ(out.status, 0) << fileText(home + "/stderr.txt");
    const auto records = jsonLines(out.text);
    ASSERT_EQ(records.size(), 1u) << out.text;
    EXPECT_EQ(records[0]["route"], nlohmann::ordered_json::parse(R"([{"address":"20","interface":2},{"address":"21","interface":7}])"));
    EXPECT_EQ(records[0]["address"], "33");
    EXPECT_EQ(records[0]["device"], nlohmann::ordered_json::parse(
        R"({"type":"18.4","version_before":"1.3","hardware":"1.1","version_after":null})"));
}

TEST_F(CliRun, JsonRecordsOfFinishedFailedAndCheckedRuns)
{
    startSimulator({"--device", "55:18.4:1.0:2.0", "--device", "56:18.4:1.0", "--fault", "56:corrupt=5@rblock3*0"});
    std::ifstream log(home + "/devsim.log");
    std::string pty;
    std::getline(log, pty);
    const std::string file = firmware("fw.bin", "--format=32bits --version=1.5 --code-size 0x1000");

    Output out = upgrade("--json --restart-wait 2 --addresses 55,56 " + file, true);
    const std::string human = fileText(home + "/stderr.txt");
    EXPECT_EQ(out.status, 1) << human;
    EXPECT_NE(human.find("Summary:\n55\tUpgrade finished successfully.\n56\tUpgrade failed. Analyse data failed\n"),
              std::string::npos) << "the human text goes to standard error:\n" << human;
    const auto records = jsonLines(out.text);
    ASSERT_EQ(records.size(), 2u) << "one line per device and nothing else:\n" << out.text;
    std::vector<std::string> keys;
    for (const auto& [key, value] : records[0].items())
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"port", "baud", "route", "address", "file", "device", "result", "reason",
                                              "seconds"}));
    for (const auto& record : records) {
        EXPECT_EQ(record["port"]["given"], "COM1");
        ASSERT_TRUE(record["port"]["device"].is_string()) << record.dump();
        EXPECT_EQ(sameFile(record["port"]["device"]), sameFile(pty.substr(5))) << record.dump();
        EXPECT_EQ(record["baud"], 115200);
        EXPECT_EQ(record["route"], nlohmann::ordered_json::array());
        EXPECT_EQ(record["file"], nlohmann::ordered_json::parse(
            R"({"path":")" + file + R"(","format":"32bits","version":"1.5","lt_version":null,"bg_version":null})"));
        ASSERT_TRUE(record["seconds"].is_number()) << record.dump();
        const double seconds = record["seconds"];
        EXPECT_GT(seconds, 0);
        EXPECT_DOUBLE_EQ(seconds, std::round(seconds * 100) / 100) << "two decimals";
    }
    EXPECT_EQ(records[0]["address"], "55");
    EXPECT_EQ(records[0]["device"], nlohmann::ordered_json::parse(
        R"({"type":"18.4","version_before":"1.0","hardware":"2.0","version_after":"1.5"})"));
    EXPECT_EQ(records[0]["result"], "finished");
    EXPECT_EQ(records[0]["reason"], nullptr);
    EXPECT_EQ(records[1]["address"], "56");
    EXPECT_EQ(records[1]["device"], nlohmann::ordered_json::parse(
        R"({"type":"18.4","version_before":"1.0","hardware":null,"version_after":null})"));
    EXPECT_EQ(records[1]["result"], "failed");
    EXPECT_EQ(records[1]["reason"], "Analyse data failed");

    out = upgrade("--check --json -qa56", true);
    EXPECT_EQ(out.status, 0) << fileText(home + "/stderr.txt");
    const auto checked = jsonLines(out.text);
    ASSERT_EQ(checked.size(), 1u) << out.text;
    EXPECT_EQ(checked[0]["file"], nullptr);
    EXPECT_EQ(checked[0]["result"], "check_done");
    EXPECT_EQ(checked[0]["reason"], nullptr);
    EXPECT_EQ(checked[0]["device"]["version_before"], "1.0");
}

TEST_F(CliRun, InfoShowsWhatTheFileHoldsAndTheEnginesImages)
{
    struct Case {
        const char* name;
        const char* options;
        const char* expected; // what rs485-mkfw was given
    };
    const Case cases[] = {
        {"legacy.bin", "--format=legacy --device-type 18.6 --version=1.7 --min-version 1.1 --max-hardware 2.9 --code-size 1000",
         R"({"format":"legacy","file_size":1000,"device_type":"18.6","version":"1.7","min_version":"1.1",
             "max_hardware":"2.9","min_hardware":null,"image_size":1024,"flash_word":1030})"},
        {"single.bi2", "--format 32bits --version 2.1 --min-version 2.0 --min-hardware 1.0 --code-size 0x2000",
         R"({"format":"32bits","device_type":"18.4","version":"2.1","min_version":"2.0","max_hardware":null,
             "min_hardware":"1.0"})"},
        {"double.bin", "--format sections --device-type 18.5 --lt-version 1.2 --lt-min-version 1.1 --bg-version 1.6 "
                       "--max-hardware 2.9 --min-hardware 1.0 --processor 5",
         R"({"format":"sections","lt_device_type":"18.5","lt_version":"1.2","lt_min_version":"1.1",
             "lt_max_hardware":"2.9","lt_min_hardware":"1.0","bg_device_type":"18.5","bg_version":"1.6",
             "bg_needs_lt":"1.2","bg_max_hardware":"2.9","bg_min_hardware":"1.0","processor":5})"},
    };
    for (const Case& c : cases) {
        const std::string path = firmware(c.name, c.options);
        // No port is opened: COM9 does not exist.
        Output out = upgrade("--info --json -p COM9 " + path, true);
        EXPECT_EQ(out.status, 0) << c.name << ": " << fileText(home + "/stderr.txt");
        const auto records = jsonLines(out.text);
        ASSERT_EQ(records.size(), 1u) << out.text;
        const nlohmann::ordered_json& info = records[0];
        EXPECT_EQ(info["file"], path);
        const auto expected = nlohmann::ordered_json::parse(c.expected);
        for (const auto& [key, value] : expected.items())
            EXPECT_EQ(info[key], value) << c.name << ": " << key;

        // The images an upgrade would upload, as the engine builds them.
        KWOSBinFile file;
        KWOSBinFileDescription description;
        KWOSBinFileLabels labels;
        ASSERT_TRUE(openBinFile(path, file, description, labels)) << c.name;
        const auto flashWord = [&](int32_t little, int which) {
            return KWOCFwUpgraderRS485::flashCommandWord(description.m_nFileFormat, file.bytes.size(), little, which);
        };
        if (description.m_nFileFormat == FORMAT_SECTIONS) {
            KWOSSectionImages images;
            ASSERT_TRUE(buildSectionImages(file, description, images));
            const int32_t little = int32_t(images.little.size());
            EXPECT_EQ(info["little_image_size"], images.little.size());
            EXPECT_EQ(info["little_flash_word"], flashWord(little, 1));
            EXPECT_EQ(info["big_image_size"], images.big.size());
            EXPECT_EQ(info["big_flash_word"], flashWord(little, 2));
        } else {
            KWOImage image;
            ASSERT_TRUE(buildSingleImage(file, description, image));
            EXPECT_EQ(info["image_size"], image.size()) << c.name;
            EXPECT_EQ(info["flash_word"], flashWord(0, 1)) << c.name;
        }
    }
    // As text: one "key: value" line each, flash words in hexadecimal.
    const Output text = upgrade("--info " + home + "/double.bin", true);
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.text.find("\nprocessor: 5\nlittle_image_size: 16448\nlittle_flash_word: 0x40A6\n"),
              std::string::npos) << text.text;
    EXPECT_NE(text.text.find("\nbg_needs_lt: 1.2\n"), std::string::npos) << text.text;
}

TEST_F(CliRun, FailuresGiveTheReasonOnTheLastLineAndExitOne)
{
    startSimulator({"--device", "55:18.4:1.0", "--device", "56:18.4:1.0", "--fault", "56:corrupt=5@rblock3*0",
                    "--device", "57:18.4:1.7"});
    const std::string file = firmware("fw.bin", "--format legacy --version 1.5 --code-size 0x1000");

    Output out = upgrade("--restart-wait 2 -a 56 " + file);
    EXPECT_EQ(out.status, 1) << out.text;
    EXPECT_EQ(out.lastLine(), "Upgrade failed. Analyse data failed") << out.text;
    EXPECT_NE(out.text.find("Writing ERROR @ pos"), std::string::npos) << out.text;

    // A downgrade within the major version, no terminal to ask: refused.
    out = upgrade("--restart-wait 2 -a 57 " + file);
    EXPECT_EQ(out.status, 1) << out.text;
    EXPECT_NE(out.text.find("No terminal to answer: the downgrade is refused"), std::string::npos) << out.text;
    EXPECT_EQ(out.lastLine().rfind("Upgrade failed.", 0), 0u) << out.text;

    out = upgrade("--restart-wait 2 --addresses 55,56 " + file);
    EXPECT_EQ(out.status, 1) << out.text;
    const size_t summary = out.text.find("Summary:\n");
    ASSERT_NE(summary, std::string::npos) << out.text;
    EXPECT_EQ(out.text.substr(summary),
              "Summary:\n55\tUpgrade finished successfully.\n56\tUpgrade failed. Analyse data failed\n");
}

TEST_F(CliRun, ClosedOrBrokenStandardStreamsNeitherReachTheLineNorEndTheRun)
{
    // --verbose: every report and the communication trace go to standard error.
    startSimulator({"--trace", "--device", "55:18.4:1.0"});
    const std::string file = firmware("fw.bin", "--format 32bits --version 1.5 --code-size 0x1000");
    const std::string run = "HOME=" + home + " timeout 120 " + UPGRADE_PROGRAM + " -v --restart-wait 2 " + file;

    // Closed: a port opened on descriptor 1 or 2 would get the console lines.
    const std::string closed = run + " </dev/null 1>&- 2>&-";
    EXPECT_EQ(std::system(closed.c_str()), 0) << closed;
    std::istringstream trace(fileText(home + "/devsim.log"));
    int frames = 0;
    for (std::string line; std::getline(trace, line);) {
        if (line.rfind("-> ", 0) != 0)
            continue;
        ++frames;
        EXPECT_EQ(line.rfind("-> 55 10 ", 0), 0u) << "not a request of the upgrade: " << line;
    }
    EXPECT_GT(frames, 64) << "the upload and verification of 0x1000 bytes";

    // A pipe whose reader has gone: writes fail, the program goes on.
    const std::string broken = "set -o pipefail; { " + run + " </dev/null 3>&1 1>" + home +
                               "/out.txt 2>&3; } | true";
    const std::string command = "bash -c '" + broken + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_NE(fileText(home + "/out.txt").find("Upgrade finished successfully.\n"), std::string::npos);
}

TEST_F(CliRun, SignalStopsTheRunClosesThePortAndReportsIt)
{
    startSimulator({"--trace", "--device", "55:18.4:1.0:2.0"});
    std::ifstream log(home + "/devsim.log");
    std::string pty;
    std::getline(log, pty);
    ASSERT_EQ(pty.rfind("pty: ", 0), 0u) << pty;
    pty = pty.substr(5);

    struct Case {
        int signal;
        int status;
        const char* name;
        const char* version; // each run after an interrupted one upgrades the device
    };
    for (const Case& c : {Case{SIGINT, 130, "SIGINT", "1.5"}, Case{SIGTERM, 143, "SIGTERM", "1.6"}}) {
        const std::string file = firmware(std::string("fw-") + c.version + ".bin",
                                          std::string("--format 32bits --code-size 0x8000 --version ") + c.version);
        std::remove(diagnosticFile().c_str());
        const std::string output = home + "/interrupted-" + c.name + ".txt";
        const size_t traceBefore = fileText(home + "/devsim.log").size();
        const pid_t pid = startUpgrade({"--json", "--restart-wait", "2", file}, output);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitFor([&] { return fileText(output).find("Progress 10 %") != std::string::npos; },
                            std::chrono::seconds(60)))
            << fileText(output);
        kill(pid, c.signal);
        int status = 0;
        ASSERT_TRUE(waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(10)))
            << c.name << " did not end the run";
        ASSERT_TRUE(WIFEXITED(status)) << c.name;
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.name;
        Output out{WEXITSTATUS(status), fileText(output)};
        EXPECT_EQ(out.lastLine(), "Upgrade failed. Interrupted.") << out.text;
        const size_t record = out.text.find("\n{");
        ASSERT_NE(record, std::string::npos) << out.text;
        const auto interrupted = jsonLines(out.text.substr(record + 1, out.text.find('\n', record + 1) - record - 1));
        ASSERT_EQ(interrupted.size(), 1u);
        EXPECT_EQ(interrupted[0]["result"], "interrupted");
        EXPECT_EQ(interrupted[0]["reason"], "Interrupted.");
        EXPECT_EQ(interrupted[0]["device"]["version_before"], c.signal == SIGINT ? "1.0" : "1.5");
        EXPECT_NE(fileText(diagnosticFile()).find(std::string("Upgrade interrupted by ") + c.name),
                  std::string::npos)
            << fileText(diagnosticFile());
        std::string why;
        EXPECT_TRUE(platform::SerialPort::probe(pty, &why)) << c.name << ": " << why;

        // Every request of the stopped run (block writes and reads, all
        // answered) is answered before the next run opens the line: a device
        // that answers late on a loaded machine would otherwise put its
        // answer into the next run's first one.
        EXPECT_TRUE(waitFor([&] {
            std::istringstream trace(fileText(home + "/devsim.log").substr(traceBefore));
            int balance = 0;
            for (std::string line; std::getline(trace, line);)
                balance += line.rfind("-> ", 0) == 0 ? 1 : line.rfind("<- ", 0) == 0 ? -1 : 0;
            return balance == 0;
        }, std::chrono::seconds(20)));
        out = upgrade("--restart-wait 2 " + file);
        EXPECT_EQ(out.status, 0) << c.name << ", the run after it:\n" << out.text;
    }
}

TEST_F(CliRun, BadInputExitsTwoWithItsMessage)
{
    Output out = upgrade("-a 00 fw.bin");
    EXPECT_EQ(out.status, 2);
    EXPECT_NE(out.text.find("Invalid Main address"), std::string::npos) << out.text;

    // A refused file: the reader's own reason follows.
    out = upgrade(home + "/missing.bin");
    EXPECT_EQ(out.status, 2);
    EXPECT_NE(out.text.find("missing.bin: Bin file not valid. The *.bin file does not exist.\n"), std::string::npos)
        << out.text;
    {
        std::ofstream garbage(home + "/garbage.bin", std::ios::binary);
        garbage << std::string(256, '\x5A');
    }
    for (const char* mode : {"", "--info ", "--info --json "}) {
        out = upgrade(mode + home + "/garbage.bin");
        EXPECT_EQ(out.status, 2) << mode;
        EXPECT_EQ(out.text, "rs485-upgrade: " + home +
                                "/garbage.bin: Bin file not valid. Valid signature not found in the bin file.\n")
            << mode;
    }

    const std::string file = firmware("fw.bin", "--format legacy --version 1.5");
    out = upgrade("-p COM9 " + file);
    EXPECT_EQ(out.status, 2);
    EXPECT_NE(out.text.find("No serial device is COM9"), std::string::npos) << out.text;

    out = upgrade("-p /dev/rs485-no-such-port " + file);
    EXPECT_EQ(out.status, 2);
    EXPECT_NE(out.text.find("rs485-upgrade: /dev/rs485-no-such-port: no such device"), std::string::npos) << out.text;

    out = upgrade("--help");
    EXPECT_EQ(out.status, 0);
    EXPECT_NE(out.text.find("--restart-wait S"), std::string::npos);
}

} // namespace

// The "LOG_FILE" lock across threads and processes, and what the file writer
// does when it cannot be had.
#include "diagnostics/Globalfunctions.h"
#include "platform/NamedLock.h"
#include "unit/diagnostics/DiagnosticsTestSupport.h"

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr const char* APP = "Veltra - RS485 Firmware upgrader";

// A child process with two pipes: it tells the parent when it is ready and
// waits until the parent lets it go (closes its end).
class Child {
public:
    template <typename Fn>
    explicit Child(Fn body)
    {
        int ready[2], go[2];
        if (pipe(ready) != 0 || pipe(go) != 0)
            throw std::runtime_error("pipe failed");
        m_pid = fork();
        if (m_pid == 0) {
            close(ready[0]);
            close(go[1]);
            body([&] { char c = 1; (void)!write(ready[1], &c, 1); },
                 [&] { char c; while (read(go[0], &c, 1) > 0) {} });
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        m_ready = ready[0];
        m_go = go[1];
    }
    ~Child()
    {
        letGo();
        wait();
        if (m_ready >= 0)
            close(m_ready);
    }
    // Blocks until the child signalled (or ended); true when it signalled.
    bool waitReady()
    {
        char c;
        return read(m_ready, &c, 1) == 1;
    }
    void letGo()
    {
        if (m_go >= 0)
            close(m_go), m_go = -1;
    }
    int wait()
    {
        if (m_pid <= 0)
            return m_status;
        waitpid(m_pid, &m_status, 0);
        m_pid = -1;
        return m_status;
    }

private:
    pid_t m_pid = -1;
    int m_ready = -1;
    int m_go = -1;
    int m_status = 0;
};

using LogFileLock = DiagnosticsTest;

TEST_F(LogFileLock, LockFileIsNamedAfterLockAndUserInRuntimeDirectory)
{
    platform::NamedLock lock("LOG_FILE");
    ASSERT_TRUE(lock.ok());
    EXPECT_EQ(lock.path(), m_run.str() + "/LOG_FILE." + std::to_string(getuid()) + ".lock");
    EXPECT_TRUE(fs::exists(lock.path()));

    // Unset, or a folder others can write: the fallback (the data directory).
    const std::string inData = m_data.str() + "/LOG_FILE." + std::to_string(getuid()) + ".lock";
    {
        EnvOverride noRuntime("XDG_RUNTIME_DIR", nullptr);
        EXPECT_EQ(platform::NamedLock("LOG_FILE", m_data.str()).path(), inData);
    }
    fs::permissions(m_run.path(), fs::perms::all | fs::perms::sticky_bit);
    EXPECT_EQ(platform::NamedLock("LOG_FILE", m_data.str() + "/").path(), inData);
}

TEST_F(LogFileLock, ThreadsExcludeEachOtherAndOnlyTheHolderReleases)
{
    platform::NamedLock lock("LOG_FILE");
    EXPECT_FALSE(lock.release());
    ASSERT_EQ(lock.acquire(1000), platform::WAIT_OBJECT_0);
    uint32_t other = 0;
    bool otherReleased = true;
    std::thread([&] {
        other = lock.acquire(50);
        otherReleased = lock.release();
    }).join();
    EXPECT_EQ(other, platform::WAIT_TIMEOUT);
    EXPECT_FALSE(otherReleased);
    EXPECT_TRUE(lock.release());
    EXPECT_FALSE(lock.release());
    // A second object of the same name (another descriptor) is excluded by flock.
    platform::NamedLock second("LOG_FILE");
    ASSERT_EQ(lock.acquire(1000), platform::WAIT_OBJECT_0);
    EXPECT_EQ(second.acquire(30), platform::WAIT_TIMEOUT);
    EXPECT_TRUE(lock.release());
    EXPECT_EQ(second.acquire(1000), platform::WAIT_OBJECT_0);
    EXPECT_TRUE(second.release());
}

TEST_F(LogFileLock, HolderThatDiesMakesTheNextAcquireAbandoned)
{
    {
        Child child([](auto ready, auto) {
            platform::NamedLock lock("LOG_FILE");
            if (lock.acquire(1000) == platform::WAIT_OBJECT_0)
                ready();
            _exit(0); // dies holding it
        });
        ASSERT_TRUE(child.waitReady());
    }
    platform::NamedLock lock("LOG_FILE");
    EXPECT_EQ(lock.acquire(1000), platform::WAIT_ABANDONED);
    EXPECT_TRUE(lock.release());
    EXPECT_EQ(lock.acquire(1000), platform::WAIT_OBJECT_0);
    EXPECT_TRUE(lock.release());
}

TEST_F(LogFileLock, AbandonedLockWritesOwnFileWithPrefixAndReleasesNormally)
{
    installBridge();
    configureErrors(LOG_TO_FILE, m_data.str(), "App");
    {
        Child child([](auto ready, auto) {
            platform::NamedLock lock("LOG_FILE");
            if (lock.acquire(1000) == platform::WAIT_OBJECT_0)
                ready();
            _exit(0);
        });
        ASSERT_TRUE(child.waitReady());
    }
    EXPECT_FALSE(appendToLogFile("after a crash", true));
    EXPECT_TRUE(m_bridge.boxes().empty()) << "an abandoned lock is held and released normally";
    auto names = filesIn(m_data.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_GE(ownFileNumber(names[0], "Error_App_"), 1000000) << names[0];
    EXPECT_EQ(readFile(m_data.path() / names[0]), std::string(BOM) + header(true, "App") +
                                                      "Unable to write the log file (Mutex Abandoned)\r\n\r\n" +
                                                      "after a crash");
    EXPECT_TRUE(appendToLogFile("normal again", true));
    EXPECT_EQ(readFile(m_data.path() / "Error_App.log"), std::string(BOM) + header(true, "App") + "normal again");
}

TEST_F(LogFileLock, AnotherProcessHoldingItPastTheLimitSendsTheEntryToAFileOfItsOwn)
{
    installBridge();
    configureErrors(LOG_TO_FILE | LOG_TO_CONSOLE, m_data.str(), APP);
    configureLog(LOG_TO_FILE, 255, false, true, APP);
    Child holder([](auto ready, auto waitForGo) {
        platform::NamedLock lock("LOG_FILE");
        if (lock.acquire(1000) != platform::WAIT_OBJECT_0)
            _exit(1);
        ready();
        waitForGo();
        lock.release();
        _exit(0);
    });
    ASSERT_TRUE(holder.waitReady());

    const std::string entry = "14:05:09:007 - 0 -\r\nlate\tKWOCComT::Execute\r\n\r\n";
    EXPECT_FALSE(appendToLogFile(entry, true)); // waits the full 5000 ms
    holder.letGo();
    EXPECT_EQ(holder.wait(), 0);

    auto names = filesIn(m_data.path());
    ASSERT_EQ(names.size(), 1u);
    const long value = ownFileNumber(names[0], "Error_" + std::string(APP) + "_");
    EXPECT_GE(value, 1000000) << names[0];
    EXPECT_LT(value, 9999999);
    EXPECT_EQ(readFile(m_data.path() / names[0]),
              std::string(BOM) + header(true, APP) + "Unable to write the log file (Mutex Timeout)\r\n\r\n" + entry);

    auto boxes = m_bridge.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to release Mutex for Log File writing");
    EXPECT_EQ(boxes[0].caption, APP);
    EXPECT_EQ(boxes[0].icon, platform::MessageIcon::Warning);

    // Nothing was left locked in this process: the next entry goes to the shared file.
    EXPECT_TRUE(appendToLogFile("next", false));
    EXPECT_TRUE(fs::exists(m_data.path() / ("Error_" + std::string(APP) + ".log")));
}

TEST_F(LogFileLock, LockThatCannotBeCreatedIsReportedAndRetried)
{
    installBridge();
    const fs::path missing = m_run.path() / "not-yet";
    EnvOverride runtime("XDG_RUNTIME_DIR", missing.c_str());
    resetDiagnosticsForTesting();
    configureErrors(LOG_TO_FILE, m_data.str() + "/not-yet", "App");

    EXPECT_FALSE(appendToLogFile("first", true));
    auto boxes = m_bridge.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to Create Mutex for Log File writing");
    EXPECT_EQ(boxes[0].caption, "App");
    EXPECT_EQ(boxes[0].icon, platform::MessageIcon::Warning);
    EXPECT_TRUE(filesIn(m_data.path()).empty());

    fs::create_directory(m_data.path() / "not-yet");
    EXPECT_TRUE(appendToLogFile("second", true));
    EXPECT_EQ(readFile(m_data.path() / "not-yet" / "Error_App.log"),
              std::string(BOM) + header(true, "App") + "second");
}

// Another local user plants the lock file where it would be: in a folder
// others can write (the runtime folder), or in the data directory itself.
// Nothing of theirs is used or touched, no entry waits for them, and the
// warning names the file to remove once.
TEST_F(LogFileLock, LockFilePlantedByAnotherUserIsNeitherUsedNorWaitedFor)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const uid_t nobody = 65534;
    const std::string name = "LOG_FILE." + std::to_string(getuid()) + ".lock";
    struct Plant {
        const char* what;
        std::function<void(const fs::path&)> make; // run as nobody
    };
    const auto holdMarked = [](const fs::path& p) {
        int fd = open(p.c_str(), O_RDWR | O_CREAT, 0666);
        (void)!write(fd, "1", 1);
        flock(fd, LOCK_EX);
        return fd;
    };
    const std::vector<Plant> plants = {
        {"held", [&](const fs::path& p) { holdMarked(p); }},
        {"marked abandoned", [](const fs::path& p) {
             int fd = open(p.c_str(), O_RDWR | O_CREAT, 0666);
             (void)!write(fd, "1", 1);
             close(fd);
         }},
        {"a FIFO", [](const fs::path& p) { mkfifo(p.c_str(), 0666); }},
        {"a symbolic link", [](const fs::path& p) { (void)!symlink("/etc/passwd", p.c_str()); }},
        {"a hard link", [](const fs::path& p) {
             const fs::path own = p.string() + ".own";
             close(open(own.c_str(), O_RDWR | O_CREAT, 0666));
             (void)!link(own.c_str(), p.c_str());
         }},
    };
    for (bool inData : {false, true}) {
        for (const Plant& plant : plants) {
            const std::string row = std::string(plant.what) + (inData ? ", in the data directory" : ", runtime");
            TempDir data, shared;
            fs::permissions(shared.path(), fs::perms::all | fs::perms::sticky_bit);
            if (inData)
                fs::permissions(data.path(), fs::perms::all | fs::perms::sticky_bit);
            const fs::path planted = (inData ? data.path() : shared.path()) / name;
            EnvOverride runtime("XDG_RUNTIME_DIR", shared.str().c_str());
            Child other([&](auto ready, auto waitForGo) {
                if (setgid(nobody) != 0 || setuid(nobody) != 0)
                    _exit(1);
                plant.make(planted);
                ready();
                waitForGo();
                _exit(0);
            });
            ASSERT_TRUE(other.waitReady()) << row;
            struct stat before{};
            ASSERT_EQ(lstat(planted.c_str(), &before), 0) << row;

            resetDiagnosticsForTesting();
            installBridge();
            const size_t boxesBefore = m_bridge.boxes().size();
            configureErrors(LOG_TO_FILE, data.str(), "App");
            for (const char* entry : {"one", "two", "three"})
                EXPECT_TRUE(appendToLogFile(entry, true)) << row << ": " << entry;
            EXPECT_EQ(readFile(data.path() / "Error_App.log"), std::string(BOM) + header(true, "App") + "onetwothree")
                << row;
            const auto boxes = m_bridge.boxes();
            if (inData) {
                ASSERT_EQ(boxes.size(), boxesBefore + 1) << row;
                EXPECT_NE(boxes.back().text.find(planted.string() + " is not a regular file"), std::string::npos)
                    << boxes.back().text;
            } else {
                EXPECT_EQ(boxes.size(), boxesBefore) << row << ": the runtime folder is not used at all";
            }
            struct stat after{};
            ASSERT_EQ(lstat(planted.c_str(), &after), 0) << row;
            EXPECT_EQ(after.st_size, before.st_size) << row;
            EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << row;
            EXPECT_EQ(after.st_uid, nobody) << row;
            other.letGo();
            EXPECT_EQ(other.wait(), 0) << row;
            platform::UiBridge::install(nullptr);
        }
    }
}

// Every entry of the concurrent writers: "<writer> <index> <payload>\r\n\r\n".
void checkWholeEntries(const std::string& content, const std::vector<std::string>& writers, int perWriter)
{
    const std::string head = std::string(BOM) + header(false, "App");
    ASSERT_EQ(content.compare(0, head.size(), head), 0);
    const std::string payload(1500, '#');
    std::map<std::string, int> next;
    size_t pos = head.size();
    int entries = 0;
    while (pos < content.size()) {
        size_t end = content.find("\r\n\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "cut entry at " << pos;
        std::istringstream fields(content.substr(pos, end - pos));
        std::string writer, rest;
        int index = -1;
        fields >> writer >> index >> rest;
        ASSERT_EQ(rest, payload) << "interleaved entry at " << pos;
        ASSERT_EQ(index, next[writer]++) << "writer " << writer;
        pos = end + 4;
        ++entries;
    }
    EXPECT_EQ(entries, static_cast<int>(writers.size()) * perWriter);
    for (const auto& w : writers)
        EXPECT_EQ(next[w], perWriter) << w;
}

void writeEntries(const std::string& writer, int count)
{
    const std::string payload(1500, '#');
    for (int i = 0; i < count; ++i)
        writeLog("f", 1, "g", LOG_OUTPUTS_BY_LEVEL, 1, 0, writer + " " + std::to_string(i) + " " + payload);
}

TEST_F(LogFileLock, TwoProcessesWriteWholeEntriesIntoOneFile)
{
    configureErrors(LOG_TO_CONSOLE, m_data.str(), "App");
    configureLog(LOG_TO_FILE, 255, false, false, "App");
    constexpr int PER_WRITER = 1000;
    {
        auto body = [](const char* name) {
            return [name](auto ready, auto waitForGo) {
                ready();
                waitForGo(); // both start together
                writeEntries(name, PER_WRITER);
            };
        };
        Child a(body("A"));
        Child b(body("B"));
        ASSERT_TRUE(a.waitReady());
        ASSERT_TRUE(b.waitReady());
        a.letGo();
        b.letGo();
        EXPECT_EQ(a.wait(), 0);
        EXPECT_EQ(b.wait(), 0);
    }
    EXPECT_EQ(filesIn(m_data.path()), std::vector<std::string>{"Log_App.log"});
    checkWholeEntries(readFile(m_data.path() / "Log_App.log"), {"A", "B"}, PER_WRITER);
}

TEST_F(LogFileLock, ThreadsOfOneProcessWriteWholeEntries)
{
    configureErrors(LOG_TO_CONSOLE, m_data.str(), "App");
    configureLog(LOG_TO_FILE, 255, false, false, "App");
    const std::vector<std::string> writers{"T1", "T2", "T3", "T4"};
    std::vector<std::thread> threads;
    for (const auto& w : writers)
        threads.emplace_back(writeEntries, w, 250);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(filesIn(m_data.path()), std::vector<std::string>{"Log_App.log"});
    checkWholeEntries(readFile(m_data.path() / "Log_App.log"), writers, 250);
}

} // namespace

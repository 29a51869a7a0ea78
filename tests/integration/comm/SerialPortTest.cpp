#include "integration/comm/Pty.h"
#include "platform/SerialPort.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using platform::SerialPort;

namespace {

std::vector<uint8_t> readPort(SerialPort& port, size_t n)
{
    std::vector<uint8_t> got;
    eventually([&] {
        uint8_t buffer[256];
        const long r = port.read(buffer, sizeof buffer);
        if (r > 0)
            got.insert(got.end(), buffer, buffer + r);
        return got.size() >= n || r < 0;
    });
    return got;
}

TEST(SerialPort, RawLineAtAnyBaudRateAndBothStopBits)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    // Bytes a cooked line would translate or act on: CR, LF, ^C, ^S, ^Q, DEL, 0xFF.
    const std::vector<uint8_t> special = {0x0D, 0x0A, 0x03, 0x13, 0x11, 0x7F, 0xFF, 0x00, 0x55};
    for (auto [baud, stopBits] : {std::pair{9600u, 1u}, std::pair{115200u, 2u}, std::pair{1000u, 1u},
                                  std::pair{250000u, 1u}, std::pair{4000000u, 2u}}) {
        SCOPED_TRACE(baud);
        SerialPort port;
        ASSERT_TRUE(port.open(pty.device())) << port.errorText();
        ASSERT_TRUE(port.configure(baud, stopBits)) << port.errorText();
        uint8_t nothing[8];
        EXPECT_EQ(port.read(nothing, sizeof nothing), 0); // idle: 0 bytes, no failure
        ASSERT_TRUE(pty.send(special));
        EXPECT_EQ(readPort(port, special.size()), special);
        ASSERT_TRUE(port.writeAll(special.data(), special.size()));
        EXPECT_EQ(pty.readExactly(special.size()), special);
        EXPECT_TRUE(port.close());
    }
    SerialPort port;
    ASSERT_TRUE(port.open(pty.device()));
    EXPECT_FALSE(port.configure(0, 1));
    EXPECT_EQ(port.status(), SerialPort::Status::SettingsRejected);
    EXPECT_FALSE(port.configure(9600, 3));
}

TEST(SerialPort, FailuresSayWhyInOperatorWords)
{
    SerialPort port;
    EXPECT_FALSE(port.open("/dev/rs485-no-such-port"));
    EXPECT_EQ(port.status(), SerialPort::Status::NoSuchDevice);
    EXPECT_EQ(port.errorText(), "/dev/rs485-no-such-port: no such device");
    EXPECT_FALSE(port.isOpen());

    EXPECT_FALSE(port.open("/dev/null"));
    EXPECT_EQ(port.status(), SerialPort::Status::NotASerialDevice);

    // An ordinary user without access to the device.
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(chmod(pty.device().c_str(), 0600), 0);
    const std::string device = pty.device();
    const int code = runInChild([&] {
        if (!dropToNobody())
            return 10;
        SerialPort p;
        if (p.open(device))
            return 11;
        if (p.status() != SerialPort::Status::PermissionDenied)
            return 12;
        return p.errorText().find("permission denied") != std::string::npos &&
                       p.errorText().find("dialout") != std::string::npos
                   ? 0
                   : 13;
    });
    EXPECT_EQ(code, 0);
}

TEST(SerialPort, PortHeldByAnotherProcessIsRefused)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const std::string device = pty.device();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Another program holding the port the usual way.
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0;
        char c = held ? 1 : 0;
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 1);

    SerialPort port;
    EXPECT_FALSE(port.open(device));
    EXPECT_EQ(port.status(), SerialPort::Status::InUse);
    EXPECT_EQ(port.errorText(), device + ": in use by another program");
    std::string reason;
    EXPECT_FALSE(SerialPort::probe(device, &reason));

    char c = 0;
    (void)!write(release[1], &c, 1);
    int status = 0;
    waitpid(pid, &status, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);
    EXPECT_TRUE(port.open(device)) << port.errorText();
}

TEST(SerialPort, OrdinaryUserReopensAfterCloseWhileFarEndStaysOpen)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.closeSlave(); // only the far end keeps the terminal alive, as the simulator does
    {
        SerialPort port;
        ASSERT_TRUE(port.open(pty.device())) << port.errorText();
        ASSERT_TRUE(port.configure(115200, 1));
        ASSERT_TRUE(port.close());
    }
    const std::string device = pty.device();
    const int code = runInChild([&] {
        if (!dropToNobody())
            return 10;
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 ? 0 : (errno == EBUSY ? 20 : 21);
    });
    EXPECT_EQ(code, 0) << "20: the exclusive flag outlived the close";
}

TEST(SerialPort, HangUpIsAFailedReadNotAnEmptyOne)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_TRUE(port.open(pty.device()));
    ASSERT_TRUE(port.configure(115200, 1));
    uint8_t buffer[16];
    EXPECT_EQ(port.read(buffer, sizeof buffer), 0);
    ASSERT_TRUE(pty.send({1, 2, 3}));
    EXPECT_EQ(readPort(port, 3), (std::vector<uint8_t>{1, 2, 3}));
    pty.closeMaster();
    // The terminal now reads 0 bytes; only the poll flags tell the line is gone.
    std::string why;
    EXPECT_EQ(port.read(buffer, sizeof buffer, &why), -1);
    EXPECT_EQ(why, "the line hung up");
    EXPECT_FALSE(port.writeAll(buffer, 3, &why));
    EXPECT_TRUE(port.close());
}

TEST(SerialPort, WriteSendsEveryByteOfALongBuffer)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port;
    ASSERT_TRUE(port.open(pty.device()));
    ASSERT_TRUE(port.configure(115200, 1));
    std::vector<uint8_t> data(60000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> received;
    std::thread farEnd([&] { received = pty.readExactly(data.size(), std::chrono::milliseconds(10000)); });
    // Far more than the terminal buffers: the driver takes it in pieces.
    EXPECT_TRUE(port.writeAll(data.data(), data.size()));
    farEnd.join();
    EXPECT_EQ(received, data);
}

// A driver that takes or refuses TIOCGSERIAL/TIOCSSERIAL, in place of a
// USB serial adapter (a pseudo-terminal refuses both with ENOTTY).
class FakeDriver final : public platform::SerialDriver {
public:
    int getSerial(int, serial_struct& info) const override
    {
        if (getError != 0)
            return getError;
        info = serial_struct{};
        info.flags = flags;
        return 0;
    }
    int setSerial(int, const serial_struct& info) const override
    {
        ++sets;
        if (setError != 0)
            return setError;
        flags = info.flags;
        return 0;
    }
    int getError = 0;
    int setError = 0;
    mutable int flags = 0;
    mutable int sets = 0;
};

TEST(SerialPort, LowLatencyWhileOpenWhereTheDriverTakesIt)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    constexpr int OTHER = ASYNC_SKIP_TEST; // a flag of the driver's own that must survive
    constexpr int LOW = ASYNC_LOW_LATENCY;
    struct Case {
        const char* name;
        int getError;
        int setError;
        int before;
        int whileOpen;
        int afterClose;
    } cases[] = {
        {"not a serial driver (pty)", ENOTTY, 0, OTHER, OTHER, OTHER},
        {"refused", 0, EPERM, OTHER, OTHER, OTHER},
        {"taken", 0, 0, OTHER, OTHER | LOW, OTHER},
        {"already on", 0, 0, OTHER | LOW, OTHER | LOW, OTHER | LOW},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver driver;
        driver.getError = c.getError;
        driver.setError = c.setError;
        driver.flags = c.before;
        SerialPort port(driver);
        ASSERT_TRUE(port.open(pty.device())) << port.errorText();
        ASSERT_TRUE(port.configure(115200, 1)) << port.errorText();
        EXPECT_EQ(driver.flags, c.whileOpen);
        // The port works whatever the driver said.
        ASSERT_TRUE(pty.send({1, 2, 3}));
        EXPECT_EQ(readPort(port, 3), (std::vector<uint8_t>{1, 2, 3}));
        const uint8_t out[] = {4, 5};
        ASSERT_TRUE(port.writeAll(out, sizeof out));
        EXPECT_EQ(pty.readExactly(2), (std::vector<uint8_t>{4, 5}));
        EXPECT_TRUE(port.close());
        EXPECT_EQ(driver.flags, c.afterClose);
    }
    // Opening only to see whether the port can be used leaves the driver alone.
    FakeDriver driver;
    SerialPort port(driver);
    ASSERT_TRUE(port.open(pty.device(), /*lowLatency=*/false));
    EXPECT_TRUE(port.close());
    EXPECT_EQ(driver.sets, 0);
}

} // namespace

#pragma once
// A serial line over termios: exclusive use, raw 8 data bits, no parity, 1 or
// 2 stop bits, any baud rate, reads that return at once with what is there,
// writes that send every byte. The serial stack and the wake-up burst reach a
// port only through this class.
#include <array>
#include <cstddef>
#include <cstdint>
#include <linux/serial.h>
#include <string>

namespace platform {

// The driver's serial settings (TIOCGSERIAL, TIOCSSERIAL), through which a
// port is asked for low latency. A seam: no pseudo-terminal takes these
// ioctls, so tests stand in for a driver that does. Each returns 0 or an
// errno value.
class SerialDriver {
public:
    virtual ~SerialDriver() = default;
    virtual int getSerial(int fd, serial_struct& info) const;
    virtual int setSerial(int fd, const serial_struct& info) const;
    // The kernel's.
    static const SerialDriver& system();
};

class SerialPort final {
public:
    // Why the last operation failed, for the operator and for tests.
    enum class Status {
        Ok,
        NoSuchDevice,
        PermissionDenied,
        InUse,
        NotASerialDevice,
        SettingsRejected,
        LineFailed, // read or write error, hang-up
        Failed,     // anything else
    };

    // The line settings found at opening, restored on close. Opaque here: the
    // kernel's termios2 only exists in the file that sets the speed.
    struct SavedLine {
        alignas(8) std::array<unsigned char, 64> bytes{};
        bool valid = false;
    };

    explicit SerialPort(const SerialDriver& driver = SerialDriver::system()) : m_driver(&driver) {}
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device for reading and writing, for this program alone; the
    // line settings are left as they are (saved for the close). False with
    // status() and errorText() on failure; nothing stays open then.
    // lowLatency: where the driver knows it, the port is asked for low
    // latency (a USB adapter then hands bytes over after 1 ms instead of
    // 16 ms) and put back on close; a port that refuses is used as it is.
    bool open(const std::string& path, bool lowLatency = true);
    // Raw mode, 8 data bits, no parity, stopBits (1 or 2), the baud rate
    // (any value above 0). The settings are read back: a setting the driver
    // ignored fails here. Input already waiting is then discarded.
    bool configure(uint32_t baud, uint32_t stopBits);
    bool isOpen() const { return m_fd >= 0; }

    // read and writeAll may run at the same time on two threads; open,
    // configure and close run alone. Neither changes status() or errorText():
    // the cause of a failure goes to *why when given.
    //
    // Reads at most size bytes of what the port holds, without waiting.
    // Returns the number of bytes (0 when nothing is there) or -1 when the
    // line failed or hung up.
    long read(uint8_t* buffer, size_t size, std::string* why = nullptr) const;
    // Bytes received and not read yet; -1 when the driver cannot tell.
    long bytesWaiting() const;
    // Sends every byte, waiting while the driver's buffer is full, at most
    // timeLimitMs in all (negative: no limit). A line whose output cannot
    // drain (a stuck adapter, output suspended, a far end that stops
    // reading) fails at the limit; what it still held of the bytes is
    // discarded, so no half frame goes out later.
    bool writeAll(const uint8_t* data, size_t count, std::string* why = nullptr, int timeLimitMs = -1) const;
    // Restores the saved settings, gives up exclusive use and closes. False
    // when close() itself failed (the descriptor is released all the same).
    bool close();

    Status status() const { return m_status; }
    // Operator-readable reason of the last failure: path and cause.
    const std::string& errorText() const { return m_errorText; }
    const std::string& path() const { return m_path; }
    int fd() const { return m_fd; }

    // Opens and closes again at once: true when the device could be used now.
    // Does not change the line settings.
    static bool probe(const std::string& path, std::string* reason = nullptr, Status* status = nullptr);

private:
    bool fail(Status status, const std::string& cause);
    bool failErrno(int error, const char* what);
    void requestLowLatency();
    void restoreLowLatency();

    const SerialDriver* m_driver;
    bool m_lowLatencySet = false; // this object switched it on: off again on close
    int m_fd = -1;
    std::string m_path;
    SavedLine m_saved;
    Status m_status = Status::Ok;
    std::string m_errorText;
};

// The termios2 side (SerialPortSpeed.cpp): <asm/termbits.h> cannot share a
// file with <termios.h>. Each returns 0 or an errno value.
namespace serial_line {
int save(int fd, SerialPort::SavedLine& saved);
int restore(int fd, const SerialPort::SavedLine& saved);
// Applies raw 8N1/8N2 at baud and reads it back; on a mismatch returns
// EIO and describes it in mismatch.
int apply(int fd, uint32_t baud, uint32_t stopBits, std::string& mismatch);
} // namespace serial_line

} // namespace platform

#pragma once
// Request frames and firmware images for the simulator's tests, written from
// the layout by hand: nothing here comes from the tool's own frame code.
#include "sim/Bus.h"
#include "sim/Firmware.h"

#include <chrono>
#include <cstring>
#include <string_view>

namespace simtest {

using sim::Bytes;

inline Bytes hexBytes(std::string_view text)
{
    Bytes out;
    unsigned value = 0;
    int digits = 0;
    for (char c : text) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            continue;
        value = value << 4 | unsigned(d);
        if (++digits == 2) {
            out.push_back(uint8_t(value));
            value = 0;
            digits = 0;
        }
    }
    return out;
}

inline uint8_t sum8(const Bytes& b, std::size_t from = 0)
{
    unsigned s = 0;
    for (std::size_t i = from; i < b.size(); ++i)
        s += b[i];
    return uint8_t(s);
}

// A direct request: destination, 0x10, length, payload, E3, checksum.
inline Bytes request(uint8_t dest, const Bytes& payload)
{
    Bytes f{dest, 0x10, uint8_t(payload.size() + 2)};
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(0xE3);
    f.push_back(sum8(f));
    return f;
}

inline Bytes pointerWrite(uint32_t word)
{
    return {0x46, 0x1C, uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24), 0x55, 0xAA};
}

inline Bytes writeBlockPayload(uint32_t block, const uint8_t* data)
{
    Bytes p = pointerWrite(block * 64 + 0x02);
    for (int j = 0; j < 4; ++j) {
        p.push_back(0x50);
        p.push_back(uint8_t(0x18 + j));
        p.insert(p.end(), data + 16 * j, data + 16 * j + 16);
    }
    p.insert(p.end(), {0x40, 0x1D, 0x06, 0x1C});
    return p;
}

inline Bytes readBlockPayload(uint32_t block)
{
    Bytes p = pointerWrite(block * 64 + 0x01);
    p.insert(p.end(), {0x40, 0x1D, 0x10, 0x18, 0x10, 0x19, 0x10, 0x1A, 0x10, 0x1B});
    return p;
}

inline Bytes commandPayload(uint32_t word)
{
    Bytes p = pointerWrite(word);
    p.insert(p.end(), {0x40, 0x1D});
    return p;
}

const Bytes TYPE_VERSION_READ{0x04, 0x00, 0x04, 0x01};
const Bytes STATUS_POLL{0x06, 0x1C};

// Answer of a direct request: status byte of a write-block answer, the
// 64 bytes of a read-back, the 4 version bytes of a type/version read.
inline uint8_t statusOf(const Bytes& answer) { return answer.at(5) & 0x0F; }
inline Bytes versionBytesOf(const Bytes& answer) { return Bytes(answer.begin() + 11, answer.begin() + 15); }
inline Bytes readBackOf(const Bytes& answer)
{
    Bytes data;
    for (int j = 0; j < 4; ++j) {
        const auto at = answer.begin() + 3 + j * 18 + 2;
        data.insert(data.end(), at, at + 16);
    }
    return data;
}

inline void put32(Bytes& b, std::size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

inline void putText(Bytes& b, std::size_t at, std::string_view text)
{
    std::memcpy(b.data() + at, text.data(), text.size());
}

inline Bytes padded(Bytes image)
{
    image.resize((image.size() / 64) * 64 + 64, 0xFF);
    return image;
}

// Single image of a legacy file: 55 AA, the file from 16 bytes before "Veltra".
inline Bytes legacyImage(uint8_t major, uint8_t minor, bool withHardware, std::size_t codeSize = 300)
{
    Bytes image(2 + 16 + 18 + codeSize, 0x5A);
    image[0] = 0x55;
    image[1] = 0xAA;
    putText(image, 18, "Veltra");
    // Group A: hardware limit 2.9 then firmware major, minor; or, with a 0 in
    // front, the firmware version word big-endian.
    const Bytes groupA = withHardware ? Bytes{0x02, 0x09, major, minor} : Bytes{0x00, major, 0x00, minor};
    std::copy(groupA.begin(), groupA.end(), image.begin() + 18 + 10);
    return padded(image);
}

// Single image of a 32-bit file: the 36-byte header at 0.
inline Bytes bits32Image(uint8_t major, uint8_t minor, bool withHardware, std::size_t codeSize = 300)
{
    Bytes image(36 + codeSize, 0x3C);
    put32(image, 0, 36);
    putText(image, 4, "Veltra32");
    put32(image, 12, 0x00120004);
    if (withHardware)
        put32(image, 16, uint32_t(minor) | uint32_t(major) << 8 | 0x09u << 16 | 0x02u << 24);
    else
        put32(image, 16, uint32_t(major) << 16 | minor);
    return padded(image);
}

// Little-code image: "VltSD", processor, two bytes, then little code with the
// LT header on a 4-byte step, then (standing in for the BL page) filler.
inline Bytes littleImage(uint8_t major, uint8_t minorWithBit, std::size_t ltHeaderAt = 0x100)
{
    Bytes image(8 + 0x400 + 4096, 0x11);
    putText(image, 0, "VltSD");
    image[5] = 1;
    image[6] = 13;
    image[7] = 2;
    put32(image, ltHeaderAt, 36);
    putText(image, ltHeaderAt + 4, "VltLt");
    image[ltHeaderAt + 16] = minorWithBit;
    image[ltHeaderAt + 17] = major;
    return padded(image);
}

// Big-code image with its length field and checksum filled in as the tool does.
inline Bytes bigImage(uint8_t major, uint8_t minor, std::size_t length = 0x1018)
{
    Bytes image(length, 0);
    for (std::size_t i = 36; i < length; ++i)
        image[i] = uint8_t(i * 7 + 3);
    put32(image, 0, 36);
    putText(image, 4, "VltBg");
    image[9] = 1;
    image[11] = 3;
    put32(image, 12, 0x00120004);
    image[16] = minor;
    image[17] = major;
    put32(image, 24, uint32_t(length));
    const uint64_t sum = sim::imageChecksum(image, length, 36);
    put32(image, 28, uint32_t(sum));
    put32(image, 32, uint32_t(sum >> 32));
    return padded(image);
}

// A bus served without a line: bytes in, answers out, time stepped by hand.
class Harness {
public:
    explicit Harness(std::chrono::milliseconds restart = std::chrono::milliseconds(2000))
        : bus(restart)
    {
    }

    // Every answer the bytes caused (usually none or one). Requests are apart
    // in time, as the tool's are: the silence before them ends any cut frame.
    std::vector<Bytes> send(const Bytes& bytes)
    {
        auto answers = bus.lineIdle(now);
        auto more = bus.receive(bytes, now);
        answers.insert(answers.end(), more.begin(), more.end());
        return answers;
    }
    // The single answer, or an empty frame when there was none.
    Bytes ask(const Bytes& bytes)
    {
        auto answers = send(bytes);
        return answers.empty() ? Bytes{} : answers.front();
    }
    void advance(std::chrono::milliseconds ms) { now += ms; }

    // Writes the image block by block, polling while busy; the statuses seen.
    std::vector<uint8_t> upload(uint8_t dest, const Bytes& image, int maxPolls = 10)
    {
        std::vector<uint8_t> statuses;
        for (uint32_t block = 0; block * 64 < image.size(); ++block) {
            Bytes answer = ask(request(dest, writeBlockPayload(block, image.data() + block * 64)));
            if (answer.empty())
                return statuses;
            statuses.push_back(statusOf(answer));
            for (int poll = 0; statuses.back() == 14 && poll < maxPolls; ++poll) {
                answer = ask(request(dest, STATUS_POLL));
                statuses.push_back(statusOf(answer));
            }
        }
        return statuses;
    }

    Bytes readBack(uint8_t dest, std::size_t size)
    {
        Bytes data;
        for (uint32_t block = 0; block * 64 < size; ++block) {
            Bytes answer = ask(request(dest, readBlockPayload(block)));
            if (answer.size() != 77)
                return data;
            Bytes slice = readBackOf(answer);
            data.insert(data.end(), slice.begin(), slice.end());
        }
        return data;
    }

    // Version bytes b0..b3, or nothing when the device is silent.
    Bytes version(uint8_t dest)
    {
        Bytes answer = ask(request(dest, TYPE_VERSION_READ));
        return answer.size() == 17 ? versionBytesOf(answer) : Bytes{};
    }

    sim::Bus bus;
    sim::Clock::time_point now = sim::Clock::now();
};

} // namespace simtest

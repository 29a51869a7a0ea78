#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// Modulo-256 sum, the checksum of every frame level.
uint8_t frameChecksum(std::span<const uint8_t> bytes);

// True when bytes are one whole frame level: addresses, a one-byte length
// that matches the size, 0xE3 and a correct checksum.
bool isWellFormedFrame(std::span<const uint8_t> bytes);

// Finds request frames in the bytes of the line, as a device's receiver does:
// a frame is two address bytes, a length byte L and L more bytes ending in
// 0xE3 and the checksum. Anything else is garbage: the parser drops one byte
// and looks again, so it finds the next good frame after noise, a cut frame
// or a bad checksum. Requests never use the long length form, so a length
// byte with bit 7 set is garbage too.
class FrameParser {
public:
    void push(std::span<const uint8_t> bytes);
    // The next complete well-formed frame, whoever it is addressed to.
    std::optional<Bytes> next();
    // After a silence on the line: a frame that is still incomplete will not
    // be completed, so look for frames after its first byte.
    void dropStale();
    bool pending() const { return !m_buffer.empty(); }
    std::size_t droppedBytes() const { return m_dropped; }

private:
    Bytes m_buffer;
    std::size_t m_dropped = 0;
};

} // namespace sim

#include "sim/FrameParser.h"

#include "sim/Protocol.h"

#include <numeric>

namespace sim {

namespace {
constexpr std::size_t HEADER_SIZE = 3;   // destination, source, length
constexpr std::size_t MIN_LENGTH = 2;    // 0xE3 and checksum
constexpr uint8_t LONG_LENGTH_BIT = 0x80;
} // namespace

uint8_t frameChecksum(std::span<const uint8_t> bytes)
{
    return uint8_t(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

bool isWellFormedFrame(std::span<const uint8_t> bytes)
{
    if (bytes.size() < HEADER_SIZE + MIN_LENGTH)
        return false;
    const uint8_t length = bytes[2];
    if ((length & LONG_LENGTH_BIT) || HEADER_SIZE + length != bytes.size())
        return false;
    return bytes[bytes.size() - 2] == END_OF_FRAME
        && frameChecksum(bytes.first(bytes.size() - 1)) == bytes.back();
}

void FrameParser::push(std::span<const uint8_t> bytes)
{
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

std::optional<Bytes> FrameParser::next()
{
    while (m_buffer.size() >= HEADER_SIZE) {
        const uint8_t length = m_buffer[2];
        const std::size_t total = HEADER_SIZE + length;
        const bool plausible = !(length & LONG_LENGTH_BIT) && length >= MIN_LENGTH;
        if (plausible && m_buffer.size() < total)
            return std::nullopt; // wait for the rest
        if (plausible && isWellFormedFrame(std::span(m_buffer).first(total))) {
            Bytes frame(m_buffer.begin(), m_buffer.begin() + long(total));
            m_buffer.erase(m_buffer.begin(), m_buffer.begin() + long(total));
            return frame;
        }
        m_buffer.erase(m_buffer.begin());
        ++m_dropped;
    }
    return std::nullopt;
}

void FrameParser::dropStale()
{
    if (m_buffer.empty())
        return;
    m_buffer.erase(m_buffer.begin());
    ++m_dropped;
}

} // namespace sim

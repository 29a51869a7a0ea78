#include "sim/Firmware.h"

#include "sim/Protocol.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace sim {

namespace {

constexpr std::string_view SIG_LEGACY = "Veltra";
constexpr std::string_view SIG_32BITS = "Veltra32";
constexpr std::string_view SIG_LITTLE_IMAGE = "VltSD";
constexpr std::string_view SIG_LITTLE = "VltLt";
constexpr std::string_view SIG_BIG = "VltBg";
constexpr std::size_t HEADER_SIZE = 36;
constexpr std::size_t SIG_OFFSET = 4;          // signature after the header-size field
constexpr std::size_t VERSION_OFFSET = 16;     // from the header start (32-bit and sections)
constexpr std::size_t LENGTH_OFFSET = 24;
constexpr std::size_t CHECKSUM_OFFSET = 28;
constexpr std::size_t LEGACY_MARK_SIZE = 2;    // 55 AA
constexpr std::size_t LEGACY_GROUP_A = 10;     // from the signature
constexpr std::size_t LITTLE_CODE_FROM = 8;    // after "VltSD", processor and two bytes

bool hasAt(std::span<const uint8_t> image, std::size_t at, std::string_view sig)
{
    return at + sig.size() <= image.size()
        && std::memcmp(image.data() + at, sig.data(), sig.size()) == 0;
}

uint32_t le32(std::span<const uint8_t> b, std::size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

uint64_t le64(std::span<const uint8_t> b, std::size_t at)
{
    return uint64_t(le32(b, at)) | uint64_t(le32(b, at + 4)) << 32;
}

Version fromWord(uint32_t word)
{
    return Version{uint16_t(word >> 16), uint16_t(word & 0xFFFF)};
}

ImageInfo legacy(std::span<const uint8_t> image)
{
    ImageInfo info;
    info.kind = ImageKind::Legacy;
    // The file part starts after the mark; its header sits on a 4-byte step of it.
    for (std::size_t at = LEGACY_MARK_SIZE; at + SIG_LEGACY.size() + LEGACY_GROUP_A + 4 <= image.size(); at += 4) {
        if (!hasAt(image, at, SIG_LEGACY))
            continue;
        const auto a = image.subspan(at + LEGACY_GROUP_A, 4);
        if (a[0] != 0) // hardware limit in front: firmware major, minor in the last two bytes
            info.version = Version{a[2], a[3]};
        else
            info.version = fromWord(uint32_t(a[0]) << 24 | uint32_t(a[1]) << 16 | uint32_t(a[2]) << 8 | a[3]);
        info.valid = true;
        return info;
    }
    info.problem = "no \"Veltra\" header";
    return info;
}

ImageInfo bits32(std::span<const uint8_t> image)
{
    ImageInfo info;
    info.kind = ImageKind::Bits32;
    if (image.size() < HEADER_SIZE) {
        info.problem = "header cut short";
        return info;
    }
    const auto a = image.subspan(VERSION_OFFSET, 4);
    info.version = a[3] != 0 ? Version{a[1], a[0]} : fromWord(le32(image, VERSION_OFFSET));
    info.valid = true;
    return info;
}

ImageInfo littleCode(std::span<const uint8_t> image)
{
    ImageInfo info;
    info.kind = ImageKind::LittleCode;
    for (std::size_t at = LITTLE_CODE_FROM; at + SIG_LITTLE.size() <= image.size(); at += 4) {
        const std::size_t header = at - SIG_OFFSET;
        if (!hasAt(image, at, SIG_LITTLE) || header + VERSION_OFFSET + 2 > image.size())
            continue;
        info.version = Version{image[header + VERSION_OFFSET + 1],
                               uint16_t(image[header + VERSION_OFFSET] & ~LITTLE_CODE_BIT)};
        info.valid = true;
        return info;
    }
    info.problem = "no \"VltLt\" header in the little code";
    return info;
}

ImageInfo bigCode(std::span<const uint8_t> image)
{
    ImageInfo info;
    info.kind = ImageKind::BigCode;
    if (image.size() < HEADER_SIZE || le32(image, 0) != HEADER_SIZE) {
        info.problem = "bad header";
        return info;
    }
    info.version = Version{image[VERSION_OFFSET + 1], image[VERSION_OFFSET]};
    info.length = le32(image, LENGTH_OFFSET);
    if (info.length < HEADER_SIZE || info.length > image.size()) {
        info.problem = "code length " + std::to_string(info.length) + " outside the received "
            + std::to_string(image.size()) + " bytes";
        return info;
    }
    if (imageChecksum(image, info.length, HEADER_SIZE) != le64(image, CHECKSUM_OFFSET)) {
        info.problem = "checksum wrong";
        return info;
    }
    info.valid = true;
    return info;
}

} // namespace

uint64_t imageChecksum(std::span<const uint8_t> image, std::size_t end, std::size_t start)
{
    end = std::min(end, image.size());
    if (start >= end)
        return 0;
    auto byteOrFill = [&](std::size_t at) -> uint32_t {
        return at >= start && at < end ? image[at] : 0xFF;
    };
    auto wordAt = [&](std::size_t at) {
        return byteOrFill(at) | byteOrFill(at + 1) << 8 | byteOrFill(at + 2) << 16 | byteOrFill(at + 3) << 24;
    };
    uint64_t sum = 0;
    for (std::size_t at = start - start % 4; at < end; at += 4)
        sum += wordAt(at);
    return sum;
}

ImageInfo inspectImage(std::span<const uint8_t> image)
{
    if (hasAt(image, 0, SIG_LITTLE_IMAGE))
        return littleCode(image);
    if (hasAt(image, SIG_OFFSET, SIG_BIG))
        return bigCode(image);
    if (hasAt(image, SIG_OFFSET, SIG_32BITS))
        return bits32(image);
    if (image.size() >= LEGACY_MARK_SIZE && image[0] == FLASH_MARKER_0 && image[1] == FLASH_MARKER_1)
        return legacy(image);
    ImageInfo info;
    info.problem = "unknown image";
    return info;
}

std::string_view imageKindName(ImageKind kind)
{
    switch (kind) {
    case ImageKind::Legacy: return "legacy";
    case ImageKind::Bits32: return "32-bit";
    case ImageKind::LittleCode: return "little code";
    case ImageKind::BigCode: return "big code";
    case ImageKind::Unknown: break;
    }
    return "unknown";
}

} // namespace sim

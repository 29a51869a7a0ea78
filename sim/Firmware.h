#pragma once
#include "sim/Version.h"

#include <cstdint>
#include <span>
#include <string>

namespace sim {

// What a device's boot code makes of an uploaded image when told to flash it.
enum class ImageKind {
    Unknown,    // nothing it recognises: the code does not start
    Legacy,     // 55 AA, then the file from 16 bytes before "Veltra"
    Bits32,     // 36-byte header at 0, "Veltra32" at 4
    LittleCode, // "VltSD" at 0, the "VltLt" header inside
    BigCode,    // 36-byte header at 0, "VltBg" at 4, length at 24, checksum at 28
};

struct ImageInfo {
    ImageKind kind = ImageKind::Unknown;
    bool valid = false;     // the code would start
    Version version;        // firmware version from the header (little code: minor without bit 7)
    std::size_t length = 0; // bytes the image itself says it has (BigCode), else 0
    std::string problem;    // why it would not start
};

// 64-bit sum of 32-bit little-endian words from start to end; bytes outside
// [start, end) in a partial first or last word count as 0xFF.
uint64_t imageChecksum(std::span<const uint8_t> image, std::size_t end, std::size_t start);

// Looks at the uploaded bytes like a boot loader would: signatures at fixed
// places, headers searched for at 4-byte steps.
ImageInfo inspectImage(std::span<const uint8_t> image);

std::string_view imageKindName(ImageKind kind);

} // namespace sim

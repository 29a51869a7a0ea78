#pragma once
// Upload images built from a loaded firmware file. Each image is a byte
// vector whose size is a multiple of 64, padded with 0xFF (empty flash).
#include "engine/BinFile.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

using KWOImage = std::vector<uint8_t>;

constexpr int32_t BLOCK_SIZE = 64;
// Flash page of the sectioned layout, and where its little code begins.
constexpr int32_t PAGE_SIZE = 4096;
constexpr int32_t LITTLE_CODE_START = 4096;
// File offset of the scrambled value that goes into the little-code image header.
constexpr uint32_t LITTLE_VALUE_OFFSET = 0x3014;
// Image sizes are int32 in the engine (m_nFatBufferSize): no image may exceed this.
constexpr uint64_t MAX_IMAGE_SIZE = 0x7FFFFFFF;
// Reported when a file's image would exceed MAX_IMAGE_SIZE (reader and builders).
constexpr const char* TEXT_FILE_TOO_BIG = "Bin file too big.";
// The padding byte of every image.
constexpr uint8_t IMAGE_FILL = 0xFF;

// Size of an image holding `contentLength` bytes: the next multiple of 64
// strictly above it (128 gives 192). Computed in 64 bits.
uint64_t imageSizeFor(uint64_t contentLength);

// XORs each byte with the file key, by its file offset.
void descrambleFileBytes(std::span<uint8_t> bytes, uint32_t fileOffset);
// 64-bit sum of the little-endian 32-bit words of image[start, end); bytes of
// a partial first or last word outside the range count as 0xFF. `end` is
// clamped to the image; start >= end gives 0.
uint64_t imageChecksum(std::span<const uint8_t> image, size_t end, size_t start);

// Why this file cannot give upload images with this description (a header
// that would start before the file, a legacy header less than 16 bytes from
// the start, a big-code header inside the first page, a BL page or the value
// at 0x3014 past the end of the file, an image too big for a 32-bit size), or
// an empty text when its layout is usable. The text has no place suffix: the
// reader adds "\tTFormMain::openBinFile", the image builders
// "\tKWOCFwUpgraderRS485::startLoadBinFile".
std::string imageLayoutError(const KWOSBinFile& file, const KWOSBinFileDescription& description);

// FORMAT_LEGACY or FORMAT_32BITS: the single image. Reports and returns false
// on an empty file, another format or a file whose layout is unusable.
bool buildSingleImage(const KWOSBinFile& file, const KWOSBinFileDescription& description, KWOImage& image);

// What a FORMAT_SECTIONS file yields when an upgrade starts.
struct KWOSSectionImages {
    KWOImage little;              // "VltSD" header, little code, BL page
    KWOImage big;                 // big code with its length and checksum filled in
    uint8_t processor = 0;        // m_nProcessor
    uint16_t structureId = 0;     // m_nStructureId (ID << 8)
    uint16_t blStructureId = 0;   // m_nBlStructureId
    int32_t pageSize = PAGE_SIZE;               // m_nPageSize
    int32_t littleCodeStart = LITTLE_CODE_START; // m_nLittleCodeStart
    int32_t endSearchLimit = 0;   // m_nEndSearchLimit
    uint32_t bigCodeLength = 0;   // L, written at offset 24 of the big image
    uint64_t bigCodeChecksum = 0; // written at offset 28 of the big image
};

// Processor and structure-ID checks, processor table, little-code image, end
// search and big-code image, in that order. Each failure is reported once
// through reportError ("...\tKWOCFwUpgraderRS485::startLoadBinFile") and
// returns false; `images` then holds what was built before the failure.
// Reads nothing outside the file, whatever the description says.
bool buildSectionImages(const KWOSBinFile& file, const KWOSBinFileDescription& description, KWOSSectionImages& images);

#pragma once
// Upload images built from a loaded firmware file. Each image is a byte
// vector whose size is a multiple of 64, padded with 0xFF.
#include "engine/BinFile.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using KWOImage = std::vector<uint8_t>;

constexpr int32_t BLOCK_SIZE = 64;

// XORs each byte with the file key, by its file offset.
void descrambleFileBytes(std::span<uint8_t> bytes, uint32_t fileOffset);
// 64-bit sum of the little-endian 32-bit words of image[start, end); bytes of
// a partial first or last word outside the range count as 0xFF.
uint64_t imageChecksum(std::span<const uint8_t> image, size_t end, size_t start);

// FORMAT_LEGACY or FORMAT_32BITS: the single image. Reports and returns false
// on a file whose layout is unusable.
bool buildSingleImage(const KWOSBinFile& file, const KWOSBinFileDescription& description, KWOImage& image);

// What a FORMAT_SECTIONS file yields when an upgrade starts.
struct KWOSSectionImages {
    KWOImage little;              // "VltSD" header, little code, BL page
    KWOImage big;                 // big code with its length and checksum filled in
    uint8_t processor = 0;        // m_nProcessor
    uint16_t structureId = 0;     // m_nStructureId (ID << 8)
    uint16_t blStructureId = 0;   // m_nBlStructureId
    int32_t pageSize = 4096;      // m_nPageSize
    int32_t littleCodeStart = 4096; // m_nLittleCodeStart
    int32_t endSearchLimit = 0;   // m_nEndSearchLimit
};

// Processor and structure-ID checks, processor table, little-code image, end
// search and big-code image. Each failure is reported once through
// reportError ("...\tKWOCFwUpgraderRS485::startLoadBinFile") and returns false.
bool buildSectionImages(const KWOSBinFile& file, const KWOSBinFileDescription& description, KWOSSectionImages& images);

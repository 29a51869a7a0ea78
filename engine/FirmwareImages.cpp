#include "engine/FirmwareImages.h"

#include "diagnostics/Globalfunctions.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr const char* PLACE = "\tKWOCFwUpgraderRS485::startLoadBinFile";

// FILE_KEY: the key that scrambles the value at 0x3014. Built at run time
// from these two words so the key never stands in the binary as 8 bytes in a row.
constexpr uint32_t FILE_KEY_LOW = 0x6B1D94C7;
constexpr uint32_t FILE_KEY_HIGH = 0x3AE2507F;

std::array<uint8_t, 8> fileKey() {
    std::array<uint8_t, 8> key{};
    for (int i = 0; i < 4; ++i) {
        key[i] = uint8_t(FILE_KEY_LOW >> (8 * i));
        key[4 + i] = uint8_t(FILE_KEY_HIGH >> (8 * i));
    }
    return key;
}

constexpr size_t SIGNATURE_BYTES_READ = 8;   // header bytes H+4 to H+11
constexpr uint32_t VALUE_BYTES = 4;          // the scrambled value at 0x3014
constexpr int64_t END_LINE = 16;             // one all-0xFF line ends the big code
constexpr int64_t END_PAST_LINE = 24;        // E = start of that line + 24
constexpr size_t LITTLE_HEADER = 8;          // "VltSD", processor, two value bytes
constexpr size_t LENGTH_FIELD = 24;          // big-code header: code length
constexpr size_t CHECKSUM_FIELD = 28;        // big-code header: 64-bit checksum

bool fail(const std::string& text) {
    reportError(text + PLACE, 0);
    return false;
}

uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void writeLe(uint8_t* p, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        p[i] = uint8_t(value >> (8 * i));
}

bool signatureInside(const KWOSBinFileDescription& d, int signature, int64_t before, int64_t size) {
    const int64_t s = d.m_nSignatureOffset[signature];
    return s >= before && s + int64_t(SIGNATURE_BYTES_READ) <= size;
}

std::string sectionLayoutError(int64_t size, const KWOSBinFileDescription& d) {
    for (int signature : {SIGNATURE_LT, SIGNATURE_BG, SIGNATURE_BL})
        if (!signatureInside(d, signature, 0, size))
            return "Signature offset outside the bin file.";
    const int64_t bgHeader = d.m_nSignatureOffset[SIGNATURE_BG] - 4;
    if (bgHeader < LITTLE_CODE_START)
        return "Big code header before the little code start in bin file.";
    const int64_t blPage = d.m_nSignatureOffset[SIGNATURE_BL] / PAGE_SIZE * PAGE_SIZE;
    if (blPage + PAGE_SIZE > size)
        return "BL page runs past the end of the bin file.";
    if (size < int64_t(LITTLE_VALUE_OFFSET + VALUE_BYTES))
        return "Bin file too short for the little code value at 0x3014.";
    // The little image holds at most the file plus its 8-byte header; the big one less.
    if (imageSizeFor(uint64_t(size) + LITTLE_HEADER) > MAX_IMAGE_SIZE)
        return TEXT_FILE_TOO_BIG;
    return {};
}

// Processor table: the end-search limit of an accepted code, or a report.
bool processorLimit(uint8_t processor, int32_t& limit) {
    switch (processor) {
    case 1: limit = 0x7C000; return true;
    case 5: limit = 0xFC000; return true;
    case 2: return fail("Processor LPC1788 not managed yet.");
    case 3: return fail("Processor LPC4078 not managed yet.");
    case 4: return fail("Processor LPC4088 not managed yet.");
    default: return fail("Unknown processor used in bin file.");
    }
}

uint16_t structureIdOf(const uint8_t* signatureBytes) {
    return uint16_t((signatureBytes[6] | signatureBytes[7] << 8) & 0xFF00);
}

void buildLittleImage(const std::vector<uint8_t>& bytes, const KWOSBinFileDescription& d, KWOSSectionImages& images) {
    const size_t bgHeader = size_t(d.m_nSignatureOffset[SIGNATURE_BG]) - 4;
    const size_t h = bgHeader - size_t(images.littleCodeStart);
    const size_t pageSize = size_t(images.pageSize);
    const size_t blPage = size_t(d.m_nSignatureOffset[SIGNATURE_BL]) / pageSize * pageSize;
    images.little.assign(size_t(imageSizeFor(h + LITTLE_HEADER + pageSize)), IMAGE_FILL);
    uint8_t* out = images.little.data();
    std::copy_n(bytes.begin() + images.littleCodeStart, h, out + LITTLE_HEADER);
    std::copy_n(bytes.begin() + ptrdiff_t(blPage), pageSize, out + LITTLE_HEADER + h);

    uint8_t value[VALUE_BYTES];
    std::copy_n(bytes.begin() + LITTLE_VALUE_OFFSET, VALUE_BYTES, value);
    descrambleFileBytes(value, LITTLE_VALUE_OFFSET);
    const uint64_t n = readLe32(value);
    const uint64_t millions = (n / 1000000) % 256;
    std::memcpy(out, "VltSD", 5);
    out[5] = images.processor;
    out[6] = uint8_t(((n - millions * 1000000) / 1000) % 256);
    out[7] = uint8_t(millions);
}

// First all-0xFF line from the BG signature on, in steps of 16, up to the
// limit. A line counts only when the big-code copy (which runs 20 bytes past
// its start) stays inside the file. Returns E, or -1.
int64_t findBigCodeEnd(const std::vector<uint8_t>& bytes, int64_t bgSignature, int64_t limit) {
    const int64_t size = int64_t(bytes.size());
    for (int64_t p = bgSignature; p <= limit && p + END_PAST_LINE - 4 <= size; p += END_LINE) {
        const auto line = bytes.begin() + p;
        if (std::all_of(line, line + END_LINE, [](uint8_t b) { return b == 0xFF; }))
            return p + END_PAST_LINE;
    }
    return -1;
}

void buildBigImage(const std::vector<uint8_t>& bytes, int64_t bgSignature, int64_t end, KWOSSectionImages& images) {
    const size_t length = size_t(end - bgSignature);
    images.big.assign(size_t(imageSizeFor(length)), IMAGE_FILL);
    uint8_t* out = images.big.data();
    std::copy_n(bytes.begin() + bgSignature - 4, length, out);
    writeLe(out + LENGTH_FIELD, length, 4);
    const uint64_t sum = imageChecksum(images.big, length, readLe32(out));
    writeLe(out + CHECKSUM_FIELD, sum, 8);
    images.bigCodeLength = uint32_t(length);
    images.bigCodeChecksum = sum;
}

} // namespace

uint64_t imageSizeFor(uint64_t contentLength) {
    return contentLength / BLOCK_SIZE * BLOCK_SIZE + BLOCK_SIZE;
}

void descrambleFileBytes(std::span<uint8_t> bytes, uint32_t fileOffset) {
    const std::array<uint8_t, 8> key = fileKey();
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] ^= key[(uint64_t(fileOffset) + i) % key.size()];
}

uint64_t imageChecksum(std::span<const uint8_t> image, size_t end, size_t start) {
    end = std::min(end, image.size());
    if (start >= end)
        return 0;
    uint64_t sum = 0;
    for (size_t word = start / 4 * 4; word < end; word += 4) {
        uint32_t value = 0;
        for (size_t i = 0; i < 4; ++i) {
            const size_t at = word + i;
            const uint8_t b = (at >= start && at < end) ? image[at] : 0xFF;
            value |= uint32_t(b) << (8 * i);
        }
        sum += value;
    }
    return sum;
}

std::string imageLayoutError(const KWOSBinFile& file, const KWOSBinFileDescription& d) {
    const int64_t size = int64_t(file.bytes.size());
    switch (d.m_nFileFormat) {
    case FORMAT_LEGACY:
        if (!signatureInside(d, SIGNATURE_LEGACY, 0, size))
            return "Signature offset outside the bin file.";
        // The image starts 16 bytes before the maker name.
        if (d.m_nSignatureOffset[SIGNATURE_LEGACY] < 16)
            return "Veltra header less than 16 bytes from the start of the bin file.";
        return imageSizeFor(uint64_t(size) + 2) > MAX_IMAGE_SIZE ? TEXT_FILE_TOO_BIG : std::string();
    case FORMAT_32BITS:
        // The image starts at the header-size word, 4 bytes before the signature.
        if (!signatureInside(d, SIGNATURE_32BITS, 4, size))
            return "Signature offset outside the bin file.";
        return imageSizeFor(uint64_t(size)) > MAX_IMAGE_SIZE ? TEXT_FILE_TOO_BIG : std::string();
    case FORMAT_SECTIONS:
        return sectionLayoutError(size, d);
    default:
        return "Unknown file format !";
    }
}

bool buildSingleImage(const KWOSBinFile& file, const KWOSBinFileDescription& d, KWOImage& image) {
    image.clear();
    if (file.empty())
        return fail("Bin file NULL");
    if (d.m_nFileFormat != FORMAT_LEGACY && d.m_nFileFormat != FORMAT_32BITS)
        return fail("Unknown file format !");
    if (const std::string layout = imageLayoutError(file, d); !layout.empty())
        return fail(layout);
    const std::vector<uint8_t>& bytes = file.bytes;
    if (d.m_nFileFormat == FORMAT_LEGACY) {
        const size_t from = size_t(d.m_nSignatureOffset[SIGNATURE_LEGACY]) - 16;
        image.assign(size_t(imageSizeFor(bytes.size() + 2)), IMAGE_FILL);
        image[0] = 0x55;
        image[1] = 0xAA;
        std::copy(bytes.begin() + ptrdiff_t(from), bytes.end(), image.begin() + 2);
    } else {
        const size_t from = size_t(d.m_nSignatureOffset[SIGNATURE_32BITS]) - 4;
        image.assign(size_t(imageSizeFor(bytes.size())), IMAGE_FILL);
        std::copy(bytes.begin() + ptrdiff_t(from), bytes.end(), image.begin());
    }
    return true;
}

bool buildSectionImages(const KWOSBinFile& file, const KWOSBinFileDescription& d, KWOSSectionImages& images) {
    images.little.clear();
    images.big.clear();
    images.bigCodeLength = 0;
    images.bigCodeChecksum = 0;
    if (file.empty())
        return fail("Bin file NULL");
    if (d.m_nFileFormat != FORMAT_SECTIONS)
        return fail("Unknown file format !");
    if (const std::string layout = imageLayoutError(file, d); !layout.empty())
        return fail(layout);
    const std::vector<uint8_t>& bytes = file.bytes;
    const uint8_t* lt = bytes.data() + d.m_nSignatureOffset[SIGNATURE_LT];
    const uint8_t* bg = bytes.data() + d.m_nSignatureOffset[SIGNATURE_BG];
    const uint8_t* bl = bytes.data() + d.m_nSignatureOffset[SIGNATURE_BL];
    if (lt[5] != bg[5] || lt[5] != bl[5])
        return fail("Processor used error in bin file, value for LT, BG and BL not equal.");
    images.processor = lt[5];
    if (structureIdOf(lt) != structureIdOf(bg))
        return fail("Structure ID error in bin file, value for LT and BG not equal.");
    images.structureId = structureIdOf(lt);
    images.blStructureId = structureIdOf(bl);
    if (!processorLimit(images.processor, images.endSearchLimit))
        return false;
    images.pageSize = PAGE_SIZE;
    images.littleCodeStart = LITTLE_CODE_START;
    buildLittleImage(bytes, d, images);
    const int64_t bgSignature = d.m_nSignatureOffset[SIGNATURE_BG];
    const int64_t end = findBigCodeEnd(bytes, bgSignature, images.endSearchLimit);
    if (end < 0)
        return fail("Big code end address not found in bin file.");
    buildBigImage(bytes, bgSignature, end, images);
    return true;
}

#include "engine/BinFile.h"

#include "diagnostics/Globalfunctions.h"
#include "engine/FirmwareImages.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

const char* const FILE_SIGNATURES[SIGNATURE_COUNT] = {"VltLt", "VltBg", "VltBl", "Veltra32", "Veltra"};

namespace {

constexpr const char* PLACE = "\tTFormMain::openBinFile";
constexpr size_t DECODED_HEADER_BYTES = 12;
// Search positions are p < size - 8, so every signature text lies inside the file.
constexpr int64_t SEARCH_TAIL = 8;

bool reject(const std::string& text) {
    reportError(text + PLACE, 0);
    return false;
}

uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t readBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

int32_t pair(uint8_t major, uint8_t minor) { return int32_t(major) << 16 | minor; }

void searchSignatures(const std::vector<uint8_t>& bytes, KWOSBinFileDescription& description) {
    const int64_t size = int64_t(bytes.size());
    for (int64_t p = 0; p < size - SEARCH_TAIL; p += 4) {
        for (int i = 0; i < SIGNATURE_COUNT; ++i) {
            if (std::memcmp(bytes.data() + p, FILE_SIGNATURES[i], std::strlen(FILE_SIGNATURES[i])) == 0)
                description.m_nSignatureOffset[i] = int32_t(p);
        }
    }
}

int32_t decideFormat(const KWOSBinFileDescription& description) {
    const auto found = [&](int i) { return description.m_nSignatureOffset[i] != -1; };
    int count = 0;
    for (int i = 0; i < SIGNATURE_COUNT; ++i)
        count += found(i) ? 1 : 0;
    if (found(SIGNATURE_32BITS) && found(SIGNATURE_LEGACY) && count == 2)
        return FORMAT_32BITS;
    if (found(SIGNATURE_LEGACY) && count == 1)
        return FORMAT_LEGACY;
    if (found(SIGNATURE_LT) && found(SIGNATURE_BG) && found(SIGNATURE_BL) && count == 3)
        return FORMAT_SECTIONS;
    return FORMAT_NONE;
}

// The 36-byte header of the signature at `signature`: checks its size word
// and copies its 12 decoded bytes. A header that would begin before the file
// has no size word to read and is rejected with size 0.
bool readSizedHeader(const std::vector<uint8_t>& bytes, int signature, const std::string& badSizeText,
                     const KWOSBinFileDescription& description, uint8_t (&header)[DECODED_HEADER_BYTES]) {
    const int64_t s = description.m_nSignatureOffset[signature];
    const uint32_t size = s >= 4 ? readLe32(bytes.data() + s - 4) : 0;
    if (size != HEADER_SIZE) {
        reportError(badSizeText + PLACE + "\r\n Header size read = " + std::to_string(size), 0);
        return false;
    }
    if (s + 8 + int64_t(DECODED_HEADER_BYTES) > int64_t(bytes.size()))
        return reject(std::string("Header cut short in bin file for ") + FILE_SIGNATURES[signature] + ".");
    std::memcpy(header, bytes.data() + s + 8, DECODED_HEADER_BYTES);
    return true;
}

// Group of a legacy header (big-endian): a first byte of 0 means no hardware limit.
void decodeLegacyGroup(const uint8_t* g, int32_t& hardware, int32_t& firmware) {
    if (g[0] != 0) {
        hardware = pair(g[0], g[1]);
        firmware = pair(g[2], g[3]);
    } else {
        hardware = -1;
        firmware = int32_t(readBe32(g));
    }
}

// Group of a 32-bit header (little-endian): a fourth byte of 0 means no hardware limit.
void decode32BitsGroup(const uint8_t* g, int32_t& hardware, int32_t& firmware) {
    if (g[3] != 0) {
        hardware = pair(g[3], g[2]);
        firmware = pair(g[1], g[0]);
    } else {
        hardware = -1;
        firmware = int32_t(readLe32(g));
    }
}

void decodeSection(const uint8_t (&h)[DECODED_HEADER_BYTES], int section, KWOSBinFileDescription& d) {
    d.m_nSectionDeviceType[section] = int32_t(readLe32(h));
    d.m_nSectionVersion[section] = pair(h[5], h[4]);
    d.m_nSectionMaxHardware[section] = pair(h[7], h[6]);
    d.m_nSectionMinVersion[section] = pair(h[9], h[8]);
    d.m_nSectionMinHardware[section] = pair(h[11], h[10]);
}

bool decodeHeaders(const std::vector<uint8_t>& bytes, KWOSBinFileDescription& d) {
    uint8_t header[DECODED_HEADER_BYTES];
    switch (d.m_nFileFormat) {
    case FORMAT_32BITS:
        if (!readSizedHeader(bytes, SIGNATURE_32BITS, "Bad header size in 32bits bin file.", d, header))
            return false;
        d.m_nFileDeviceType = int32_t(readLe32(header));
        decode32BitsGroup(header + 4, d.m_nFileMaxHardware, d.m_nFileVersion);
        decode32BitsGroup(header + 8, d.m_nFileMinHardware, d.m_nFileMinVersion);
        return true;
    case FORMAT_LEGACY: {
        // No size word: the decoded bytes follow the 6-byte maker name.
        const int64_t s = d.m_nSignatureOffset[SIGNATURE_LEGACY];
        if (s + 6 + int64_t(DECODED_HEADER_BYTES) > int64_t(bytes.size()))
            return reject(std::string("Header cut short in bin file for ") + FILE_SIGNATURES[SIGNATURE_LEGACY] + ".");
        const uint8_t* h = bytes.data() + s + 6;
        d.m_nFileDeviceType = int32_t(readBe32(h));
        decodeLegacyGroup(h + 4, d.m_nFileMaxHardware, d.m_nFileVersion);
        decodeLegacyGroup(h + 8, d.m_nFileMinHardware, d.m_nFileMinVersion);
        return true;
    }
    default: // FORMAT_SECTIONS: LT is checked and read before BG is checked.
        for (int section : {SECTION_LT, SECTION_BG}) {
            const int signature = section == SECTION_LT ? SIGNATURE_LT : SIGNATURE_BG;
            const std::string badSize = std::string("Bad header size in bin file for ") + FILE_SIGNATURES[signature] + ".";
            if (!readSizedHeader(bytes, signature, badSize, d, header))
                return false;
            decodeSection(header, section, d);
        }
        return true;
    }
}

void fillLabels(const std::string& path, size_t size, const KWOSBinFileDescription& d, KWOSBinFileLabels& labels) {
    labels.fileName = std::filesystem::path(path).filename().string();
    labels.fileLength = std::to_string(size) + " Bytes";
    if (d.m_nFileFormat == FORMAT_SECTIONS) {
        labels.version = "LT : " + versionWordText(d.m_nSectionVersion[SECTION_LT] & ~LITTLE_CODE_BIT);
        labels.version2 = "BG : " + versionWordText(d.m_nSectionVersion[SECTION_BG]);
    } else {
        labels.version = versionWordText(d.m_nFileVersion);
        labels.version2.clear();
    }
}

bool checkSectionVersions(const KWOSBinFileDescription& d) {
    if ((d.m_nSectionVersion[SECTION_LT] & 0xFF) < LITTLE_CODE_BIT)
        return reject("Bin file Little code version < 128.");
    if ((d.m_nSectionVersion[SECTION_BG] & 0xFF) >= LITTLE_CODE_BIT)
        return reject("Bin file Big code version > 128.");
    return true;
}

// Biggest file whose image still fits MAX_IMAGE_SIZE (the legacy image,
// two bytes longer than the file, is the largest of the single images).
bool fileTooBig(uint64_t size) { return imageSizeFor(size + 2) > MAX_IMAGE_SIZE; }

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0)
        return false;
    in.seekg(0, std::ios::beg);
    bytes.resize(size_t(size));
    in.read(reinterpret_cast<char*>(bytes.data()), size);
    return in.gcount() == size;
}

} // namespace

std::string versionWordText(int32_t word) {
    return std::to_string(word >> 16) + "." + std::to_string(word & 0xFFFF);
}

bool loadBinFileBytes(std::vector<uint8_t> bytes, const std::string& path, KWOSBinFile& file,
                      KWOSBinFileDescription& description, KWOSBinFileLabels& labels) {
    // The previous file and its description are gone whatever happens next.
    file = KWOSBinFile{};
    description = KWOSBinFileDescription{};
    KWOSBinFileDescription d;
    searchSignatures(bytes, d);
    d.m_nFileFormat = decideFormat(d);
    if (d.m_nFileFormat == FORMAT_NONE)
        return reject("Valid signature not found in the bin file.");
    if (!decodeHeaders(bytes, d))
        return false;
    fillLabels(path, bytes.size(), d, labels);
    if (d.m_nFileFormat == FORMAT_SECTIONS && !checkSectionVersions(d))
        return false;
    KWOSBinFile loaded{std::move(bytes), path};
    if (const std::string layout = imageLayoutError(loaded, d); !layout.empty())
        return reject(layout);
    file = std::move(loaded);
    description = d;
    return true;
}

bool openBinFile(const std::string& path, KWOSBinFile& file, KWOSBinFileDescription& description,
                 KWOSBinFileLabels& labels) {
    file = KWOSBinFile{};
    description = KWOSBinFileDescription{};
    if (path.empty())
        return reject("szFilePath==NULL");
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return reject("The *.bin file does not exist.");
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension != ".bin" && extension != ".bi2")
        return reject("Wrong file extension.");
    // Checked before reading, so a huge file is never loaded into memory.
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && fileTooBig(size))
        return reject(TEXT_FILE_TOO_BIG);
    std::vector<uint8_t> bytes;
    if (error || !readWholeFile(path, bytes))
        return reject("Unable to read the bin file.");
    return loadBinFileBytes(std::move(bytes), path, file, description, labels);
}

#pragma once
// The firmware file reader: one reader for the window and the command line.
#include <cstdint>
#include <string>
#include <vector>

constexpr int32_t FORMAT_NONE = -1;
constexpr int32_t FORMAT_LEGACY = 0;   // "Veltra" header, big-endian, one image
constexpr int32_t FORMAT_32BITS = 1;   // "Veltra32" header, one image
constexpr int32_t FORMAT_SECTIONS = 2; // "VltLt" / "VltBg" / "VltBl": little code and big code

// Bit 7 of a version's minor byte: set in little-code versions.
constexpr int32_t LITTLE_CODE_BIT = 0x80;

// Index of each signature in m_nSignatureOffset.
constexpr int SIGNATURE_LT = 0;
constexpr int SIGNATURE_BG = 1;
constexpr int SIGNATURE_BL = 2;
constexpr int SIGNATURE_32BITS = 3;
constexpr int SIGNATURE_LEGACY = 4;
constexpr int SIGNATURE_COUNT = 5;

// Index of a section in the m_nSection* arrays.
constexpr int SECTION_LT = 0;
constexpr int SECTION_BG = 1;

// The signature texts, in the order of m_nSignatureOffset.
extern const char* const FILE_SIGNATURES[SIGNATURE_COUNT];

// Size every header of the 32-bit and sectioned formats declares in its first word.
constexpr uint32_t HEADER_SIZE = 36;

// What the reader decodes from a file; the engine holds one and reads it at
// every run. After a failed load m_nFileFormat is FORMAT_NONE.
struct KWOSBinFileDescription {
    int32_t m_nSignatureOffset[SIGNATURE_COUNT] = {-1, -1, -1, -1, -1};
    int32_t m_nFileFormat = FORMAT_NONE;
    int32_t m_nFileDeviceType = 0;
    int32_t m_nFileVersion = 0;
    int32_t m_nFileMaxHardware = -1;
    int32_t m_nFileMinVersion = 0;
    int32_t m_nFileMinHardware = -1;
    int32_t m_nSectionDeviceType[2] = {0, 0}; // [0] LT, [1] BG
    int32_t m_nSectionVersion[2] = {0, 0};
    int32_t m_nSectionMaxHardware[2] = {-1, -1};
    int32_t m_nSectionMinVersion[2] = {0, 0};
    int32_t m_nSectionMinHardware[2] = {-1, -1};
};

// The loaded file: its whole content in memory. Owned by the window (or the
// command line); the engine borrows it during a run. Empty when no usable
// file is loaded.
struct KWOSBinFile {
    std::vector<uint8_t> bytes;
    std::string path;
    bool empty() const { return bytes.empty(); }
};

// The texts the window shows for a loaded file.
struct KWOSBinFileLabels {
    std::string fileName;   // LFUFileNameVal: name without the directory
    std::string fileLength; // LFUFileLengthVal: "N Bytes"
    std::string version;    // LFUVersionNewVal: "1.5", or "LT : 1.2"
    std::string version2;   // LFUVersionNewVal2: "", or "BG : 1.5"
};

// Reads, checks and decodes the file at path. Every rejection is reported
// through reportError ("...\tTFormMain::openBinFile") and returns false. Any
// rejection leaves `file` empty and `description` reset with m_nFileFormat
// FORMAT_NONE, so neither a rejected file nor the previous one can be
// uploaded. The labels are filled only as far as the checks get (a file
// rejected for its section versions has them filled).
bool openBinFile(const std::string& path, KWOSBinFile& file, KWOSBinFileDescription& description,
                 KWOSBinFileLabels& labels);

// The part of openBinFile after the file was read: signature search, format,
// headers, labels and checks, on bytes already in memory. `path` only names
// the file (labels, KWOSBinFile::path). Same results and reports as openBinFile.
bool loadBinFileBytes(std::vector<uint8_t> bytes, const std::string& path, KWOSBinFile& file,
                      KWOSBinFileDescription& description, KWOSBinFileLabels& labels);

// A version word shown as major "." minor (major = word >> 16, minor = low 16 bits).
std::string versionWordText(int32_t word);

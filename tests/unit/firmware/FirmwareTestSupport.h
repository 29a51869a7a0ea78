#pragma once
// Helpers of the firmware file tests: files built byte by byte, a scratch
// folder, the reports a call made, and runs of rs485-mkfw.
#include "engine/BinFile.h"
#include "engine/FirmwareImages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fwtest {

using Bytes = std::vector<uint8_t>;

inline void put(Bytes& file, size_t at, const Bytes& bytes) {
    if (file.size() < at + bytes.size())
        file.resize(at + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), file.begin() + ptrdiff_t(at));
}

inline void putText(Bytes& file, size_t at, const std::string& text) { put(file, at, Bytes(text.begin(), text.end())); }

inline void putLe32(Bytes& file, size_t at, uint32_t value) {
    put(file, at, {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
}

inline uint32_t le32(const Bytes& b, size_t at) {
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 | uint32_t(b.at(at + 3)) << 24;
}

inline uint64_t le64(const Bytes& b, size_t at) { return uint64_t(le32(b, at)) | uint64_t(le32(b, at + 4)) << 32; }

// Everything the call reported (errors go to the console, standard error,
// as the diagnostics are set up at program start).
inline std::string reportsOf(const std::function<void()>& call) {
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
}

inline size_t occurrences(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

// A scratch folder removed at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path(const std::string& name) const { return (m_dir / name).string(); }
    std::string write(const std::string& name, const Bytes& bytes) const;

private:
    std::filesystem::path m_dir;
};

// Result of one load: what openBinFile returned and reported.
struct Load {
    bool ok = false;
    std::string reports;
    KWOSBinFile file;
    KWOSBinFileDescription description;
    KWOSBinFileLabels labels;
};

Load loadBytes(const Bytes& bytes, const std::string& name = "fw.bin");
Load loadPath(const std::string& path);

// One run of rs485-mkfw.
struct MkfwRun {
    int exitCode = -1;
    std::string out;                         // standard output
    std::map<std::string, std::string> keys; // its key=value lines
    uint64_t number(const std::string& key) const;
};

MkfwRun runMkfw(const std::vector<std::string>& args);

// A sectioned file built in memory: BL header at 0x200, LT header at 0x1200,
// BG header at `bgHeader`, code bytes from `seed`, the big code's first
// all-0xFF line at `endLine` (absolute), and the scrambled value N at 0x3014.
struct SectionsFile {
    uint32_t bgHeader = 0x4000;
    uint32_t endLine = 0x4004 + 0x1000;
    uint32_t size = 0x6000;
    uint8_t processor[3] = {1, 1, 1}; // LT, BG, BL
    uint8_t structureId[3] = {3, 3, 3};
    uint8_t reserved[2] = {0, 0};
    uint32_t value = 2013456;
    Bytes build() const;
};

} // namespace fwtest

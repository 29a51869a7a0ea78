#pragma once
// Lays out firmware files the way the device firmware builds do, from the
// device's side: nothing here is shared with the upgrader's file reader, so a
// mistake in one shows up as a disagreement with the other.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mkfw {

struct Version {
    uint16_t major = 0;
    uint16_t minor = 0;
};

enum class Format { Legacy, Bits32, Sections };

// Deliberate faults, each one a file the upgrader must refuse (or, for
// ExtraVeltra in a 32-bit file, a corner it must read right).
enum class Fault {
    UnalignedSignature, // header signature 2 bytes off a multiple of 4
    ExtraVeltra,        // a second "Veltra" further on
    HeaderSize40,       // header-size word 40 (32-bit header, or LT)
    LtMinorLow,         // LT minor without the little-code mark
    BgMinorHigh,        // BG minor with the little-code mark
    ProcessorMismatch,  // BL processor differs from LT and BG
    StructureMismatch,  // BG structure ID differs from LT
    NoEndMarker,        // big code runs past the processor's end-search limit
    EndLineCut,         // the file ends 16 bytes after the start of the 0xFF line
    SignatureAtStart,   // signature at offset 0 (header before the file)
    BgInFirstPage,      // big-code header inside the first page
    BlPageCut,          // BL header in a last, partial page
    ShortFile,          // sectioned file that ends before 0x3018
    HeaderCut,          // the file ends inside the last header
};

struct Options {
    Format format = Format::Sections;
    Version deviceType{18, 4};
    uint32_t seed = 1;
    // Legacy and 32-bit files.
    Version version{1, 5};
    Version minVersion{1, 0};
    uint32_t headerOffset = 0x100; // offset of the header (32-bit: its size word)
    uint32_t codeSize = 0x1000;    // file size
    // Hardware limits of every format; none when empty.
    std::optional<Version> maxHardware;
    std::optional<Version> minHardware;
    // Sectioned files.
    Version ltVersion{1, 2};  // written with the little-code mark
    Version ltMinVersion{1, 0};
    Version bgVersion{1, 5};
    std::optional<Version> bgNeedsLt; // default: ltVersion
    uint8_t processor = 1;
    std::optional<uint8_t> blProcessor;
    uint8_t structureId = 3;
    std::optional<uint8_t> bgStructureId;
    std::optional<uint8_t> blStructureId;
    uint8_t ltReserved = 0;
    uint8_t bgReserved = 0;
    uint32_t blHeaderOffset = 0x200; // inside the first page
    uint32_t ltHeaderOffset = 0x200; // from the little-code start
    uint32_t ltSize = 0x3000;        // little code from 4096
    uint32_t bgSize = 0x2000;        // big code from its header
    uint32_t ltValue = 2013456;      // the build value at 0x3014, before scrambling
    std::vector<Fault> faults;
    std::optional<uint64_t> truncate;
};

struct Result {
    std::vector<uint8_t> bytes;
    std::string error;                    // not empty: the options cannot be laid out
    std::vector<std::string> report;      // "key=value" lines: offsets and expected values
};

Result layOut(const Options& options);

std::optional<Fault> faultByName(const std::string& name);
const char* faultName(Fault fault);

} // namespace mkfw

#include "sim/mkfw/FirmwareLayout.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace mkfw {
namespace {

// The build scrambles the value at 0x3014 with the same two key words as the
// upgrader uses to unscramble it. They are repeated here on purpose: the maker
// writes files as the firmware build does and shares no code with the reader.
constexpr uint32_t FILE_KEY_LOW = 0x6B1D94C7;
constexpr uint32_t FILE_KEY_HIGH = 0x3AE2507F;

constexpr uint32_t PAGE = 4096;
constexpr uint32_t LITTLE_START = 4096;   // the little code begins on the second page
constexpr uint32_t VALUE_AT = 0x3014;     // scrambled build value, 4 bytes
constexpr uint32_t HEADER = 36;           // size of the 32-bit and section headers
constexpr uint8_t LITTLE_MARK = 0x80;     // bit 7 of a little-code minor
constexpr uint32_t BL_CODE = 0x800;       // bootloader bytes at the start of the first page
constexpr uint32_t LINE = 16;             // the big code ends at its first all-0xFF line
constexpr uint32_t FILE_ALIGN = 256;      // builds pad their output to this

const char* const SIGNATURES[] = {"VltLt", "VltBg", "VltBl", "Veltra"}; // "Veltra" covers "Veltra32"

struct Names {
    Fault fault;
    const char* name;
};
constexpr Names FAULT_NAMES[] = {
    {Fault::UnalignedSignature, "unaligned-signature"}, {Fault::ExtraVeltra, "extra-veltra"},
    {Fault::HeaderSize40, "header-size-40"},             {Fault::LtMinorLow, "lt-minor-low"},
    {Fault::BgMinorHigh, "bg-minor-high"},               {Fault::ProcessorMismatch, "processor-mismatch"},
    {Fault::StructureMismatch, "structure-mismatch"},    {Fault::NoEndMarker, "no-end-marker"},
    {Fault::EndLineCut, "end-line-cut"},                 {Fault::SignatureAtStart, "signature-at-start"},
    {Fault::BgInFirstPage, "bg-in-first-page"},          {Fault::BlPageCut, "bl-page-cut"},
    {Fault::ShortFile, "short-file"},                    {Fault::HeaderCut, "header-cut"},
};

uint64_t roundUp(uint64_t value, uint64_t step) { return (value + step - 1) / step * step; }
int32_t word(Version v) { return int32_t(uint32_t(v.major) << 16 | v.minor); }

class Image {
public:
    explicit Image(size_t size) : m_bytes(size, 0xFF) {}
    std::vector<uint8_t>& bytes() { return m_bytes; }
    void put(size_t at, uint8_t value) { m_bytes.at(at) = value; }
    void le(size_t at, uint64_t value, int count) {
        for (int i = 0; i < count; ++i)
            put(at + i, uint8_t(value >> (8 * i)));
    }
    void be32(size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            put(at + i, uint8_t(value >> (8 * (3 - i))));
    }
    void text(size_t at, const char* s) {
        for (size_t i = 0; s[i]; ++i)
            put(at + i, uint8_t(s[i]));
    }
    void random(size_t from, size_t to, std::mt19937& gen) {
        for (size_t i = from; i < to; ++i)
            put(i, uint8_t(gen()));
    }
    // Random code could hold a signature by chance; a build would never
    // place one there, so break any at a multiple of 4.
    void scrub(size_t from, size_t to) {
        for (size_t p = roundUp(from, 4); p + 8 <= to && p + 8 <= m_bytes.size(); p += 4)
            for (const char* s : SIGNATURES)
                if (std::memcmp(&m_bytes[p], s, std::strlen(s)) == 0)
                    m_bytes[p] ^= 0x01;
    }
    uint64_t wordSum(size_t from, size_t to) const {
        uint64_t sum = 0;
        for (size_t p = from; p + 4 <= to; p += 4)
            sum += uint32_t(m_bytes[p]) | uint32_t(m_bytes[p + 1]) << 8 | uint32_t(m_bytes[p + 2]) << 16 |
                   uint32_t(m_bytes[p + 3]) << 24;
        return sum;
    }

private:
    std::vector<uint8_t> m_bytes;
};

class Builder {
public:
    explicit Builder(const Options& o) : m_o(o), m_gen(o.seed) {}
    Result run();

private:
    bool has(Fault f) const { return std::find(m_o.faults.begin(), m_o.faults.end(), f) != m_o.faults.end(); }
    bool fail(const std::string& text) {
        m_result.error = text;
        return false;
    }
    void report(const std::string& key, uint64_t value) { m_result.report.push_back(key + "=" + std::to_string(value)); }
    bool byte(const char* what, unsigned value) {
        return value <= 0xFF || fail(std::string(what) + " must fit one byte (0..255) in this format");
    }
    bool groupBytes(std::optional<Version> hardware, Version firmware, const char* what, uint8_t (&out)[4]);
    bool singleFile();
    bool sectionsFile();
    bool sectionHeader(Image& image, size_t h, const char* signature, uint8_t processor, uint8_t reserved,
                       uint8_t structureId, uint8_t versionMinor, uint8_t versionMajor, Version needs,
                       uint32_t sizeWord);
    bool cutShort(size_t at);

    const Options& m_o;
    std::mt19937 m_gen;
    Result m_result;
};

// A group of a single-image header in big-endian (legacy) order: hardware
// major, hardware minor, firmware major, firmware minor; or the firmware
// version word alone when there is no hardware limit (first byte 0).
bool Builder::groupBytes(std::optional<Version> hardware, Version firmware, const char* what, uint8_t (&out)[4]) {
    if (hardware) {
        if (hardware->major == 0)
            return fail(std::string(what) + ": hardware major 0 cannot be written (a 0 byte means no limit)");
        if (!byte("hardware major", hardware->major) || !byte("hardware minor", hardware->minor) ||
            !byte("firmware major", firmware.major) || !byte("firmware minor", firmware.minor))
            return false;
        out[0] = uint8_t(hardware->major);
        out[1] = uint8_t(hardware->minor);
        out[2] = uint8_t(firmware.major);
        out[3] = uint8_t(firmware.minor);
        return true;
    }
    if (firmware.major > 0xFF)
        return fail(std::string(what) + ": without a hardware limit the firmware major must be below 256");
    out[0] = 0;
    out[1] = uint8_t(firmware.major);
    out[2] = uint8_t(firmware.minor >> 8);
    out[3] = uint8_t(firmware.minor);
    return true;
}

bool Builder::cutShort(size_t at) {
    std::vector<uint8_t>& bytes = m_result.bytes;
    if (at > bytes.size())
        return fail("cannot cut the file at " + std::to_string(at) + ": it has only " +
                    std::to_string(bytes.size()) + " bytes");
    bytes.resize(at);
    return true;
}

bool Builder::singleFile() {
    const bool legacy = m_o.format == Format::Legacy;
    // s: offset of the signature; the 32-bit header's size word comes 4 bytes before it.
    int64_t s = legacy ? int64_t(m_o.headerOffset) : int64_t(m_o.headerOffset) + 4;
    if (has(Fault::SignatureAtStart))
        s = 0;
    else if (m_o.headerOffset % 4 != 0)
        return fail("--header-offset must be a multiple of 4");
    else if (legacy && s < 16)
        return fail("--header-offset must be 16 or more: the legacy image starts 16 bytes before the header");
    if (has(Fault::UnalignedSignature))
        s += 2;
    const int64_t headerEnd = s + (legacy ? 18 : 32);
    if (headerEnd > int64_t(m_o.codeSize))
        return fail("--code-size too small for a header at that offset");
    uint8_t groupA[4], groupB[4];
    if (!groupBytes(m_o.maxHardware, m_o.version, "version/max-hardware", groupA) ||
        !groupBytes(m_o.minHardware, m_o.minVersion, "min-version/min-hardware", groupB))
        return false;
    if (!legacy) { // 32-bit groups are little-endian: firmware minor, major, hardware minor, major
        std::reverse(std::begin(groupA), std::end(groupA));
        std::reverse(std::begin(groupB), std::end(groupB));
    }

    Image image(m_o.codeSize);
    image.random(0, m_o.codeSize, m_gen);
    image.scrub(0, m_o.codeSize);
    if (legacy) {
        image.text(size_t(s), "Veltra");
        image.be32(size_t(s) + 6, uint32_t(word(m_o.deviceType)));
    } else {
        if (s >= 4)
            image.le(size_t(s) - 4, has(Fault::HeaderSize40) ? 40 : HEADER, 4);
        image.text(size_t(s), "Veltra32");
        image.le(size_t(s) + 8, uint32_t(word(m_o.deviceType)), 4);
        // The build fills the trailing words with the image length and sum; the
        // upgrader does not read them.
        image.le(size_t(s) + 20, m_o.codeSize - uint32_t(std::max<int64_t>(s - 4, 0)), 4);
        image.le(size_t(s) + 24, image.wordSum(size_t(s) + 32, m_o.codeSize), 8);
    }
    const size_t groups = size_t(s) + (legacy ? 10 : 12);
    for (int i = 0; i < 4; ++i) {
        image.put(groups + i, groupA[i]);
        image.put(groups + 4 + i, groupB[i]);
    }
    report("signature", uint64_t(s));
    if (has(Fault::ExtraVeltra)) {
        const size_t extra = roundUp(uint64_t(headerEnd) + 16, 4);
        if (extra + 8 > m_o.codeSize)
            return fail("--code-size too small for a second \"Veltra\"");
        image.text(extra, "Veltra");
        report("extra_veltra", extra);
    }
    m_result.bytes = std::move(image.bytes());
    return !has(Fault::HeaderCut) || cutShort(size_t(s) + 12);
}

bool Builder::sectionHeader(Image& image, size_t h, const char* signature, uint8_t processor, uint8_t reserved,
                            uint8_t structureId, uint8_t versionMinor, uint8_t versionMajor, Version needs,
                            uint32_t sizeWord) {
    const Version maxHw = m_o.maxHardware.value_or(Version{0xFF, 0xFF}); // none: accept every hardware
    const Version minHw = m_o.minHardware.value_or(Version{0, 0});
    if (!byte("hardware major", maxHw.major) ||
        !byte("hardware minor", maxHw.minor) || !byte("hardware major", minHw.major) ||
        !byte("hardware minor", minHw.minor) || !byte("version major", needs.major) ||
        !byte("version minor", needs.minor))
        return false;
    image.le(h, sizeWord, 4);
    image.text(h + 4, signature);
    image.put(h + 9, processor);
    image.put(h + 10, reserved);
    image.put(h + 11, structureId);
    image.le(h + 12, uint32_t(word(m_o.deviceType)), 4);
    image.put(h + 16, versionMinor);
    image.put(h + 17, versionMajor);
    image.put(h + 18, uint8_t(maxHw.minor));
    image.put(h + 19, uint8_t(maxHw.major));
    image.put(h + 20, uint8_t(needs.minor));
    image.put(h + 21, uint8_t(needs.major));
    image.put(h + 22, uint8_t(minHw.minor));
    image.put(h + 23, uint8_t(minHw.major));
    image.le(h + 24, 0, 4); // code length and checksum: the build leaves them for the upgrader
    image.le(h + 28, 0, 8);
    return true;
}

bool Builder::sectionsFile() {
    const Options& o = m_o;
    if (o.ltVersion.minor >= LITTLE_MARK || o.bgVersion.minor >= LITTLE_MARK)
        return fail("--lt-version and --bg-version minors must be below 128 (the little-code mark is added)");
    if (!byte("lt version major", o.ltVersion.major) || !byte("bg version major", o.bgVersion.major))
        return false;
    uint32_t ltSize = o.ltSize, bgSize = o.bgSize, ltHeader = LITTLE_START + o.ltHeaderOffset;
    uint32_t blCodeEnd = BL_CODE, bgHeader = 0;
    const uint32_t limit = o.processor == 5 ? 0xFC000 : 0x7C000;
    if (has(Fault::ShortFile)) { // a small little code and big code that both end before 0x3014
        ltSize = std::min(ltSize, 0x800u);
        bgSize = std::min(bgSize, 0x800u);
        bgHeader = 0x2000;
    } else if (has(Fault::BgInFirstPage)) { // the big code squeezed into the bootloader's page
        bgHeader = 0x800;
        bgSize = std::min(bgSize, 0x600u);
        blCodeEnd = 0x800;
    } else {
        bgHeader = uint32_t(roundUp(LITTLE_START + ltSize, PAGE));
    }
    if (has(Fault::NoEndMarker))
        bgSize = limit + 64 - bgHeader;
    const uint32_t ltEnd = LITTLE_START + ltSize;
    if (o.ltHeaderOffset % 4 || o.blHeaderOffset % 4)
        return fail("header offsets must be multiples of 4");
    if (o.blHeaderOffset + HEADER > blCodeEnd)
        return fail("--bl-header-offset must leave the BL header inside the bootloader code");
    if (ltHeader + HEADER > ltEnd)
        return fail("--lt-size too small for the LT header");
    if (!has(Fault::ShortFile) && (ltEnd < VALUE_AT + 4 || (VALUE_AT + 4 > ltHeader && VALUE_AT < ltHeader + HEADER)))
        return fail("the little code must hold the value at 0x3014 outside its header (--lt-size, --lt-header-offset)");
    if (!has(Fault::BgInFirstPage) && ltEnd > bgHeader)
        return fail("the little code must end before the big-code header");
    if (bgSize < 2 * HEADER + 8)
        return fail("--bg-size must be at least 80");

    const uint32_t sBg = bgHeader + 4;
    const uint32_t codeEnd = bgHeader + bgSize;
    const uint64_t endLine = sBg + roundUp(codeEnd - sBg, LINE); // first line of the grid after the code
    uint64_t size = std::max(roundUp(endLine + 20, FILE_ALIGN), roundUp(ltEnd, FILE_ALIGN));
    uint64_t blHeader = o.blHeaderOffset;
    if (has(Fault::BlPageCut)) {
        blHeader = roundUp(endLine + 20, 4);
        size = roundUp(blHeader + HEADER + 16, FILE_ALIGN);
        if (size % PAGE == 0)
            size += FILE_ALIGN;
    }
    if (has(Fault::EndLineCut))
        size = endLine + LINE;
    if (size > 0x7FFFFFFF)
        return fail("file too big");

    Image image(size);
    image.random(0, blCodeEnd, m_gen);
    image.random(LITTLE_START, ltEnd, m_gen);
    image.random(bgHeader, codeEnd, m_gen);
    image.scrub(0, size);
    // The first all-0xFF line must be the one after the code: no line of the
    // code may be all 0xFF, and its last byte is not 0xFF either.
    image.put(codeEnd - 1, 0x00);
    for (uint64_t p = sBg; p < codeEnd; p += LINE) {
        const auto& b = image.bytes();
        if (std::all_of(b.begin() + p, b.begin() + std::min<uint64_t>(p + LINE, codeEnd), [](uint8_t x) { return x == 0xFF; }))
            image.put(p, 0x00);
    }

    const uint8_t blProcessor = o.blProcessor.value_or(has(Fault::ProcessorMismatch) ? (o.processor == 5 ? 1 : 5) : o.processor);
    const uint8_t bgStructure = o.bgStructureId.value_or(has(Fault::StructureMismatch) ? uint8_t(o.structureId + 1) : o.structureId);
    const uint8_t blStructure = o.blStructureId.value_or(o.structureId);
    const uint8_t ltMinor = uint8_t(o.ltVersion.minor | (has(Fault::LtMinorLow) ? 0 : LITTLE_MARK));
    const uint8_t bgMinor = uint8_t(o.bgVersion.minor | (has(Fault::BgMinorHigh) ? LITTLE_MARK : 0));
    const Version needs = o.bgNeedsLt.value_or(o.ltVersion);

    if (!sectionHeader(image, blHeader, "VltBl", blProcessor, 0, blStructure, ltMinor, uint8_t(o.ltVersion.major),
                       o.ltMinVersion, HEADER))
        return false;
    if (has(Fault::SignatureAtStart)) { // LT signature at 0: its size word would lie before the file
        if (!sectionHeader(image, 0, "VltLt", o.processor, o.ltReserved, o.structureId, ltMinor,
                           uint8_t(o.ltVersion.major), o.ltMinVersion, HEADER))
            return false;
        // Shift it 4 bytes down: the signature at 0, its fields after it.
        std::vector<uint8_t>& b = image.bytes();
        std::copy(b.begin() + 4, b.begin() + HEADER, b.begin());
    } else {
        const uint32_t h = ltHeader + (has(Fault::UnalignedSignature) ? 2 : 0);
        if (!sectionHeader(image, h, "VltLt", o.processor, o.ltReserved, o.structureId, ltMinor,
                           uint8_t(o.ltVersion.major), o.ltMinVersion, has(Fault::HeaderSize40) ? 40 : HEADER))
            return false;
        // The build fills the little code's length and sum; the upgrader sends them as they are.
        image.le(h + 24, ltEnd - h, 4);
        image.le(h + 28, image.wordSum(h + HEADER, ltEnd), 8);
    }
    if (!sectionHeader(image, bgHeader, "VltBg", o.processor, o.bgReserved, bgStructure, bgMinor,
                       uint8_t(o.bgVersion.major), needs, HEADER))
        return false;
    if (!has(Fault::ShortFile)) {
        const uint64_t key = uint64_t(FILE_KEY_HIGH) << 32 | FILE_KEY_LOW;
        for (uint32_t i = 0; i < 4; ++i)
            image.put(VALUE_AT + i, uint8_t(o.ltValue >> (8 * i)) ^ uint8_t(key >> (8 * ((VALUE_AT + i) % 8))));
    }
    if (has(Fault::ExtraVeltra)) {
        image.text(bgHeader + 64, "Veltra");
        report("extra_veltra", bgHeader + 64);
    }

    const uint64_t length = endLine + 24 - sBg;
    report("lt_signature", has(Fault::SignatureAtStart) ? 0 : ltHeader + 4);
    report("bg_signature", sBg);
    report("bl_signature", blHeader + 4);
    report("lt_value", o.ltValue);
    report("end_line", endLine);
    report("bg_length", length);
    if (bgHeader + length <= size)
        report("bg_checksum", image.wordSum(bgHeader + HEADER, bgHeader + length));
    m_result.bytes = std::move(image.bytes());
    return !has(Fault::HeaderCut) || cutShort(sBg + 12);
}

Result Builder::run() {
    const bool ok = m_o.format == Format::Sections ? sectionsFile() : singleFile();
    if (ok && m_o.truncate)
        cutShort(size_t(*m_o.truncate));
    if (!m_result.error.empty())
        m_result.bytes.clear();
    else
        report("size", m_result.bytes.size());
    return std::move(m_result);
}

} // namespace

Result layOut(const Options& options) {
    const bool sections = options.format == Format::Sections;
    for (Fault f : options.faults) {
        const bool sectionsOnly = f == Fault::LtMinorLow || f == Fault::BgMinorHigh || f == Fault::ProcessorMismatch ||
                                  f == Fault::StructureMismatch || f == Fault::NoEndMarker || f == Fault::EndLineCut ||
                                  f == Fault::BgInFirstPage || f == Fault::BlPageCut || f == Fault::ShortFile;
        if (sectionsOnly && !sections)
            return Result{{}, std::string("fault ") + faultName(f) + " needs --format sections", {}};
        if (f == Fault::HeaderSize40 && options.format == Format::Legacy)
            return Result{{}, "fault header-size-40 needs a format with a header-size word (32bits or sections)", {}};
    }
    return Builder(options).run();
}

std::optional<Fault> faultByName(const std::string& name) {
    for (const Names& n : FAULT_NAMES)
        if (name == n.name)
            return n.fault;
    return std::nullopt;
}

const char* faultName(Fault fault) {
    for (const Names& n : FAULT_NAMES)
        if (fault == n.fault)
            return n.name;
    return "?";
}

} // namespace mkfw

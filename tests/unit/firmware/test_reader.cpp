// The firmware file reader: path checks, signature search and format
// decision, header decoding, labels, and the files it must refuse.
#include "FirmwareTestSupport.h"

#include <fcntl.h>
#include <unistd.h>

using namespace fwtest;

namespace {

const std::string PLACE = "\tTFormMain::openBinFile";

// A rejected load leaves nothing usable behind.
void expectRejected(const Load& load, const std::string& message) {
    EXPECT_FALSE(load.ok);
    EXPECT_EQ(occurrences(load.reports, message), 1u) << "reports: " << load.reports;
    EXPECT_TRUE(load.file.empty());
    EXPECT_EQ(load.description.m_nFileFormat, FORMAT_NONE);
}

// The worked legacy header: type 18.4, firmware 1.5, hardware at most 2.9,
// minimum firmware 1.0, no lowest hardware.
const Bytes LEGACY_HEADER = {0x56, 0x65, 0x6C, 0x74, 0x72, 0x61, 0x00, 0x12, 0x00,
                             0x04, 0x02, 0x09, 0x01, 0x05, 0x00, 0x01, 0x00, 0x00};
// The same values as a 32-bit header with lowest hardware 1.0.
const Bytes BITS32_HEADER = {0x24, 0x00, 0x00, 0x00, 0x56, 0x65, 0x6C, 0x74, 0x72, 0x61, 0x33, 0x32,
                             0x04, 0x00, 0x12, 0x00, 0x05, 0x01, 0x09, 0x02, 0x00, 0x01, 0x00, 0x01};

Bytes fileWith(size_t size, size_t at, const Bytes& header) {
    Bytes f(size, 0x11);
    put(f, at, header);
    return f;
}

constexpr int32_t V(int major, int minor) { return major << 16 | minor; }

} // namespace

TEST(BinFileReader, WorkedHeadersDecodeToTheirValues) {
    const Load legacy = loadBytes(fileWith(256, 0x40, LEGACY_HEADER));
    ASSERT_TRUE(legacy.ok) << legacy.reports;
    EXPECT_EQ(legacy.description.m_nFileFormat, FORMAT_LEGACY);
    EXPECT_EQ(legacy.description.m_nSignatureOffset[SIGNATURE_LEGACY], 0x40);
    EXPECT_EQ(legacy.description.m_nFileDeviceType, V(18, 4));
    EXPECT_EQ(legacy.description.m_nFileVersion, V(1, 5));
    EXPECT_EQ(legacy.description.m_nFileMaxHardware, V(2, 9));
    EXPECT_EQ(legacy.description.m_nFileMinVersion, V(1, 0));
    EXPECT_EQ(legacy.description.m_nFileMinHardware, -1);
    EXPECT_EQ(legacy.labels.version, "1.5");
    EXPECT_EQ(legacy.labels.version2, "");
    EXPECT_EQ(legacy.labels.fileName, "fw.bin");
    EXPECT_EQ(legacy.labels.fileLength, "256 Bytes");
    EXPECT_EQ(legacy.file.bytes.size(), 256u);

    const Load bits32 = loadBytes(fileWith(256, 0x40, BITS32_HEADER));
    ASSERT_TRUE(bits32.ok) << bits32.reports;
    EXPECT_EQ(bits32.description.m_nFileFormat, FORMAT_32BITS);
    EXPECT_EQ(bits32.description.m_nSignatureOffset[SIGNATURE_32BITS], 0x44);
    EXPECT_EQ(bits32.description.m_nSignatureOffset[SIGNATURE_LEGACY], 0x44);
    EXPECT_EQ(bits32.description.m_nFileDeviceType, V(18, 4));
    EXPECT_EQ(bits32.description.m_nFileVersion, V(1, 5));
    EXPECT_EQ(bits32.description.m_nFileMaxHardware, V(2, 9));
    EXPECT_EQ(bits32.description.m_nFileMinVersion, V(1, 0));
    EXPECT_EQ(bits32.description.m_nFileMinHardware, V(1, 0));

    const Load sections = loadBytes(SectionsFile{}.build(), "two.bi2");
    ASSERT_TRUE(sections.ok) << sections.reports;
    const KWOSBinFileDescription& d = sections.description;
    EXPECT_EQ(d.m_nFileFormat, FORMAT_SECTIONS);
    EXPECT_EQ(d.m_nSignatureOffset[SIGNATURE_LT], 0x1204);
    EXPECT_EQ(d.m_nSignatureOffset[SIGNATURE_BG], 0x4004);
    EXPECT_EQ(d.m_nSignatureOffset[SIGNATURE_BL], 0x204);
    EXPECT_EQ(d.m_nSectionDeviceType[SECTION_LT], V(18, 4));
    EXPECT_EQ(d.m_nSectionVersion[SECTION_LT], V(1, 0x82)); // keeps the little-code mark
    EXPECT_EQ(d.m_nSectionMaxHardware[SECTION_LT], V(2, 9));
    EXPECT_EQ(d.m_nSectionMinVersion[SECTION_LT], V(1, 0));
    EXPECT_EQ(d.m_nSectionMinHardware[SECTION_LT], V(1, 0));
    EXPECT_EQ(d.m_nSectionDeviceType[SECTION_BG], V(18, 4));
    EXPECT_EQ(d.m_nSectionVersion[SECTION_BG], V(1, 5));
    EXPECT_EQ(d.m_nSectionMinVersion[SECTION_BG], V(1, 2));
    EXPECT_EQ(sections.labels.version, "LT : 1.2");
    EXPECT_EQ(sections.labels.version2, "BG : 1.5");
    EXPECT_EQ(sections.labels.fileName, "two.bi2");
}

struct GroupCase {
    bool legacy;
    Bytes group;
    int32_t hardware;
    int32_t firmware;
};

TEST(BinFileReader, HeaderGroupsGiveHardwareLimitAndFirmware) {
    const GroupCase cases[] = {
        {true, {0x00, 0x01, 0x00, 0x05}, -1, V(1, 5)},
        {true, {0x02, 0x09, 0x01, 0x05}, V(2, 9), V(1, 5)},
        {true, {0x00, 0x00, 0x01, 0x2C}, -1, V(0, 300)}, // no limit: 16-bit minor
        {false, {0x05, 0x01, 0x09, 0x02}, V(2, 9), V(1, 5)},
        {false, {0x05, 0x00, 0x01, 0x00}, -1, V(1, 5)},
        {false, {0x2C, 0x01, 0x03, 0x00}, -1, V(3, 300)},
    };
    for (const GroupCase& c : cases) {
        for (int group = 0; group < 2; ++group) { // A: max hardware + version; B: min hardware + min version
            Bytes header = c.legacy ? LEGACY_HEADER : BITS32_HEADER;
            put(header, (c.legacy ? 10 : 16) + 4 * group, c.group);
            const Load load = loadBytes(fileWith(256, 0x40, header));
            ASSERT_TRUE(load.ok) << load.reports;
            const int32_t hardware = group == 0 ? load.description.m_nFileMaxHardware : load.description.m_nFileMinHardware;
            const int32_t firmware = group == 0 ? load.description.m_nFileVersion : load.description.m_nFileMinVersion;
            EXPECT_EQ(hardware, c.hardware) << (c.legacy ? "legacy" : "32bits") << " group " << group;
            EXPECT_EQ(firmware, c.firmware) << (c.legacy ? "legacy" : "32bits") << " group " << group;
        }
    }
}

TEST(BinFileReader, FormatDecisions) {
    const std::string noSignature = "Valid signature not found in the bin file." + PLACE;
    struct Case {
        const char* name;
        Bytes bytes;
        int32_t format; // FORMAT_NONE: rejected with noSignature
    };
    Bytes eightBytes = {'V', 'e', 'l', 't', 'r', 'a', 0, 0};
    Bytes nineBytes = fileWith(9, 0, {'V', 'e', 'l', 't', 'r', 'a'});
    Bytes unaligned = fileWith(256, 0x42, LEGACY_HEADER);
    Bytes sectionsAndVeltra = SectionsFile{}.build();
    putText(sectionsAndVeltra, 0x2000, "Veltra");
    Bytes ltAndBgOnly = SectionsFile{}.build();
    putText(ltAndBgOnly, 0x204, "Xxxxx");
    Bytes veltra32Only = fileWith(256, 0x40, BITS32_HEADER);
    putText(veltra32Only, 0x44, "Veltrb32"); // "Veltra32" without "Veltra" cannot occur; a lone broken one
    Bytes bits32AndSection = fileWith(256, 0x40, BITS32_HEADER);
    putText(bits32AndSection, 0x80, "VltBl");
    Bytes legacyAndSection = fileWith(256, 0x40, LEGACY_HEADER);
    putText(legacyAndSection, 0x80, "VltLt");
    const Case cases[] = {
        {"8-byte file", eightBytes, FORMAT_NONE},
        {"Veltra32 and a section signature", bits32AndSection, FORMAT_NONE},
        {"Veltra and a section signature", legacyAndSection, FORMAT_NONE},
        {"signature 2 bytes off", unaligned, FORMAT_NONE},
        {"three sections and Veltra", sectionsAndVeltra, FORMAT_NONE},
        {"two sections", ltAndBgOnly, FORMAT_NONE},
        {"no signature", veltra32Only, FORMAT_NONE},
        {"empty file", Bytes{}, FORMAT_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Load load = loadBytes(c.bytes);
        expectRejected(load, noSignature);
        if (c.bytes.size() <= 8) {
            for (int i = 0; i < SIGNATURE_COUNT; ++i)
                EXPECT_EQ(load.description.m_nSignatureOffset[i], -1);
        }
    }
    // 9 bytes: one search position, where "Veltra" is found (and its header cut short).
    expectRejected(loadBytes(nineBytes), "Header cut short in bin file for Veltra." + PLACE);
}

TEST(BinFileReader, Veltra32AndALaterVeltraIs32BitsWithTheLaterOffset) {
    Bytes f = fileWith(512, 0x40, BITS32_HEADER);
    putText(f, 0x100, "Veltra");
    putText(f, 0x180, "Veltra");
    const Load load = loadBytes(f);
    ASSERT_TRUE(load.ok) << load.reports;
    EXPECT_EQ(load.description.m_nFileFormat, FORMAT_32BITS);
    EXPECT_EQ(load.description.m_nSignatureOffset[SIGNATURE_32BITS], 0x44);
    EXPECT_EQ(load.description.m_nSignatureOffset[SIGNATURE_LEGACY], 0x180);
    EXPECT_EQ(load.description.m_nFileVersion, V(1, 5)); // decoded from the Veltra32 header
}

TEST(BinFileReader, LastOccurrenceOfASignatureWins) {
    Bytes f = fileWith(512, 0x40, LEGACY_HEADER);
    Bytes second = LEGACY_HEADER;
    second[13] = 0x07; // firmware 1.7
    put(f, 0x100, second);
    const Load load = loadBytes(f);
    ASSERT_TRUE(load.ok) << load.reports;
    EXPECT_EQ(load.description.m_nSignatureOffset[SIGNATURE_LEGACY], 0x100);
    EXPECT_EQ(load.description.m_nFileVersion, V(1, 7));
}

TEST(BinFileReader, HeaderChecksAndSectionVersions) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::string message;
        bool labelsFilled;
    };
    Bytes bits32Size40 = fileWith(256, 0x40, BITS32_HEADER);
    put(bits32Size40, 0x40, {40, 0, 0, 0});
    Bytes ltSize40 = SectionsFile{}.build();
    put(ltSize40, 0x1200, {40, 0, 0, 0});
    Bytes bgSize0 = SectionsFile{}.build();
    put(bgSize0, 0x4000, {0, 0, 0, 0});
    Bytes ltMinor7F = SectionsFile{}.build();
    put(ltMinor7F, 0x1210, {0x7F});
    Bytes bgMinor80 = SectionsFile{}.build();
    put(bgMinor80, 0x4010, {0x80});
    const Case cases[] = {
        {"32bits size 40", bits32Size40, "Bad header size in 32bits bin file." + PLACE + "\r\n Header size read = 40", false},
        {"LT size 40", ltSize40, "Bad header size in bin file for VltLt." + PLACE + "\r\n Header size read = 40", false},
        {"BG size 0", bgSize0, "Bad header size in bin file for VltBg." + PLACE + "\r\n Header size read = 0", false},
        {"LT minor 0x7F", ltMinor7F, "Bin file Little code version < 128." + PLACE, true},
        {"BG minor 0x80", bgMinor80, "Bin file Big code version > 128." + PLACE, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Load load = loadBytes(c.bytes);
        expectRejected(load, c.message);
        EXPECT_EQ(!load.labels.fileName.empty(), c.labelsFilled);
        if (c.labelsFilled) {
            EXPECT_EQ(load.labels.version, c.bytes[0x1210] == 0x7F ? "LT : 1.127" : "LT : 1.2");
            EXPECT_EQ(load.labels.version2, c.bytes[0x4010] == 0x80 ? "BG : 1.128" : "BG : 1.5");
        }
    }
}

TEST(BinFileReader, UnsafeFilesAreRejectedWithoutReadingPastTheirEnd) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::string message;
    };
    Bytes bits32AtStart = fileWith(256, 0, Bytes(BITS32_HEADER.begin() + 4, BITS32_HEADER.end()));
    Bytes ltAtStart = SectionsFile{}.build();
    put(ltAtStart, 0, Bytes(ltAtStart.begin() + 0x1204, ltAtStart.begin() + 0x1224));
    putText(ltAtStart, 0x1204, "Xxxxx");
    // Exactly sized files whose decoded header bytes run past the end; the
    // vector is what the reader owns, so ASan sees any read beyond it.
    Bytes legacyCut = fileWith(0x40 + 17, 0x40, Bytes(LEGACY_HEADER.begin(), LEGACY_HEADER.begin() + 17));
    Bytes bits32Cut = fileWith(0x40 + 23, 0x40, Bytes(BITS32_HEADER.begin(), BITS32_HEADER.begin() + 23));
    Bytes bgCut = SectionsFile{}.build();
    bgCut.resize(0x4004 + 19);
    Bytes legacyNearStart = fileWith(256, 12, LEGACY_HEADER);
    SectionsFile shortLayout;
    shortLayout.bgHeader = 0x2000;
    shortLayout.endLine = 0x2404;
    shortLayout.size = 0x3016;
    Bytes tooShort = shortLayout.build();
    SectionsFile bgInFirstPage;
    bgInFirstPage.bgHeader = 0x800;
    bgInFirstPage.endLine = 0x804 + 0x100;
    Bytes bgEarly = bgInFirstPage.build();
    Bytes blCut = SectionsFile{}.build();
    put(blCut, 0x5F00, Bytes(blCut.begin() + 0x200, blCut.begin() + 0x224)); // BL header in the last page
    putText(blCut, 0x204, "Xxxxx");
    blCut.resize(0x5F80);
    const Case cases[] = {
        {"32bits signature at 0", bits32AtStart, "Bad header size in 32bits bin file." + PLACE + "\r\n Header size read = 0"},
        {"LT signature at 0", ltAtStart, "Bad header size in bin file for VltLt." + PLACE + "\r\n Header size read = 0"},
        {"legacy header cut", legacyCut, "Header cut short in bin file for Veltra." + PLACE},
        {"32bits header cut", bits32Cut, "Header cut short in bin file for Veltra32." + PLACE},
        {"BG header cut", bgCut, "Header cut short in bin file for VltBg." + PLACE},
        {"legacy 12 bytes from the start", legacyNearStart, "Veltra header less than 16 bytes from the start of the bin file." + PLACE},
        {"sections ending before 0x3018", tooShort, "Bin file too short for the little code value at 0x3014." + PLACE},
        {"BG header in the first page", bgEarly, "Big code header before the little code start in bin file." + PLACE},
        {"BL page past the end", blCut, "BL page runs past the end of the bin file." + PLACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectRejected(loadBytes(c.bytes), c.message);
    }
}

TEST(BinFileReader, PathChecksInOrder) {
    ScratchDir dir;
    const std::string valid = dir.write("good.bin", fileWith(256, 0x40, LEGACY_HEADER));
    dir.write("capital.BIN", fileWith(256, 0x40, LEGACY_HEADER));
    dir.write("text.txt", fileWith(256, 0x40, LEGACY_HEADER));
    std::filesystem::create_directory(dir.path("folder.bin"));
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {"", "szFilePath==NULL" + PLACE},
        {dir.path("missing.bin"), "The *.bin file does not exist." + PLACE},
        {dir.path("folder.bin"), "The *.bin file does not exist." + PLACE},
        {dir.path("capital.BIN"), "Wrong file extension." + PLACE},
        {dir.path("text.txt"), "Wrong file extension." + PLACE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        // A rejected load after a good one leaves nothing of the good one behind.
        Load load = loadPath(valid);
        ASSERT_TRUE(load.ok) << load.reports;
        load.reports = reportsOf([&] { load.ok = openBinFile(c.path, load.file, load.description, load.labels); });
        expectRejected(load, c.message);
        EXPECT_EQ(load.description.m_nFileVersion, 0);
    }
    const Load bi2 = loadPath(dir.write("other.bi2", fileWith(256, 0x40, LEGACY_HEADER)));
    EXPECT_TRUE(bi2.ok) << bi2.reports;
    EXPECT_EQ(bi2.file.path, dir.path("other.bi2"));
}

TEST(BinFileReader, ABadFileAfterAGoodOneKeepsNoHeaderValues) {
    ScratchDir dir;
    Load load = loadPath(dir.write("good.bin", SectionsFile{}.build()));
    ASSERT_TRUE(load.ok) << load.reports;
    Bytes bad = SectionsFile{}.build();
    put(bad, 0x4000, {40, 0, 0, 0});
    const std::string badPath = dir.write("bad.bin", bad);
    load.reports = reportsOf([&] { load.ok = openBinFile(badPath, load.file, load.description, load.labels); });
    expectRejected(load, "Bad header size in bin file for VltBg.");
    EXPECT_EQ(load.description.m_nSectionVersion[SECTION_LT], 0);
    EXPECT_EQ(load.description.m_nSignatureOffset[SIGNATURE_LT], -1);
}

TEST(BinFileReader, AFileTooBigForAnImageIsRefusedBeforeItIsRead) {
    ScratchDir dir;
    const std::string path = dir.path("huge.bin");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(MAX_IMAGE_SIZE)), 0); // sparse: no disk space used
    ::close(fd);
    expectRejected(loadPath(path), "Bin file too big." + PLACE);
}

TEST(BinFileReader, VersionWordText) {
    EXPECT_EQ(versionWordText(V(1, 5)), "1.5");
    EXPECT_EQ(versionWordText(V(18, 300)), "18.300");
    EXPECT_EQ(versionWordText(-1), "-1.65535");
}

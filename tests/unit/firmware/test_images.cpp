// Upload images: sizes, checksum, descrambling, the single images and the
// two images of a sectioned file with their checks.
#include "FirmwareTestSupport.h"

using namespace fwtest;

namespace {

const std::string PLACE = "\tKWOCFwUpgraderRS485::startLoadBinFile";

Load loaded(const Bytes& bytes) {
    Load load = loadBytes(bytes);
    EXPECT_TRUE(load.ok) << load.reports;
    return load;
}

bool allFill(const Bytes& image, size_t from) {
    return std::all_of(image.begin() + ptrdiff_t(from), image.end(), [](uint8_t b) { return b == IMAGE_FILL; });
}

bool sameBytes(const Bytes& image, size_t at, const Bytes& file, size_t from, size_t count) {
    return std::equal(image.begin() + ptrdiff_t(at), image.begin() + ptrdiff_t(at + count), file.begin() + ptrdiff_t(from));
}

uint64_t wordSum(const Bytes& b, size_t from, size_t to) {
    uint64_t sum = 0;
    for (size_t p = from; p < to; p += 4)
        sum += le32(b, p);
    return sum;
}

struct Built {
    bool ok = false;
    std::string reports;
    KWOSSectionImages images;
};

Built buildSections(const KWOSBinFile& file, const KWOSBinFileDescription& d) {
    Built built;
    built.reports = reportsOf([&] { built.ok = buildSectionImages(file, d, built.images); });
    return built;
}

} // namespace

TEST(FirmwareImages, ImageSizeIsTheNextMultipleOf64AboveTheContent) {
    const std::pair<uint64_t, uint64_t> cases[] = {{0, 64}, {1, 64}, {63, 64}, {64, 128}, {128, 192},
                                                   {954, 960}, {0x1018, 0x1040}, {0xFFFFFFFFull, 0x100000000ull}};
    for (const auto& [content, size] : cases)
        EXPECT_EQ(imageSizeFor(content), size) << content;
}

TEST(FirmwareImages, ChecksumOfWordsWithPartialEdgesCountingAs0xFF) {
    struct Case {
        Bytes image;
        size_t end, start;
        uint64_t sum;
    };
    const Case cases[] = {
        {{0x01, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, 8, 0, 4294967296ull}, // the carry stays in the upper half
        {{0x11, 0x22, 0x33, 0x44}, 4, 1, 0x443322FF},
        {{0x11, 0x22, 0x33, 0x44}, 3, 0, 0xFF332211},
        {{0x11, 0x22, 0x33, 0x44}, 3, 1, 0xFF3322FF},
        {{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, 7, 2, 0x4433FFFFull + 0xFF776655ull},
        {{0x11, 0x22, 0x33, 0x44}, 4, 4, 0},
        {{0x11, 0x22, 0x33, 0x44}, 2, 3, 0},
        {{0x01, 0, 0, 0}, 400, 0, 1}, // an end past the image is clamped
    };
    for (const Case& c : cases)
        EXPECT_EQ(imageChecksum(c.image, c.end, c.start), c.sum) << "end " << c.end << " start " << c.start;
}

TEST(FirmwareImages, DescramblingDependsOnTheFileOffsetAndIsItsOwnInverse) {
    Bytes original(24);
    for (size_t i = 0; i < original.size(); ++i)
        original[i] = uint8_t(i * 37);
    Bytes data = original;
    descrambleFileBytes(data, 0x3014);
    EXPECT_NE(data, original);
    descrambleFileBytes(data, 0x3014);
    EXPECT_EQ(data, original);

    Bytes zeros(16, 0), at0 = zeros, at8 = zeros, at1 = zeros;
    descrambleFileBytes(at0, 0);
    descrambleFileBytes(at8, 8);
    descrambleFileBytes(at1, 1);
    EXPECT_EQ(at0, at8); // an 8-byte key
    EXPECT_NE(at0, at1);
    EXPECT_TRUE(std::equal(at1.begin(), at1.begin() + 15, at0.begin() + 1));
}

TEST(FirmwareImages, LegacyImageStartsWith55AAThenTheFile16BytesBeforeTheHeader) {
    Bytes f(1000);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = uint8_t(i);
    put(f, 0x40, {0x56, 0x65, 0x6C, 0x74, 0x72, 0x61, 0x00, 0x12, 0x00, 0x04, 0x02, 0x09, 0x01, 0x05, 0x00, 0x01, 0x00, 0x00});
    const Load load = loaded(f);
    KWOImage image;
    ASSERT_TRUE(buildSingleImage(load.file, load.description, image));
    ASSERT_EQ(image.size(), 1024u);
    EXPECT_EQ(image[0], 0x55);
    EXPECT_EQ(image[1], 0xAA);
    EXPECT_TRUE(sameBytes(image, 2, f, 0x30, 1000 - 0x30));
    EXPECT_TRUE(allFill(image, 2 + 1000 - 0x30));
}

TEST(FirmwareImages, Bits32ImageStartsAtTheHeaderSizeWord) {
    const Bytes header = {0x24, 0x00, 0x00, 0x00, 0x56, 0x65, 0x6C, 0x74, 0x72, 0x61, 0x33, 0x32,
                          0x04, 0x00, 0x12, 0x00, 0x05, 0x01, 0x09, 0x02, 0x00, 0x01, 0x00, 0x01};
    struct Case {
        size_t fileSize, headerAt, imageSize;
    };
    const Case cases[] = {{128, 0, 192}, {256, 0x40, 320}, {200, 0x80, 256}};
    for (const Case& c : cases) {
        Bytes f(c.fileSize, 0x21);
        put(f, c.headerAt, header);
        const Load load = loaded(f);
        KWOImage image;
        ASSERT_TRUE(buildSingleImage(load.file, load.description, image));
        EXPECT_EQ(image.size(), c.imageSize);
        EXPECT_TRUE(sameBytes(image, 0, f, c.headerAt, c.fileSize - c.headerAt));
        EXPECT_TRUE(allFill(image, c.fileSize - c.headerAt));
    }
}

TEST(FirmwareImages, SectionImagesWorkedValues) {
    const SectionsFile layout; // BG header 0x4000, first all-0xFF line 0x1000 after the BG signature
    const Bytes f = layout.build();
    const Load load = loaded(f);
    const Built built = buildSections(load.file, load.description);
    ASSERT_TRUE(built.ok) << built.reports;
    const KWOSSectionImages& im = built.images;
    EXPECT_EQ(im.processor, 1);
    EXPECT_EQ(im.structureId, 0x0300);
    EXPECT_EQ(im.blStructureId, 0x0300);
    EXPECT_EQ(im.endSearchLimit, 0x7C000);
    EXPECT_EQ(im.pageSize, 4096);
    EXPECT_EQ(im.littleCodeStart, 4096);

    // Little code: "VltSD", processor, N = 2,013,456 as 13 and 2, code, BL page.
    ASSERT_EQ(im.little.size(), 0x4040u);
    EXPECT_EQ(Bytes(im.little.begin(), im.little.begin() + 8), (Bytes{'V', 'l', 't', 'S', 'D', 1, 13, 2}));
    EXPECT_TRUE(sameBytes(im.little, 8, f, 0x1000, 0x3000));
    EXPECT_TRUE(sameBytes(im.little, 8 + 0x3000, f, 0, 4096));
    EXPECT_TRUE(allFill(im.little, 0x4008));

    // Big code: L = 0x1018, size 0x1040, length and checksum filled in.
    EXPECT_EQ(im.bigCodeLength, 0x1018u);
    ASSERT_EQ(im.big.size(), 0x1040u);
    EXPECT_TRUE(sameBytes(im.big, 0, f, 0x4000, 24));
    EXPECT_EQ(le32(im.big, 24), 0x1018u);
    const uint64_t expected = wordSum(f, 0x4000 + 36, 0x4000 + 0x1018);
    EXPECT_EQ(le64(im.big, 28), expected);
    EXPECT_EQ(im.bigCodeChecksum, expected);
    EXPECT_TRUE(sameBytes(im.big, 36, f, 0x4000 + 36, 0x1018 - 36));
    EXPECT_TRUE(allFill(im.big, 0x1018));
}

TEST(FirmwareImages, LittleImageValueBytes) {
    const std::pair<uint32_t, std::pair<uint8_t, uint8_t>> cases[] = {
        {2013456, {13, 2}}, {0, {0, 0}}, {999, {0, 0}}, {1000, {1, 0}}, {255999, {255, 0}}, {256000, {0, 0}},
        {4294967295u, {uint8_t(((4294967295ull - 198ull * 1000000) / 1000) % 256), 198}},
    };
    for (const auto& [value, bytes] : cases) {
        SectionsFile layout;
        layout.value = value;
        const Load load = loaded(layout.build());
        const Built built = buildSections(load.file, load.description);
        ASSERT_TRUE(built.ok) << built.reports;
        EXPECT_EQ(built.images.little[6], bytes.first) << value;
        EXPECT_EQ(built.images.little[7], bytes.second) << value;
    }
}

TEST(FirmwareImages, SectionChecksWhenAnUpgradeStarts) {
    struct Case {
        const char* name;
        SectionsFile layout;
        std::string message; // empty: accepted
        int32_t limit;
    };
    const auto with = [](auto change) {
        SectionsFile l;
        change(l);
        return l;
    };
    SectionsFile farEnd = with([](SectionsFile& l) { l.size = 0x7D000; l.endLine = 0x7C004; });
    SectionsFile lastLine = with([](SectionsFile& l) { l.size = 0x7D000; l.endLine = 0x7BFF4; });
    const Case cases[] = {
        {"BL processor differs", with([](SectionsFile& l) { l.processor[2] = 5; }),
         "Processor used error in bin file, value for LT, BG and BL not equal.", 0},
        {"BG processor differs", with([](SectionsFile& l) { l.processor[1] = 5; }),
         "Processor used error in bin file, value for LT, BG and BL not equal.", 0},
        {"processor 2", with([](SectionsFile& l) { l.processor[0] = l.processor[1] = l.processor[2] = 2; }),
         "Processor LPC1788 not managed yet.", 0},
        {"processor 3", with([](SectionsFile& l) { l.processor[0] = l.processor[1] = l.processor[2] = 3; }),
         "Processor LPC4078 not managed yet.", 0},
        {"processor 4", with([](SectionsFile& l) { l.processor[0] = l.processor[1] = l.processor[2] = 4; }),
         "Processor LPC4088 not managed yet.", 0},
        {"processor 0", with([](SectionsFile& l) { l.processor[0] = l.processor[1] = l.processor[2] = 0; }),
         "Unknown processor used in bin file.", 0},
        {"processor 6", with([](SectionsFile& l) { l.processor[0] = l.processor[1] = l.processor[2] = 6; }),
         "Unknown processor used in bin file.", 0},
        {"structure IDs differ", with([](SectionsFile& l) { l.structureId[1] = 4; }),
         "Structure ID error in bin file, value for LT and BG not equal.", 0},
        {"BL structure ID differs", with([](SectionsFile& l) { l.structureId[2] = 9; }), "", 0x7C000},
        {"reserved bytes differ", with([](SectionsFile& l) { l.reserved[0] = 1; l.reserved[1] = 2; }), "", 0x7C000},
        {"processor 5", with([](SectionsFile& l) { l.processor[0] = l.processor[1] = l.processor[2] = 5; }), "", 0xFC000},
        {"end line past 0x7C000", farEnd, "Big code end address not found in bin file.", 0},
        {"end line at the last step before 0x7C000", lastLine, "", 0x7C000},
        {"end line off the 16-byte steps from the signature", with([](SectionsFile& l) { l.endLine = 0x5000; }),
         "Big code end address not found in bin file.", 0},
        {"file ends with the end line", with([](SectionsFile& l) { l.size = 0x5004 + 16; }),
         "Big code end address not found in bin file.", 0},
        {"file ends 19 bytes after the end line starts", with([](SectionsFile& l) { l.size = 0x5004 + 19; }),
         "Big code end address not found in bin file.", 0},
        {"file ends 20 bytes after the end line starts", with([](SectionsFile& l) { l.size = 0x5004 + 20; }), "", 0x7C000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Load load = loaded(c.layout.build());
        const Built built = buildSections(load.file, load.description);
        if (c.message.empty()) {
            EXPECT_TRUE(built.ok) << built.reports;
            EXPECT_EQ(built.images.endSearchLimit, c.limit);
            EXPECT_EQ(built.images.bigCodeLength, c.layout.endLine + 24 - (c.layout.bgHeader + 4));
            EXPECT_EQ(built.images.blStructureId, c.layout.structureId[2] << 8);
        } else {
            EXPECT_FALSE(built.ok);
            EXPECT_EQ(occurrences(built.reports, c.message + PLACE), 1u) << built.reports;
            EXPECT_TRUE(built.images.big.empty());
            if (c.message.rfind("Big code", 0) != 0) {
                EXPECT_TRUE(built.images.little.empty()); // refused before any image is built
            }
        }
    }
}

TEST(FirmwareImages, BuildersRefuseWhatTheyCannotUseAndReadNothingOutsideTheFile) {
    const Load sections = loaded(SectionsFile{}.build());
    Bytes legacyBytes(256, 0x11);
    putText(legacyBytes, 0x40, "Veltra");
    const Load legacy = loaded(legacyBytes);

    KWOImage image;
    KWOSSectionImages images;
    struct Case {
        const char* name;
        std::function<bool()> call;
        std::string message;
    };
    KWOSBinFile truncated = sections.file;
    truncated.bytes.resize(0x4008); // BG signature no longer wholly inside
    KWOSBinFileDescription nowhere = legacy.description;
    nowhere.m_nSignatureOffset[SIGNATURE_LEGACY] = 5000;
    KWOSBinFileDescription negative = sections.description;
    negative.m_nSignatureOffset[SIGNATURE_BL] = -1;
    const Case cases[] = {
        {"single image of a sectioned file", [&] { return buildSingleImage(sections.file, sections.description, image); },
         "Unknown file format !"},
        {"section images of a legacy file", [&] { return buildSectionImages(legacy.file, legacy.description, images); },
         "Unknown file format !"},
        {"no file", [&] { return buildSingleImage(KWOSBinFile{}, legacy.description, image); }, "Bin file NULL"},
        {"no file, sections", [&] { return buildSectionImages(KWOSBinFile{}, sections.description, images); }, "Bin file NULL"},
        {"file shorter than its description", [&] { return buildSectionImages(truncated, sections.description, images); },
         "Signature offset outside the bin file."},
        {"legacy offset past the end", [&] { return buildSingleImage(legacy.file, nowhere, image); },
         "Signature offset outside the bin file."},
        {"BL offset -1", [&] { return buildSectionImages(sections.file, negative, images); },
         "Signature offset outside the bin file."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = true;
        const std::string reports = reportsOf([&] { ok = c.call(); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(occurrences(reports, c.message + PLACE), 1u) << reports;
        EXPECT_TRUE(image.empty());
        EXPECT_TRUE(images.little.empty() && images.big.empty());
    }
}

// Every file rs485-mkfw writes is read back with the values it was given,
// and every fault it writes is refused with the expected message.
#include "FirmwareTestSupport.h"

#include <fstream>

using namespace fwtest;

namespace {

constexpr int32_t V(int major, int minor) { return major << 16 | minor; }

struct Written {
    MkfwRun run;
    Load load;
};

Written writeAndLoad(const ScratchDir& dir, const std::string& name, std::vector<std::string> args) {
    Written w;
    args.insert(args.end(), {"--output", dir.path(name)});
    w.run = runMkfw(args);
    EXPECT_EQ(w.run.exitCode, 0) << w.run.out;
    w.load = loadPath(dir.path(name));
    return w;
}

} // namespace

TEST(MkfwRoundTrip, SingleImageFilesReadBackWithTheirValues) {
    ScratchDir dir;
    struct Case {
        std::vector<std::string> args;
        int32_t format, type, version, maxHw, minVersion, minHw;
        size_t imageStart; // file offset where the image content begins
    };
    const Case cases[] = {
        {{"--format", "legacy"}, FORMAT_LEGACY, V(18, 4), V(1, 5), -1, V(1, 0), -1, 0x100 - 16},
        {{"--format", "legacy", "--device-type", "7.300", "--version", "2.1", "--min-version", "1.9", "--max-hardware",
          "2.9", "--min-hardware", "1.1", "--header-offset", "0x40", "--code-size", "1000", "--seed", "7"},
         FORMAT_LEGACY, V(7, 300), V(2, 1), V(2, 9), V(1, 9), V(1, 1), 0x30},
        {{"--format", "legacy", "--version", "3.4000", "--header-offset", "16"}, FORMAT_LEGACY, V(18, 4), V(3, 4000), -1,
         V(1, 0), -1, 0},
        {{"--format", "32bits", "--header-offset", "0", "--max-hardware", "2.9", "--min-hardware", "1.0", "--code-size",
          "128"},
         FORMAT_32BITS, V(18, 4), V(1, 5), V(2, 9), V(1, 0), V(1, 0), 0},
        {{"--format", "32bits", "--device-type", "65535.65535", "--version", "255.65535", "--min-version", "0.1",
          "--code-size", "0x3000"},
         FORMAT_32BITS, int32_t(0xFFFFFFFF), V(255, 65535), -1, V(0, 1), -1, 0x100},
        {{"--format", "32bits", "--fault", "extra-veltra"}, FORMAT_32BITS, V(18, 4), V(1, 5), -1, V(1, 0), -1, 0x100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size() > 2 ? c.args[3] : c.args[1]);
        const Written w = writeAndLoad(dir, "single.bin", c.args);
        ASSERT_TRUE(w.load.ok) << w.load.reports;
        const KWOSBinFileDescription& d = w.load.description;
        EXPECT_EQ(d.m_nFileFormat, c.format);
        EXPECT_EQ(d.m_nFileDeviceType, c.type);
        EXPECT_EQ(d.m_nFileVersion, c.version);
        EXPECT_EQ(d.m_nFileMaxHardware, c.maxHw);
        EXPECT_EQ(d.m_nFileMinVersion, c.minVersion);
        EXPECT_EQ(d.m_nFileMinHardware, c.minHw);
        const int signature = c.format == FORMAT_LEGACY ? SIGNATURE_LEGACY : SIGNATURE_32BITS;
        EXPECT_EQ(uint64_t(d.m_nSignatureOffset[signature]), w.run.number("signature"));
        if (w.run.keys.count("extra_veltra")) {
            EXPECT_EQ(uint64_t(d.m_nSignatureOffset[SIGNATURE_LEGACY]), w.run.number("extra_veltra"));
        }
        EXPECT_EQ(w.load.labels.fileLength, std::to_string(w.run.number("size")) + " Bytes");

        KWOImage image;
        ASSERT_TRUE(buildSingleImage(w.load.file, d, image));
        const Bytes& f = w.load.file.bytes;
        const size_t skip = c.format == FORMAT_LEGACY ? 2 : 0;
        EXPECT_EQ(image.size(), imageSizeFor(f.size() + skip));
        EXPECT_TRUE(std::equal(f.begin() + ptrdiff_t(c.imageStart), f.end(), image.begin() + ptrdiff_t(skip)));
    }
}

TEST(MkfwRoundTrip, SectionedFilesReadBackAndGiveTheExpectedImages) {
    ScratchDir dir;
    struct Case {
        std::vector<std::string> args;
        int32_t lt, ltMin, bg, bgNeeds, maxHw, minHw;
        uint8_t processor, structureId, blStructureId;
    };
    const Case cases[] = {
        {{}, V(1, 0x82), V(1, 0), V(1, 5), V(1, 2), V(255, 255), V(0, 0), 1, 3, 3},
        {{"--lt-version", "2.7", "--lt-min-version", "1.3", "--bg-version", "2.9", "--max-hardware", "2.9",
          "--min-hardware", "1.0", "--device-type", "300.2", "--processor", "5", "--structure-id", "0x11",
          "--bl-structure-id", "0x22", "--lt-size", "0x5000", "--bg-size", "0x3333", "--lt-value", "123456789",
          "--seed", "99", "--lt-reserved", "1", "--bg-reserved", "2"},
         V(2, 0x87), V(1, 3), V(2, 9), V(2, 7), V(2, 9), V(1, 0), 5, 0x11, 0x22},
        {{"--bg-needs-lt", "1.3", "--bg-size", "0x1004", "--lt-header-offset", "0x1000", "--bl-header-offset", "0x40"},
         V(1, 0x82), V(1, 0), V(1, 5), V(1, 3), V(255, 255), V(0, 0), 1, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args{"--format", "sections"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Written w = writeAndLoad(dir, "two.bi2", args);
        ASSERT_TRUE(w.load.ok) << w.load.reports;
        const KWOSBinFileDescription& d = w.load.description;
        EXPECT_EQ(d.m_nFileFormat, FORMAT_SECTIONS);
        EXPECT_EQ(uint64_t(d.m_nSignatureOffset[SIGNATURE_LT]), w.run.number("lt_signature"));
        EXPECT_EQ(uint64_t(d.m_nSignatureOffset[SIGNATURE_BG]), w.run.number("bg_signature"));
        EXPECT_EQ(uint64_t(d.m_nSignatureOffset[SIGNATURE_BL]), w.run.number("bl_signature"));
        for (int s : {SECTION_LT, SECTION_BG}) {
            EXPECT_EQ(d.m_nSectionMaxHardware[s], c.maxHw);
            EXPECT_EQ(d.m_nSectionMinHardware[s], c.minHw);
        }
        EXPECT_EQ(d.m_nSectionVersion[SECTION_LT], c.lt);
        EXPECT_EQ(d.m_nSectionMinVersion[SECTION_LT], c.ltMin);
        EXPECT_EQ(d.m_nSectionVersion[SECTION_BG], c.bg);
        EXPECT_EQ(d.m_nSectionMinVersion[SECTION_BG], c.bgNeeds);
        EXPECT_EQ(d.m_nSectionDeviceType[SECTION_LT], d.m_nSectionDeviceType[SECTION_BG]);

        KWOSSectionImages images;
        ASSERT_TRUE(buildSectionImages(w.load.file, d, images));
        EXPECT_EQ(images.processor, c.processor);
        EXPECT_EQ(images.structureId, c.structureId << 8);
        EXPECT_EQ(images.blStructureId, c.blStructureId << 8);
        // What the firmware build says the upgrader must fill in.
        EXPECT_EQ(images.bigCodeLength, w.run.number("bg_length"));
        EXPECT_EQ(le32(images.big, 24), w.run.number("bg_length"));
        EXPECT_EQ(le64(images.big, 28), w.run.number("bg_checksum"));
        EXPECT_EQ(images.big.size(), imageSizeFor(w.run.number("bg_length")));
        const uint64_t n = w.run.number("lt_value");
        EXPECT_EQ(images.little[7], uint8_t((n / 1000000) % 256));
        EXPECT_EQ(images.little[6], uint8_t(((n - (n / 1000000 % 256) * 1000000) / 1000) % 256));
        EXPECT_EQ(images.little.size(), imageSizeFor(w.run.number("bg_signature") + 4));
    }
}

TEST(MkfwRoundTrip, EveryFaultIsRefusedWithItsMessage) {
    ScratchDir dir;
    const std::string load = "\tTFormMain::openBinFile";
    const std::string start = "\tKWOCFwUpgraderRS485::startLoadBinFile";
    const std::string noSignature = "Valid signature not found in the bin file." + load;
    struct Case {
        std::vector<std::string> args;
        std::string message;
        bool atLoad; // false: the file loads and the images are refused
    };
    const Case cases[] = {
        {{"--format", "legacy", "--fault", "unaligned-signature"}, noSignature, true},
        {{"--format", "32bits", "--fault", "unaligned-signature"}, noSignature, true},
        {{"--format", "sections", "--fault", "unaligned-signature"}, noSignature, true},
        {{"--format", "sections", "--fault", "extra-veltra"}, noSignature, true},
        {{"--format", "32bits", "--fault", "header-size-40"},
         "Bad header size in 32bits bin file." + load + "\r\n Header size read = 40", true},
        {{"--format", "sections", "--fault", "header-size-40"},
         "Bad header size in bin file for VltLt." + load + "\r\n Header size read = 40", true},
        {{"--format", "sections", "--fault", "lt-minor-low"}, "Bin file Little code version < 128." + load, true},
        {{"--format", "sections", "--fault", "bg-minor-high"}, "Bin file Big code version > 128." + load, true},
        {{"--format", "sections", "--fault", "processor-mismatch"},
         "Processor used error in bin file, value for LT, BG and BL not equal." + start, false},
        {{"--format", "sections", "--processor", "5", "--fault", "processor-mismatch"},
         "Processor used error in bin file, value for LT, BG and BL not equal." + start, false},
        {{"--format", "sections", "--processor", "2"}, "Processor LPC1788 not managed yet." + start, false},
        {{"--format", "sections", "--processor", "9"}, "Unknown processor used in bin file." + start, false},
        {{"--format", "sections", "--fault", "structure-mismatch"},
         "Structure ID error in bin file, value for LT and BG not equal." + start, false},
        {{"--format", "sections", "--fault", "no-end-marker"}, "Big code end address not found in bin file." + start, false},
        {{"--format", "sections", "--processor", "5", "--fault", "no-end-marker"},
         "Big code end address not found in bin file." + start, false},
        {{"--format", "sections", "--fault", "end-line-cut"}, "Big code end address not found in bin file." + start, false},
        {{"--format", "legacy", "--fault", "signature-at-start"},
         "Veltra header less than 16 bytes from the start of the bin file." + load, true},
        {{"--format", "32bits", "--fault", "signature-at-start"},
         "Bad header size in 32bits bin file." + load + "\r\n Header size read = 0", true},
        {{"--format", "sections", "--fault", "signature-at-start"},
         "Bad header size in bin file for VltLt." + load + "\r\n Header size read = 0", true},
        {{"--format", "sections", "--fault", "bg-in-first-page"},
         "Big code header before the little code start in bin file." + load, true},
        {{"--format", "sections", "--fault", "bl-page-cut"}, "BL page runs past the end of the bin file." + load, true},
        {{"--format", "sections", "--fault", "short-file"},
         "Bin file too short for the little code value at 0x3014." + load, true},
        {{"--format", "legacy", "--fault", "header-cut"}, "Header cut short in bin file for Veltra." + load, true},
        {{"--format", "32bits", "--fault", "header-cut"}, "Header cut short in bin file for Veltra32." + load, true},
        {{"--format", "sections", "--fault", "header-cut"}, "Header cut short in bin file for VltBg." + load, true},
        {{"--format", "sections", "--truncate", "0x3000"}, noSignature, true},
        {{"--format", "legacy", "--truncate", "8"}, noSignature, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Written w = writeAndLoad(dir, "fault.bin", c.args);
        if (c.atLoad) {
            EXPECT_FALSE(w.load.ok);
            EXPECT_EQ(occurrences(w.load.reports, c.message), 1u) << w.load.reports;
            EXPECT_TRUE(w.load.file.empty());
            EXPECT_EQ(w.load.description.m_nFileFormat, FORMAT_NONE);
            continue;
        }
        ASSERT_TRUE(w.load.ok) << w.load.reports;
        KWOSSectionImages images;
        bool built = true;
        const std::string reports = reportsOf([&] { built = buildSectionImages(w.load.file, w.load.description, images); });
        EXPECT_FALSE(built);
        EXPECT_EQ(occurrences(reports, c.message), 1u) << reports;
    }
}

TEST(MkfwTool, RefusesOptionsItCannotWriteAndIsDeterministic) {
    ScratchDir dir;
    const std::vector<std::string> refused[] = {
        {"--output", dir.path("x.bin")},                                        // no format
        {"--format", "sections"},                                               // no output
        {"--format", "tiny", "--output", dir.path("x.bin")},
        {"--format", "legacy", "--output", dir.path("x.bin"), "--fault", "lt-minor-low"},
        {"--format", "legacy", "--output", dir.path("x.bin"), "--fault", "header-size-40"},
        {"--format", "legacy", "--output", dir.path("x.bin"), "--header-offset", "8"},
        {"--format", "legacy", "--output", dir.path("x.bin"), "--max-hardware", "0.5"},
        {"--format", "legacy", "--output", dir.path("x.bin"), "--version", "300.1"},
        {"--format", "sections", "--output", dir.path("x.bin"), "--lt-version", "1.130"},
        {"--format", "sections", "--output", dir.path("x.bin"), "--lt-size", "0x1000"},
        {"--format", "sections", "--output", dir.path("x.bin"), "--processor", "256"},
        {"--format", "sections", "--output", dir.path("x.bin"), "--fault", "no-such-fault"},
        {"--format", "sections", "--output", dir.path("x.bin"), "--bogus", "1"},
    };
    for (const auto& args : refused) {
        const MkfwRun run = runMkfw(args);
        EXPECT_EQ(run.exitCode, 2) << testing::PrintToString(args) << run.out;
        EXPECT_FALSE(std::filesystem::exists(dir.path("x.bin"))) << testing::PrintToString(args);
    }

    const MkfwRun help = runMkfw({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--format", "--output", "--device-type", "--max-hardware", "--min-hardware", "--seed",
                               "--fault", "--truncate", "--version", "--min-version", "--header-offset", "--code-size",
                               "--lt-version", "--lt-min-version", "--bg-version", "--bg-needs-lt", "--processor",
                               "--bl-processor", "--structure-id", "--bg-structure-id", "--bl-structure-id",
                               "--lt-reserved", "--bg-reserved", "--bl-header-offset", "--lt-header-offset",
                               "--lt-size", "--bg-size", "--lt-value", "unaligned-signature", "extra-veltra",
                               "header-size-40", "lt-minor-low", "bg-minor-high", "processor-mismatch",
                               "structure-mismatch", "no-end-marker", "end-line-cut", "signature-at-start",
                               "bg-in-first-page", "bl-page-cut", "short-file", "header-cut", "Examples:"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    const auto bytesOf = [&](const std::string& seed, const std::string& name) {
        EXPECT_EQ(runMkfw({"--format", "sections", "--seed", seed, "--output", dir.path(name)}).exitCode, 0);
        std::ifstream in(dir.path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(bytesOf("5", "a.bin"), bytesOf("5", "b.bin"));
    EXPECT_NE(bytesOf("5", "a.bin"), bytesOf("6", "c.bin"));
}

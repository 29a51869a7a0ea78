#include "FirmwareFuzz.h"

#include "diagnostics/Globalfunctions.h"
#include "engine/BinFile.h"
#include "engine/FirmwareImages.h"

#include <cstring>
#include <vector>

namespace {

uint64_t digestOf(const KWOImage& image) { return image.empty() ? 0 : image.size() * 31 + image.back(); }

uint64_t buildImages(const KWOSBinFile& file, const KWOSBinFileDescription& description) {
    if (description.m_nFileFormat == FORMAT_SECTIONS) {
        KWOSSectionImages images;
        const bool ok = buildSectionImages(file, description, images);
        return ok + digestOf(images.little) + digestOf(images.big) + images.bigCodeChecksum;
    }
    KWOImage image;
    return buildSingleImage(file, description, image) + digestOf(image);
}

int32_t word(const uint8_t* data, size_t size, size_t at) {
    int32_t value = 0;
    if (at + 4 <= size)
        std::memcpy(&value, data + at, 4);
    return value;
}

} // namespace

void quietFirmwareReports() { configureErrors(0, "", "fuzz"); }

uint64_t fuzzFirmwareFile(const uint8_t* data, size_t size) {
    uint64_t digest = 0;
    // The reader, then the builders on what it accepted: the path of a real upgrade.
    KWOSBinFile file;
    KWOSBinFileDescription description;
    KWOSBinFileLabels labels;
    if (loadBinFileBytes(std::vector<uint8_t>(data, data + size), "fuzz.bin", file, description, labels)) {
        digest += uint64_t(description.m_nFileFormat) + labels.version.size() + labels.version2.size();
        digest += buildImages(file, description);
    }
    // The builders must not trust a description either: offsets and format
    // taken from the input itself, against the same bytes.
    KWOSBinFile raw{std::vector<uint8_t>(data, data + size), "raw.bin"};
    KWOSBinFileDescription forged;
    for (int i = 0; i < SIGNATURE_COUNT; ++i)
        forged.m_nSignatureOffset[i] = word(data, size, 4 * size_t(i));
    forged.m_nFileFormat = size > 20 ? int32_t(data[20] % 4) - 1 : FORMAT_NONE;
    digest += buildImages(raw, forged);
    // The checksum with any range.
    digest += imageChecksum({data, size}, size_t(uint32_t(word(data, size, 24))) % (size + 8),
                            size_t(uint32_t(word(data, size, 28))) % (size + 8));
    return digest;
}

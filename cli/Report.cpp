#include "cli/Report.h"

#include "engine/FirmwareImages.h"
#include "engine/Fwupgraderrs485.h"

#include <cmath>
#include <cstdio>

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

Json textOrNull(const std::string& text)
{
    return text.empty() ? Json(nullptr) : Json(text);
}

std::string hex2(int value)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// A version word of the file, the little-code mark left out.
std::string fileVersion(int32_t word)
{
    return versionWordText(word & ~LITTLE_CODE_BIT);
}

// A hardware limit of the file: null when it sets none.
Json limit(int32_t word)
{
    return word == -1 ? Json(nullptr) : Json(versionWordText(word));
}

const char* formatName(int32_t format)
{
    switch (format) {
    case FORMAT_LEGACY: return "legacy";
    case FORMAT_32BITS: return "32bits";
    case FORMAT_SECTIONS: return "sections";
    default: return "none";
    }
}

} // namespace

std::string deviceVersionText(int32_t firmware, int32_t hardware)
{
    if (hardware <= 0)
        return versionWordText(firmware & ~LITTLE_CODE_BIT);
    return std::to_string((firmware >> 16) & 0xFF) + "." + std::to_string(firmware & 0x7F);
}

Json runRecord(const Options& options, const RunRecord& run)
{
    Json route = Json::array();
    for (const Hop& hop : options.via)
        route.push_back(Json{{"address", hex2(hop.address)}, {"interface", hop.interfaceNumber}});
    Json file = nullptr;
    if (run.file) {
        const KWOSBinFileDescription& d = *run.file;
        const bool sections = d.m_nFileFormat == FORMAT_SECTIONS;
        file = Json{{"path", options.file},
                    {"format", formatName(d.m_nFileFormat)},
                    {"version", sections ? Json(nullptr) : Json(fileVersion(d.m_nFileVersion))},
                    {"lt_version", sections ? Json(fileVersion(d.m_nSectionVersion[SECTION_LT])) : Json(nullptr)},
                    {"bg_version", sections ? Json(fileVersion(d.m_nSectionVersion[SECTION_BG])) : Json(nullptr)}};
    }
    return Json{{"port", {{"given", options.port}, {"device", textOrNull(run.portDevice)}}},
                {"baud", options.baudRate},
                {"route", route},
                {"address", hex2(run.target)},
                {"file", file},
                {"device",
                 {{"type", textOrNull(run.device.type)},
                  {"version_before", textOrNull(run.device.versionBefore)},
                  {"hardware", textOrNull(run.device.hardware)},
                  {"version_after", textOrNull(run.device.versionAfter)}}},
                {"result", run.result},
                {"reason", textOrNull(run.reason)},
                {"seconds", std::round(run.seconds * 100) / 100}};
}

bool fileInfo(const std::string& path, const KWOSBinFile& file, const KWOSBinFileDescription& d, Json& info)
{
    info = Json{{"file", path}, {"format", formatName(d.m_nFileFormat)}, {"file_size", file.bytes.size()}};
    const uint64_t size = file.bytes.size();
    if (d.m_nFileFormat != FORMAT_SECTIONS) {
        KWOImage image;
        if (!buildSingleImage(file, d, image))
            return false;
        info["device_type"] = versionWordText(d.m_nFileDeviceType);
        info["version"] = fileVersion(d.m_nFileVersion);
        info["min_version"] = fileVersion(d.m_nFileMinVersion);
        info["max_hardware"] = limit(d.m_nFileMaxHardware);
        info["min_hardware"] = limit(d.m_nFileMinHardware);
        info["image_size"] = image.size();
        info["flash_word"] = KWOCFwUpgraderRS485::flashCommandWord(d.m_nFileFormat, size, 0, 1);
        return true;
    }
    KWOSSectionImages images;
    if (!buildSectionImages(file, d, images))
        return false;
    for (const auto& [section, prefix] : {std::pair{SECTION_LT, "lt_"}, std::pair{SECTION_BG, "bg_"}}) {
        const std::string p = prefix;
        info[p + "device_type"] = versionWordText(d.m_nSectionDeviceType[section]);
        info[p + "version"] = fileVersion(d.m_nSectionVersion[section]);
        // The big code's minimum is the little-code version it needs.
        info[section == SECTION_LT ? "lt_min_version" : "bg_needs_lt"] = fileVersion(d.m_nSectionMinVersion[section]);
        info[p + "max_hardware"] = limit(d.m_nSectionMaxHardware[section]);
        info[p + "min_hardware"] = limit(d.m_nSectionMinHardware[section]);
    }
    info["processor"] = images.processor;
    const int32_t little = int32_t(images.little.size());
    info["little_image_size"] = images.little.size();
    info["little_flash_word"] = KWOCFwUpgraderRS485::flashCommandWord(d.m_nFileFormat, size, little, 1);
    info["big_image_size"] = images.big.size();
    info["big_flash_word"] = KWOCFwUpgraderRS485::flashCommandWord(d.m_nFileFormat, size, little, 2);
    return true;
}

std::string infoText(const Json& info)
{
    std::string text;
    for (const auto& [key, value] : info.items()) {
        std::string shown;
        if (value.is_null()) {
            shown = "none";
        } else if (value.is_string()) {
            shown = value.get<std::string>();
        } else if (key.ends_with("flash_word")) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%X", value.get<unsigned>());
            shown = hex;
        } else {
            shown = value.dump();
        }
        text += key + ": " + shown + "\n";
    }
    return text;
}

} // namespace cli

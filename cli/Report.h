#pragma once
// What rs485-upgrade --json writes (one object per device run, one line
// each) and what --info shows of a file, as JSON or as "key: value" lines.
#include "cli/CliOptions.h"
#include "engine/BinFile.h"

#include <nlohmann/json.hpp>

#include <string>

namespace cli {

// What the device said during a run; empty: not read.
struct DeviceReading {
    std::string type;
    std::string versionBefore;
    std::string hardware;
    std::string versionAfter;
};

struct RunRecord {
    std::string portDevice; // empty: the port did not resolve
    int target = 0;
    const KWOSBinFileDescription* file = nullptr; // null: no FILE
    DeviceReading device;
    std::string result; // "finished", "check_done", "failed", "interrupted"
    std::string reason; // empty: none
    double seconds = 0;
};

nlohmann::ordered_json runRecord(const Options& options, const RunRecord& run);

// A device's firmware word as "M.m", the little-code mark left out.
std::string deviceVersionText(int32_t firmware, int32_t hardware);

// What the file holds and the images an upgrade would upload, built by the
// engine's own builders. False when they refuse the file (their report
// went to the diagnostics, as at the start of an upgrade).
bool fileInfo(const std::string& path, const KWOSBinFile& file, const KWOSBinFileDescription& description,
              nlohmann::ordered_json& info);
// The same as "key: value" lines; "none" for a limit that is not set, flash
// words in hexadecimal.
std::string infoText(const nlohmann::ordered_json& info);

} // namespace cli

#pragma once
// One entry for the libFuzzer target and the corpus replay: feeds arbitrary
// bytes through the firmware file reader and the image builders.
#include <cstddef>
#include <cstdint>

// Silences the reports of rejected files (thousands per second otherwise).
void quietFirmwareReports();
// Returns a digest of what was decoded and built, so no call can be optimised away.
uint64_t fuzzFirmwareFile(const uint8_t* data, size_t size);

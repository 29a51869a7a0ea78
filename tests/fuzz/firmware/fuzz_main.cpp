// libFuzzer target: the firmware file reader and the image builders.
#include "FirmwareFuzz.h"

namespace {
volatile uint64_t g_sink; // keeps the results observable
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietFirmwareReports();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_sink = g_sink + fuzzFirmwareFile(data, size);
    return 0;
}

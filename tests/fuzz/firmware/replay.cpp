#include "FirmwareFuzz.h"
#include "fuzz/CorpusReplay.h"

int main(int argc, char** argv)
{
    quietFirmwareReports();
    return replayCorpus(argc, argv, "firmware_fuzz_replay", fuzzFirmwareFile);
}

// libFuzzer target: answers of any length and content through receiveData
// and analyseData of an engine in any state.
#include "AnswerFuzz.h"

namespace {
volatile uint64_t g_sink; // keeps the results observable
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setUpAnswerFuzz();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_sink = g_sink + fuzzAnswers(data, size);
    return 0;
}

#include "AnswerFuzz.h"
#include "fuzz/CorpusReplay.h"

int main(int argc, char** argv)
{
    setUpAnswerFuzz();
    return replayCorpus(argc, argv, "answer_fuzz_replay", fuzzAnswers);
}

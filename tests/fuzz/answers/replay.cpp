// Runs every file of a corpus folder through the answer fuzz entry, so the
// seed corpus (and every crash input added to it) is exercised by every build.
#include "AnswerFuzz.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: answer_fuzz_replay CORPUS_FOLDER\n";
        return 2;
    }
    setUpAnswerFuzz();
    uint64_t digest = 0;
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        digest += fuzzAnswers(bytes.data(), bytes.size());
        ++count;
    }
    std::cout << count << " inputs, digest " << digest << "\n";
    return count > 0 ? 0 : 1;
}

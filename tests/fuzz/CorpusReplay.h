#pragma once
// Runs every file of a corpus folder through a fuzz entry, so the seed corpus
// (and every crash input added to it) is exercised by every build.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

using FuzzEntry = uint64_t (*)(const uint8_t* data, size_t size);

// The main() of a replay program: exit 0 once every input ran, 1 for an
// empty folder, 2 for a wrong call.
inline int replayCorpus(int argc, char** argv, const char* program, FuzzEntry entry)
{
    if (argc != 2) {
        std::cerr << "usage: " << program << " CORPUS_FOLDER\n";
        return 2;
    }
    uint64_t digest = 0;
    size_t count = 0;
    for (const auto& file : std::filesystem::directory_iterator(argv[1])) {
        if (!file.is_regular_file())
            continue;
        std::ifstream in(file.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        digest += entry(bytes.data(), bytes.size());
        ++count;
    }
    std::cout << count << " inputs, digest " << digest << "\n";
    return count > 0 ? 0 : 1;
}

#pragma once
// Stands in for the reporting service in the serial-stack tests: every
// writeLog, reportError and reportWaitResult is recorded so that a test can
// check the exact texts, their source file, function and level.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace logrec {

struct Entry {
    std::string file;
    int line = 0;
    std::string function;
    int level = 0;
    std::string text;
};

void clear();
std::vector<Entry> entries();
// Entries whose text equals text exactly / starts with prefix.
size_t count(const std::string& text);
size_t countPrefix(const std::string& prefix);
std::vector<Entry> withPrefix(const std::string& prefix);
// Errors (level -1) recorded so far.
std::vector<Entry> errors();
// Waits until pred holds over the recorded entries, at most timeout.
bool waitUntil(const std::function<bool(const std::vector<Entry>&)>& pred,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
bool waitForText(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
std::string dump();

} // namespace logrec

#pragma once
// What the command lines of the programs share around their option parser
// (CLI11), so each program keeps its own texts and the same typing rules.
#include <string>
#include <vector>

namespace platform {

// The arguments in the reversed order CLI11's parse takes. "--name=" becomes
// "--name" and an empty value: otherwise the parser would take the next
// argument as the value. Nothing after "--" changes.
std::vector<std::string> parserArguments(const std::vector<std::string>& args);

// The option whose value is missing, as typed. The parser finds a missing
// value only when the arguments run out, so it is the last argument; of
// combined short flags ("-qp") it is the last letter.
std::string optionWithoutValue(const std::vector<std::string>& args);

} // namespace platform

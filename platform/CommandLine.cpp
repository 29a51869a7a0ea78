#include "platform/CommandLine.h"

namespace platform {

std::vector<std::string> parserArguments(const std::vector<std::string>& args)
{
    std::vector<std::string> out;
    bool options = true;
    for (const std::string& arg : args) {
        if (arg == "--")
            options = false;
        if (options && arg.size() > 3 && arg.starts_with("--") && arg.back() == '=') {
            out.push_back(arg.substr(0, arg.size() - 1));
            out.emplace_back();
        } else {
            out.push_back(arg);
        }
    }
    return {out.rbegin(), out.rend()};
}

std::string optionWithoutValue(const std::vector<std::string>& args)
{
    if (args.empty())
        return {};
    const std::string& last = args.back();
    if (last.size() > 2 && last[0] == '-' && last[1] != '-')
        return std::string("-") + last.back();
    return last;
}

} // namespace platform

#include "sim/Version.h"

#include <charconv>

namespace sim {

std::string Version::text() const
{
    return std::to_string(major) + "." + std::to_string(minor);
}

std::optional<Version> Version::parse(std::string_view text)
{
    const auto dot = text.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    auto number = [](std::string_view part) -> std::optional<uint16_t> {
        unsigned value = 0;
        const auto* end = part.data() + part.size();
        auto [ptr, ec] = std::from_chars(part.data(), end, value);
        if (part.empty() || ec != std::errc() || ptr != end || value > 0xFFFF)
            return std::nullopt;
        return uint16_t(value);
    };
    auto major = number(text.substr(0, dot));
    auto minor = number(text.substr(dot + 1));
    if (!major || !minor)
        return std::nullopt;
    return Version{*major, *minor};
}

} // namespace sim

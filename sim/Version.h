#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// A version as the devices hold it: major and minor, shown "major.minor".
struct Version {
    uint16_t major = 0;
    uint16_t minor = 0;

    uint32_t word() const { return uint32_t(major) << 16 | minor; }
    std::string text() const;
    // "18.4" (decimal); nothing on anything else.
    static std::optional<Version> parse(std::string_view text);
    friend bool operator==(const Version&, const Version&) = default;
};

} // namespace sim

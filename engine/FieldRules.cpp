#include "engine/FieldRules.h"

#include "comm/Convertions.h"

#include <charconv>
#include <cstdint>

namespace field_rules {

int toIntOr(const std::string& text, int fallback)
{
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+')
        ++first;
    int value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (first == last || error != std::errc() || end != last)
        return fallback;
    return value;
}

int address(const std::string& text)
{
    uint8_t byte = 0;
    int32_t length = 1;
    if (!hexStringToBuffer(text, &byte, &length) || length != 1 || byte == 0)
        return -1;
    return byte;
}

int interfaceNumber(const std::string& text)
{
    const int value = toIntOr(text);
    return value >= 0 && value <= 15 ? value : -1;
}

int baudRate(const std::string& text)
{
    const int value = toIntOr(text);
    return value > 0 ? value : -1;
}

int comPortOfEntry(const std::string& entry)
{
    if (entry.size() <= 3)
        return -1;
    return toIntOr(entry.substr(3));
}

std::string entryOfComPort(int port)
{
    return (port < 10 ? "COM0" : "COM") + std::to_string(port);
}

} // namespace field_rules

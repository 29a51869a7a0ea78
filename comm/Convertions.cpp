#include "comm/Convertions.h"

#include "diagnostics/Globalfunctions.h"

#include <cstring>

namespace {

constexpr const char* SOURCE = "Convertions";

void reportConversion(int line, const std::string& text)
{
    writeLog(SOURCE, line, "hexStringToBuffer", LOG_OUTPUTS_BY_LEVEL, LOG_LEVEL_ERROR, 0, text);
}

// Value of one hexadecimal digit, -1 for any other character.
int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

bool hexStringToBuffer(const std::string& hex, uint8_t* buffer, int32_t* length)
{
    const size_t bytes = hex.size() / 2;
    if (buffer == nullptr || length == nullptr || *length < 0 || static_cast<size_t>(*length) < bytes ||
        hex.size() % 2 != 0) {
        reportConversion(__LINE__, "Byte buffer bad defined.");
        return false;
    }
    std::memset(buffer, 0, bytes);
    for (size_t i = 0; i < bytes; ++i) {
        // The low digit is checked first; the two messages differ by the full stop.
        const int low = digitValue(hex[2 * i + 1]);
        if (low < 0) {
            reportConversion(__LINE__, "Hexa string not valid.");
            return false;
        }
        const int high = digitValue(hex[2 * i]);
        if (high < 0) {
            reportConversion(__LINE__, "Hexa string not valid");
            return false;
        }
        buffer[i] = static_cast<uint8_t>(high << 4 | low);
    }
    *length = static_cast<int32_t>(bytes);
    return true;
}

std::string bufferToHexString(const uint8_t* bytes, int32_t count, int32_t lineWidth, int32_t groupSize)
{
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    if (bytes == nullptr || count <= 0)
        return text;
    if (groupSize < 1)
        groupSize = 1;
    text.reserve(static_cast<size_t>(count) * 3);
    int64_t column = 0;
    for (int32_t i = 0; i < count; ++i) {
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 0x0F];
        column += 2;
        if ((i + 1) % groupSize != 0 || i + 1 == count)
            continue;
        if (lineWidth - column < static_cast<int64_t>(groupSize) * 2 + 3) {
            text += '\n';
            column = 0;
        } else {
            text += ' ';
            column += 1;
        }
    }
    return text;
}

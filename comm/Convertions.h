#pragma once
// Hexadecimal text to bytes (address fields of the window) and bytes to
// upper-case hexadecimal text (communication traces).
#include <cstdint>
#include <string>

// length: the buffer's size on entry, the number of bytes written on return.
bool hexStringToBuffer(const std::string& hex, uint8_t* buffer, int32_t* length);
// Two digits per byte; after every groupSize-th byte but the last a space, or
// a line feed when the line would grow past lineWidth.
std::string bufferToHexString(const uint8_t* bytes, int32_t count, int32_t lineWidth, int32_t groupSize);

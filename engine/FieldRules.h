#pragma once
// The rules the window and the command line apply to what the operator typed.
// One set of rules, so both refuse the same values with the same messages.
#include <string>

namespace field_rules {

// A decimal integer (optional sign, digits only, within int range), else -1.
int toIntOr(const std::string& text, int fallback = -1);

// Bus address: exactly two hexadecimal digits, not 00. Returns 1..255 or -1.
// Malformed text is reported by the hexadecimal conversion itself.
int address(const std::string& text);
// Interface number 0..15, else -1.
int interfaceNumber(const std::string& text);
// Baud rate above 0 (no upper limit), else -1.
int baudRate(const std::string& text);
// Port number of a port-list entry ("COM07" gives 7): the text after its first
// three characters, -1 when that is not a number.
int comPortOfEntry(const std::string& entry);
// The port-list entry of COM n: "COM0" + n below 10, "COM" + n from 10.
std::string entryOfComPort(int port);

} // namespace field_rules

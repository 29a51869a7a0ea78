// The rules applied to what the operator types.
#include "engine/FieldRules.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* text;
    int expected;
};

TEST(FieldRules, Addresses)
{
    const Case cases[] = {{"00", -1}, {"5", -1},  {"555", -1}, {"G1", -1}, {"1G", -1}, {"", -1},
                          {"0a", 10}, {"0A", 10}, {"FF", 255}, {"ff", 255}, {"01", 1}, {"55", 0x55}};
    for (const Case& c : cases)
        EXPECT_EQ(field_rules::address(c.text), c.expected) << c.text;
}

TEST(FieldRules, InterfaceNumbersAndBaudRates)
{
    const Case interfaces[] = {{"0", 0}, {"15", 15}, {"16", -1}, {"-1", -1}, {"", -1}, {"a", -1}, {"1 ", -1}};
    for (const Case& c : interfaces)
        EXPECT_EQ(field_rules::interfaceNumber(c.text), c.expected) << c.text;
    const Case bauds[] = {{"0", -1},       {"-5", -1}, {"abc", -1}, {"1", 1}, {"115200", 115200},
                          {"4000000", 4000000}, {"", -1},  {"99999999999", -1}, {"12x", -1}};
    for (const Case& c : bauds)
        EXPECT_EQ(field_rules::baudRate(c.text), c.expected) << c.text;
}

TEST(FieldRules, PortEntriesAndTheirNumbers)
{
    EXPECT_EQ(field_rules::entryOfComPort(7), "COM07");
    EXPECT_EQ(field_rules::entryOfComPort(12), "COM12");
    EXPECT_EQ(field_rules::entryOfComPort(20), "COM20");
    for (int port = 1; port <= 20; ++port)
        EXPECT_EQ(field_rules::comPortOfEntry(field_rules::entryOfComPort(port)), port);
    EXPECT_EQ(field_rules::comPortOfEntry(""), -1);
    EXPECT_EQ(field_rules::comPortOfEntry("COM"), -1);
    EXPECT_EQ(field_rules::comPortOfEntry("COMx"), -1);
}

} // namespace

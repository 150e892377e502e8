#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

TEST(Text, ParsesWholeDecimalIntegersWithinTheirType) {
  EXPECT_EQ(ParseInteger<int32_t>("+7"), 7);
  EXPECT_EQ(ParseInteger<int32_t>("-0"), 0);
  EXPECT_EQ(ParseInteger<int32_t>("007"), 7);
  EXPECT_EQ(ParseInteger<int32_t>("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseInteger<int64_t>("2147483648"), 2147483648);
  for (const char* text : {"", "+", "-", "+-1", "-+1", "--1", " 1", "1 ", "1a", "0x10", "1e3",
                           "2147483648", "-2147483649"})
    EXPECT_EQ(ParseInteger<int32_t>(text), std::nullopt) << text;
  EXPECT_EQ(ParseInteger<uint32_t>("-1"), std::nullopt);
}

TEST(Text, ReadsDottedIpv4AsDecimalGroups) {
  EXPECT_EQ(ParseDottedIpv4("192.168.0.1"), 0xC0A80001u);
  EXPECT_EQ(ParseDottedIpv4("255.255.255.255"), 0xFFFFFFFFu);
  // Leading zeros are decimal: 010 is ten, not eight.
  EXPECT_EQ(ParseDottedIpv4("010.000.001.255"), 0x0A0001FFu);
  for (const char* text : {"", "1.2.3", "1.2.3.4.5", "1..2.3", ".1.2.3", "1.2.3.4.", "256.1.1.1",
                           "1.2.3.0256", "99999999999.1.1.1", " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4",
                           "1.-2.3.4", "1.2.3.4x", "localhost"})
    EXPECT_EQ(ParseDottedIpv4(text), std::nullopt) << text;
}

TEST(Text, FoldsOnlyAsciiLettersWhenComparing) {
  EXPECT_TRUE(SameTextIgnoringAsciiCase("Midi Through Port-0", "MIDI through PORT-0"));
  EXPECT_TRUE(SameTextIgnoringAsciiCase("", ""));
  EXPECT_FALSE(SameTextIgnoringAsciiCase("Port", "Port "));
  // Pairs 32 apart that are not letters, and non-ASCII letters, stay different.
  EXPECT_FALSE(SameTextIgnoringAsciiCase("@[", "`{"));
  EXPECT_FALSE(SameTextIgnoringAsciiCase("\xC3\x89", "\xC3\xA9"));
}

TEST(Text, FormatsTextsOfAnyLength) {
  EXPECT_EQ(Format("Could not open (%s) : %d", "port", 7), "Could not open (port) : 7");
  const std::string longText(5000, 'x');
  EXPECT_EQ(Format("<%s>", longText.c_str()), "<" + longText + ">");
  EXPECT_EQ(Format("%s", ""), "");
}

}  // namespace

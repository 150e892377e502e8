#include "app/globals.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

TEST(Globals, IniFileSitsBesideTheExecutable) {
  EXPECT_EQ(IniFileNameFor("/opt/tessel/bin/TesselServer"), "/opt/tessel/bin/TesselServer.INI");
  EXPECT_EQ(IniFileNameFor("/opt/tessel/my.app.exe"), "/opt/tessel/my.INI");
  // Dots in the folder are not the file name's.
  EXPECT_EQ(IniFileNameFor("/home/a.b/tessel"), "/home/a.b/tessel.INI");
  EXPECT_EQ(IniFileNameFor("tessel.bin"), "tessel.INI");

  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  // The test executable's name has no dot.
  EXPECT_EQ(IniFileName(), self.string() + ".INI");
  EXPECT_EQ(&IniFileName(), &IniFileName());
}

TEST(Globals, FormatsTexts) {
  EXPECT_EQ(BooleanText(false), "False");
  EXPECT_EQ(BooleanText(true), "True");
  EXPECT_EQ(PadRight("ab", 4), "ab  ");
  EXPECT_EQ(PadRight("abcdef", 4), "abcdef");
  EXPECT_EQ(FixedWidth("Midi", 7), "Midi   ");
  EXPECT_EQ(FixedWidth("Unknown12", 7), "Unknown");
  EXPECT_EQ(FixedWidth("", 0), "");
}

TEST(Globals, ReadsByteTexts) {
  for (const char* text : {"0", "255", "007", " 12", "+3", "-0"})
    EXPECT_TRUE(IsByteText(text)) << text;
  for (const char* text : {"", "256", "-1", "1a", "12 ", " ", "99999999999", "0x1"})
    EXPECT_FALSE(IsByteText(text)) << text;
}

TEST(Globals, RecognisesDottedAddresses) {
  for (const char* text : {"192.168.0.1", "0.0.0.0", "255.255.255.255", "010.000.001.255"})
    EXPECT_TRUE(IsIpAddress(text)) << text;
  for (const char* text :
       {"", "256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.4.", ".1.2.3", "1234.1.1.1",
        "1.2.3.0256", " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.2.3.256", "localhost", "example.com"})
    EXPECT_FALSE(IsIpAddress(text)) << text;
}

}  // namespace

// Product names made from a MIDI system's port names, which may be far longer than the
// capabilities record holds.

#include <gtest/gtest.h>

#include <string>

#include "midi/midibackend.h"

namespace {

using mmsystem::FitProductName;

TEST(FitProductName, KeepsNamesThatFit) {
  EXPECT_EQ(FitProductName("system:midi_capture_1"), "system:midi_capture_1");
  const std::string longest(MAXPNAMELEN - 1, 'x');
  EXPECT_EQ(FitProductName(longest), longest);
}

TEST(FitProductName, KeepsLongNamesApartAndStable) {
  const std::string common = "a2j:USB MIDI Interface [24] (capture): USB MIDI Interface ";
  const std::string first = FitProductName(common + "MIDI 1");
  const std::string second = FitProductName(common + "MIDI 2");
  EXPECT_NE(first, second);
  EXPECT_EQ(first, FitProductName(common + "MIDI 1"));
  EXPECT_EQ(first.size(), MAXPNAMELEN - 1);
  EXPECT_EQ(first.substr(0, 24), common.substr(0, 24));
  EXPECT_EQ(FitProductName(std::string(MAXPNAMELEN, 'x')).size(), MAXPNAMELEN - 1);
}

TEST(FitProductName, NeverCutsACharacterInTwo) {
  std::string name = "a";
  for (int i = 0; i < 20; ++i) name += "\xC3\xA9";  // é, two bytes each
  const std::string fitted = FitProductName(name);
  EXPECT_LE(fitted.size(), MAXPNAMELEN - 1);
  EXPECT_EQ(fitted.substr(0, fitted.find('~')), name.substr(0, 23));
}

}  // namespace

// The MIDI stream parser that every port's bytes pass through.

#include "midi/midiparser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using mmsystem::MidiStreamParser;

// Writes what comes out as text: "M 90 3C 40" for a message, "S F0 .. F7" for a whole
// system-exclusive message however it was split into runs.
class Transcript final : public MidiStreamParser::Sink {
 public:
  void OnMessage(const uint8_t* bytes, size_t count) override {
    lines.push_back("M" + Hex(bytes, count));
  }
  void OnSysex(const uint8_t* bytes, size_t count, bool ends) override {
    sysex += Hex(bytes, count);
    if (!ends) return;
    lines.push_back("S" + sysex);
    sysex.clear();
  }

  std::vector<std::string> lines;
  std::string sysex;  // an unfinished message so far

 private:
  static std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < count; ++i) {
      std::snprintf(digits, sizeof digits, " %02X", bytes[i]);
      text += digits;
    }
    return text;
  }
};

const std::vector<uint8_t> kStream = {
    0x90, 0x3C, 0x40, 0x3E, 0x41,        // note on, then one under running status
    0x80, 0xF8, 0x3C, 0x00,              // a real-time byte inside a message
    0xC0, 0x05, 0x06,                    // two program changes, the second by running status
    0xF1, 0x20, 0x30,                    // system common cancels running status: 30 is lost
    0xF0, 0x01, 0x02, 0xF8, 0x03, 0xF7,  // a real-time byte inside system exclusive
    0xF0, 0x04, 0x05, 0x90, 0x3C, 0x00,  // system exclusive cut off by a note on
    0x3D, 0x00, 0xF7, 0x7F, 0x01,        // running status; a stray F7 cancels it too
};

const std::vector<std::string> kMessages = {
    "M 90 3C 40",       "M 90 3E 41", "M F8",       "M 80 3C 00",
    "M C0 05",          "M C0 06",    "M F1 20",    "M F8",
    "S F0 01 02 03 F7", "S F0 04 05", "M 90 3C 00", "M 90 3D 00",
};

TEST(MidiStreamParser, GivesWholeMessagesWhereverTheStreamIsCut) {
  for (size_t cut = 0; cut <= kStream.size(); ++cut) {
    MidiStreamParser parser;
    Transcript transcript;
    parser.Parse(kStream.data(), cut, transcript);
    parser.Parse(kStream.data() + cut, kStream.size() - cut, transcript);
    EXPECT_EQ(transcript.lines, kMessages) << "cut at " << cut;
  }
  MidiStreamParser parser;
  Transcript transcript;
  for (const uint8_t byte : kStream) parser.Parse(&byte, 1, transcript);
  EXPECT_EQ(transcript.lines, kMessages) << "byte by byte";
}

TEST(MidiStreamParser, ResetForgetsRunningStatusAndAnOpenMessage) {
  MidiStreamParser parser;
  Transcript transcript;
  const uint8_t start[] = {0x90, 0x3C, 0x40, 0xF0, 0x01};
  parser.Parse(start, sizeof start, transcript);
  EXPECT_TRUE(parser.InSysex());
  parser.Reset();
  EXPECT_FALSE(parser.InSysex());
  EXPECT_EQ(parser.RunningStatus(), 0);
  const uint8_t rest[] = {0x02, 0xF7, 0x3E, 0x40, 0xB0, 0x07};
  parser.Parse(rest, sizeof rest, transcript);
  EXPECT_EQ(transcript.lines, std::vector<std::string>{"M 90 3C 40"});
  EXPECT_EQ(transcript.sysex, " F0 01");  // passed on before the reset; never ended
  EXPECT_EQ(parser.RunningStatus(), 0xB0);
}

}  // namespace

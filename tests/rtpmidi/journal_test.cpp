#include "rtpmidi/journal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Laid out from RFC 6295's figures: the journal header (figure 8), a system journal passed
// over by its length, then two channel journals (figure 9).
const Bytes HandBuilt = {
    0xE1, 0x12, 0x34,              // S Y A, H clear, TOTCHAN 1: two channels; checkpoint 0x1234
    0x40, 0x05, 0x11, 0x22, 0x33,  // system journal: D set, LENGTH 5
    0x18, 0x1B, 0xFA,              // channel 3, LENGTH 27, chapters P C M W N T
    0x05, 0x81, 0x02,              // P: program 5, bank 1/2
    0x02, 0x07, 0x64, 0x40, 0x7F, 0x01, 0xC5,  // C: 7=100, 64=127, 1 by the toggle tool
    0x00, 0x04, 0xAA, 0xBB,                    // M: LENGTH 4, passed over
    0x00, 0x40,                                // W: 0x2000, the wheel's centre
    0x82, 0x77, 0xBC, 0xE4, 0x3E, 0x5A,        // N: B, two logs (60 at 100, 62 at 90), LOW=HIGH=7
    0x11,                                      // OFFBITS of notes 56..63: 59 and 63 are off
    0x00,                                      // T, after N: left to the length
    // Channel 9: N alone, no logs, LOW 0 HIGH 15: every note off.
    0x48, 0x15, 0x08, 0x00, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

TEST(Journal, ParsesAJournalBuiltFromTheFiguresAndRefusesEveryCutOfIt) {
  const auto journal = ParseJournal(HandBuilt.data(), HandBuilt.size());
  ASSERT_TRUE(journal);
  EXPECT_TRUE(journal->SinglePacketLoss);
  EXPECT_EQ(journal->Checkpoint, 0x1234);
  ASSERT_EQ(journal->Channels.size(), 2u);

  TChannelState three;
  three.Channel = 3;
  three.Program = 5;
  three.Controllers[7] = 100;
  three.Controllers[64] = 127;
  three.PitchWheel = 0x2000;
  three.NoteChapterB = true;
  three.NoteOnVelocity[60] = 100;
  three.NoteOnVelocity[62] = 90;
  three.NotesOff.set(59).set(63);
  EXPECT_EQ(journal->Channels[0], three);
  TChannelState nine;
  nine.Channel = 9;
  nine.NotesOff.set();
  EXPECT_EQ(journal->Channels[1], nine);

  for (size_t length = 0; length < HandBuilt.size(); ++length)
    EXPECT_FALSE(ParseJournal(HandBuilt.data(), length)) << length;
  Bytes overlong = HandBuilt;
  overlong[9] = 0x1C;  // channel 3 claims one byte more, which channel 9's header then lacks
  EXPECT_FALSE(ParseJournal(overlong.data(), overlong.size()));
}

TEST(Journal, BuilderWritesWhatTheParserReadsBackAndDropsWhatIsAcknowledged) {
  TJournalBuilder builder;
  const std::vector<std::pair<uint16_t, Bytes>> sent = {
      {65534, {0x90, 0x3C, 0x64}},  // on, then off by a zero velocity
      {65534, {0x90, 0x40, 0x50}},
      {65535, {0xB0, 0x40, 0x7F}},  // sustain pedal down
      {65535, {0xC0, 0x0A}},
      {0, {0x90, 0x3C, 0x00}},
      {0, {0xE0, 0x01, 0x50}},
      {1, {0x91, 0x7F, 0x01}},
      {1, {0xF8}},  // not journalled
  };
  for (const auto& [sequence, message] : sent)
    builder.Record(sequence, message.data(), message.size());

  auto read = [&builder] {
    Bytes bytes;
    builder.Build(bytes);
    const auto journal = ParseJournal(bytes.data(), bytes.size());
    EXPECT_TRUE(journal);
    return journal.value_or(TJournalContents{});
  };
  TJournalContents journal = read();
  EXPECT_EQ(journal.Checkpoint, 65534);
  ASSERT_EQ(journal.Channels.size(), 2u);
  TChannelState zero;
  zero.NoteOnVelocity[0x40] = 0x50;
  zero.NotesOff.set(0x3C);
  zero.Controllers[64] = 127;
  zero.Program = 10;
  zero.PitchWheel = 0x50 << 7 | 0x01;
  EXPECT_EQ(journal.Channels[0], zero);
  TChannelState one;
  one.Channel = 1;
  one.NoteOnVelocity[0x7F] = 1;
  EXPECT_EQ(journal.Channels[1], one);

  // The receiver holds up to 65535 (across the wrap): the pedal and program leave, and so
  // does note 0x40, whose note-on it has. All Notes Off then turns it off again.
  builder.Acknowledge(65535);
  journal = read();
  EXPECT_EQ(journal.Checkpoint, 0);
  zero.NoteOnVelocity[0x40] = 0;
  zero.Controllers[64] = TChannelState::Unknown;
  zero.Program = TChannelState::Unknown;
  EXPECT_EQ(journal.Channels[0], zero);
  builder.Acknowledge(40);  // not sent yet: ignored
  builder.Record(2, Bytes{0xB0, 0x7B, 0x00}.data(), 3);
  journal = read();
  zero.Controllers[0x7B] = 0;
  zero.NotesOff.set(0x40);
  EXPECT_EQ(journal.Channels[0], zero);

  builder.Acknowledge(2);
  journal = read();
  EXPECT_EQ(journal.Checkpoint, 3);
  EXPECT_TRUE(journal.Channels.empty());

  // A chapter N of 128 logs, and one of 127 with no OFFBITS, which must not read as 128.
  for (int sounding : {128, 127}) {
    TJournalBuilder full;
    for (int note = 0; note < sounding; ++note)
      full.Record(9, Bytes{0x92, static_cast<uint8_t>(note), 0x10}.data(), 3);
    Bytes bytes;
    full.Build(bytes);
    const auto parsed = ParseJournal(bytes.data(), bytes.size());
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->Channels.size(), 1u);
    EXPECT_EQ(parsed->Channels[0].NoteOnVelocity[126], 0x10);
    EXPECT_EQ(parsed->Channels[0].NoteOnVelocity[127], sounding == 128 ? 0x10 : 0);
    EXPECT_TRUE(parsed->Channels[0].NotesOff.none());
  }
}

}  // namespace

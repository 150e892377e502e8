#include "protocol/data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes PayloadOf(const TData& data) { return Bytes(data.Bytes(), data.Bytes() + data.Count()); }

TData MakePacket(int8_t type, uint16_t time, const Bytes& payload) {
  TData packet(static_cast<uint16_t>(payload.size()), payload.data());
  packet.DataType = type;
  packet.Time = time;
  return packet;
}

std::string DumpOf(const TData& data) {
  std::string text;
  data.DumpText(text);
  return text;
}

TEST(DataEncode, FramesMatchTheWireExamples) {
  struct Example {
    int8_t type;
    uint16_t time;
    Bytes payload;
    Bytes frame;
  };
  const Example examples[] = {
      {dtTime, 5000, {}, {0x10, 0x02, 0x01, 0x88, 0x13, 0x10, 0x03}},
      {dtMidi,
       16,
       {0x90, 0x3C, 0x64},
       {0x10, 0x02, 0x02, 0x10, 0x10, 0x00, 0x90, 0x3C, 0x64, 0x10, 0x03}},
      {dtChat, 300, {0x48, 0x69}, {0x10, 0x02, 0x04, 0x2C, 0x01, 0x48, 0x69, 0x10, 0x03}},
      {dtMidi,
       4112,
       {0xF0, 0x10, 0xF7},
       {0x10, 0x02, 0x02, 0x10, 0x10, 0x10, 0x10, 0xF0, 0x10, 0x10, 0xF7, 0x10, 0x03}},
  };
  for (const Example& example : examples) {
    TData packet = MakePacket(example.type, example.time, example.payload);
    packet.Encode();
    EXPECT_EQ(PayloadOf(packet), example.frame);
    EXPECT_EQ(packet.DataType, example.type);
    EXPECT_EQ(packet.Time, example.time);
  }
}

TEST(DataEncode, GrowsTheBufferByTheGrowthRuleAndEncodesFramesAgain) {
  TData time(0);
  time.DataType = dtTime;
  time.Time = 5000;
  time.Encode();
  EXPECT_EQ(time.Size(), 7);  // an empty buffer becomes exactly the frame

  TData midi = MakePacket(dtMidi, 16, {0x90, 0x3C, 0x64});
  midi.Encode();
  EXPECT_EQ(midi.Size(), 12);  // 3 doubled twice holds the 11-byte frame

  // A frame is an ordinary payload to a second Encode: its DLEs get doubled.
  time.Encode();
  EXPECT_EQ(PayloadOf(time), (Bytes{0x10, 0x02, 0x01, 0x88, 0x13, 0x10, 0x10, 0x02, 0x01, 0x88,
                                    0x13, 0x10, 0x10, 0x03, 0x10, 0x03}));
}

TEST(DataEncode, RefusesFramesPast32768BytesAndLeavesThePacketUnchanged) {
  // Header of a Midi packet with Time 0 plus trailer take 7 bytes.
  Bytes largest(32768 - 7, 0x41);
  largest[100] = 0x10;
  largest.pop_back();  // the stuffed 0x10 takes two bytes
  TData fits = MakePacket(dtMidi, 0, largest);
  fits.Encode();
  EXPECT_EQ(fits.Count(), 32768);

  for (Bytes tooLarge : {Bytes(32768 - 6, 0x41), Bytes(16381, 0x10)}) {
    TData packet = MakePacket(dtMidi, 0, tooLarge);
    const uint16_t sizeBefore = packet.Size();
    EXPECT_THROW(packet.Encode(), ERangeError);
    EXPECT_EQ(PayloadOf(packet), tooLarge);
    EXPECT_EQ(packet.Size(), sizeBefore);
  }

  TData negativeType = MakePacket(-1, 7, {0x01});
  EXPECT_THROW(negativeType.Encode(), ERangeError);
  EXPECT_EQ(PayloadOf(negativeType), Bytes{0x01});
}

TEST(DataDump, ShowsTimeNameAndBytes) {
  EXPECT_EQ(DumpOf(MakePacket(dtTime, 5000, {})), "05000 Time    : []");
  EXPECT_EQ(DumpOf(MakePacket(dtMidi, 16, {0x90, 0x3C, 0x64})), "00016 Midi    : [90,3C,64]");
  EXPECT_EQ(DumpOf(MakePacket(dtChat, 300, {0x48, 0x69})), "00300 Chat    : [48,69]");
  EXPECT_EQ(DumpOf(MakePacket(dtAudio, 65535, {0xAB})), "65535 Audio   : [AB]");
  // "Unknown" fills the name field exactly; negative codes are byte values above 4 too.
  EXPECT_EQ(DumpOf(MakePacket(5, 0, {})), "00000 Unknown : []");
  EXPECT_EQ(DumpOf(MakePacket(-1, 0, {})), "00000 Unknown : []");
  EXPECT_STREQ(DataTypeName(255), "Unknown");
}

TEST(DataDump, CutsLongPayloadsAfter336Bytes) {
  const std::string whole = DumpOf(MakePacket(dtMidi, 0, Bytes(335, 0xF7)));
  EXPECT_EQ(whole.size(), 1022u);
  EXPECT_EQ(whole.substr(whole.size() - 4), ",F7]");

  for (size_t length : {336u, 337u, 65535u}) {
    const std::string cut = DumpOf(MakePacket(dtMidi, 0, Bytes(length, 0xF7)));
    EXPECT_EQ(cut.size(), 1025u);
    EXPECT_EQ(cut.substr(cut.size() - 4), ",F7,");  // keeps its comma, no bracket
  }
}

TEST(DataGrowth, DoublesFromOneAndStopsBelow65536) {
  TData data(0);
  EXPECT_EQ(data.Bytes(), nullptr);
  const uint16_t expected[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
  for (uint16_t size : expected) {
    data.AddByte(0x55);
    EXPECT_EQ(data.Size(), size);
  }

  TData big(0);
  const Bytes block(40000, 0x22);
  big.AddBytes(40000, block.data());
  EXPECT_EQ(big.Size(), 40000);
  EXPECT_THROW(big.AddByte(0x33), ERangeError);
  EXPECT_EQ(big.Count(), 40000);
  EXPECT_EQ(big.Size(), 40000);

  // A size that is not a power of two stops at its last doubling below 65536.
  TData three(3);
  for (int i = 0; i < 3 * 16384; ++i) three.AddByte(1);
  EXPECT_EQ(three.Size(), 49152);
  EXPECT_THROW(three.AddByte(1), ERangeError);
}

TEST(DataGrowth, FailedAddBytesKeepsTheDoublingsThatFitted) {
  TData data(128);
  const Bytes start{1, 2, 3};
  data.AddBytes(3, start.data());
  const Bytes block(40000, 9);
  EXPECT_THROW(data.AddBytes(40000, block.data()), ERangeError);
  EXPECT_EQ(data.Size(), 32768);
  EXPECT_EQ(PayloadOf(data), start);

  // Several doublings in one call.
  data.AddBytes(32765, block.data());
  EXPECT_EQ(data.Count(), 32768);
  EXPECT_EQ(data.Size(), 32768);
}

TEST(DataIndex, ChecksAgainstCapacityNotCount) {
  TData data(4);
  data.AddByte(7);
  EXPECT_EQ(data.GetByte(0), 7);
  EXPECT_EQ(data.GetByte(3), 0);  // beyond Count, within Size
  try {
    data.GetByte(4);
    FAIL() << "index 4 of 4 passed";
  } catch (const EDataIndexOutOfBounds& error) {
    EXPECT_STREQ(error.what(), "TData : Index (4) out of bounds [0,3]");
  }
  TData empty(0);
  try {
    empty.CheckIndex(0);
    FAIL() << "index 0 of an empty buffer passed";
  } catch (const EDataIndexOutOfBounds& error) {
    EXPECT_STREQ(error.what(), "TData : Index (0) out of bounds [0,-1]");
  }
}

TEST(DataIndex, SetCountAcceptsOneToSize) {
  TData data(8);
  data.Bytes()[0] = 0xAA;
  data.Bytes()[7] = 0xBB;
  data.SetCount(8);
  EXPECT_EQ(data.Count(), 8);
  try {
    data.SetCount(9);
    FAIL() << "count above Size passed";
  } catch (const EDataIndexOutOfBounds& error) {
    EXPECT_STREQ(error.what(), "TData : Index (8) out of bounds [0,7]");
  }
  EXPECT_THROW(data.SetCount(0), ERangeError);
  EXPECT_THROW(data.SetCount(-3), ERangeError);
  EXPECT_EQ(data.Count(), 8);
  data.SetCount(1);
  EXPECT_EQ(PayloadOf(data), Bytes{0xAA});
}

TEST(DataSize, KeepsThePrefixZeroFillsAndNeverLeavesCountPastSize) {
  const Bytes bytes{1, 2, 3, 4, 5};
  TData data(5, bytes.data());
  data.SetSize(8);
  EXPECT_EQ(PayloadOf(data), bytes);
  EXPECT_EQ(data.GetByte(7), 0);
  data.SetSize(2);
  EXPECT_EQ(data.Count(), 2);
  EXPECT_EQ(PayloadOf(data), (Bytes{1, 2}));
  data.SetSize(0);
  EXPECT_EQ(data.Count(), 0);
  EXPECT_EQ(data.Bytes(), nullptr);
}

TEST(DataSize, KeepsBytesAcrossShortAndLongBuffers) {
  Bytes bytes(12);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  TData data(12, bytes.data());
  data.SetSize(40);
  EXPECT_EQ(PayloadOf(data), bytes);
  EXPECT_EQ(data.GetByte(39), 0);
  data.SetSize(10);
  data.SetSize(14);
  EXPECT_EQ(PayloadOf(data), Bytes(bytes.begin(), bytes.begin() + 10));
  EXPECT_EQ(data.GetByte(10), 0);  // cut bytes do not come back
  EXPECT_EQ(data.GetByte(13), 0);
}

TEST(DataMove, TakesShortAndLongPayloadsAndEmptiesTheSource) {
  for (size_t length : {3u, 300u}) {
    TData source = MakePacket(dtMidi, 42, Bytes(length, 0x7E));
    TData moved(std::move(source));
    EXPECT_EQ(PayloadOf(moved), Bytes(length, 0x7E));
    EXPECT_EQ(moved.Time, 42);
    EXPECT_EQ(source.Size(), 0);  // NOLINT(bugprone-use-after-move): moved-from state is defined
    EXPECT_EQ(source.Bytes(), nullptr);

    TData target = MakePacket(dtChat, 1, Bytes(100, 1));
    target = std::move(moved);
    moved.AddByte(5);  // a moved-from packet is usable
    EXPECT_EQ(PayloadOf(target), Bytes(length, 0x7E));
    EXPECT_EQ(PayloadOf(moved), Bytes{5});
  }
}

TEST(DataAssign, CopiesPayloadTypeAndTime) {
  TData target = MakePacket(dtChat, 1, {1, 2, 3, 4});
  const TData empty = MakePacket(dtTime, 5000, {});
  target.Assign(&empty);
  EXPECT_EQ(target.Count(), 0);
  EXPECT_EQ(target.Size(), 4);  // the buffer is reused
  EXPECT_EQ(target.DataType, dtTime);
  EXPECT_EQ(target.Time, 5000);

  const TData source = MakePacket(dtMidi, 9, {0x90, 0x40, 0x7F});
  target.Assign(&source);
  target.Assign(nullptr);
  target.Assign(&target);
  EXPECT_EQ(PayloadOf(target), PayloadOf(source));
  EXPECT_EQ(target.DataType, dtMidi);
  EXPECT_EQ(target.Time, 9);

  const TData copy(source);
  EXPECT_EQ(copy.Size(), 3);
  EXPECT_EQ(PayloadOf(copy), PayloadOf(source));
  EXPECT_EQ(copy.Time, 9);
}

TEST(DataAssign, AssigningToADecoderAbandonsItsFrame) {
  TDecoder decoder(256);
  decoder.OnPacket = [](TData&) {};
  const Bytes partial{0x10, 0x02, 0x02, 0x00, 0x00, 0x90};
  decoder.AddData(static_cast<uint16_t>(partial.size()), partial.data());
  ASSERT_EQ(decoder.State(), dsPayload);
  const TData source = MakePacket(dtChat, 3, {0x41});
  decoder.Assign(&source);
  EXPECT_EQ(decoder.State(), dsHunt);
  EXPECT_EQ(PayloadOf(decoder), Bytes{0x41});
}

}  // namespace

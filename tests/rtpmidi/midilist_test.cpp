#include "rtpmidi/midilist.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Packet(uint16_t sequence, const Bytes& section) {
  Bytes packet;
  TRtpHeader header;
  header.Sequence = sequence;
  header.Timestamp = 0x01020304;
  header.Ssrc = 0xCAFEBABE;
  EncodeRtpHeader(header, packet);
  packet.insert(packet.end(), section.begin(), section.end());
  return packet;
}

std::vector<TMidiEvent> ReceiveAll(TMidiListReader& reader, const std::vector<Bytes>& packets) {
  std::vector<TMidiEvent> events;
  for (const Bytes& packet : packets) reader.Receive(packet.data(), packet.size(), events);
  return events;
}

// Writes the messages, each `delta` after the one before, into as many packets as it takes,
// numbered on from `sequence`.
std::vector<Bytes> Write(TMidiListWriter& writer, const std::vector<Bytes>& messages,
                         uint32_t delta, uint16_t& sequence) {
  std::vector<Bytes> packets;
  auto take = [&] {
    Bytes section;
    writer.Take(section, false);
    packets.push_back(Packet(sequence++, section));
  };
  for (const Bytes& message : messages) {
    for (size_t at = 0; at < message.size();) {
      const size_t taken = writer.Add(delta, message.data() + at, message.size() - at);
      if (taken < message.size() - at) take();
      at += taken;
    }
  }
  if (!writer.Empty()) take();
  return packets;
}

TEST(RtpHeader, DecodesTheFieldsAndFindsThePayloadPastCsrcsExtensionAndPadding) {
  // V=2 P=1 X=1 CC=1, M=1 PT=97, then one CSRC, a one-word extension, payload AB CD, and
  // two bytes of padding.
  const Bytes datagram = {0xB1, 0xE1, 0x12, 0x34, 0x00, 0x00, 0x01, 0x00, 0xCA, 0xFE,
                          0xBA, 0xBE, 0x11, 0x11, 0x11, 0x11, 0xBE, 0xDE, 0x00, 0x01,
                          0x22, 0x22, 0x22, 0x22, 0xAB, 0xCD, 0x00, 0x02};
  const auto packet = DecodeRtpPacket(datagram.data(), datagram.size());
  ASSERT_TRUE(packet);
  EXPECT_TRUE(packet->Header.Marker);
  EXPECT_EQ(packet->Header.PayloadType, 97);
  EXPECT_EQ(packet->Header.Sequence, 0x1234);
  EXPECT_EQ(packet->Header.Timestamp, 0x100u);
  EXPECT_EQ(packet->Header.Ssrc, 0xCAFEBABE);
  EXPECT_EQ(Bytes(packet->Payload, packet->Payload + packet->PayloadLength), (Bytes{0xAB, 0xCD}));

  for (size_t length = 0; length < datagram.size() - 1; ++length)
    EXPECT_FALSE(DecodeRtpPacket(datagram.data(), length)) << length;  // cut or padded past
  Bytes version1 = datagram;
  version1[0] = 0x71;
  EXPECT_FALSE(DecodeRtpPacket(version1.data(), version1.size()));
}

TEST(MidiList, ReadsDeltasRunningStatusAndTheSystemRules) {
  // Z clear, so the first command has no delta. 90 3C 64; delta 0, running 3E 50; delta 128
  // (81 00), clock F8, which keeps running status; delta 0, running 3F 40; delta 1, song select
  // F3 05, which cancels it; delta 0, then 41 40 with no status to run on: the list breaks.
  const Bytes list = {0x90, 0x3C, 0x64, 0x00, 0x3E, 0x50, 0x81, 0x00, 0xF8,
                      0x00, 0x3F, 0x40, 0x01, 0xF3, 0x05, 0x00, 0x41, 0x40};
  Bytes section = {static_cast<uint8_t>(0x80 | list.size() >> 8),
                   static_cast<uint8_t>(list.size())};
  section.insert(section.end(), list.begin(), list.end());
  TMidiListReader reader;
  const std::vector<TMidiEvent> expected = {{0, {0x90, 0x3C, 0x64}},
                                            {0, {0x90, 0x3E, 0x50}},
                                            {128, {0xF8}},
                                            {128, {0x90, 0x3F, 0x40}},
                                            {129, {0xF3, 0x05}}};
  EXPECT_EQ(ReceiveAll(reader, {Packet(7, section)}), expected);
  EXPECT_EQ(reader.Drops().MalformedLists, 1u);

  // The writer codes the same messages with the same running status and reads back whole.
  TMidiListWriter writer;
  uint16_t sequence = 1;
  const std::vector<Bytes> sent = {{0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x50}, {0xF8},
                                   {0x90, 0x3F, 0x40}, {0xF3, 0x05},       {0x90, 0x41, 0x40}};
  const std::vector<Bytes> packets = Write(writer, sent, 0, sequence);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(Bytes(packets[0].begin() + 12, packets[0].end()),
            (Bytes{0x80, 0x12, 0x90, 0x3C, 0x64, 0x00, 0x3E, 0x50, 0x00, 0xF8,
                   0x00, 0x3F, 0x40, 0x00, 0xF3, 0x05, 0x00, 0x90, 0x41, 0x40}));
  TMidiListReader again;
  std::vector<TMidiEvent> events = ReceiveAll(again, packets);
  ASSERT_EQ(events.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(events[i].Bytes, sent[i]);

  // Short form, Z set: delta 0x0FFFFFFF in four bytes, then program change C2 07.
  const Bytes shortForm = {0x26, 0xFF, 0xFF, 0xFF, 0x7F, 0xC2, 0x07};
  events.clear();
  again.Receive(Packet(8, shortForm).data(), 19, events);
  EXPECT_EQ(events, (std::vector<TMidiEvent>{{0x0FFFFFFF, {0xC2, 0x07}}}));

  // Not whole messages: refused and passed over.
  for (const Bytes& bad : {Bytes{0x3C}, Bytes{0x90, 0x3C}, Bytes{0xF0, 0x01}, Bytes{0xF5}}) {
    EXPECT_EQ(writer.Add(0, bad.data(), bad.size()), bad.size());
  }
  EXPECT_EQ(writer.Refused(), 4u);
  EXPECT_TRUE(writer.Empty());
}

TEST(MidiList, JoinsSysexSegmentsAcrossPacketsAndCountsWhatItCannotJoin) {
  // The segment forms of RFC 6295 3.2, one per packet: first F0 .. F0, middle F7 .. F0 (with
  // a clock byte inside), last F7 .. F7.
  TMidiListReader reader;
  EXPECT_EQ(ReceiveAll(reader, {Packet(1, {0x04, 0xF0, 0x01, 0x02, 0xF0}),
                                Packet(2, {0x04, 0xF7, 0x03, 0xF8, 0xF0}),
                                Packet(3, {0x03, 0xF7, 0x04, 0xF7})}),
            (std::vector<TMidiEvent>{{0, {0xF8}}, {0, {0xF0, 0x01, 0x02, 0x03, 0x04, 0xF7}}}));

  // A long sysex through small lists comes back whole.
  Bytes sysex(3000, 0x55);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  TMidiListWriter writer(100);
  uint16_t sequence = 4;
  const std::vector<Bytes> packets = Write(writer, {sysex, {0x80, 0x3C, 0x00}}, 5, sequence);
  EXPECT_EQ(packets.size(), 31u);
  const std::vector<TMidiEvent> events = ReceiveAll(reader, packets);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Bytes, sysex);
  EXPECT_EQ(events[1], (TMidiEvent{10, {0x80, 0x3C, 0x00}}));  // 5 after the sysex's end

  // A lost middle packet: nothing of that sysex comes out, once counted.
  std::vector<Bytes> gap = Write(writer, {sysex}, 0, sequence);
  gap.erase(gap.begin() + 3);
  EXPECT_TRUE(ReceiveAll(reader, gap).empty());
  EXPECT_EQ(reader.Drops().Lost, 1u);
  EXPECT_EQ(reader.Drops().BrokenSysex, 1u);

  // The sender's cancel, F7 F4; a sysex past 64 KiB; a stale packet.
  EXPECT_TRUE(ReceiveAll(reader, {Packet(sequence, {0x03, 0xF0, 0x01, 0xF0}),
                                  Packet(sequence + 1, {0x02, 0xF7, 0xF4}),
                                  Packet(sequence + 1, {0x01, 0xF8})})
                  .empty());
  EXPECT_EQ(reader.Drops().CancelledSysex, 1u);
  EXPECT_EQ(reader.Drops().Stale, 1u);
  sequence += 2;
  Bytes huge(TMidiListReader::MaxSysexLength + 1, 0x22);
  huge.front() = 0xF0;
  huge.back() = 0xF7;
  TMidiListWriter large(TMidiListWriter::LongestList);
  EXPECT_TRUE(ReceiveAll(reader, Write(large, {huge}, 0, sequence)).empty());
  EXPECT_EQ(reader.Drops().OversizeSysex, 1u);
  EXPECT_EQ(reader.Drops().BrokenSysex, 1u);

  // The rest of an open sysex that is not its rest closes it with the cancel segment.
  Bytes section;
  const uint8_t note[] = {0x90, 0x3C, 0x64};
  TMidiListWriter small(8);
  EXPECT_EQ(small.Add(0, sysex.data(), sysex.size()), 7u);
  small.Take(section, false);
  EXPECT_EQ(small.Add(0, note, 3), 3u);
  small.Take(section, false);
  EXPECT_EQ(section,
            (Bytes{0x08, 0xF0, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0xF0, 0x02, 0xF7, 0xF4}));
  EXPECT_EQ(small.Refused(), 1u);
}

}  // namespace

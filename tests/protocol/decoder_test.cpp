#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "platform/errors.h"
#include "protocol/data.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Received {
  int8_t type;
  uint16_t time;
  Bytes payload;
  bool operator==(const Received&) const = default;
};

void PrintTo(const Received& packet, std::ostream* out) {
  *out << "{type " << int{packet.type} << ", time " << packet.time << ", payload";
  for (uint8_t b : packet.payload) *out << ' ' << std::hex << int{b} << std::dec;
  *out << '}';
}

// A decoder whose packets and oversize reports are recorded.
struct Receiver {
  TDecoder decoder{256};
  std::vector<Received> packets;
  int oversize = 0;

  Receiver() {
    decoder.OnPacket = [this](TData& packet) {
      EXPECT_EQ(packet.Size(), packet.Count());
      packets.push_back(
          {packet.DataType, packet.Time, Bytes(packet.Bytes(), packet.Bytes() + packet.Count())});
    };
    decoder.OnOversize = [this] { ++oversize; };
  }

  void Feed(const Bytes& bytes) { Feed(bytes.data(), bytes.size()); }
  // Blocks longer than one AddData call can take are fed in pieces.
  void Feed(const uint8_t* bytes, size_t count) {
    do {
      const size_t block = std::min<size_t>(count, UINT16_MAX);
      decoder.AddData(static_cast<uint16_t>(block), bytes);
      bytes += block;
      count -= block;
    } while (count != 0);
  }
  void FeedSplitAt(const Bytes& bytes, size_t split) {
    Feed(bytes.data(), split);
    Feed(bytes.data() + split, bytes.size() - split);
  }
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes FrameOf(int8_t type, uint16_t time, const Bytes& payload) {
  TData packet(static_cast<uint16_t>(payload.size()), payload.data());
  packet.DataType = type;
  packet.Time = time;
  packet.Encode();
  return Bytes(packet.Bytes(), packet.Bytes() + packet.Count());
}

const Bytes TimeFrame{0x10, 0x02, 0x01, 0x88, 0x13, 0x10, 0x03};

// Decoding must not depend on where the stream is cut, so every case is checked whole, one
// byte per call, and cut in two at every position.
void ExpectDecodes(const Bytes& stream, const std::vector<Received>& expected) {
  {
    Receiver whole;
    whole.Feed(stream);
    EXPECT_EQ(whole.packets, expected) << "in one block";
  }
  {
    Receiver single;
    for (uint8_t b : stream) single.Feed(&b, 1);
    EXPECT_EQ(single.packets, expected) << "one byte per call";
  }
  for (size_t split = 0; split <= stream.size(); ++split) {
    Receiver twoBlocks;
    twoBlocks.FeedSplitAt(stream, split);
    EXPECT_EQ(twoBlocks.packets, expected) << "split at " << split;
  }
}

TEST(Decoder, DecodesFramesWhereverTheStreamIsCut) {
  ExpectDecodes(TimeFrame, {{dtTime, 5000, {}}});
  ExpectDecodes({0x10, 0x02, 0x02, 0x10, 0x10, 0x10, 0x10, 0xF0, 0x10, 0x10, 0xF7, 0x10, 0x03},
                {{dtMidi, 4112, {0xF0, 0x10, 0xF7}}});
  // Garbage before, between and after frames is skipped; both frames come in order.
  ExpectDecodes(Concat({{0x41, 0x03, 0x02},
                        TimeFrame,
                        {0x00, 0x10, 0x41, 0x02},
                        FrameOf(4, 300, {0x48, 0x69}),
                        {0x10}}),
                {{dtTime, 5000, {}}, {dtChat, 300, {0x48, 0x69}}});
}

TEST(Decoder, ResynchronisesAsTheStateTableSays) {
  // DLE STX in the type position abandons the frame; its STX is consumed.
  ExpectDecodes({0x10, 0x02, 0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x10, 0x03}, {});
  // Stuffing errors in the time positions abandon the frame too.
  ExpectDecodes(Concat({{0x10, 0x02, 0x01, 0x10, 0x41}, TimeFrame}), {{dtTime, 5000, {}}});
  ExpectDecodes(Concat({{0x10, 0x02, 0x01, 0x00, 0x10, 0x02}, TimeFrame}), {{dtTime, 5000, {}}});
  // Inside the payload DLE STX is dropped and collection goes on.
  ExpectDecodes({0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x10, 0x02, 0x3C, 0x10, 0x03},
                {{dtMidi, 0, {0x90, 0x3C}}});
  // After a DLE in the payload other values are dropped until DLE, STX or ETX.
  ExpectDecodes({0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x10, 0x41, 0x03}, {{dtMidi, 0, {0x90}}});
  ExpectDecodes({0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x10, 0x41, 0x10, 0x03, 0x10, 0x03},
                {{dtMidi, 0, {0x90, 0x10, 0x03}}});
  // A frame cut short merges with the next one.
  ExpectDecodes(
      {0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x3C, 0x10, 0x02, 0x02, 0x00, 0x00, 0x80, 0x10, 0x03},
      {{dtMidi, 0, {0x90, 0x3C, 0x02, 0x00, 0x00, 0x80}}});
  // DLE DLE STX does not start a frame; the DLE STX after it does.
  ExpectDecodes({0x41, 0x10, 0x10, 0x02, 0x10, 0x02, 0x01, 0x00, 0x00, 0x10, 0x03},
                {{dtTime, 0, {}}});
  // A doubled DLE in the type position is the type 0x10.
  ExpectDecodes({0x10, 0x02, 0x10, 0x10, 0x00, 0x00, 0x10, 0x03}, {{0x10, 0, {}}});
}

TEST(Decoder, RoundTripsRandomPacketsInRandomBlocks) {
  std::mt19937 random(20240611);
  std::vector<Received> sent;
  Bytes stream;
  for (int i = 0; i < 300; ++i) {
    // Values near DLE, STX and ETX are made common to exercise stuffing.
    std::uniform_int_distribution<int> length(0, i % 10 == 0 ? 3000 : 8);
    Bytes payload(static_cast<size_t>(length(random)));
    for (uint8_t& b : payload) b = static_cast<uint8_t>(random() % 4 == 0 ? 0x10 : random() % 5);
    const auto type = static_cast<int8_t>(random() % 128);
    const auto time = static_cast<uint16_t>(random() % 2 ? 0x1010 : random());
    sent.push_back({type, time, payload});
    const Bytes frame = FrameOf(type, time, payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  Receiver receiver;
  for (size_t at = 0; at < stream.size();) {
    const size_t block = std::min<size_t>(stream.size() - at, random() % 700);
    receiver.Feed(stream.data() + at, block);
    at += block;
  }
  EXPECT_EQ(receiver.packets, sent);
  EXPECT_EQ(receiver.decoder.State(), dsHunt);
}

TEST(Decoder, HandlerExceptionLosesTheRestOfTheBlock) {
  TDecoder decoder(256);
  std::vector<uint16_t> times;
  decoder.OnPacket = [&](TData& packet) {
    times.push_back(packet.Time);
    if (packet.Time == 1) throw std::runtime_error("handler failed");
  };
  const Bytes stream = Concat({FrameOf(dtTime, 1, {}), FrameOf(dtTime, 2, {}), {0x10, 0x02}});
  EXPECT_THROW(decoder.AddData(static_cast<uint16_t>(stream.size()), stream.data()),
               std::runtime_error);
  EXPECT_EQ(decoder.State(), dsHunt);
  EXPECT_EQ(decoder.Count(), 0);
  EXPECT_EQ(times, std::vector<uint16_t>{1});

  const Bytes next = FrameOf(dtMidi, 3, {0x90});
  decoder.AddData(static_cast<uint16_t>(next.size()), next.data());
  EXPECT_EQ(times, (std::vector<uint16_t>{1, 3}));
}

TEST(Decoder, RefusesBytesFromItsOwnHandlerAndWithoutHandler) {
  TDecoder decoder(256);
  std::string error;
  decoder.OnPacket = [&](TData&) {
    EXPECT_EQ(decoder.State(), dsDelivering);
    try {
      decoder.AddData(static_cast<uint16_t>(TimeFrame.size()), TimeFrame.data());
    } catch (const EDecoderState& failure) {
      error = failure.what();
    }
  };
  decoder.AddData(static_cast<uint16_t>(TimeFrame.size()), TimeFrame.data());
  EXPECT_EQ(error, "TDecoder.AddData : Invalid state");
  EXPECT_EQ(decoder.State(), dsHunt);

  TDecoder unhandled(256);
  unhandled.AddData(0, nullptr);
  EXPECT_THROW(unhandled.AddData(static_cast<uint16_t>(TimeFrame.size()), TimeFrame.data()),
               EDecoderState);
  EXPECT_EQ(unhandled.State(), dsHunt);
}

// An oversize payload of `length` bytes, as the sender's frame carries it after the header.
Bytes OversizePayload(size_t length) {
  Bytes payload(length, 0x55);
  payload[1000] = 0x10;
  return payload;
}

Bytes RawFrame(const Bytes& stuffedPayload) {
  return Concat({{0x10, 0x02, 0x02, 0x00, 0x00}, stuffedPayload, {0x10, 0x03}});
}

TEST(DecoderOversize, DeliversPayloadsUpTo32768Bytes) {
  Receiver receiver;
  const Bytes payload = OversizePayload(32768);
  Bytes stuffed = payload;
  stuffed.insert(stuffed.begin() + 1000, 0x10);
  receiver.Feed(RawFrame(stuffed));
  ASSERT_EQ(receiver.packets.size(), 1u);
  EXPECT_EQ(receiver.packets[0].payload, payload);
  EXPECT_EQ(receiver.oversize, 0);
}

TEST(DecoderOversize, AbandonsTheFrameOnceAndDeliversTheNextOne) {
  const Bytes next = FrameOf(dtChat, 7, {0x48, 0x69});
  // The tail holds a raw DLE STX and a doubled DLE: neither may start or end a frame early.
  Bytes tail{0x01, 0x10, 0x02, 0x02, 0x00, 0x00, 0x41, 0x10, 0x10, 0x03};
  Bytes body = OversizePayload(40000);
  body.insert(body.begin() + 1000, 0x10);
  body.insert(body.end(), tail.begin(), tail.end());
  const Bytes stream = Concat({RawFrame(body), next, RawFrame(body), next});

  Receiver whole;
  EXPECT_NO_THROW(whole.Feed(stream));
  const std::vector<Received> expected{{dtChat, 7, {0x48, 0x69}}, {dtChat, 7, {0x48, 0x69}}};
  EXPECT_EQ(whole.packets, expected);
  EXPECT_EQ(whole.oversize, 2);

  Receiver smallBlocks;
  for (size_t at = 0; at < stream.size(); at += 7)
    smallBlocks.Feed(stream.data() + at, std::min<size_t>(7, stream.size() - at));
  EXPECT_EQ(smallBlocks.packets, expected);
  EXPECT_EQ(smallBlocks.oversize, 2);
}

TEST(DecoderOversize, OverflowOnADoubledDleKeepsTheStuffingInStep) {
  // 32768 bytes fill the buffer; the 32769th is a doubled DLE, followed by DLE STX as data.
  const Bytes body = Concat({Bytes(32768, 0x20), {0x10, 0x10, 0x02, 0x01, 0x00, 0x00, 0x10, 0x03}});
  Receiver receiver;
  receiver.Feed(Concat({RawFrame(body), TimeFrame}));
  EXPECT_EQ(receiver.packets, (std::vector<Received>{{dtTime, 5000, {}}}));
  EXPECT_EQ(receiver.oversize, 1);
  EXPECT_EQ(receiver.decoder.State(), dsHunt);
}

TEST(DecoderOversize, ClearWhileSkippingGoesBackToHunting) {
  Receiver receiver;
  receiver.Feed(Concat({{0x10, 0x02, 0x02, 0x00, 0x00}, Bytes(33000, 0x30)}));
  EXPECT_EQ(receiver.decoder.State(), dsSkip);
  receiver.decoder.Clear();
  receiver.Feed(TimeFrame);
  EXPECT_EQ(receiver.packets, (std::vector<Received>{{dtTime, 5000, {}}}));
}

}  // namespace

// Input: one byte giving the largest block size (0: the whole stream in one block), one byte
// seeding the block sizes, then the byte stream a peer would send.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/data.h"

namespace {

struct HandlerFailure {};

void Check(bool condition) {
  if (!condition) std::abort();
}

bool SamePacket(const TData& a, const TData& b) {
  return a.DataType == b.DataType && a.Time == b.Time && a.Count() == b.Count() &&
         (a.Count() == 0 || std::memcmp(a.Bytes(), b.Bytes(), a.Count()) == 0);
}

size_t StuffedLength(const TData& packet) {
  size_t length = 0;
  for (uint16_t i = 0; i < packet.Count(); ++i) length += packet.Bytes()[i] == 0x10 ? 2 : 1;
  return length;
}

void CheckDump(const TData& packet) {
  std::string text;
  packet.DumpText(text);
  const size_t shown = packet.Count() < 336 ? packet.Count() : 336;
  Check(text.size() == 17 + 3 * shown + (packet.Count() == 0 ? 1 : 0));
  Check(text.compare(5, 1, " ") == 0 && text.compare(13, 4, " : [") == 0);
}

// Encoding a delivered packet and decoding the frame must give the packet back.
void CheckRoundTrip(const TData& received) {
  TData packet(received);
  Check(packet.Size() == packet.Count());
  const size_t frameLength = 7 + StuffedLength(packet) + (packet.DataType == 0x10) +
                             ((packet.Time & 0xFF) == 0x10) + ((packet.Time >> 8) == 0x10);
  if (packet.DataType < 0 || frameLength > 32768) {
    try {
      packet.Encode();
      Check(false);
    } catch (const ERangeError&) {
      Check(SamePacket(packet, received));
    }
    return;
  }
  packet.Encode();
  Check(packet.Count() == frameLength);

  int delivered = 0;
  TDecoder decoder(256);
  decoder.OnPacket = [&](TData& decoded) {
    Check(SamePacket(decoded, received));
    ++delivered;
  };
  decoder.AddData(packet.Count(), packet.Bytes());
  Check(delivered == 1 && decoder.State() == dsHunt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t largestBlock = data[0];
  uint32_t seed = data[1];
  const uint8_t* stream = data + 2;
  const size_t length = size - 2;

  // The stream itself as a payload exercises Encode and the dump on arbitrary bytes.
  TData raw(static_cast<uint16_t>(std::min<size_t>(length, UINT16_MAX)), stream);
  raw.DataType = static_cast<int8_t>(data[1]);
  raw.Time = static_cast<uint16_t>(data[0] | data[1] << 8);
  CheckDump(raw);
  CheckRoundTrip(raw);

  TDecoder decoder(256);
  decoder.OnPacket = [](TData& packet) {
    CheckDump(packet);
    CheckRoundTrip(packet);
    // Lets the fuzzer reach the path of a failing handler.
    if (packet.Count() == 1 && packet.Bytes()[0] == 0xEE) throw HandlerFailure();
  };
  decoder.OnOversize = [&decoder] { Check(decoder.State() == dsSkip && decoder.Count() == 0); };

  for (size_t at = 0; at < length;) {
    size_t block = length - at;
    if (largestBlock != 0) {
      seed = seed * 1103515245u + 12345u;
      block = std::min(block, 1 + (seed >> 16) % largestBlock);
    }
    block = std::min<size_t>(block, UINT16_MAX);
    try {
      decoder.AddData(static_cast<uint16_t>(block), stream + at);
    } catch (const HandlerFailure&) {
      Check(decoder.State() == dsHunt && decoder.Count() == 0);
    }
    Check(decoder.State() != dsDelivering && decoder.Count() <= decoder.Size());
    at += block;
  }
  return 0;
}

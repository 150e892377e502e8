#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "protocol/data.h"

namespace {

using Bytes = std::vector<uint8_t>;

TData MakePacket(int8_t type, uint16_t time, const Bytes& payload) {
  TData packet(static_cast<uint16_t>(payload.size()), payload.data());
  packet.DataType = type;
  packet.Time = time;
  return packet;
}

// Note on/off messages with random time stamps; about one in twenty frames needs stuffing.
Bytes MidiStream(size_t frames) {
  std::mt19937 random(1);
  Bytes stream;
  for (size_t i = 0; i < frames; ++i) {
    TData packet = MakePacket(
        dtMidi, static_cast<uint16_t>(random() % 400),
        {static_cast<uint8_t>(0x90 | (i % 16)), static_cast<uint8_t>(random() % 128), 0x64});
    packet.Encode();
    stream.insert(stream.end(), packet.Bytes(), packet.Bytes() + packet.Count());
  }
  return stream;
}

Bytes RandomBytes(size_t count) {
  std::mt19937 random(2);
  Bytes bytes(count);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// Feeds the stream in blocks of the given size, as socket reads would.
void DecodeStream(benchmark::State& state, const Bytes& stream) {
  const auto block = static_cast<size_t>(state.range(0));
  TDecoder decoder(256);
  int64_t packets = 0;
  decoder.OnPacket = [&packets](TData& packet) {
    benchmark::DoNotOptimize(packet.Bytes());
    ++packets;
  };
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += block)
      decoder.AddData(static_cast<uint16_t>(std::min(block, stream.size() - at)),
                      stream.data() + at);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["packets/s"] =
      benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}

void BM_DecodeMidiStream(benchmark::State& state) { DecodeStream(state, MidiStream(6000)); }
BENCHMARK(BM_DecodeMidiStream)->Arg(1460)->Arg(65535);

void BM_DecodeSysExStream(benchmark::State& state) {
  Bytes stream;
  for (int i = 0; i < 16; ++i) {
    TData packet = MakePacket(dtMidi, 0, RandomBytes(4096));
    packet.Encode();
    stream.insert(stream.end(), packet.Bytes(), packet.Bytes() + packet.Count());
  }
  DecodeStream(state, stream);
}
BENCHMARK(BM_DecodeSysExStream)->Arg(1460)->Arg(65535);

// One 3-byte Midi frame decoded and delivered, the packet's allocation included.
void BM_DecodeOneMidiFrame(benchmark::State& state) {
  const Bytes frame = MidiStream(1);
  TDecoder decoder(256);
  decoder.OnPacket = [](TData& packet) { benchmark::DoNotOptimize(packet.Bytes()); };
  for (auto _ : state) decoder.AddData(static_cast<uint16_t>(frame.size()), frame.data());
}
BENCHMARK(BM_DecodeOneMidiFrame);

// A new 3-byte Midi packet built and encoded, as the sending path does for every event.
void BM_EncodeNewMidiPacket(benchmark::State& state) {
  const Bytes message{0x90, 0x3C, 0x64};
  size_t frameBytes = 0;
  for (auto _ : state) {
    TData packet = MakePacket(dtMidi, 16, message);
    packet.Encode();
    frameBytes += packet.Count();
    benchmark::DoNotOptimize(packet.Bytes());
  }
  state.SetBytesProcessed(static_cast<int64_t>(frameBytes));
}
BENCHMARK(BM_EncodeNewMidiPacket);

// Large payloads re-encoded in a reused packet: the stuffing pass alone. Arg is the payload size.
void BM_EncodePayload(benchmark::State& state) {
  const TData source = MakePacket(dtMidi, 0, RandomBytes(static_cast<size_t>(state.range(0))));
  TData packet;
  size_t frameBytes = 0;
  for (auto _ : state) {
    packet.Assign(&source);
    packet.Encode();
    frameBytes += packet.Count();
    benchmark::DoNotOptimize(packet.Bytes());
  }
  state.SetBytesProcessed(static_cast<int64_t>(frameBytes));
}
BENCHMARK(BM_EncodePayload)->Arg(256)->Arg(16000);

void BM_DumpText(benchmark::State& state) {
  const TData packet = MakePacket(dtMidi, 16, RandomBytes(static_cast<size_t>(state.range(0))));
  std::string text;
  for (auto _ : state) {
    packet.DumpText(text);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_DumpText)->Arg(3)->Arg(4096);

}  // namespace

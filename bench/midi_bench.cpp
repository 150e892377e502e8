// How fast the multimedia service moves MIDI: the stream parser on its own, and a message's
// way from midiOutShortMsg / midiOutLongMsg through the loopback's delivery thread to the
// input callback.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "midi/midiparser.h"
#include "midi/mmsystem.h"

namespace {

class CountingSink final : public mmsystem::MidiStreamParser::Sink {
 public:
  void OnMessage(const uint8_t*, size_t count) override { bytes += count; }
  void OnSysex(const uint8_t*, size_t count, bool) override { bytes += count; }
  size_t bytes = 0;
};

// Notes under running status, clock ticks and a system-exclusive dump, as a keyboard sends.
std::vector<uint8_t> MixedStream() {
  std::vector<uint8_t> stream;
  for (int i = 0; i < 64; ++i) {
    stream.insert(stream.end(), {0x90, 0x3C, 0x40, 0x3E, 0x40, 0xF8, 0x3C, 0x00, 0x3E, 0x00});
  }
  stream.push_back(0xF0);
  stream.insert(stream.end(), 1000, 0x11);
  stream.push_back(0xF7);
  return stream;
}

void BM_ParseMixedStream(benchmark::State& state) {
  const std::vector<uint8_t> stream = MixedStream();
  mmsystem::MidiStreamParser parser;
  CountingSink sink;
  for (auto _ : state) {
    parser.Parse(stream.data(), stream.size(), sink);
    benchmark::DoNotOptimize(sink.bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ParseMixedStream);

// Waits on the caller's thread for the input callbacks the loopback delivers.
class Arrivals {
 public:
  static void Callback(void*, UINT, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    auto& self = *reinterpret_cast<Arrivals*>(instance);
    std::lock_guard guard(self.lock_);
    ++self.count_;
    self.arrived_.notify_one();
  }

  void WaitFor(size_t count) {
    std::unique_lock guard(lock_);
    arrived_.wait(guard, [&] { return count_ >= count; });
  }

 private:
  std::mutex lock_;  // guards count_
  std::condition_variable arrived_;
  size_t count_ = 0;
};

struct LoopbackPair {
  LoopbackPair() {
    mmsystem::UseLoopbackMidi(1);
    midiInOpen(&input, 0, &Arrivals::Callback, reinterpret_cast<DWORD_PTR>(&arrivals),
               CALLBACK_FUNCTION);
    midiInStart(input);
    midiOutOpen(&output, 0, nullptr, 0, 0);
  }
  ~LoopbackPair() {
    midiOutClose(output);
    midiInReset(input);
    midiInClose(input);
  }
  Arrivals arrivals;
  HMIDIIN input = nullptr;
  HMIDIOUT output = nullptr;
};

void BM_LoopbackShortMessageRoundTrip(benchmark::State& state) {
  LoopbackPair pair;
  size_t sent = 0;
  for (auto _ : state) {
    midiOutShortMsg(pair.output, 0x00403C90);
    pair.arrivals.WaitFor(++sent);
  }
}
BENCHMARK(BM_LoopbackShortMessageRoundTrip)->UseRealTime();

void BM_LoopbackSysexRoundTrip(benchmark::State& state) {
  LoopbackPair pair;
  std::vector<char> buffers[3] = {std::vector<char>(4096), std::vector<char>(4096),
                                  std::vector<char>(4096)};
  MIDIHDR headers[3] = {};
  for (int i = 0; i < 3; ++i) {
    headers[i].lpData = buffers[i].data();
    headers[i].dwBufferLength = 4096;
    midiInPrepareHeader(pair.input, &headers[i], sizeof(MIDIHDR));
  }
  std::vector<char> sysex(10000, 0x11);
  sysex.front() = static_cast<char>(0xF0);
  sysex.back() = static_cast<char>(0xF7);
  MIDIHDR message{};
  message.lpData = sysex.data();
  message.dwBufferLength = static_cast<DWORD>(sysex.size());
  midiOutPrepareHeader(pair.output, &message, sizeof message);
  size_t expected = 0;
  for (auto _ : state) {
    for (MIDIHDR& header : headers) midiInAddBuffer(pair.input, &header, sizeof(MIDIHDR));
    midiOutLongMsg(pair.output, &message, sizeof message);
    expected += 3;  // 4096, 4096 and 1808 bytes
    pair.arrivals.WaitFor(expected);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sysex.size()));
}
BENCHMARK(BM_LoopbackSysexRoundTrip)->UseRealTime();

}  // namespace

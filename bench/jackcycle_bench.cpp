// What the JACK process callback costs per cycle with 1, 10 and 100 messages in each
// direction: the backend plays them from its output, placed at their frames, into its own
// input, which records them. Starts its own jackd (dummy driver, 128 frames at 48 kHz) and
// skips when it cannot.
//
//   bench_jack_cycle [--seconds 5]

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/jackserver.h"
#include "midi/jackbackend.h"
#include "tests/jack/jackpeer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSampleRate = 48000;
constexpr int kPeriodFrames = 128;
constexpr auto kPeriod = std::chrono::microseconds(1000000 * kPeriodFrames / kSampleRate);
// How far ahead of its cycle each message is queued: a sender released a lead early.
constexpr auto kAhead = 20ms;

// Keeps every cost told, in room taken beforehand; the process thread only stores.
class CostRecorder final : public mmsystem::CycleCostProbe {
 public:
  explicit CostRecorder(size_t most) : costs_(most) {}
  void CycleTook(std::chrono::nanoseconds cost) override {
    const size_t at = count_.load(std::memory_order_relaxed);
    if (at == costs_.size()) return;
    costs_[at] = cost;
    count_.store(at + 1, std::memory_order_release);
  }
  std::vector<std::chrono::nanoseconds> Costs() const {
    return {costs_.begin(), costs_.begin() + static_cast<long>(count_.load())};
  }

 private:
  std::vector<std::chrono::nanoseconds> costs_;
  std::atomic<size_t> count_ = 0;
};

class CountingSink final : public mmsystem::MidiInputSink {
 public:
  void Receive(const uint8_t*, size_t, uint32_t) override { ++received; }
  std::atomic<uint64_t> received = 0;
};

void Measure(mmsystem::JackBackend& backend, mmsystem::MidiOutputConnection& output,
             const CountingSink& sink, int perCycle, int seconds) {
  const int cycles = seconds * kSampleRate / kPeriodFrames;
  CostRecorder recorder(static_cast<size_t>(cycles) * 2);
  const uint64_t receivedBefore = sink.received;
  const uint64_t missedBefore = backend.MissedCycles();
  const auto start = Clock::now() + kAhead;
  backend.SetCycleCostProbe(&recorder);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const auto cycleAt = start + cycle * kPeriod;
    std::this_thread::sleep_until(cycleAt - kAhead);
    for (int i = 0; i < perCycle; ++i) {
      const uint8_t note[3] = {0x90, static_cast<uint8_t>(i % 128), 100};
      const auto at = cycleAt + kPeriod * i / perCycle;
      output.Send(
          note, sizeof note,
          std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
    }
  }
  std::this_thread::sleep_for(kAhead + 50ms);
  backend.SetCycleCostProbe(nullptr);
  std::this_thread::sleep_for(10ms);  // a cycle under way is done with the recorder

  std::vector<std::chrono::nanoseconds> costs = recorder.Costs();
  std::sort(costs.begin(), costs.end());
  const auto us = [&](double q) {
    return costs.empty()
               ? 0.0
               : costs[static_cast<size_t>(q * double(costs.size() - 1))].count() / 1000.0;
  };
  std::printf(
      "%3d messages each way per cycle: p50 %6.1f us  p99 %6.1f us  max %7.1f us"
      "  (%zu cycles, %llu of %d messages recorded, %llu missed cycles)\n",
      perCycle, us(0.5), us(0.99), us(1.0), costs.size(),
      static_cast<unsigned long long>(sink.received - receivedBefore), cycles * perCycle,
      static_cast<unsigned long long>(backend.MissedCycles() - missedBefore));
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  if (argc == 3 && std::string(argv[1]) == "--seconds") seconds = std::atoi(argv[2]);
  const std::string serverName = "tessel-cycle-" + std::to_string(getpid());
  TJackServer server(serverName, kSampleRate, kPeriodFrames, false);
  std::string why;
  if (!server.Start(why)) {
    std::printf("skipped: %s\n", why.c_str());
    return 0;
  }
  setenv("JACK_DEFAULT_SERVER", serverName.c_str(), 1);
  const std::shared_ptr<mmsystem::MidiBackend> system = mmsystem::JackBackend::Create();
  auto* backend = dynamic_cast<mmsystem::JackBackend*>(system.get());
  if (backend == nullptr) {
    std::printf("skipped: no JACK client\n");
    return 0;
  }
  CountingSink sink;
  std::unique_ptr<mmsystem::MidiInputConnection> input;
  std::unique_ptr<mmsystem::MidiOutputConnection> output;
  if (backend->OpenInput(0, sink, input) != MMSYSERR_NOERROR ||
      backend->OpenOutput(MIDI_MAPPER, output) != MMSYSERR_NOERROR) {
    std::printf("skipped: the ports do not open\n");
    return 0;
  }
  TJackPeer patchbay("Patchbay");
  const std::string own = mmsystem::CopyName(1);
  if (!patchbay.Connect(own + ":" + mmsystem::kOutputPortName,
                        own + ":" + mmsystem::kInputPortName)) {
    std::printf("skipped: cannot cable the output to the input\n");
    return 0;
  }
  std::printf("JACK period %d frames at %d Hz (%.2f ms)\n", kPeriodFrames, kSampleRate,
              kPeriodFrames * 1000.0 / kSampleRate);
  for (const int perCycle : {1, 10, 100}) Measure(*backend, *output, sink, perCycle, seconds);
  return 0;
}

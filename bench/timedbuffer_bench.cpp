// Release accuracy of the timed buffer: packets with mixed deltas go in through Put at once,
// and each release seen by OnData is compared with the moment the sender's timeline gives it:
// the first BufferTime after its Put, every other one the sum of the deltas after that. The
// error of the last packet is the drift over the whole run.
//
// Usage: bench_timedbuffer [packets] [scale]   (default 2000 packets, deltas 0..500 ms / 25)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "protocol/timedbuffer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

constexpr uint32_t kBufferTimeMs = 100;

struct Stats {
  double p50, p99, max;
  size_t count;
};

Stats Summarise(std::vector<double> errors) {
  if (errors.empty()) return {0, 0, 0, 0};
  std::sort(errors.begin(), errors.end());
  const auto at = [&](double q) {
    return errors[std::min(errors.size() - 1, static_cast<size_t>(q * errors.size()))];
  };
  return {at(0.50), at(0.99), errors.back(), errors.size()};
}

void Print(const char* what, const Stats& stats) {
  std::printf("%-28s %6zu | %9.1f %9.1f %9.1f\n", what, stats.count, stats.p50, stats.p99,
              stats.max);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t packets = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
  const unsigned scale = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 25;

  std::mt19937 random(7);
  std::uniform_int_distribution<int> delta(0, 500);
  std::vector<uint16_t> deltas(packets);
  for (uint16_t& d : deltas) d = static_cast<uint16_t>(delta(random) / scale);
  deltas[0] = 0;

  std::vector<Clock::time_point> released(packets);
  std::atomic<size_t> delivered{0};
  bool inOrder = true;
  Clock::time_point putAt;
  {
    TTimedBuffer buffer(static_cast<int32_t>(packets));
    buffer.SetBufferTime(kBufferTimeMs);
    buffer.SetBufferResolution(1);
    // Each packet carries its index, so a release out of order shows.
    buffer.OnData = [&](TData& packet, Clock::time_point) {
      const Clock::time_point now = Clock::now();
      const size_t index = delivered.load();
      inOrder = inOrder && packet.GetByte(0) == (index & 0xFF) && packet.GetByte(1) == (index >> 8);
      released[index] = now;
      delivered.store(index + 1);
      delivered.notify_one();
    };
    putAt = Clock::now();
    for (size_t i = 0; i < packets; ++i) {
      auto packet = std::make_unique<TData>();
      packet->AddByte(static_cast<uint8_t>(i & 0xFF));
      packet->AddByte(static_cast<uint8_t>(i >> 8));
      packet->DataType = dtMidi;
      packet->Time = deltas[i];
      buffer.Put(std::move(packet));
    }
    for (size_t now = delivered.load(); now < packets; now = delivered.load()) delivered.wait(now);
  }

  std::vector<double> timed, chord, all;
  Clock::time_point due = putAt + std::chrono::milliseconds(kBufferTimeMs);
  for (size_t i = 0; i < packets; ++i) {
    due += std::chrono::milliseconds(i == 0 ? 0 : deltas[i]);
    const double error = Micros(released[i] - due).count();
    if (i > 0) (deltas[i] > 0 ? timed : chord).push_back(error);
    all.push_back(error);
  }

  std::printf("timed buffer release error, %zu packets, deltas 0..%u ms, BufferTime %u ms%s\n",
              packets, 500 / scale, kBufferTimeMs, inOrder ? "" : "  ** OUT OF ORDER **");
  std::printf("%-28s %6s | %9s %9s %9s   (us)\n", "releases", "n", "p50", "p99", "max");
  Print("timer-released (delta > 0)", Summarise(timed));
  Print("chord (delta 0)", Summarise(chord));
  Print("all", Summarise(all));
  std::printf("drift at the last packet: %.1f us\n", all.back());
  std::printf("first packet after BufferTime: %.1f us late\n", all[0]);
  return inOrder ? 0 : 1;
}

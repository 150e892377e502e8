// Latency of the MIDI ports through a JACK server: from a JACK client's send to TMidiInput's
// OnMidiInput on the owning thread, and from TMidiOutput::SendShort to the JACK client's
// arrival. Both include waiting for JACK's next process cycle, so the JACK period is printed
// beside them as the floor. Starts its own jackd (dummy driver, a name of its own) and
// skips when it cannot.

#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/jackserver.h"
#include "midi/midibackend.h"
#include "midi/midiin.h"
#include "midi/midiout.h"
#include "tests/jack/jackpeer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

constexpr int kSampleRate = 48000;
constexpr int kPeriodFrames = 256;
constexpr int kSamples = 400;
constexpr auto kPatience = std::chrono::seconds(2);

void Report(const char* path, std::vector<double> samples) {
  if (samples.empty()) {
    std::printf("%-34s no samples\n", path);
    return;
  }
  std::sort(samples.begin(), samples.end());
  const auto at = [&samples](double q) {
    return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
  };
  std::printf("%-34s p50 %6.2f ms   p99 %6.2f ms   max %6.2f ms   (%zu samples)\n", path, at(0.5),
              at(0.99), samples.back(), samples.size());
}

// Sends land at random points of the JACK cycle, so the figures cover its whole range.
void SleepRandomPartOfAPeriod(std::mt19937& random) {
  std::uniform_int_distribution<int> micros(0, kPeriodFrames * 1000000 / kSampleRate);
  std::this_thread::sleep_for(std::chrono::microseconds(micros(random)));
}

std::vector<double> MeasureInput(TJackPeer& peer, std::mt19937& random) {
  TMidiInput input;
  input.SetProductName(mmsystem::FitProductName(peer.OutputPort()));
  QEventLoop loop;
  QTimer patience;  // one timer, restarted per sample, so no stale one ends a later wait
  patience.setSingleShot(true);
  QObject::connect(&patience, &QTimer::timeout, &loop, &QEventLoop::quit);
  std::optional<Clock::time_point> handled;
  input.OnMidiInput = [&](TMidiInput& sender) {
    handled = Clock::now();
    sender.ReadEvent();
    loop.quit();
  };
  input.Open();
  input.Start();
  if (input.State() != TMidiInput::TState::Open) return {};

  std::vector<double> samples;
  for (int i = 0; i < kSamples; ++i) {
    SleepRandomPartOfAPeriod(random);
    handled.reset();
    const Clock::time_point sent = Clock::now();
    peer.Send({static_cast<uint8_t>(i % 2 ? 0x80 : 0x90), 0x3C, 0x40});
    patience.start(kPatience);
    if (!handled) loop.exec();
    patience.stop();
    if (handled) samples.push_back(Millis(*handled - sent).count());
  }
  input.Stop();
  input.Close();
  return samples;
}

std::vector<double> MeasureOutput(TJackPeer& peer, std::mt19937& random) {
  TMidiOutput output;
  output.SetProductName(mmsystem::FitProductName(peer.InputPort()));
  output.Open();
  if (!peer.WaitUntilInputConnected(kPatience)) return {};

  std::vector<double> samples;
  for (int i = 0; i < kSamples; ++i) {
    SleepRandomPartOfAPeriod(random);
    peer.ClearReceived();
    const Clock::time_point sent = Clock::now();
    output.SendShort(static_cast<uint8_t>(i % 2 ? 0x80 : 0x90), 0x3C, 0x40);
    if (peer.WaitForMessages(1, kPatience)) {
      samples.push_back(Millis(peer.Received().front().Arrival - sent).count());
    }
  }
  output.Close();
  return samples;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string serverName = "tessel-bench-" + std::to_string(getpid());
  TJackServer server(serverName, kSampleRate, kPeriodFrames, false);
  std::string why;
  if (!server.Start(why)) {
    std::printf("skipped: %s\n", why.c_str());
    return 0;
  }
  // Read by libjack when the MIDI system is chosen, on first use.
  setenv("JACK_DEFAULT_SERVER", serverName.c_str(), 1);
  QCoreApplication app(argc, argv);
  TJackPeer peer("TesselBench");
  std::mt19937 random(12345);

  std::printf("JACK period (the floor)            %6.2f ms   (%d frames at %d Hz)\n",
              1000.0 * kPeriodFrames / kSampleRate, kPeriodFrames, kSampleRate);
  Report("JACK send -> OnMidiInput", MeasureInput(peer, random));
  Report("SendShort -> JACK arrival", MeasureOutput(peer, random));
  return 0;
}

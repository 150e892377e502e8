// Spacing of a played stream at the other client and at the server: three copies of the
// program as separate processes (server S, clients A and B) on a JACK server of this tool's
// own, a stream of notes 20 to 120 ms apart played into A's input at frames anywhere within
// a cycle, and the intervals heard at B's and S's outputs, exact to the frame, compared with
// the intervals played. A link relay can delay A's or B's link by 5 ms plus a uniform 0 to
// 40 ms.
//
//   bench_spacing [--seconds 60] [--jitter none|a|b] [--buffer 150] [--period 128]
//                 [--monitor] [--auto] [--async] [--seed 1] [--bare 15] [--phrases]
//                 [--resize-to 1024]
//
// --monitor turns A's monitor on; --auto writes the automatic buffer time's settings key;
// --async runs JACK without --sync, as users usually do (see bench/jackserver.h); --bare
// first counts the cycles the graph misses for that many seconds without the copies, to set
// beside those it misses while they play; --phrases plays phrases of eight notes with rests of
// 1 to 4 s between them, and counts how far the intervals across the rests are off;
// --resize-to changes the JACK period with jack_bufsize once the copies run, as a user
// does, and plays after that.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/jackserver.h"
#include "tests/jack/jackpeer.h"
#include "tests/process/linkrelay.h"
#include "tests/process/tesselprocess.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;
using Bytes = std::vector<uint8_t>;

constexpr int kSampleRate = 48000;
constexpr auto kPatience = 20s;
constexpr double kAudibleMs = 10;
constexpr auto kQueueAhead = 50ms;
constexpr size_t kPhraseMessages = 16;
constexpr uint32_t kRestMs = 500;  // a longer interval played is a rest
const char kInputPorts[] = "^Tessel[^:]*:MIDI In$";
const char kOutputPorts[] = "^Tessel[^:]*:MIDI Out$";
const TLinkRelay::TDelay kBusyNetwork{5ms, 40ms};

struct TOptions {
  int Seconds = 60;
  char JitterOn = 0;  // 'a', 'b' or none
  int BufferTimeMs = 150;
  int PeriodFrames = 128;
  bool Monitor = false;
  bool Auto = false;
  bool Async = false;
  uint32_t Seed = 1;
  int BareSeconds = 0;
  bool Phrases = false;
  int ResizeTo = 0;  // frames; 0 keeps the period
};

TOptions Parse(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--seconds") {
      options.Seconds = std::stoi(value());
    } else if (flag == "--jitter") {
      const std::string link = value();
      if (link != "none" && link != "a" && link != "b")
        throw std::invalid_argument("--jitter takes none, a or b");
      options.JitterOn = link == "none" ? 0 : link[0];
    } else if (flag == "--buffer") {
      options.BufferTimeMs = std::stoi(value());
    } else if (flag == "--period") {
      options.PeriodFrames = std::stoi(value());
    } else if (flag == "--bare") {
      options.BareSeconds = std::stoi(value());
    } else if (flag == "--seed") {
      options.Seed = static_cast<uint32_t>(std::stoul(value()));
    } else if (flag == "--resize-to") {
      options.ResizeTo = std::stoi(value());
    } else if (flag == "--phrases") {
      options.Phrases = true;
    } else if (flag == "--monitor") {
      options.Monitor = true;
    } else if (flag == "--auto") {
      options.Auto = true;
    } else if (flag == "--async") {
      options.Async = true;
    } else {
      throw std::invalid_argument("unknown argument " + flag);
    }
  }
  return options;
}

struct TPlayed {
  Bytes Message;
  uint32_t Frame;  // JACK's frame time it was played at
};

// One copy of the program and the JACK client of this tool that plays into it and hears it.
struct TCopy {
  std::unique_ptr<TTesselProcess> Process;
  std::unique_ptr<TJackPeer> Peer;
};

std::string NewPort(const std::vector<std::string>& now, const std::vector<std::string>& before) {
  for (const std::string& port : now)
    if (std::find(before.begin(), before.end(), port) == before.end()) return port;
  return {};
}

// Starts the copy and cables it to its JACK client once its ports are there.
void StartAndCable(TCopy& copy) {
  TJackPeer& peer = *copy.Peer;
  const auto inputsBefore = peer.FindPorts(kInputPorts, true);
  const auto outputsBefore = peer.FindPorts(kOutputPorts, false);
  copy.Process->Start();
  std::string input, output;
  for (const auto deadline = Clock::now() + kPatience;
       (input.empty() || output.empty()) && Clock::now() < deadline;) {
    std::this_thread::sleep_for(20ms);
    input = NewPort(peer.FindPorts(kInputPorts, true), inputsBefore);
    output = NewPort(peer.FindPorts(kOutputPorts, false), outputsBefore);
  }
  if (input.empty() || output.empty() || !peer.Connect(peer.OutputPort(), input) ||
      !peer.Connect(output, peer.InputPort()) || !peer.WaitUntilInputConnected(kPatience))
    throw std::runtime_error("cannot cable " + copy.Process->Folder().string() + ":\n" +
                             copy.Process->Log());
}

// Plays a marker into `from` until `to` have played it: the links are up.
void WaitUntilHeard(TCopy& from, const std::vector<TCopy*>& to, int bufferTimeMs) {
  const Bytes marker = {0xB0, 0x10, 0x7F};
  const auto heardByAll = [&] {
    return std::all_of(to.begin(), to.end(), [&](TCopy* copy) {
      const auto heard = copy->Peer->Received();
      return std::any_of(heard.begin(), heard.end(),
                         [&](const TJackPeer::TMessage& m) { return m.Bytes == marker; });
    });
  };
  for (const auto deadline = Clock::now() + kPatience; !heardByAll();) {
    if (Clock::now() > deadline) throw std::runtime_error("the copies do not hear each other");
    from.Peer->Send(marker);
    std::this_thread::sleep_for(std::chrono::milliseconds(bufferTimeMs + 300));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(bufferTimeMs + 500));
  for (TCopy* copy : to) copy->Peer->ClearReceived();
  from.Peer->ClearReceived();
}

// Each message is queued before its frame, which falls anywhere within its cycle.
std::vector<TPlayed> PlayStream(TJackPeer& player, int seconds, bool phrases,
                                std::mt19937& random) {
  const uint32_t rate = player.SampleRate();
  std::uniform_int_distribution<uint32_t> gapFrames(rate / 50, rate * 120 / 1000);
  std::uniform_int_distribution<uint32_t> restFrames(rate, 4 * rate);
  std::vector<TPlayed> played;
  const auto started = Clock::now();
  const uint32_t firstFrame = player.FrameTime() + rate / 10;
  const auto nextGap = [&] {
    return phrases && played.size() % kPhraseMessages == 0 ? restFrames(random) : gapFrames(random);
  };
  for (uint32_t frame = firstFrame; frame - firstFrame < uint32_t(seconds) * rate;
       frame += nextGap()) {
    // A cycle ahead at the longest period, so the frame is still to come when it is queued.
    const auto due =
        started + std::chrono::microseconds(uint64_t{frame - firstFrame} * 1000000 / rate);
    std::this_thread::sleep_until(due - kQueueAhead);
    // Note and velocity tell the pairs apart, so a lost or doubled message shows.
    const size_t pair = played.size() / 2;
    const auto note = static_cast<uint8_t>(36 + pair / 127 % 48);
    const auto velocity = static_cast<uint8_t>(1 + pair % 127);
    const Bytes message =
        played.size() % 2 == 0 ? Bytes{0x90, note, velocity} : Bytes{0x80, note, velocity};
    player.SendAt(message, frame);
    played.push_back({message, frame});
  }
  return played;
}

double FramesMs(int64_t frames, uint32_t rate) {
  return 1000.0 * static_cast<double>(frames) / rate;
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
}

// The intervals heard against the intervals played, and the latency beyond the buffer time.
void Report(const char* where, TJackPeer& listener, const std::vector<TPlayed>& played,
            int bufferTimeMs) {
  listener.WaitForMessages(played.size(), kPatience);
  std::this_thread::sleep_for(300ms);  // nothing more may come
  const std::vector<TJackPeer::TMessage> heard = listener.Received();
  // Every message played is unique, so each one heard finds its place.
  std::map<Bytes, size_t> playedIndex;
  for (size_t i = 0; i < played.size(); ++i) playedIndex[played[i].Message] = i;
  const uint32_t rate = listener.SampleRate();
  std::vector<double> errors;
  std::vector<double> restErrors;  // of the intervals across a rest
  std::vector<double> latencies;
  std::optional<std::pair<size_t, uint32_t>> previous;
  std::vector<bool> heardOnce(played.size());
  size_t matched = 0;
  size_t doubled = 0;
  for (const TJackPeer::TMessage& message : heard) {
    const auto found = playedIndex.find(message.Bytes);
    if (found == playedIndex.end()) continue;
    const size_t i = found->second;
    if (heardOnce[i]) {
      ++doubled;
      continue;
    }
    heardOnce[i] = true;
    ++matched;
    latencies.push_back(FramesMs(static_cast<int32_t>(message.Frame - played[i].Frame), rate));
    if (previous && previous->first + 1 == i) {
      const auto playedFrames = static_cast<int32_t>(played[i].Frame - played[i - 1].Frame);
      const auto error = static_cast<int32_t>(message.Frame - previous->second) - playedFrames;
      errors.push_back(std::abs(FramesMs(error, rate)));
      if (FramesMs(playedFrames, rate) > kRestMs) restErrors.push_back(errors.back());
    }
    previous.emplace(i, message.Frame);
  }
  const auto audible =
      std::count_if(errors.begin(), errors.end(), [](double error) { return error > kAudibleMs; });
  std::printf(
      "%-6s spacing error p50 %6.2f  p99 %6.2f  max %6.2f ms; %ld of %zu intervals off by more "
      "than %.0f ms; latency p50 %6.1f ms (buffer %d ms)",
      where, Quantile(errors, 0.5), Quantile(errors, 0.99), Quantile(errors, 1.0),
      static_cast<long>(audible), errors.size(), kAudibleMs, Quantile(latencies, 0.5),
      bufferTimeMs);
  if (!restErrors.empty()) {
    std::printf("; across rests %ld of %zu off by more than %.0f ms",
                static_cast<long>(std::count_if(restErrors.begin(), restErrors.end(),
                                                [](double error) { return error > kAudibleMs; })),
                restErrors.size(), kAudibleMs);
  }
  const size_t lost = played.size() - matched;
  const size_t extra = heard.size() - matched - doubled;
  if (lost + doubled + extra > 0)
    std::printf("; LOST %zu, DOUBLED %zu, EXTRA %zu", lost, doubled, extra);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  try {
    options = Parse(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
  }
  TJackServer jack("tessel-spacing-" + std::to_string(getpid()), kSampleRate, options.PeriodFrames,
                   !options.Async);
  std::string why;
  if (!jack.Start(why)) {
    std::printf("skipped: %s\n", why.c_str());
    return 0;
  }
  // The copies and this tool's JACK clients inherit it.
  setenv("JACK_DEFAULT_SERVER", jack.Name().c_str(), 1);
  char folderTemplate[] = "/tmp/tessel-spacing-XXXXXX";
  if (mkdtemp(folderTemplate) == nullptr) return 1;
  const std::filesystem::path folder = folderTemplate;

  int status = 0;
  try {
    // A bare client of the graph: what it hears of missed cycles is the graph's own.
    TJackPeer observer("Observer");
    if (options.BareSeconds > 0) {
      std::this_thread::sleep_for(std::chrono::seconds(options.BareSeconds));
      std::printf("missed cycles: %zu in %d s of the bare graph\n", observer.Xruns(),
                  options.BareSeconds);
    }
    const uint16_t port = FreeLoopbackPort();
    std::optional<TLinkRelay> relay;
    if (options.JitterOn != 0) {
      relay.emplace(port);
      relay->SetDelay(kBusyNetwork, options.Seed);
    }
    const auto newCopy = [&](const char* name, bool isServer, bool jittered) {
      TCopy copy{std::make_unique<TTesselProcess>(folder / name),
                 std::make_unique<TJackPeer>(std::string("Player") + name)};
      const uint16_t linkPort = jittered ? relay->Port() : port;
      TTesselProcess::TSettings settings = {
          {"MidiIn", "Tessel MIDI In"},
          {"MidiOut", "Tessel MIDI Out"},
          {"BufferTime", std::to_string(options.BufferTimeMs)},
          {"BufferResolution", "1"},
          {"Port", std::to_string(linkPort)},
          {"IsSever", isServer ? "1" : "0"},
          {"ServerName", isServer ? "" : "127.0.0.1"},
          {"Monitoring", options.Monitor && name[0] == 'A' ? "1" : "0"},
          {"YourName", name},
          {"AutoStart", "1"}};
      if (options.Auto) settings.emplace_back("AutoBufferTime", "1");
      copy.Process->WriteSettings(settings);
      return copy;
    };
    TCopy server = newCopy("S", true, false);
    TCopy clientA = newCopy("A", false, options.JitterOn == 'a');
    TCopy clientB = newCopy("B", false, options.JitterOn == 'b');

    StartAndCable(server);
    if (!WaitUntilListening(port, kPatience))
      throw std::runtime_error("the server does not listen");
    StartAndCable(clientA);
    StartAndCable(clientB);
    WaitUntilHeard(clientA, {&server, &clientB}, options.BufferTimeMs);
    if (options.ResizeTo > 0) {
      const double before = jack.PeriodMs();
      if (!jack.Resize(options.ResizeTo)) throw std::runtime_error("jack_bufsize failed");
      std::printf("JACK period changed from %.2f ms while the copies ran\n", before);
      // The copies read the period again within a second.
      std::this_thread::sleep_for(2s);
    }

    std::printf(
        "%d s of notes 20-120 ms apart into A; jitter %s; JACK period %.2f ms%s%s%s\n",
        options.Seconds,
        options.JitterOn == 0
            ? "on no link"
            : (options.JitterOn == 'a' ? "5+U(0,40) ms on A's link" : "5+U(0,40) ms on B's link"),
        jack.PeriodMs(), options.Async ? " (async)" : "", options.Monitor ? "; A's monitor on" : "",
        options.Auto ? "; automatic buffer time" : "");
    std::mt19937 random(options.Seed);
    const size_t missedBefore = observer.Xruns();
    const std::vector<TPlayed> played =
        PlayStream(*clientA.Peer, options.Seconds, options.Phrases, random);
    std::printf("missed cycles: %zu in %d s while the three copies played\n",
                observer.Xruns() - missedBefore, options.Seconds);
    Report("at B", *clientB.Peer, played, options.BufferTimeMs);
    Report("at S", *server.Peer, played, options.BufferTimeMs);

    for (TCopy* copy : {&clientA, &clientB, &server}) copy->Process->Stop(kPatience);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    status = 1;
  }
  std::filesystem::remove_all(folder);
  return status;
}

// RTP-MIDI figures of a listening server in this process, heard at a client's output (the
// loopback backend, in this process too):
// - from the invitation of an RTP-MIDI session to its first note at that output;
// - latency and spacing at that output of notes an RTP-MIDI session plays, beside the same
//   notes played by a TCP client, in one run;
// - notes left sounding and the pedal's last value at that output after a stretch of notes and
//   pedal with a share of the session's data packets lost, with its recovery journal and
//   without.
// The session is a raw one of this tool's own, sending one message per packet as a player
// does; with its journal it also sends the empty guard packets the server sends.
//
//   bench_rtpmidi [--notes 300] [--seconds 120] [--loss 2] [--buffer 20] [--seed 1]

#include <QApplication>
#include <QEventLoop>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/inifile.h"
#include "rtpmidi/journal.h"
#include "rtpmidi/midilist.h"
#include "rtpmidi/sessionpacket.h"
#include "tests/support/linktestsupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;
using Bytes = std::vector<uint8_t>;

struct TOptions {
  int Notes = 300;
  int Seconds = 120;
  double LossPercent = 2;
  int BufferMs = 20;
  unsigned Seed = 1;
};

TOptions ParseOptions(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--notes")
      options.Notes = std::atoi(value);
    else if (name == "--seconds")
      options.Seconds = std::atoi(value);
    else if (name == "--loss")
      options.LossPercent = std::atof(value);
    else if (name == "--buffer")
      options.BufferMs = std::atoi(value);
    else if (name == "--seed")
      options.Seed = static_cast<unsigned>(std::atoi(value));
  }
  return options;
}

// Runs the event loop until `when`: the server, the client and the observer live on it.
void RunUntil(Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
  if (left <= 0ms) return;
  QEventLoop loop;
  QTimer::singleShot(left, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

// An RTP-MIDI session of raw datagrams that invites the server and plays into it.
class TRawSession {
 public:
  TRawSession(uint16_t serverPort, uint32_t ssrc) : port_(serverPort), ssrc_(ssrc) {
    control_.bind(QHostAddress::LocalHost, 0);
    data_.bind(QHostAddress::LocalHost, 0);
  }

  // Invites the server on both ports and completes a clock sync; false when the server does
  // not answer within a few seconds. From then on it answers the server's syncs and takes its
  // receiver feedback to trim the journal.
  bool Join() {
    TSessionPacket invitation;
    invitation.Token = ssrc_;
    invitation.Ssrc = ssrc_;
    invitation.Name = "Bench";
    for (QUdpSocket* socket : {&control_, &data_}) {
      Write(*socket, socket == &control_ ? port_ : port_ + 1, EncodeSessionPacket(invitation));
      if (!ProcessEventsUntil([&] { return socket->hasPendingDatagrams(); })) return false;
      socket->receiveDatagram();
    }
    QObject::connect(&control_, &QUdpSocket::readyRead, [this] { ReadControl(); });
    QObject::connect(&data_, &QUdpSocket::readyRead, [this] { ReadData(); });
    TSessionPacket sync;
    sync.Command = TSessionCommand::Sync;
    sync.Ssrc = ssrc_;
    sync.Timestamps[0] = Ticks();
    Write(data_, port_ + 1, EncodeSessionPacket(sync));
    return ProcessEventsUntil([this] { return synced_; });
  }

  // One message in one packet; a dropped packet counts in the journal but never leaves.
  void Play(const Bytes& message, bool withJournal, bool dropped) {
    writer_.Add(0, message.data(), message.size());
    const uint16_t sequence = Send(withJournal, dropped);
    if (withJournal) journal_.Record(sequence, message.data(), message.size());
  }
  // An empty packet that carries the journal alone.
  void Guard(bool dropped) { Send(true, dropped); }

  void Leave() {
    TSessionPacket bye;
    bye.Command = TSessionCommand::End;
    bye.Token = ssrc_;
    bye.Ssrc = ssrc_;
    Write(control_, port_, EncodeSessionPacket(bye));
  }

 private:
  // The sync's and the RTP timestamps' unit: 100 µs.
  uint64_t Ticks() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count() / 100);
  }

  void ReadControl() {
    while (control_.hasPendingDatagrams()) {
      const auto packet = Decode(control_.receiveDatagram().data());
      if (packet && packet->Command == TSessionCommand::Feedback)
        journal_.Acknowledge(packet->Sequence);
    }
  }

  // The server's sync is answered; the MIDI it relays is not this tool's business.
  void ReadData() {
    while (data_.hasPendingDatagrams()) {
      auto packet = Decode(data_.receiveDatagram().data());
      if (!packet || packet->Command != TSessionCommand::Sync) continue;
      if (packet->Count == 2) {
        synced_ = true;
        continue;
      }
      packet->Timestamps[packet->Count + 1] = Ticks();
      synced_ = synced_ || packet->Count == 1;
      ++packet->Count;
      packet->Ssrc = ssrc_;
      Write(data_, port_ + 1, EncodeSessionPacket(*packet));
    }
  }

  static std::optional<TSessionPacket> Decode(const QByteArray& bytes) {
    return DecodeSessionPacket(reinterpret_cast<const uint8_t*>(bytes.data()),
                               static_cast<size_t>(bytes.size()));
  }

  uint16_t Send(bool withJournal, bool dropped) {
    const uint16_t sequence = sequence_++;
    Bytes datagram;
    EncodeRtpHeader(
        {TRtpHeader::MidiPayloadType, false, sequence, static_cast<uint32_t>(Ticks()), ssrc_},
        datagram);
    writer_.Take(datagram, withJournal);
    if (withJournal) journal_.Build(datagram);
    if (!dropped) Write(data_, port_ + 1, datagram);
    return sequence;
  }

  static void Write(QUdpSocket& socket, uint16_t to, const Bytes& bytes) {
    socket.writeDatagram(reinterpret_cast<const char*>(bytes.data()),
                         static_cast<qint64>(bytes.size()), QHostAddress::LocalHost, to);
  }

  const uint16_t port_;
  const uint32_t ssrc_;
  QUdpSocket control_, data_;
  TMidiListWriter writer_;
  TJournalBuilder journal_;
  uint16_t sequence_ = 0;
  bool synced_ = false;
  Clock::time_point start_ = Clock::now();
};

// A TCP client of raw frames, stamping each with the milliseconds since its previous one.
class TRawClient {
 public:
  explicit TRawClient(uint16_t port) : peer_(port) {}
  bool Connected() const { return peer_.Connected(); }

  void Play(const Bytes& message) {
    const auto sinceStart = static_cast<int64_t>(Millis(Clock::now() - start_).count());
    TData frame =
        MidiPacket(message, static_cast<uint16_t>(lastMs_ < 0 ? 0 : sinceStart - lastMs_));
    lastMs_ = sinceStart;
    frame.Encode();
    peer_.Write(PayloadOf(frame));
  }

 private:
  TRawPeer peer_;
  const Clock::time_point start_ = Clock::now();
  int64_t lastMs_ = -1;  // when it last played, in whole ms since the start
};

struct TStats {
  double P50 = 0, P99 = 0, Max = 0;
};

TStats Percentiles(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double share) {
    return samples[std::min(samples.size() - 1, static_cast<size_t>(share * samples.size()))];
  };
  return {at(0.5), at(0.99), samples.back()};
}

// Plays `notes` note-ons 20 to 120 ms apart through `play`, each one unique, and measures them
// at the output: latency from its send, and the error of each interval against the one sent.
void MeasureSpacing(const char* name, int notes, std::mt19937& random, TMidiObserver& output,
                    const std::function<void(const Bytes&)>& play) {
  std::uniform_int_distribution<int> gapMs(20, 120);
  const size_t first = output.Received.size();
  std::vector<Clock::time_point> sent;
  auto due = Clock::now() + 100ms;
  for (int i = 0; i < notes; ++i) {
    RunUntil(due);
    sent.push_back(Clock::now());
    play({0x90, static_cast<uint8_t>(i % 128), static_cast<uint8_t>(1 + i / 128)});
    due += std::chrono::milliseconds(gapMs(random));
  }
  RunUntil(Clock::now() + 1s);
  std::map<int, Clock::time_point> heard;
  for (size_t i = first; i < output.Received.size(); ++i) {
    const Bytes& bytes = output.Received[i].Bytes;
    if (bytes.size() == 3 && bytes[0] == 0x90)
      heard[(bytes[2] - 1) * 128 + bytes[1]] = output.Received[i].At;
  }
  std::vector<double> latency, spacing;
  for (int i = 0; i < notes; ++i) {
    if (!heard.count(i)) continue;
    latency.push_back(Millis(heard[i] - sent[i]).count());
    if (i > 0 && heard.count(i - 1))
      spacing.push_back(std::abs(Millis(heard[i] - heard[i - 1]).count() -
                                 Millis(sent[i] - sent[i - 1]).count()));
  }
  const TStats l = Percentiles(latency), s = Percentiles(spacing);
  std::printf(
      "%-22s heard %zu of %d  latency p50 %.2f p99 %.2f max %.2f ms  spacing error p50 "
      "%.2f p99 %.2f max %.2f ms\n",
      name, heard.size(), notes, l.P50, l.P99, l.Max, s.P50, s.P99, s.Max);
}

struct TTimedMessage {
  double AtMs;
  Bytes Message;
};

// `seconds` of notes (one every 125 ms on average, each held 60 to 500 ms) and a pedal that
// goes down and up every 1 to 3 s.
std::vector<TTimedMessage> Music(int seconds, std::mt19937& random) {
  std::vector<TTimedMessage> music;
  std::uniform_real_distribution<double> gap(60, 190), hold(60, 500), pedal(1000, 3000);
  std::uniform_int_distribution<int> note(36, 96), velocity(40, 120);
  const double end = seconds * 1000.0;
  for (double at = 0; at < end; at += gap(random)) {
    const auto key = static_cast<uint8_t>(note(random));
    music.push_back({at, {0x90, key, static_cast<uint8_t>(velocity(random))}});
    music.push_back({at + hold(random), {0x80, key, 0x40}});
  }
  bool down = false;
  for (double at = 500; at < end; at += pedal(random)) {
    down = !down;
    music.push_back({at, {0xB0, 0x40, static_cast<uint8_t>(down ? 127 : 0)}});
  }
  music.push_back({end + 10, {0xB0, 0x40, 0x00}});
  std::stable_sort(music.begin(), music.end(),
                   [](const TTimedMessage& a, const TTimedMessage& b) { return a.AtMs < b.AtMs; });
  return music;
}

// Plays the music with a share of the data packets lost, and counts what it left sounding at
// the output before the session leaves.
void MeasureLoss(uint16_t port, const TOptions& options, bool withJournal, uint32_t ssrc,
                 TEngine& server, TMidiObserver& output) {
  std::mt19937 random(options.Seed);
  const std::vector<TTimedMessage> music = Music(options.Seconds, random);
  std::bernoulli_distribution lost(options.LossPercent / 100);
  TRawSession session(port, ssrc);
  if (!session.Join()) {
    std::printf("the session could not join\n");
    return;
  }
  const size_t first = output.Received.size();
  const auto start = Clock::now();
  size_t dropped = 0;
  for (const TTimedMessage& timed : music) {
    RunUntil(start + std::chrono::microseconds(static_cast<int64_t>(timed.AtMs * 1000)));
    const bool drop = lost(random);
    dropped += drop;
    session.Play(timed.Message, withJournal, drop);
  }
  if (withJournal) {
    for (const auto wait : {50ms, 200ms, 800ms}) {
      RunUntil(Clock::now() + wait);
      const bool drop = lost(random);
      dropped += drop;
      session.Guard(drop);
    }
  }
  RunUntil(Clock::now() + 1500ms);
  std::set<int> sounding;
  int pedal = 0;
  for (size_t i = first; i < output.Received.size(); ++i) {
    const Bytes& bytes = output.Received[i].Bytes;
    if (bytes.size() != 3) continue;
    if (bytes[0] == 0x90 && bytes[2] > 0)
      sounding.insert(bytes[1]);
    else if (bytes[0] == 0x80 || bytes[0] == 0x90)
      sounding.erase(bytes[1]);
    else if (bytes[0] == 0xB0 && bytes[1] == 0x40)
      pedal = bytes[2];
  }
  std::printf(
      "%-14s %zu messages, %zu of their packets lost: %zu notes left sounding, pedal "
      "%s at the end (up at the sender)\n  the server's loss line so far: %s\n",
      withJournal ? "journal on" : "journal off", music.size(), dropped, sounding.size(),
      pedal == 0 ? "up" : "down", server.Losses().c_str());
  session.Leave();
  RunUntil(Clock::now() + 500ms);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const TOptions options = ParseOptions(argc, argv);
  UseLoopbackDevices();
  const uint16_t port = FreeTcpPort();

  TTempSettings serverFile, clientFile;
  {
    TIniFile ini(serverFile.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteBool("Settings", "IsSever", true);
    ini.WriteBool("Settings", "AutoStart", true);
    ini.UpdateFile();
  }
  {
    TIniFile ini(clientFile.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "ServerName", "127.0.0.1");
    ini.WriteBool("Settings", "AutoStart", true);
    ini.WriteString("Settings", "MidiOut", LoopbackName(1));
    ini.WriteInteger("Settings", "BufferTime", options.BufferMs);
    ini.UpdateFile();
  }
  TEngine server(serverFile.Path());
  server.Start();
  TMidiObserver output(1);
  TEngine client(clientFile.Path());
  client.Start();
  TRawClient player(port);
  if (!ProcessEventsUntil([&] { return client.Active() && player.Connected(); })) {
    std::printf("the client did not connect\n");
    return 1;
  }
  RunUntil(Clock::now() + 500ms);
  std::printf("buffer %d ms, loopback output, server and client in this process\n",
              options.BufferMs);

  TRawSession session(port, 0x5E55104E);
  const auto invited = Clock::now();
  if (!session.Join()) {
    std::printf("the session could not join\n");
    return 1;
  }
  const auto joined = Clock::now();
  const size_t before = output.Received.size();
  session.Play({0x90, 0x7F, 0x7F}, true, false);
  ProcessEventsUntil([&] { return output.Received.size() > before; });
  std::printf("invitation to joined and synced %.2f ms, to its first note at the output %.2f ms\n",
              Millis(joined - invited).count(),
              Millis(output.Received.back().At - invited).count());
  session.Play({0x80, 0x7F, 0x40}, true, false);

  std::mt19937 random(options.Seed);
  // The raw TCP client answers no idle packets, so it plays first, before the server drops it
  // as silent.
  MeasureSpacing("TCP client", options.Notes, random, output,
                 [&](const Bytes& message) { player.Play(message); });
  MeasureSpacing("RTP-MIDI session", options.Notes, random, output,
                 [&](const Bytes& message) { session.Play(message, true, false); });
  session.Leave();
  RunUntil(Clock::now() + 500ms);

  std::printf("%d s of notes and pedal, %.1f %% of the session's data packets lost:\n",
              options.Seconds, options.LossPercent);
  MeasureLoss(port, options, true, 0x10551055, server, output);
  MeasureLoss(port, options, false, 0x10551056, server, output);
  return 0;
}

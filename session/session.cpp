#include "session/session.h"

#include <algorithm>

#include "midi/soundingnotes.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "protocol/data.h"
#include "protocol/sendertimeline.h"
#include "platform/wrappingclock.h"

namespace {

constexpr uint16_t kDecoderCapacity = 256;

std::unique_ptr<TData> TimeOnlyEntry(uint16_t time) {
  auto entry = std::make_unique<TData>();
  entry->DataType = dtMidi;
  entry->Time = time;
  return entry;
}

}  // namespace

struct TSession::TPeer {
  TPeer(TPeerId id, uint64_t cameUp, uint32_t now) : Id(id), CameUp(cameUp), LastHeard(now) {}

  const TPeerId Id;
  const uint64_t CameUp;  // this peer came up as the CameUp-th
  // The peers that had come up when this one's last MIDI was relayed: only they heard the
  // notes it leaves sounding, so a peer that came up later (the same player back on a new
  // connection) gets no note-offs for them.
  uint64_t MidiHeardBy = 0;
  TDecoder Decoder{kDecoderCapacity};
  // The notes this peer's Midi packets turned on and did not turn off yet.
  mmsystem::SoundingNotes Notes;
  uint32_t LastHeard;
  // The sender's own timeline on this copy's clock, and where its packet being handed out
  // lies on it: the relay's instant, free of the delay that varied on the way.
  TSenderTimeline Timeline;
  uint32_t PlayedAt = 0;
  // Disconnected; the record goes once no call is inside it (a relay may close the very
  // connection whose decoder is handing out the packet).
  bool Released = false;
};

// Counts the calls into the session that are under way. The outermost one, on leaving,
// removes released records and tells the host when Tick is next due.
class TSession::TBusyScope {
 public:
  TBusyScope(TSession& session, uint32_t now) : session_(session), now_(now) { ++session_.FBusy; }
  ~TBusyScope() {
    if (--session_.FBusy > 0) return;
    session_.Sweep();
    session_.FHost.WakeIn(session_.NextWake(now_));
  }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

 private:
  TSession& session_;
  const uint32_t now_;
};

TSession::TSession(TSessionHost& host) : FHost(host) {}

TSession::~TSession() = default;

size_t TSession::PeerCount() const {
  return static_cast<size_t>(std::count_if(FPeers.begin(), FPeers.end(),
                                           [](const auto& peer) { return !peer->Released; }));
}

TSession::TPeer* TSession::Find(TPeerId id) const {
  for (const auto& peer : FPeers)
    if (peer->Id == id && !peer->Released) return peer.get();
  return nullptr;
}

void TSession::Sweep() {
  std::erase_if(FPeers, [](const auto& peer) { return peer->Released; });
}

// ---- Settings and state

void TSession::SetActive(bool value, uint32_t now) {
  TBusyScope busy(*this, now);
  if (value && !FActive) FIdleFrom = now;
  FActive = value;
}

void TSession::SetTarget(std::string serverName, int32_t port) {
  FServerName = std::move(serverName);
  FPort = port;
}

void TSession::StartClock(uint32_t now) {
  FTimeline = TRelayTimeline(now);
  FIdleFrom = now;
}

void TSession::Close() {
  FClosed = true;
  FReconnect.Stop();
}

// ---- Connections

void TSession::Connected(TPeerId id, uint32_t now) {
  TBusyScope busy(*this, now);
  auto peer = std::make_unique<TPeer>(id, ++FPeersCameUp, now);
  TPeer* const record = peer.get();
  record->Decoder.OnPacket = [this, record](TData& packet) {
    if (packet.DataType == dtMidi && !record->Released) {
      record->Notes.Track(packet.Bytes(), packet.Count());
      record->MidiHeardBy = FPeersCameUp;
    }
    // Every delta counts on the sender's timeline, relayed or not; the block arrived when
    // the peer was last heard.
    if (FIsServer)
      record->PlayedAt = record->Timeline.PlayedAt(packet.Time, record->LastHeard, FMaxLag);
    ReceivePacket(packet, record->LastHeard);
  };
  record->Decoder.OnOversize = [this, record] {
    FHost.Log("** ** ** Oversize frame dropped : " + FHost.Describe(record->Id));
  };
  FPeers.push_back(std::move(peer));
  if (FIsServer) return;
  const unsigned tries = FReconnect.LinkUp();
  if (tries > 0) FHost.Log(Format("Reconnect : connected at try %u", tries));
  // A link the user opened comes back too when the settings ask for that.
  if (FAutoStart && FReconnect.State() == TReconnectPolicy::TState::Off) {
    FReconnect.Keep();
    FReconnect.LinkUp();
  }
}

void TSession::Disconnected(TPeerId id, uint32_t now) {
  TBusyScope busy(*this, now);
  TPeer* const peer = Find(id);
  if (!peer) return;
  peer->Released = true;
  if (FDelivering == peer) FDelivering = nullptr;
  // The server ends what a departing client left sounding, everywhere it sent it.
  if (FIsServer && !FClosed) EndHeldNotes(*peer, now);
}

void TSession::LinkLost(uint32_t now) {
  TBusyScope busy(*this, now);
  if (FClosed) return;
  // Everything the server sent sounds on this output, so what still sounds there once the
  // buffer has played out ends then.
  FHost.PlayEndOfLink();
  ScheduleReconnect(now);
}

void TSession::LinkFailed(uint32_t now) {
  TBusyScope busy(*this, now);
  ScheduleReconnect(now);
}

bool TSession::Receive(TPeerId id, const uint8_t* bytes, size_t count, uint32_t now) {
  TBusyScope busy(*this, now);
  TPeer* const peer = Find(id);
  if (!peer) return false;
  peer->LastHeard = now;
  TPeer* const outer = FDelivering;
  FDelivering = peer;
  // A decoding failure loses the rest of this block; the connection stays.
  try {
    while (count > 0 && !peer->Released) {
      const auto piece = static_cast<uint16_t>(std::min<size_t>(count, UINT16_MAX));
      peer->Decoder.AddData(piece, bytes);
      bytes += piece;
      count -= piece;
    }
  } catch (...) {
    FDelivering = outer;
    throw;
  }
  FDelivering = outer;
  return true;
}

// A client queues every packet's delta, chat's too, so its timeline counts every gap the
// server stamped. The server keeps its own timeline from the stamps it sends, not from its
// clients' deltas, which belong to as many timelines as there are clients.
void TSession::ReceivePacket(TData& packet, uint32_t now) {
  TBusyScope busy(*this, now);
  switch (packet.DataType) {
    case dtTime:
      if (!FIsServer) QueueTimePacket(packet);
      break;
    case dtMidi:
      if (!FIsServer) QueueMidiPacket(packet);
      break;
    case dtChat:
      FHost.ShowChat(packet);
      if (!FIsServer) QueueTimePacket(packet);
      break;
    default:
      FHost.ReceiveOther(FDelivering ? FDelivering->Id : 0, packet);
      break;
  }
  FHost.Flash(TLamp::Receive);
  FHost.LogPacket("recv : ", packet);
  if (FIsServer && (packet.DataType == dtMidi || packet.DataType == dtChat)) {
    // A packet handed in from outside a decoder has no sender timeline: it counts as now.
    const uint32_t instant = FDelivering ? FDelivering->PlayedAt : now;
    SendOnTimeline(packet, instant, now, packet.DataType == dtMidi);
  }
}

// ---- Sending

void TSession::SendOwn(TData& packet, uint32_t instant, uint32_t now) {
  TBusyScope busy(*this, now);
  SendOnTimeline(packet, instant, now, false);
}

void TSession::SendTimePacket(uint32_t now) {
  TBusyScope busy(*this, now);
  TData packet;
  packet.DataType = dtTime;
  SendOnTimeline(packet, now, now, false);
}

uint16_t TSession::TimeSinceLastSend(uint32_t now) {
  TBusyScope busy(*this, now);
  return Stamp(now, now);
}

void TSession::QueueTimePacket(const TData& packet) {
  // An empty Midi entry advances the receiver's timeline by the packet's delta.
  FHost.Play(TimeOnlyEntry(packet.Time));
}

void TSession::QueueMidiPacket(const TData& packet) {
  auto entry = std::make_unique<TData>();
  entry->Assign(&packet);
  FHost.Play(std::move(entry));
}

// Every packet the server sends is a tick on its own timeline, stamped as its clients get
// it, so the server's output keeps the spacing its clients hear however many of them play.
// What the server plays itself (relayed MIDI, the ends of a departed client's notes) enters
// with its bytes; its own input, chat and idle ticks enter as empty entries.
void TSession::SendOnTimeline(TData& packet, uint32_t instant, uint32_t now, bool playHere,
                              uint64_t heardBy) {
  std::unique_ptr<TData> entry;
  if (FIsServer && FActive) {
    entry = std::make_unique<TData>();
    if (playHere) entry->Assign(&packet);
    entry->DataType = dtMidi;
  }
  const uint16_t stamp = Transmit(packet, instant, now, heardBy);
  if (!entry) return;
  entry->Time = stamp;
  FHost.Play(std::move(entry));
}

uint16_t TSession::Transmit(TData& packet, uint32_t instant, uint32_t now, uint64_t heardBy) {
  if (!FActive) return 0;
  packet.Time = Stamp(instant, now);
  FHost.LogPacket("send : ", packet);
  try {
    packet.Encode();
  } catch (const ERangeError&) {
    ++FDrops.FramesTooLarge;
    return packet.Time;
  }
  // Counted once: a write that fails closes its connection, which may remove a record.
  const size_t peers = FPeers.size();
  for (size_t i = 0; i < peers; ++i) {
    const TPeer& peer = *FPeers[i];
    if (peer.Released || peer.CameUp > heardBy) continue;
    if (!FHost.Write(peer.Id, packet.Bytes(), packet.Count()))
      ++FDrops.SendsRefused;
  }
  FHost.Flash(TLamp::Transmit);
  return packet.Time;
}

uint16_t TSession::Stamp(uint32_t instant, uint32_t now) {
  FIdleFrom = now;
  return FTimeline.Stamp(instant);
}

void TSession::EndHeldNotes(TPeer& peer, uint32_t now) {
  int ended = 0;
  peer.Notes.Silence([&](const uint8_t* message, size_t count) {
    TData packet(static_cast<uint16_t>(count), message);
    packet.DataType = dtMidi;
    SendOnTimeline(packet, now, now, true, peer.MidiHeardBy);
    ++ended;
  });
  if (ended > 0)
    FHost.Log(Format("Ended what %s left sounding : %d messages", FHost.Describe(peer.Id).c_str(),
                     ended));
}

// ---- Reconnecting

void TSession::KeepLink() {
  if (!FIsServer && FAutoStart) FReconnect.Keep();
}

void TSession::ScheduleReconnect(uint32_t now) {
  if (FIsServer || !FAutoStart || FClosed) return;
  if (const auto delay = FReconnect.LinkLost(now))
    FHost.Log(Format("Reconnect : next try in %u s", *delay / 1000));
}

void TSession::TryReconnect(uint32_t now) {
  if (FActive) return;
  const auto attempt = FReconnect.TryDue(now);
  if (!attempt) return;
  FHost.Log(Format("Reconnect : try %u to %s port %d", *attempt, FServerName.c_str(), FPort));
  const std::string failure = FHost.OpenLink();
  if (failure.empty()) return;
  FHost.Log("Reconnect : " + failure);
  ScheduleReconnect(now);
}

// ---- Time

void TSession::DropSilentPeers(uint32_t now) {
  std::vector<TPeerId> silent;
  for (const auto& peer : FPeers)
    if (!peer->Released && Span(peer->LastHeard, now) > static_cast<int32_t>(kDeadPeerSilenceMs))
      silent.push_back(peer->Id);
  // Closed after the scan: a close reports the disconnect at once.
  for (TPeerId id : silent) {
    FHost.Log("** ** ** Nothing heard for 15 s, connection dropped : " + FHost.Describe(id));
    FHost.Close(id);
  }
}

void TSession::Tick(uint32_t now) {
  TBusyScope busy(*this, now);
  if (FActive && Reached(now, FIdleFrom + kIdleIntervalMs)) SendTimePacket(now);
  DropSilentPeers(now);
  TryReconnect(now);
}

uint32_t TSession::NextWake(uint32_t now) const {
  uint32_t wait = kIdleIntervalMs;
  const auto sooner = [&](uint32_t at) { wait = std::min(wait, Reached(now, at) ? 0u : at - now); };
  if (FActive) sooner(FIdleFrom + kIdleIntervalMs);
  for (const auto& peer : FPeers)
    if (!peer->Released) sooner(peer->LastHeard + kDeadPeerSilenceMs + 1);
  if (FReconnect.State() == TReconnectPolicy::TState::Waiting) sooner(FReconnect.Due());
  return wait;
}

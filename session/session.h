#pragma once

// The session: every connection's decoder and sounding notes, the relay, the time stamps of
// what is sent, the idle Time packets, the dead-peer rule and reconnecting. It owns no
// socket, widget, thread or clock: bytes, connection events and the time go in; frames,
// timed-buffer entries, log lines and lamps go out through its host. One thread only.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/relaytimeline.h"
#include "session/reconnect.h"
#include "session/sessionhost.h"

class TData;

// What the session dropped, by cause.
struct TSessionDrops {
  uint64_t FramesTooLarge = 0;  // a packet whose frame would pass the frame limit
  uint64_t SendsRefused = 0;    // a frame a connection did not take
};

class TSession {
 public:
  static constexpr uint32_t kIdleIntervalMs = 5000;
  // Every copy sends at least every 5 s while linked, so three intervals of silence mean
  // the peer is gone: its cable pulled, its computer asleep.
  static constexpr uint32_t kDeadPeerSilenceMs = 15000;

  explicit TSession(TSessionHost& host);
  ~TSession();
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  // ---- Settings and state
  bool IsServer() const { return FIsServer; }
  bool Active() const { return FActive; }
  void SetIsServer(bool value) { FIsServer = value; }
  // Client connected or server listening; the idle interval starts over at `now`.
  void SetActive(bool value, uint32_t now);
  void SetAutoStart(bool value) { FAutoStart = value; }
  // Where reconnect tries go, for their monitor lines.
  void SetTarget(std::string serverName, int32_t port);
  // Stamps count from `now`, as though something had just been sent.
  void StartClock(uint32_t now);
  // How far before its arrival a relayed packet may be placed on its sender's timeline: what
  // the buffers can hold. Later than that, the sender's timeline starts over.
  void SetMaxLag(uint32_t ms) { FMaxLag = ms; }
  // The program shuts down: departing connections end no notes and nothing is retried.
  void Close();

  // ---- Connections
  void Connected(TPeerId peer, uint32_t now);
  // The connection's record goes; on the server, what it left sounding ends everywhere.
  void Disconnected(TPeerId peer, uint32_t now);
  // A client's link is down or failed to come up: its output ends what still sounds once
  // the buffer has played out, and a link the program keeps is tried again.
  void LinkLost(uint32_t now);
  // A client's link failed to come up: a link the program keeps is tried again.
  void LinkFailed(uint32_t now);
  // Feeds what arrived on a connection to its decoder. False for a connection the session
  // does not know (it never came up): the caller drops those bytes.
  bool Receive(TPeerId peer, const uint8_t* bytes, size_t count, uint32_t now);
  // A packet a decoder completed (or one handed in from outside): queued, shown, logged, and
  // on the server relayed at the instant its sender played it.
  void ReceivePacket(TData& packet, uint32_t now);

  // ---- Sending
  // A packet of this copy's own (chat, input) that happened at `instant`: stamped from the
  // previous send, and on the server a tick on its own timeline.
  void SendOwn(TData& packet, uint32_t instant, uint32_t now);
  void SendTimePacket(uint32_t now);
  // The stamp a packet sent now would get; as a send, it restarts the idle interval.
  uint16_t TimeSinceLastSend(uint32_t now);
  void QueueTimePacket(const TData& packet);
  void QueueMidiPacket(const TData& packet);

  // ---- Reconnecting
  // The program opens a client link and keeps it (Auto start IP).
  void KeepLink();
  void StopReconnecting() { FReconnect.Stop(); }
  const TReconnectPolicy& Reconnect() const { return FReconnect; }

  // ---- Time
  // Sends idle Time packets, drops silent peers and makes due reconnect tries.
  void Tick(uint32_t now);
  // Milliseconds from `now` until Tick has something to do (at most kIdleIntervalMs).
  uint32_t NextWake(uint32_t now) const;

  const TSessionDrops& Drops() const { return FDrops; }
  size_t PeerCount() const;

 private:
  struct TPeer;
  class TBusyScope;

  TPeer* Find(TPeerId id) const;
  // Only the peers that came up as the `heardBy`-th or earlier get it.
  void SendOnTimeline(TData& packet, uint32_t instant, uint32_t now, bool playHere,
                      uint64_t heardBy = UINT64_MAX);
  // Stamps, logs, encodes and writes the packet to every connection. Returns the stamp.
  uint16_t Transmit(TData& packet, uint32_t instant, uint32_t now, uint64_t heardBy);
  // The stamp of a send at `instant`; the idle interval starts over at `now`.
  uint16_t Stamp(uint32_t instant, uint32_t now);
  void EndHeldNotes(TPeer& peer, uint32_t now);
  void DropSilentPeers(uint32_t now);
  void TryReconnect(uint32_t now);
  void ScheduleReconnect(uint32_t now);
  // Removes released records once no call is inside them.
  void Sweep();

  TSessionHost& FHost;
  std::vector<std::unique_ptr<TPeer>> FPeers;  // in the order they came up
  uint64_t FPeersCameUp = 0;                   // how many peers came up so far
  TPeer* FDelivering = nullptr;                // whose decoder is handing out a packet
  int FBusy = 0;                               // nested calls into the session

  bool FIsServer = false;
  bool FActive = false;
  bool FAutoStart = false;
  bool FClosed = false;
  std::string FServerName;
  int32_t FPort = 0;

  TRelayTimeline FTimeline{0};  // the one timeline every send is stamped on
  uint32_t FIdleFrom = 0;       // when the idle interval last started
  uint32_t FMaxLag = 1000;
  TReconnectPolicy FReconnect;
  TSessionDrops FDrops;
};

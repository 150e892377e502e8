#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "rtpmidi/sessionpacket.h"

// One peer of an AppleMIDI session (Apple's "MIDI Network Driver Protocol"), as the server
// sees it: the invitation on the control port, then on the data port, then clock syncs until
// the session ends. Either the peer invites this side, or this side invites the peer
// (`Inviting`) and starts the clock syncs. No socket and no clock: the time comes with every
// call, in the sync's ticks of 100 µs, and NextRun says when Tick is due.
class TParticipant {
 public:
  static constexpr uint64_t TicksPerSecond = 10000;
  // How long the peer may take to invite on the data port, and to complete its first sync.
  static constexpr uint64_t StepTimeout = 10 * TicksPerSecond;
  // After this long without a completed sync this side asks for one, and again each time it
  // passes; when MissedSyncs of them go unanswered the session ends.
  static constexpr uint64_t SyncInterval = 10 * TicksPerSecond;
  static constexpr unsigned MissedSyncs = 3;
  // An invitation, or this side's first sync, unanswered this long is sent again.
  static constexpr uint64_t RetryInterval = TicksPerSecond;
  static constexpr uint64_t Never = std::numeric_limits<uint64_t>::max();

  // Invited: waiting for the peer's invitation. InvitingControl, InvitingData: waiting for
  // the peer to accept this side's invitation on that port.
  enum class TState {
    Invited,
    ControlAccepted,
    InvitingControl,
    InvitingData,
    Syncing,
    Active,
    Ended
  };
  enum class TEnd { None, Rejected, ByPeer, ByUs, StepTimedOut, SyncLost };
  enum class TPort { Control, Data };

  struct TOutgoing {
    TPort Port;
    TSessionPacket Packet;
  };

  TParticipant(uint32_t ownSsrc, std::string ownName);
  // This side invites the peer: the control port's invitation is appended to `out`.
  static TParticipant Inviting(uint32_t ownSsrc, std::string ownName, uint32_t token, uint64_t now,
                               std::vector<TOutgoing>& out);

  // A session packet from the peer on `port`; what to answer is appended to `out`. Packets
  // of another stream, and RS (the journal's business), change nothing here.
  void Receive(TPort port, const TSessionPacket& packet, uint64_t now, std::vector<TOutgoing>& out);
  // Runs the timeouts and the syncs due at `now`.
  void Tick(uint64_t now, std::vector<TOutgoing>& out);
  // This side ends the session: BY on the control port.
  void End(std::vector<TOutgoing>& out);

  // Whether `packet` answers this side's invitation, before the peer's SSRC is known.
  bool Answers(const TSessionPacket& packet) const;
  uint64_t NextRun() const;
  TState State() const { return FState; }
  bool Initiator() const { return FInitiator; }
  TEnd EndReason() const { return FEnd; }
  uint32_t PeerSsrc() const { return FPeerSsrc; }
  const std::string& PeerName() const { return FPeerName; }
  // From the last completed sync: the peer's clock less this side's, and the round trip.
  int64_t PeerClockOffset() const { return FPeerClockOffset; }
  uint64_t RoundTrip() const { return FRoundTrip; }

 private:
  void Answer(TPort port, TSessionCommand command, uint32_t token,
              std::vector<TOutgoing>& out) const;
  void Invite(TPort port, const TSessionPacket& packet, uint64_t now, std::vector<TOutgoing>& out);
  void SendInvitation(uint64_t now, std::vector<TOutgoing>& out);
  void Accepted(TPort port, const TSessionPacket& packet, uint64_t now,
                std::vector<TOutgoing>& out);
  void AskSync(uint64_t now, std::vector<TOutgoing>& out);
  void Sync(const TSessionPacket& packet, uint64_t now, std::vector<TOutgoing>& out);
  void Synced(int64_t offset, uint64_t roundTrip, uint64_t now);
  void Finish(TEnd reason, std::vector<TOutgoing>* bye);

  const uint32_t FOwnSsrc;
  const std::string FOwnName;
  TState FState = TState::Invited;
  TEnd FEnd = TEnd::None;
  bool FInitiator = false;  // this side invited, so it starts the syncs
  uint32_t FToken = 0;
  uint32_t FPeerSsrc = 0;
  std::string FPeerName;
  uint64_t FStepStart = 0;   // when the current state began
  uint64_t FLastSync = 0;    // when a sync last completed
  uint64_t FNextAsk = 0;     // when this side next asks for a sync
  unsigned FUnanswered = 0;  // syncs this side asked for since the last completed one
  int64_t FPeerClockOffset = 0;
  uint64_t FRoundTrip = 0;
};

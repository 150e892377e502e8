#pragma once

// The server's RTP-MIDI side: an AppleMIDI session on two UDP ports (control, data) that
// Macs, iPads and the Windows driver invite themselves into. Each participant becomes one
// connection of the star: what it plays reaches the session as frames on its own timeline,
// taken from its RTP timestamps, and the session's MIDI frames to it leave as RTP-MIDI with a
// recovery journal.
//
// Thread: the event loop's, as the engine's.

#include <QObject>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rtpmidi/participant.h"
#include "session/sessionhost.h"

class QHostAddress;
class TData;
class QTimer;
class QUdpSocket;

// What the RTP-MIDI side asks of the engine.
class TRtpMidiHost {
 public:
  enum class TInvitationAnswer { Accept, Refuse, Wait };
  // Whether the session `name` at `address` may join. Wait leaves its invitation unanswered
  // while the user is asked; the session invites again, and gets the answer then.
  virtual TInvitationAnswer AnswerInvitation(const std::string& address,
                                             const std::string& name) = 0;
  // A participant's session came up; it takes part as a connection from now on.
  virtual TPeerId JoinParticipant(const std::string& description) = 0;
  // Frames from a participant, as a client's link would carry them.
  virtual void DeliverFrames(TPeerId id, const uint8_t* frames, size_t length) = 0;
  // Its session ended; what it left sounding ends everywhere.
  virtual void LeaveParticipant(TPeerId id, const std::string& description) = 0;
  virtual void Log(const std::string& line) = 0;

 protected:
  ~TRtpMidiHost() = default;
};

// What the participants sent that did not reach the session whole, since the start.
struct TRtpMidiLosses {
  uint64_t PacketsLost = 0;  // missing from a sequence (the journal mends what it can)
  uint64_t Unreadable = 0;   // not RTP-MIDI, or a command list that breaks the rules
  uint64_t TooLarge = 0;     // a joined sysex too long for the session's frames
};

class TRtpMidiServer : public QObject {
 public:
  // Invitations beyond this many sessions are refused.
  static constexpr size_t kMostParticipants = 16;

  explicit TRtpMidiServer(TRtpMidiHost& host);
  ~TRtpMidiServer() override;

  // Binds the control port and the data port after it; port 0 takes a free pair. Sessions
  // know this side by `ownName`. Returns the control port, or 0 with `why` set.
  uint16_t Listen(uint16_t port, const std::string& ownName, std::string& why);
  // Ends every session (BY) and closes the ports.
  void Close();
  uint16_t ControlPort() const;

  bool Owns(TPeerId id) const;
  std::string Describe(TPeerId id) const;
  // The participant the connection list shows so; 0 for none.
  TPeerId Find(const std::string& description) const;
  // A frame the session writes to a participant: MIDI goes out as RTP-MIDI, other packets
  // (chat, Time) are not for it, and nothing returns to the participant it came from.
  void Send(TPeerId id, const uint8_t* frame, int length);
  TRtpMidiLosses Losses() const;
  // The server ends this participant's session.
  void End(TPeerId id);
  // Invites the session whose control port is `controlPort` at `address` (dotted IPv4) into
  // the star; it takes part once it accepts and syncs. Returns why not, or empty.
  std::string Invite(const std::string& address, uint16_t controlPort);

 private:
  struct TMember;
  enum class TSocket { Control, Data };

  static uint64_t NowTicks();
  void Read(TSocket which);
  TMember* SenderOf(const QHostAddress& from, uint16_t dataPort);
  void ReceiveSession(TSocket which, const QHostAddress& from, uint16_t port,
                      const TSessionPacket& packet);
  TMember* MemberFor(const QHostAddress& from, const TSessionPacket& packet);
  void Refuse(TSocket which, const QHostAddress& to, uint16_t port, uint32_t token);
  void ReceiveMidi(TMember& member, const uint8_t* data, size_t length);
  void Acknowledge(TMember& member, uint16_t sequence);
  // Appends `message` as the frame a client would send for it at RTP time `instant`.
  void AppendFrame(TMember& member, uint32_t instant, const std::vector<uint8_t>& message,
                   std::vector<uint8_t>& frames);
  static void Count(const TMember& member, TRtpMidiLosses& losses);
  void SendMidi(TMember& member, const TData& packet);
  // Sends what the member's writer holds, with the journal; returns its sequence number.
  uint16_t SendList(TMember& member, uint64_t now);
  void Guard(TMember& member, uint64_t now);
  void Flush(TMember& member, const std::vector<TParticipant::TOutgoing>& out);
  void End(TMember& member);
  static std::string Where(const TMember& member);
  // Joins a participant whose session came up, removes one whose session ended.
  void Settle(TMember& member);
  void Remove(TMember& member);
  void Tick();
  // When the member's session or its guard packet next needs the timer.
  static uint64_t NextRun(const TMember& member);
  void ScheduleTick();

  TRtpMidiHost& FHost;
  std::string FOwnName;
  const uint32_t FOwnSsrc;
  std::unique_ptr<QUdpSocket> FControl;
  std::unique_ptr<QUdpSocket> FData;
  QTimer* FTimer = nullptr;  // the participants' next sync, timeout or guard packet
  std::vector<std::unique_ptr<TMember>> FMembers;
  // What departed participants lost, and every participant's messages too large for a frame.
  TRtpMidiLosses FLossesOfDeparted;
  // The participant whose frames the session handles now: what it relays skips it.
  TPeerId FDelivering = 0;
};

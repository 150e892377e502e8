#include "rtpmidi/participant.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using TPort = TParticipant::TPort;
using TState = TParticipant::TState;
using TOutgoing = TParticipant::TOutgoing;

constexpr uint32_t Ours = 0x0A0B0C0D;
constexpr uint32_t Theirs = 0xCAFEBABE;
constexpr uint32_t Token = 0x12345678;
constexpr uint64_t Second = TParticipant::TicksPerSecond;

TSessionPacket Invitation(uint32_t token = Token, uint32_t version = 2) {
  TSessionPacket packet;
  packet.Version = version;
  packet.Token = token;
  packet.Ssrc = Theirs;
  packet.Name = "Stage";
  return packet;
}

TSessionPacket Sync(uint8_t count, uint64_t t1, uint64_t t2, uint64_t t3) {
  TSessionPacket packet;
  packet.Command = TSessionCommand::Sync;
  packet.Ssrc = Theirs;
  packet.Count = count;
  packet.Timestamps = {t1, t2, t3};
  return packet;
}

// The one packet sent, checked for its port and command.
TSessionPacket Sent(const std::vector<TOutgoing>& out, TPort port, TSessionCommand command) {
  EXPECT_EQ(out.size(), 1u);
  if (out.empty()) return {};
  EXPECT_EQ(out[0].Port, port);
  EXPECT_EQ(out[0].Packet.Command, command);
  EXPECT_EQ(out[0].Packet.Ssrc, Ours);
  return out[0].Packet;
}

TEST(Participant, AcceptsBothPortsSyncsAndEndsWhenItsSyncsGoUnanswered) {
  TParticipant participant(Ours, "Tessel");
  std::vector<TOutgoing> out;
  // Data before control is another invitation.
  participant.Receive(TPort::Data, Invitation(), 0, out);
  EXPECT_EQ(Sent(out, TPort::Data, TSessionCommand::Rejected).Token, Token);
  EXPECT_EQ(participant.State(), TState::Invited);

  out.clear();
  participant.Receive(TPort::Control, Invitation(), 0, out);
  const TSessionPacket accepted = Sent(out, TPort::Control, TSessionCommand::Accepted);
  EXPECT_EQ(accepted.Token, Token);
  EXPECT_EQ(accepted.Name, "Tessel");
  EXPECT_EQ(participant.State(), TState::ControlAccepted);
  EXPECT_EQ(participant.PeerName(), "Stage");
  EXPECT_EQ(participant.NextRun(), TParticipant::StepTimeout);

  out.clear();
  participant.Receive(TPort::Data, Invitation(), 2 * Second, out);
  Sent(out, TPort::Data, TSessionCommand::Accepted);
  out.clear();
  participant.Receive(TPort::Data, Invitation(), 2 * Second, out);  // our OK was lost
  Sent(out, TPort::Data, TSessionCommand::Accepted);
  out.clear();
  participant.Receive(TPort::Data, Invitation(Token + 1), 2 * Second, out);
  Sent(out, TPort::Data, TSessionCommand::Rejected);
  EXPECT_EQ(participant.State(), TState::Syncing);

  // The peer's sync: we stamp the second time, and its third step makes the session active.
  out.clear();
  participant.Receive(TPort::Data, Sync(0, 500, 0, 0), 3 * Second, out);
  const TSessionPacket answer = Sent(out, TPort::Data, TSessionCommand::Sync);
  EXPECT_EQ(answer.Count, 1);
  EXPECT_EQ(answer.Timestamps[0], 500u);
  EXPECT_EQ(answer.Timestamps[1], 3 * Second);
  out.clear();
  participant.Receive(TPort::Data, Sync(2, 500, 3 * Second, 700), 3 * Second, out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(participant.State(), TState::Active);
  EXPECT_EQ(participant.PeerClockOffset(), 600 - static_cast<int64_t>(3 * Second));
  EXPECT_EQ(participant.RoundTrip(), 200u);

  // Silence: this side asks every interval, and ends it when three asks go unanswered.
  uint64_t now = participant.NextRun();
  EXPECT_EQ(now, 3 * Second + TParticipant::SyncInterval);
  participant.Tick(now - 1, out);
  EXPECT_TRUE(out.empty());
  participant.Tick(now, out);
  EXPECT_EQ(Sent(out, TPort::Data, TSessionCommand::Sync).Timestamps[0], now);
  // An answer to it completes it, from our side: the third step goes out.
  out.clear();
  participant.Receive(TPort::Data, Sync(1, now, 9000, 0), now + 40, out);
  EXPECT_EQ(Sent(out, TPort::Data, TSessionCommand::Sync).Count, 2);
  EXPECT_EQ(participant.PeerClockOffset(), static_cast<int64_t>(9000 - (now + 20)));
  now += 40;
  for (unsigned ask = 0; ask < TParticipant::MissedSyncs; ++ask) {
    out.clear();
    now = participant.NextRun();
    participant.Tick(now, out);
    Sent(out, TPort::Data, TSessionCommand::Sync);
  }
  out.clear();
  participant.Tick(participant.NextRun(), out);
  EXPECT_EQ(Sent(out, TPort::Control, TSessionCommand::End).Token, Token);
  EXPECT_EQ(participant.State(), TState::Ended);
  EXPECT_EQ(participant.EndReason(), TParticipant::TEnd::SyncLost);
  EXPECT_EQ(participant.NextRun(), TParticipant::Never);
}

TEST(Participant, EndsOnByeOnAStepThatTimesOutAndRefusesAnotherVersion) {
  TParticipant bye(Ours, "Tessel");
  std::vector<TOutgoing> out;
  bye.Receive(TPort::Control, Invitation(), 0, out);
  out.clear();
  TSessionPacket end = Invitation();
  end.Command = TSessionCommand::End;
  end.Ssrc = Theirs + 1;  // another stream's BY is not this peer's
  bye.Receive(TPort::Control, end, 2 * Second, out);
  EXPECT_EQ(bye.State(), TState::ControlAccepted);
  end.Ssrc = Theirs;
  bye.Receive(TPort::Control, end, 2 * Second, out);
  EXPECT_EQ(bye.EndReason(), TParticipant::TEnd::ByPeer);
  EXPECT_TRUE(out.empty());

  TParticipant silent(Ours, "Tessel");
  silent.Receive(TPort::Control, Invitation(), 0, out);
  out.clear();
  silent.Tick(TParticipant::StepTimeout, out);
  Sent(out, TPort::Control, TSessionCommand::End);
  EXPECT_EQ(silent.EndReason(), TParticipant::TEnd::StepTimedOut);

  TParticipant newer(Ours, "Tessel");
  out.clear();
  newer.Receive(TPort::Control, Invitation(Token, 3), 0, out);
  Sent(out, TPort::Control, TSessionCommand::Rejected);
  EXPECT_EQ(newer.EndReason(), TParticipant::TEnd::Rejected);
}

// This side invites: each step is sent again until answered, the peer's SSRC comes with its
// control OK, and this side starts the syncs that make the session active.
TEST(Participant, InvitesRetriesEachStepAndStartsTheSyncs) {
  std::vector<TOutgoing> out;
  TParticipant inviting = TParticipant::Inviting(Ours, "Tessel", Token, 0, out);
  EXPECT_EQ(Sent(out, TPort::Control, TSessionCommand::Invitation).Name, "Tessel");
  EXPECT_EQ(inviting.State(), TState::InvitingControl);

  TSessionPacket ok = Invitation();
  ok.Command = TSessionCommand::Accepted;
  ok.Token = Token + 1;  // another invitation's answer
  EXPECT_FALSE(inviting.Answers(ok));
  out.clear();
  inviting.Tick(inviting.NextRun(), out);
  EXPECT_EQ(Sent(out, TPort::Control, TSessionCommand::Invitation).Token, Token);

  ok.Token = Token;
  out.clear();
  inviting.Receive(TPort::Control, ok, 2 * Second, out);
  Sent(out, TPort::Data, TSessionCommand::Invitation);
  EXPECT_EQ(inviting.PeerSsrc(), Theirs);
  EXPECT_EQ(inviting.PeerName(), "Stage");
  out.clear();
  inviting.Receive(TPort::Data, ok, 2 * Second, out);
  EXPECT_EQ(Sent(out, TPort::Data, TSessionCommand::Sync).Count, 0);
  EXPECT_EQ(inviting.State(), TState::Syncing);
  // Our first ask is lost: it goes again a retry later, and the answer to it completes it.
  out.clear();
  inviting.Tick(2 * Second + TParticipant::RetryInterval, out);
  const uint64_t asked = Sent(out, TPort::Data, TSessionCommand::Sync).Timestamps[0];
  out.clear();
  inviting.Receive(TPort::Data, Sync(1, asked, 9000, 0), asked + 30, out);
  EXPECT_EQ(Sent(out, TPort::Data, TSessionCommand::Sync).Count, 2);
  EXPECT_EQ(inviting.State(), TState::Active);
  EXPECT_EQ(inviting.RoundTrip(), 30u);

  // A refusal ends it without a BY; so does silence, after the step's timeout.
  out.clear();
  TParticipant refused = TParticipant::Inviting(Ours, "Tessel", Token, 0, out);
  ok.Command = TSessionCommand::Rejected;
  out.clear();
  refused.Receive(TPort::Control, ok, Second, out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(refused.EndReason(), TParticipant::TEnd::Rejected);
  TParticipant unanswered = TParticipant::Inviting(Ours, "Tessel", Token, 0, out);
  out.clear();
  unanswered.Tick(TParticipant::StepTimeout, out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(unanswered.EndReason(), TParticipant::TEnd::StepTimedOut);
}

}  // namespace

#include "rtpmidi/participant.h"

#include <algorithm>
#include <utility>

TParticipant::TParticipant(uint32_t ownSsrc, std::string ownName)
    : FOwnSsrc(ownSsrc), FOwnName(std::move(ownName)) {}

TParticipant TParticipant::Inviting(uint32_t ownSsrc, std::string ownName, uint32_t token,
                                    uint64_t now, std::vector<TOutgoing>& out) {
  TParticipant participant(ownSsrc, std::move(ownName));
  participant.FInitiator = true;
  participant.FToken = token;
  participant.FState = TState::InvitingControl;
  participant.FStepStart = now;
  participant.SendInvitation(now, out);
  return participant;
}

bool TParticipant::Answers(const TSessionPacket& packet) const {
  return FState == TState::InvitingControl && packet.Token == FToken &&
         (packet.Command == TSessionCommand::Accepted ||
          packet.Command == TSessionCommand::Rejected);
}

void TParticipant::Answer(TPort port, TSessionCommand command, uint32_t token,
                          std::vector<TOutgoing>& out) const {
  TSessionPacket answer;
  answer.Command = command;
  answer.Token = token;
  answer.Ssrc = FOwnSsrc;
  if (command == TSessionCommand::Accepted) answer.Name = FOwnName;
  out.push_back({port, answer});
}

void TParticipant::Receive(TPort port, const TSessionPacket& packet, uint64_t now,
                           std::vector<TOutgoing>& out) {
  if (FState == TState::Ended) return;
  if (FState == TState::InvitingControl ? !Answers(packet)
                                        : FState != TState::Invited && packet.Ssrc != FPeerSsrc)
    return;
  switch (packet.Command) {
    case TSessionCommand::Invitation:
      // Both sides inviting at once: this side's invitation stands.
      if (FInitiator)
        Answer(port, TSessionCommand::Rejected, packet.Token, out);
      else
        Invite(port, packet, now, out);
      break;
    case TSessionCommand::Accepted:
      if (FInitiator && packet.Token == FToken) Accepted(port, packet, now, out);
      break;
    case TSessionCommand::Rejected:
      if (FInitiator && packet.Token == FToken) Finish(TEnd::Rejected, nullptr);
      break;
    case TSessionCommand::End:
      Finish(TEnd::ByPeer, nullptr);
      break;
    case TSessionCommand::Sync:
      if (FState == TState::Syncing || FState == TState::Active) Sync(packet, now, out);
      break;
    default:
      break;
  }
}

void TParticipant::Invite(TPort port, const TSessionPacket& packet, uint64_t now,
                          std::vector<TOutgoing>& out) {
  if (FState == TState::Invited && port == TPort::Control) {
    FToken = packet.Token;
    if (packet.Version != TSessionPacket::ProtocolVersion) {
      Answer(port, TSessionCommand::Rejected, FToken, out);
      Finish(TEnd::Rejected, nullptr);
      return;
    }
    FPeerSsrc = packet.Ssrc;
    FPeerName = packet.Name;
    FState = TState::ControlAccepted;
    FStepStart = now;
    Answer(port, TSessionCommand::Accepted, FToken, out);
    return;
  }
  // Anything but this invitation's token, or the data port before the control port, is
  // another invitation, which this participant refuses.
  if (FState == TState::Invited || packet.Token != FToken) {
    Answer(port, TSessionCommand::Rejected, packet.Token, out);
    return;
  }
  if (FState == TState::ControlAccepted && port == TPort::Data) {
    FState = TState::Syncing;
    FStepStart = now;
  }
  // Also the answer to an invitation repeated because our OK was lost.
  Answer(port, TSessionCommand::Accepted, FToken, out);
}

void TParticipant::SendInvitation(uint64_t now, std::vector<TOutgoing>& out) {
  TSessionPacket invitation;
  invitation.Token = FToken;
  invitation.Ssrc = FOwnSsrc;
  invitation.Name = FOwnName;
  out.push_back({FState == TState::InvitingControl ? TPort::Control : TPort::Data, invitation});
  FNextAsk = now + RetryInterval;
}

void TParticipant::Accepted(TPort port, const TSessionPacket& packet, uint64_t now,
                            std::vector<TOutgoing>& out) {
  if (FState == TState::InvitingControl && port == TPort::Control) {
    FPeerSsrc = packet.Ssrc;
    FPeerName = packet.Name;
    FState = TState::InvitingData;
    FStepStart = now;
    SendInvitation(now, out);
  } else if (FState == TState::InvitingData && port == TPort::Data) {
    FState = TState::Syncing;
    FStepStart = now;
    AskSync(now, out);
  }
}

void TParticipant::AskSync(uint64_t now, std::vector<TOutgoing>& out) {
  TSessionPacket ask;
  ask.Command = TSessionCommand::Sync;
  ask.Ssrc = FOwnSsrc;
  ask.Timestamps[0] = now;
  out.push_back({TPort::Data, ask});
  ++FUnanswered;
  FNextAsk = now + (FState == TState::Syncing ? RetryInterval : SyncInterval);
}

void TParticipant::Sync(const TSessionPacket& packet, uint64_t now, std::vector<TOutgoing>& out) {
  const auto& stamp = packet.Timestamps;
  TSessionPacket reply = packet;
  reply.Ssrc = FOwnSsrc;
  switch (packet.Count) {
    case 0:  // the peer asks: stamp our time
      reply.Count = 1;
      reply.Timestamps[1] = now;
      out.push_back({TPort::Data, reply});
      break;
    case 1:  // the peer answers ours: close it, and we know its clock
      if (FUnanswered == 0) return;
      reply.Count = 2;
      reply.Timestamps[2] = now;
      out.push_back({TPort::Data, reply});
      Synced(static_cast<int64_t>(stamp[1] - (stamp[0] + now) / 2), now - stamp[0], now);
      break;
    default:  // the peer closes its own
      Synced(static_cast<int64_t>((stamp[0] + stamp[2]) / 2 - stamp[1]), stamp[2] - stamp[0], now);
      break;
  }
}

void TParticipant::Synced(int64_t offset, uint64_t roundTrip, uint64_t now) {
  FPeerClockOffset = offset;
  FRoundTrip = roundTrip;
  FState = TState::Active;
  FLastSync = now;
  FNextAsk = now + SyncInterval;
  FUnanswered = 0;
}

void TParticipant::Tick(uint64_t now, std::vector<TOutgoing>& out) {
  if (now < NextRun()) return;
  if (FState != TState::Active && now >= FStepStart + StepTimeout)
    Finish(TEnd::StepTimedOut, &out);
  else if (FState == TState::InvitingControl || FState == TState::InvitingData)
    SendInvitation(now, out);
  else if (FState == TState::Active && FUnanswered == MissedSyncs)
    Finish(TEnd::SyncLost, &out);
  else
    AskSync(now, out);
}

void TParticipant::End(std::vector<TOutgoing>& out) {
  if (FState != TState::Ended) Finish(TEnd::ByUs, &out);
}

void TParticipant::Finish(TEnd reason, std::vector<TOutgoing>* bye) {
  // Before the peer accepted on the control port there is no session to end.
  if (bye != nullptr && FState != TState::Invited && FState != TState::InvitingControl)
    Answer(TPort::Control, TSessionCommand::End, FToken, *bye);
  FState = TState::Ended;
  FEnd = reason;
}

uint64_t TParticipant::NextRun() const {
  switch (FState) {
    case TState::ControlAccepted:
      return FStepStart + StepTimeout;
    case TState::Syncing:
      return FInitiator ? std::min(FNextAsk, FStepStart + StepTimeout) : FStepStart + StepTimeout;
    case TState::InvitingControl:
    case TState::InvitingData:
      return std::min(FNextAsk, FStepStart + StepTimeout);
    case TState::Active:
      return FNextAsk;
    default:
      return Never;
  }
}

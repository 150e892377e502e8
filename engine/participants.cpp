// RTP-MIDI sessions as connections of the star: they join and leave as a client's link does,
// and their MIDI reaches the session as a client's frames would.

#include <algorithm>

#include "engine/engine.h"
#include "platform/text.h"
#include "platform/wrappingclock.h"
#include "session/session.h"

void TEngine::ListenForParticipants() {
  if (!FSettings.RtpMidi) return;
  std::string why;
  uint16_t port = FRtpMidi->Listen(FListeningPort, InstanceName(), why);
  // A port the system chose for TCP may be taken for UDP; any free pair serves then.
  if (port == 0 && FSettings.Port == 0) port = FRtpMidi->Listen(0, InstanceName(), why);
  if (port == 0) {
    Log("** ** ** RTP-MIDI : can't listen : " + why);
    return;
  }
  Log(Format("RTP-MIDI : listening on UDP ports %u and %u", static_cast<unsigned>(port),
             static_cast<unsigned>(port) + 1));
}

bool TEngine::InviteSession(const TAnnouncedServer& session) {
  const std::string why = FRtpMidi->Invite(session.Address, session.Port);
  if (why.empty()) return true;
  Report("Can't invite " + session.Name + " : " + why);
  return false;
}

// A session cannot give the password: with one set, none joins. With "Ask me" the user is
// asked as for a connection, and the session's invitation waits for the answer.
TRtpMidiHost::TInvitationAnswer TEngine::AnswerInvitation(const std::string& address,
                                                          const std::string& name) {
  using TState = TAskedSession::TState;
  if (PasswordSet())
    return RefuseSession(address, name, "a session password is set, which RTP-MIDI cannot give");
  if (FAdmission.Mode() == TWhoMayConnect::Anyone || FAdmission.Allowed().Match(address, ""))
    return TInvitationAnswer::Accept;
  const uint32_t now = Now();
  std::erase_if(FAskedSessions, [now](const TAskedSession& asked) {
    return asked.State != TState::Waiting && Reached(now, asked.Until);
  });
  const auto asked =
      std::find_if(FAskedSessions.begin(), FAskedSessions.end(), [&](const TAskedSession& session) {
        return session.Address == address && session.Name == name;
      });
  if (asked != FAskedSessions.end()) {
    const TState state = asked->State;
    if (state != TState::Waiting) FAskedSessions.erase(asked);
    return state == TState::Allowed   ? TInvitationAnswer::Accept
           : state == TState::Refused ? TInvitationAnswer::Refuse
                                      : TInvitationAnswer::Wait;
  }
  const TPeerId id = FNextPeerId++;
  const TDecision decision = FAdmission.Arrive({id, address, name + " (RTP-MIDI)"}, false, now);
  if (decision.Action != TAdmit::Ask)
    return RefuseSession(address, name, RefusalText(decision.Refusal));
  FAskedSessions.push_back({id, address, name});
  Log("Waiting for the user to let in " + name + " (RTP-MIDI), " + address);
  ShowAdmissionQuestion();
  ScheduleWake();
  return TInvitationAnswer::Wait;
}

TRtpMidiHost::TInvitationAnswer TEngine::RefuseSession(const std::string& address,
                                                       const std::string& name,
                                                       const std::string& why) {
  ++FRefusedConnections;
  Log(Format("Refused %s (RTP-MIDI), %s: %s (%llu refused so far)", name.c_str(), address.c_str(),
             why.c_str(), static_cast<unsigned long long>(FRefusedConnections)));
  return TInvitationAnswer::Refuse;
}

bool TEngine::SettleAskedSession(uint64_t id, std::optional<TRefusal> refusal) {
  const auto asked = std::find_if(FAskedSessions.begin(), FAskedSessions.end(),
                                  [id](const TAskedSession& session) { return session.Id == id; });
  if (asked == FAskedSessions.end()) return false;
  asked->Until = Now() + TAdmissionPolicy::kAnswerTimeMs;
  if (refusal) {
    asked->State = TAskedSession::TState::Refused;
    RefuseSession(asked->Address, asked->Name, RefusalText(*refusal));
  } else {
    asked->State = TAskedSession::TState::Allowed;
    Log("Letting in " + asked->Name + " (RTP-MIDI), " + asked->Address + " when it invites again");
  }
  return true;
}

TPeerId TEngine::JoinParticipant(const std::string& description) {
  const TPeerId id = FNextPeerId++;
  FSession->Connected(id, Now());
  AddConnection(description);
  return id;
}

void TEngine::DeliverFrames(TPeerId id, const uint8_t* frames, size_t length) {
  if (length > 0) Lamp(TEngineLamp::Receive);
  FSession->Receive(id, frames, length, Now());
}

void TEngine::LeaveParticipant(TPeerId id, const std::string& description) {
  FSession->Disconnected(id, Now());
  RemoveConnection(description);
}

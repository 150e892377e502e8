// RTP-MIDI sessions as connections of the star: they join and leave as a client's link does,
// and their MIDI reaches the session as a client's frames would.

#include "engine/engine.h"
#include "platform/text.h"
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

// A session cannot give the password and nobody is asked for it: where either would be
// needed, only a listed address joins, and only without a password.
std::string TEngine::InvitationRefusal(const std::string& address, const std::string& name) {
  std::string why;
  if (PasswordSet())
    why = "a session password is set, which RTP-MIDI cannot give";
  else if (FAdmission.Mode() != TWhoMayConnect::Anyone && !FAdmission.Allowed().Match(address, ""))
    why = RefusalText(TRefusal::NotListed);
  if (why.empty()) return why;
  ++FRefusedConnections;
  Log(Format("Refused %s (RTP-MIDI), %s: %s (%llu refused so far)", name.c_str(), address.c_str(),
             why.c_str(), static_cast<unsigned long long>(FRefusedConnections)));
  return why;
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

// Who may connect to the server: each new connection joins at once, owes the session password,
// waits for the user's answer, or is refused. A connection that has not joined is not in the
// session: nothing is relayed to it or from it. While the user is asked, what it sends stays
// in the system's socket buffer; after a password, what came behind the answer is held and
// handed to the session when it joins. Also the client's side of the password.

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "admission/password.h"
#include "engine/engine.h"
#include "engine/pendingconnection.h"
#include "platform/text.h"
#include "platform/wrappingclock.h"
#include "platform/winsocket.h"
#include "protocol/data.h"
#include "session/session.h"

namespace {

// What a connection that gave the password may send before it joins and still have it kept:
// the packets behind the answer in the same read, or while the user is asked.
constexpr size_t kMostHeldPackets = 256;
// While a connection waits for the user, the bytes it sent that the socket layer reads ahead;
// the rest stay with the system, which then stops the sender.
constexpr int64_t kWaitingReadAhead = 4096;

// A frame straight to one connection, outside the session's timeline.
void SendFrame(TCustomWinSocket& socket, int8_t type, std::span<const uint8_t> payload) {
  TData packet(static_cast<uint16_t>(payload.size()), payload.data());
  packet.DataType = type;
  packet.Encode();
  socket.SendBuf(packet.Bytes(), packet.Count());
}

}  // namespace

// ---- Arrivals

bool TEngine::Arrive(TCustomWinSocket& socket) {
  const TPeerId id = PeerOf(socket);
  const uint32_t now = Now();
  const std::optional<TPasswordKey> key = ParseKeySetting(FSettings.PasswordKey);
  if (!FSettings.PasswordKey.empty() && !key) {
    Refuse(id, "the session password in the settings file is damaged; set it again");
    return false;
  }
  const TDecision decision =
      FAdmission.Arrive({id, socket.RemoteAddress(), socket.RemoteHost()}, key.has_value(), now);
  switch (decision.Action) {
    case TAdmit::Now:
      return true;
    case TAdmit::Refuse:
      Refuse(id, RefusalText(decision.Refusal));
      return false;
    case TAdmit::Ask:
      FPending.push_back(std::make_unique<TPendingConnection>(id, socket, now));
      WaitForUser(*FPending.back());
      break;
    case TAdmit::Challenge: {
      auto pending = std::make_unique<TPendingConnection>(id, socket, now);
      pending->Check = std::make_unique<TPasswordCheck>(*key, now);
      pending->Decoder = std::make_unique<TDecoder>(64);
      TPendingConnection& waiting = *pending;
      pending->Decoder->OnPacket = [this, &waiting](TData& packet) {
        if (waiting.Next == TPendingConnection::TNext::Refuse) return;
        if (waiting.Check) {
          if (packet.DataType != dtAnswer) return;  // nothing counts before the answer
          const auto state = waiting.Check->Receive({packet.Bytes(), packet.Count()}, Now());
          if (state == TPasswordCheck::TState::Refused) {
            waiting.Next = TPendingConnection::TNext::Refuse;
            waiting.RefusalChat = waiting.Check->RefusalText();
            return;
          }
          waiting.Check.reset();
          const TDecision after = FAdmission.Arrive(
              {waiting.Id, waiting.Socket->RemoteAddress(), waiting.Socket->RemoteHost()}, false,
              Now());
          waiting.Next = after.Action == TAdmit::Now    ? TPendingConnection::TNext::Join
                         : after.Action == TAdmit::Ask  ? TPendingConnection::TNext::Wait
                                                        : TPendingConnection::TNext::Refuse;
          waiting.Refusal = after.Refusal;
          return;
        }
        if (waiting.Held.size() < kMostHeldPackets) waiting.Held.push_back(packet);
      };
      const TPasswordCheck& check = *pending->Check;
      FPending.push_back(std::move(pending));
      SendFrame(socket, dtChallenge, check.ChallengePayload());
      Log("Password asked of " + DescribeSocket(socket));
      break;
    }
  }
  ScheduleWake();
  return false;
}

TPendingConnection* TEngine::PendingOf(const TCustomWinSocket& socket) const {
  for (const auto& pending : FPending)
    if (pending->Socket == &socket) return pending.get();
  return nullptr;
}

void TEngine::WaitForUser(TPendingConnection& pending) {
  pending.WaitsForUser = true;
  pending.Socket->SetReadBufferLimit(kWaitingReadAhead);
  Log("Waiting for the user to let in " + DescribeSocket(*pending.Socket));
  ShowAdmissionQuestion();
}

// Reads only while the password is owed or behind its answer; a connection that waits for
// the user is not read.
void TEngine::ReadPending(TPendingConnection& pending) {
  if (!pending.Decoder || pending.WaitsForUser) return;
  const TPeerId id = pending.Id;
  uint8_t block[4096];
  while (pending.Next == TPendingConnection::TNext::Stay) {
    const int received = pending.Socket->ReceiveBuf(block, sizeof block);
    if (received <= 0) return;
    pending.Decoder->AddData(static_cast<uint16_t>(received), block);
  }
  switch (pending.Next) {
    case TPendingConnection::TNext::Join:
      Log("Password given by " + DescribeSocket(*pending.Socket));
      Admit(id);
      break;
    case TPendingConnection::TNext::Wait:
      pending.Next = TPendingConnection::TNext::Stay;
      WaitForUser(pending);
      break;
    case TPendingConnection::TNext::Refuse:
      Refuse(id,
             pending.RefusalChat ? std::string(pending.RefusalChat) : RefusalText(pending.Refusal),
             pending.RefusalChat);
      break;
    case TPendingConnection::TNext::Stay:
      break;
  }
}

// ---- Verdicts

void TEngine::Join(TCustomWinSocket& socket) {
  AddConnection(DescribeSocket(socket));
  FSession->Connected(PeerOf(socket), Now());
}

void TEngine::Admit(TPeerId id) {
  const auto at = std::find_if(FPending.begin(), FPending.end(),
                               [id](const auto& pending) { return pending->Id == id; });
  if (at == FPending.end()) return;
  const std::unique_ptr<TPendingConnection> pending = std::move(*at);
  FPending.erase(at);
  TCustomWinSocket& socket = *pending->Socket;
  socket.SetReadBufferLimit(0);
  Join(socket);
  ServerAccepted(socket);
  for (TData& packet : pending->Held) {
    packet.Encode();
    if (!socket.Connected()) return;
    FSession->Receive(id, packet.Bytes(), packet.Count(), Now());
  }
  if (socket.Connected()) ReceiveBlocks(socket);
  ShowAdmissionQuestion();
}

void TEngine::Refuse(TPeerId id, const std::string& why, const char* chatText) {
  TCustomWinSocket* const socket = SocketOf(id);
  ++FRefusedConnections;
  std::erase_if(FPending, [id](const auto& pending) { return pending->Id == id; });
  FAdmission.Leave(id);
  if (socket) {
    Log(Format("Refused %s: %s (%llu refused so far)", DescribeSocket(*socket).c_str(),
               why.c_str(), static_cast<unsigned long long>(FRefusedConnections)));
    if (chatText) SendFrame(*socket, dtChat, {reinterpret_cast<const uint8_t*>(chatText),
                                              std::char_traits<char>::length(chatText)});
    socket->Close();
  }
  ShowAdmissionQuestion();
}

void TEngine::AnswerAdmission(TUserAnswer answer) {
  const TArrival* question = FAdmission.Question();
  if (!question) return;
  const std::string entry = question->Address;
  for (const TVerdict& verdict : FAdmission.Answer(answer)) {
    if (SettleAskedSession(verdict.Id,
                           verdict.Admitted ? std::nullopt : std::optional(TRefusal::ByUser)))
      continue;
    if (verdict.Admitted)
      Admit(verdict.Id);
    else
      Refuse(verdict.Id, RefusalText(TRefusal::ByUser));
  }
  if (answer == TUserAnswer::AlwaysAllow) {
    FSettings.AllowedPeers = FAdmission.Allowed().Setting();
    Log("Always allowed: " + entry);
  }
  ShowAdmissionQuestion();
}

void TEngine::DropPendingConnections() {
  // Closing raises their disconnect events, which take them off the list.
  while (!FPending.empty()) {
    const std::unique_ptr<TPendingConnection> pending = std::move(FPending.back());
    FPending.pop_back();
    FAdmission.Leave(pending->Id);
    pending->Socket->Close();
  }
  for (const TAskedSession& asked : FAskedSessions) FAdmission.Leave(asked.Id);
  FAskedSessions.clear();
  ShowAdmissionQuestion();
}

void TEngine::ShowAdmissionQuestion() {
  const TArrival* question = FAdmission.Question();
  const uint64_t shown = question ? question->Id : 0;
  if (shown == FShownQuestion) return;
  FShownQuestion = shown;
  if (FObserver) FObserver->AdmissionQuestionChanged();
}

// ---- Time

void TEngine::TickAdmission(uint32_t now) {
  for (const uint64_t id : FAdmission.Tick(now))
    if (!SettleAskedSession(id, TRefusal::NoAnswer)) Refuse(id, RefusalText(TRefusal::NoAnswer));
  // Refusing changes the list, so the late ones are gathered first.
  std::vector<std::pair<TPeerId, const char*>> late;
  for (const auto& pending : FPending) {
    if (pending->Check && pending->Check->Tick(now))
      late.emplace_back(pending->Id, pending->Check->RefusalText());
    if (Reached(now, pending->KeepAliveDue)) {
      SendFrame(*pending->Socket, dtTime, {});
      pending->KeepAliveDue = now + TSession::kIdleIntervalMs;
    }
  }
  for (const auto& [id, text] : late) Refuse(id, text, text);
}

std::optional<uint32_t> TEngine::NextAdmissionWake(uint32_t now) const {
  std::optional<uint32_t> next = FAdmission.NextWake(now);
  const auto sooner = [&next](uint32_t ms) { next = next ? std::min(*next, ms) : ms; };
  for (const auto& pending : FPending) {
    sooner(Until(now, pending->KeepAliveDue));
    if (pending->Check) sooner(Until(now, pending->Check->Due()));
  }
  return next;
}

// ---- Settings

bool TEngine::AllowPeer(const std::string& entry) {
  if (!FAdmission.Allowed().Add(entry)) return false;
  FSettings.AllowedPeers = FAdmission.Allowed().Setting();
  return true;
}

bool TEngine::ForgetAllowedPeer(const std::string& entry) {
  if (!FAdmission.Allowed().Remove(entry)) return false;
  FSettings.AllowedPeers = FAdmission.Allowed().Setting();
  return true;
}

bool TEngine::PasswordSet() const {
  return IsServer() ? !FSettings.PasswordKey.empty()
                    : !FClientPassword.empty() || !FSettings.ServerPasswordKey.empty();
}

void TEngine::SetPasswordValues(const TIpSettings& ip) {
  FSettings.WhoMayConnect = ip.WhoMayConnect;
  FAdmission.SetMode(ip.WhoMayConnect);
  if (IsServer()) {
    if (!ip.Password)
      FSettings.PasswordKey.clear();
    else if (!ip.NewPassword.empty())
      try {
        FSettings.PasswordKey = KeySetting(DeriveKey(ip.NewPassword, NewSalt()));
      } catch (const EPassword& error) {
        Report(std::string("The password could not be set: ") + error.what());
      }
    return;
  }
  if (!ip.Password || !ip.NewPassword.empty()) {
    FClientPassword = ip.Password ? ip.NewPassword : std::string();
    FSettings.ServerPasswordKey.clear();
  }
}

// ---- A client's side

void TEngine::NoteChatFromServer(const std::string& text) {
  // Only the texts of a server that asked this copy for its password end the link for good.
  if (FAnswerer && FAnswerer->Answered() && (text == kWrongPasswordText || text == kNeedsPasswordText))
    NoteRefusal(text);
}

void TEngine::ReceiveOther(TPeerId peer, const TData& packet) {
  if (IsServer() || packet.DataType != dtChallenge || !FAnswerer) return;
  AnswerChallenge(peer, packet);
}

void TEngine::AnswerChallenge(TPeerId peer, const TData& challenge) {
  const auto reply = FAnswerer->Receive({challenge.Bytes(), challenge.Count()});
  if (!reply) return;
  if (reply->Refusal) {
    if (FObserver) FObserver->ChatShown(reply->Refusal);
    NoteRefusal(reply->Refusal);
    if (TCustomWinSocket* socket = SocketOf(peer)) socket->Close();
    return;
  }
  if (reply->Derived) FSettings.ServerPasswordKey = KeySetting(*reply->Derived);
  if (TCustomWinSocket* socket = SocketOf(peer)) SendFrame(*socket, dtAnswer, reply->Answer);
  Log("Password given to " + Describe(peer));
}

void TEngine::NoteRefusal(const std::string& chatText) {
  FSession->StopReconnecting();
  Log("** ** ** " + chatText + ": the link is not tried again until you start it");
}

// The TCP peer link's socket wiring: the sockets' events go to the session, and the session's
// frames go out on the sockets. Also the listening server's announcement.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QHostInfo>
#include <algorithm>

#include "admission/password.h"
#include "engine/engine.h"
#include "engine/pendingconnection.h"
#include "engine/globals.h"
#include "engine/versioninfo.h"
#include "engine/winsockerrors.h"
#include "platform/clientsocket.h"
#include "platform/serversocket.h"
#include "platform/text.h"
#include "protocol/timedbuffer.h"
#include "session/session.h"

namespace {

// A received block's size is 16-bit.
constexpr int kLargestBlock = 65535;

// The TXT record's own layout version, and the program's version for later ones to compare.
const char kTxtVersion[] = "txtvers=1";

// The kernel gives up on a silent or unacknowledging peer in about the time the session's own
// rule takes: probes after 5 s of quiet, every 2 s, five of them; unacknowledged data 15 s.
constexpr int kKeepAliveIdleS = 5;
constexpr int kKeepAliveIntervalS = 2;
constexpr int kKeepAliveProbes = 5;
static_assert((kKeepAliveIdleS + kKeepAliveIntervalS * kKeepAliveProbes) * 1000 ==
              TSession::kDeadPeerSilenceMs);

std::string ProgramVersion() {
  const std::string key = std::string(VersionBlockPath) + "FileVersion";
  return QueryVersionValue(ExecutableVersionResource(), key).value_or("0");
}

// A connection that never came up has no record: what it sends is read and dropped.
void Drain(TCustomWinSocket& socket) {
  uint8_t discard[4096];
  while (socket.ReceiveBuf(discard, sizeof discard) > 0) {
  }
}

}  // namespace

void TEngine::CreateLinkSockets() {
  FClientSocket = std::make_unique<TClientSocket>();
  FClientSocket->OnLookup = [this](TCustomWinSocket& s) {
    Log("Looking up host : " + DescribeSocket(s));
  };
  FClientSocket->OnConnecting = [this](TCustomWinSocket& s) {
    Log("Connecting to host : " + DescribeSocket(s));
  };
  FClientSocket->OnConnect = [this](TCustomWinSocket& s) { ClientConnected(s); };
  FClientSocket->OnRead = [this](TCustomWinSocket& s) { ReceiveBlocks(s); };
  FClientSocket->OnDisconnect = [this](TCustomWinSocket& s) { ClientDisconnected(s); };
  FClientSocket->OnError = [this](TCustomWinSocket& s, int& code) { ClientError(s, code); };

  FServerSocket = std::make_unique<TServerSocket>();
  FServerSocket->OnListen = [this](TCustomWinSocket&) { ServerListening(); };
  FServerSocket->OnAccept = [this](TCustomWinSocket& s) { ServerAccepted(s); };
  FServerSocket->OnClientConnect = [this](TCustomWinSocket& s) { ServerClientConnected(s); };
  FServerSocket->OnClientRead = [this](TCustomWinSocket& s) { ReceiveBlocks(s); };
  FServerSocket->OnClientDisconnect = [this](TCustomWinSocket& s) {
    ServerClientDisconnected(s);
  };
  FServerSocket->OnClientError = [this](TCustomWinSocket& s, int& code) {
    ServerClientError(s, code);
  };
}

bool TEngine::IsServer() const { return FSession->IsServer(); }

bool TEngine::Active() const { return FSession->Active(); }

void TEngine::ToggleLink() {
  FSession->StopReconnecting();
  ActivateLink(!Active());
}

void TEngine::ActivateLink(bool on) {
  if (on == Active()) return;
  if (on) {
    ApplyLinkAddress();
    if (IsServer())
      FServerSocket->Open();
    else
      FClientSocket->Open();
    return;  // the listen or connect event sets Active once the socket is up
  }
  if (IsServer()) {
    CloseServer();
    SetActive(false);
    Log("Server : ... deaf now");
    FConnections.clear();
    if (FObserver) FObserver->ConnectionsChanged(FConnections);
  } else {
    FClientSocket->Close();  // its disconnect event does the rest
  }
}

void TEngine::CloseServer() {
  DropPendingConnections();
  if (FListeningPort != 0 || FServerSocket->Active()) {
    FListeningPort = 0;
    FDnsSd->Withdraw();
    FRtpMidiDnsSd->Withdraw();
    if (FObserver) FObserver->ListeningChanged(0, 0);
  }
  FRtpMidi->Close();
  FServerSocket->Close();
  // The closed connections stay listed until the event loop runs again.
  const uint32_t now = Now();
  for (int i = 0; i < FServerSocket->ActiveConnections(); ++i) {
    TCustomWinSocket& connection = *FServerSocket->Connections(i);
    FSession->Disconnected(PeerOf(connection), now);
    ForgetPeer(connection);
  }
}

void TEngine::ApplyLinkAddress() {
  if (Active()) {
    Report("Connected, can't change settings now.");
    return;
  }
  std::string host = FSettings.ServerName;
  int32_t port = FSettings.Port;
  // A name a server announces reaches that server wherever it is now.
  if (const TAnnouncedServer* server = FDnsSd->Find(FSettings.ServerName)) {
    Log(Format("Discovery : '%s' is at %s port %u", server->Name.c_str(), server->Address.c_str(),
               server->Port));
    host = server->Address;
    port = server->Port;
  }
  // Clear the other form first, so the client always aims at the current server name.
  if (IsIpAddress(host)) {
    FClientSocket->SetHost("");
    FClientSocket->SetAddress(host);
  } else {
    FClientSocket->SetAddress("");
    FClientSocket->SetHost(host);
  }
  FClientSocket->SetPort(port);
  FServerSocket->SetPort(FSettings.Port);
  FSession->SetTarget(FSettings.ServerName, FSettings.Port);
}

void TEngine::SetActive(bool value) {
  if (value == Active()) return;
  FSession->SetActive(value, Now());
  if (FObserver) FObserver->LinkStateChanged();
}

void TEngine::ConnectTo(const TAnnouncedServer& server) {
  ActivateLink(false);
  TIpSettings ip = IpSettings();
  ip.Port = server.Port;
  ip.IsServer = false;
  ip.ServerName = server.Name;
  ApplyIpSettings(ip);
  SettingsShown(TSettingsGroup::Ip);
  // Apply restarts the link itself when Auto start IP is on.
  if (!FSettings.AutoStart) ActivateLink(true);
}

void TEngine::Disconnect(const std::vector<std::string>& descriptions) {
  if (!IsServer()) {
    if (descriptions.empty()) return;
    FSession->StopReconnecting();
    FClientSocket->Close();
    return;
  }
  // Closed connections stay listed until the event loop releases them, so indices hold.
  const int connections = FServerSocket->ActiveConnections();
  for (int i = 0; i < connections; ++i) {
    TCustomWinSocket* connection = FServerSocket->Connections(i);
    if (std::find(descriptions.begin(), descriptions.end(), DescribeSocket(*connection)) !=
        descriptions.end())
      connection->Close();
  }
  for (const std::string& description : descriptions)
    if (const TPeerId participant = FRtpMidi->Find(description)) FRtpMidi->End(participant);
}

// ---- Connection ids

TPeerId TEngine::PeerOf(const TCustomWinSocket& socket) {
  for (const TLinkedSocket& linked : FLinked)
    if (linked.Socket == &socket) return linked.Id;
  FLinked.push_back({FNextPeerId++, const_cast<TCustomWinSocket*>(&socket)});
  return FLinked.back().Id;
}

TCustomWinSocket* TEngine::SocketOf(TPeerId peer) const {
  for (const TLinkedSocket& linked : FLinked)
    if (linked.Id == peer) return linked.Socket;
  return nullptr;
}

void TEngine::ForgetPeer(const TCustomWinSocket& socket) {
  std::erase_if(FLinked, [&socket](const TLinkedSocket& linked) { return linked.Socket == &socket; });
}

// ---- Socket events

void TEngine::ClientConnected(TCustomWinSocket& socket) {
  SetActive(true);
  // The time the link was down is no lateness of what comes now.
  if (FTimedBuffer) FTimedBuffer->StartNewLink();
  Log("Connect : " + DescribeSocket(socket));
  FAnswerer = std::make_unique<TPasswordAnswerer>(FClientPassword,
                                                  ParseKeySetting(FSettings.ServerPasswordKey));
  FSession->Connected(PeerOf(socket), Now());
  SetNagle(socket);
  KeepAlive(socket);
  AddConnection(DescribeSocket(socket));
}

void TEngine::ClientDisconnected(TCustomWinSocket& socket) {
  FAnswerer.reset();
  FSession->Disconnected(PeerOf(socket), Now());
  ForgetPeer(socket);
  SetActive(false);
  Log("Disconnect : " + DescribeSocket(socket));
  RemoveConnection(DescribeSocket(socket));
  FSession->LinkLost(Now());
}

void TEngine::ClientError(TCustomWinSocket& socket, int& errorCode) {
  Log(Format("** ** ** Socket error '%s' : '%s'", WinSockErrorText(errorCode).c_str(),
             DescribeSocket(socket).c_str()));
  errorCode = 0;
  // A connection that fails to come up ends here; one that was up ends in its disconnect.
  if (!FClientSocket->Active()) FSession->LinkFailed(Now());
}

void TEngine::ServerListening() {
  Log("Server : Starts Listening ...");
  SetActive(true);
  FListeningPort = FServerSocket->ListeningPort();
  ListenForParticipants();
  Announce();
  if (FObserver) FObserver->ListeningChanged(FListeningPort, FRtpMidi->ControlPort());
}

void TEngine::ServerAccepted(TCustomWinSocket& socket) {
  if (PendingOf(socket)) return;  // welcomed once it joins
  Log("Accepted " + DescribeSocket(socket) + ", sent Welcome message.");
  SendChatText("Welcome to " + FSettings.YourName + ", you are connected now.");
}

void TEngine::ServerClientConnected(TCustomWinSocket& socket) {
  Log("Client connect " + DescribeSocket(socket));
  SetNagle(socket);
  KeepAlive(socket);
  if (Arrive(socket)) Join(socket);
}

void TEngine::ServerClientDisconnected(TCustomWinSocket& socket) {
  const TPeerId id = PeerOf(socket);
  const bool waited = PendingOf(socket) != nullptr;
  if (waited) {
    std::erase_if(FPending, [id](const auto& pending) { return pending->Id == id; });
    FAdmission.Leave(id);
    ShowAdmissionQuestion();
  } else {
    FSession->Disconnected(id, Now());
  }
  ForgetPeer(socket);
  Log("Client disconnect " + DescribeSocket(socket));
  if (!waited) RemoveConnection(DescribeSocket(socket));
}

void TEngine::ServerClientError(TCustomWinSocket& socket, int& errorCode) {
  Log(Format("** ** ** Client socket error '%s' : '%s'", WinSockErrorText(errorCode).c_str(),
             DescribeSocket(socket).c_str()));
  errorCode = 0;
}

void TEngine::SetNagle(TCustomWinSocket& socket) {
  const int value = FSettings.DisableNagle ? -1 : 0;
  const std::string used = BooleanText(!FSettings.DisableNagle);
  if (::setsockopt(socket.SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0)
    Log(Format("Error '%s' setting Nagle's algorithm's use to %s",
               WinSockErrorText(WSAGetLastError()).c_str(), used.c_str()));
  else
    Log("Nagle's algorithm used : " + used);
}

void TEngine::KeepAlive(TCustomWinSocket& socket) {
  const int fd = socket.SocketHandle();
  const auto set = [fd](int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
  };
  const bool setAll = set(SOL_SOCKET, SO_KEEPALIVE, 1) &&
                      set(IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleS) &&
                      set(IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalS) &&
                      set(IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes) &&
                      set(IPPROTO_TCP, TCP_USER_TIMEOUT, TSession::kDeadPeerSilenceMs);
  if (!setAll)
    Log(Format("Error '%s' setting the keep-alive of %s",
               WinSockErrorText(WSAGetLastError()).c_str(), DescribeSocket(socket).c_str()));
}

void TEngine::ReceiveBlocks(TCustomWinSocket& socket) {
  if (TPendingConnection* pending = PendingOf(socket)) {
    ReadPending(*pending);
    return;
  }
  Lamp(TEngineLamp::Receive);
  // Reads are not re-entered (socket events come one at a time), so one block serves all.
  if (!FReadBlock) FReadBlock = std::make_unique_for_overwrite<uint8_t[]>(kLargestBlock);
  while (socket.ReceiveLength() > 0) {
    const int pending = std::min(socket.ReceiveLength(), kLargestBlock);
    const int received = socket.ReceiveBuf(FReadBlock.get(), pending);
    if (received <= 0) return;
    if (!FSession->Receive(PeerOf(socket), FReadBlock.get(), static_cast<size_t>(received),
                           Now())) {
      Drain(socket);
      return;
    }
  }
}

// ---- Announcing

std::string TEngine::InstanceName() const {
  return FSettings.YourName.empty() ? QHostInfo::localHostName().toStdString()
                                    : FSettings.YourName;
}

void TEngine::Announce() {
  if (FListeningPort == 0) return;
  FDnsSd->Announce(InstanceName(), FListeningPort,
                   {kTxtVersion, "version=" + ProgramVersion()});
  if (const uint16_t rtpMidiPort = FRtpMidi->ControlPort())
    FRtpMidiDnsSd->Announce(InstanceName(), rtpMidiPort, {});
}

// ---- What the session asks of the sockets

bool TEngine::Write(TPeerId peer, const uint8_t* frame, int length) {
  if (FRtpMidi->Owns(peer)) {
    FRtpMidi->Send(peer, frame, length);
    return true;
  }
  TCustomWinSocket* socket = SocketOf(peer);
  return socket == nullptr || !socket->Connected() || socket->SendBuf(frame, length) >= 0;
}

void TEngine::Close(TPeerId peer) {
  if (TCustomWinSocket* socket = SocketOf(peer)) socket->Close();
  FRtpMidi->End(peer);
}

std::string TEngine::OpenLink() {
  try {
    ActivateLink(true);
  } catch (const ESocketError& error) {
    return error.what();
  }
  return {};
}

std::string TEngine::Describe(TPeerId peer) const {
  if (const TCustomWinSocket* socket = SocketOf(peer)) return DescribeSocket(*socket);
  if (FRtpMidi->Owns(peer)) return FRtpMidi->Describe(peer);
  return "connection " + std::to_string(peer);
}

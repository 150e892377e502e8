// The TCP peer link's socket wiring: the sockets' events go to the session, and the session's
// frames go out on the sockets. Everything here runs on the GUI thread.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QAction>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "app/frmclientserver.h"
#include "app/globals.h"
#include "app/serverfinder.h"
#include "app/winsockerrors.h"
#include "midi/mmsystem.h"
#include "platform/clientsocket.h"
#include "platform/messagebox.h"
#include "platform/serversocket.h"
#include "protocol/timedbuffer.h"
#include "session/session.h"

namespace {

// A received block's size is 16-bit.
constexpr int kLargestBlock = 65535;

TPeerId PeerOf(const TCustomWinSocket& socket) { return reinterpret_cast<TPeerId>(&socket); }

// A session's peers are the sockets that came up, and a socket outlives its record there.
TCustomWinSocket& SocketOf(TPeerId peer) { return *reinterpret_cast<TCustomWinSocket*>(peer); }

// A connection that never came up has no record: what it sends is read and dropped.
void Drain(TCustomWinSocket& socket) {
  uint8_t discard[4096];
  while (socket.ReceiveBuf(discard, sizeof discard) > 0) {
  }
}

}  // namespace

void TFormServerMain::CreateLinkSockets() {
  ClientSocket = std::make_unique<TClientSocket>();
  ClientSocket->OnLookup = [this](TCustomWinSocket& s) { ClientSocketLookup(s); };
  ClientSocket->OnConnecting = [this](TCustomWinSocket& s) { ClientSocketConnecting(s); };
  ClientSocket->OnConnect = [this](TCustomWinSocket& s) { ClientSocketConnect(s); };
  ClientSocket->OnRead = [this](TCustomWinSocket& s) { ClientSocketRead(s); };
  ClientSocket->OnDisconnect = [this](TCustomWinSocket& s) { ClientSocketDisconnect(s); };
  ClientSocket->OnError = [this](TCustomWinSocket& s, int& code) { ClientSocketError(s, code); };

  ServerSocket = std::make_unique<TServerSocket>();
  ServerSocket->OnListen = [this](TCustomWinSocket& s) { ServerSocketListen(s); };
  ServerSocket->OnAccept = [this](TCustomWinSocket& s) { ServerSocketAccept(s); };
  ServerSocket->OnClientConnect = [this](TCustomWinSocket& s) { ServerSocketClientConnect(s); };
  ServerSocket->OnClientRead = [this](TCustomWinSocket& s) { ServerSocketClientRead(s); };
  ServerSocket->OnClientDisconnect = [this](TCustomWinSocket& s) {
    ServerSocketClientDisconnect(s);
  };
  ServerSocket->OnClientError = [this](TCustomWinSocket& s, int& code) {
    ServerSocketClientError(s, code);
  };

  // The user takes over: a link they start or stop is not retried on their behalf.
  const auto toggleLink = [this] {
    Session->StopReconnecting();
    ActivateLink(!Active());
  };
  connect(MenuItemConnect, &QAction::triggered, this, toggleLink);
  connect(SpeedButtonConnect, &QPushButton::clicked, this, toggleLink);
}

void TFormServerMain::ActivateLink(bool on) {
  if (on == Active()) return;
  if (on) {
    ApplyLinkAddress();
    if (IsServer())
      ServerSocket->Open();
    else
      ClientSocket->Open();
    return;  // the listen or connect event sets Active once the socket is up
  }
  if (IsServer()) {
    CloseServer();
    SetActive(false);
    Log("Server : ... deaf now");
    FConnectionList.clear();
    ShowConnections();
  } else {
    ClientSocket->Close();  // its disconnect event does the rest
  }
}

void TFormServerMain::CloseServer() {
  if (ServerFinder) ServerFinder->ServerStopped();
  ServerSocket->Close();
  // The closed connections stay listed until the event loop runs again.
  const uint32_t now = timeGetTime();
  for (int i = 0; i < ServerSocket->ActiveConnections(); ++i)
    Session->Disconnected(PeerOf(*ServerSocket->Connections(i)), now);
}

void TFormServerMain::ApplyLinkAddress() {
  if (Active()) {
    ShowMessage("Connected, can't change settings now.");
    return;
  }
  const TLinkTarget target = ServerFinder->Target(FServerName, FPort);
  // Clear the other form first, so the client always aims at the current server name.
  if (IsIpAddress(target.Host)) {
    ClientSocket->SetHost("");
    ClientSocket->SetAddress(target.Host);
  } else {
    ClientSocket->SetAddress("");
    ClientSocket->SetHost(target.Host);
  }
  ClientSocket->SetPort(target.Port);
  ServerSocket->SetPort(FPort);
  Session->SetTarget(FServerName, FPort);
}

void TFormServerMain::SetActive(bool value) {
  if (value == Active()) return;
  Session->SetActive(value, timeGetTime());
  UpdateCaption();
}

// ---- Socket events

void TFormServerMain::ClientSocketLookup(TCustomWinSocket& socket) {
  LogFmt("Looking up host : %s", DescribeSocket(socket).c_str());
}

void TFormServerMain::ClientSocketConnecting(TCustomWinSocket& socket) {
  LogFmt("Connecting to host : %s", DescribeSocket(socket).c_str());
}

void TFormServerMain::ClientSocketConnect(TCustomWinSocket& socket) {
  SetActive(true);
  // The time the link was down is no lateness of what comes now.
  if (TimedBuffer) TimedBuffer->StartNewLink();
  LogFmt("Connect : %s", DescribeSocket(socket).c_str());
  Session->Connected(PeerOf(socket), timeGetTime());
  SetNagle(socket);
  KeepAlive(socket);
  AddConnection(socket);
}

void TFormServerMain::ClientSocketRead(TCustomWinSocket& socket) { ReceiveBlocks(socket); }

void TFormServerMain::ClientSocketDisconnect(TCustomWinSocket& socket) {
  Session->Disconnected(PeerOf(socket), timeGetTime());
  SetActive(false);
  LogFmt("Disconnect : %s", DescribeSocket(socket).c_str());
  RemoveConnection(socket);
  Session->LinkLost(timeGetTime());
}

void TFormServerMain::ClientSocketError(TCustomWinSocket& socket, int& errorCode) {
  LogFmt("** ** ** Socket error '%s' : '%s'", WinSockErrorText(errorCode).c_str(),
         DescribeSocket(socket).c_str());
  errorCode = 0;
  // A connection that fails to come up ends here; one that was up ends in its disconnect.
  if (!ClientSocket->Active()) Session->LinkFailed(timeGetTime());
}

void TFormServerMain::ServerSocketListen(TCustomWinSocket&) {
  Log("Server : Starts Listening ...");
  SetActive(true);
  ServerFinder->ServerListening(ServerSocket->ListeningPort());
}

void TFormServerMain::ServerSocketClientConnect(TCustomWinSocket& socket) {
  LogFmt("Client connect %s", DescribeSocket(socket).c_str());
  SetNagle(socket);
  KeepAlive(socket);
  AddConnection(socket);
  Session->Connected(PeerOf(socket), timeGetTime());
}

void TFormServerMain::ServerSocketAccept(TCustomWinSocket& socket) {
  LogFmt("Accepted %s, sent Welcome message.", DescribeSocket(socket).c_str());
  SendChatFmt("Welcome to %s, you are connected now.", FYourName.c_str());
}

void TFormServerMain::ServerSocketClientRead(TCustomWinSocket& socket) { ReceiveBlocks(socket); }

void TFormServerMain::ServerSocketClientDisconnect(TCustomWinSocket& socket) {
  Session->Disconnected(PeerOf(socket), timeGetTime());
  LogFmt("Client disconnect %s", DescribeSocket(socket).c_str());
  RemoveConnection(socket);
}

void TFormServerMain::ServerSocketClientError(TCustomWinSocket& socket, int& errorCode) {
  LogFmt("** ** ** Client socket error '%s' : '%s'", WinSockErrorText(errorCode).c_str(),
         DescribeSocket(socket).c_str());
  errorCode = 0;
}

void TFormServerMain::SetNagle(TCustomWinSocket& socket) {
  const int value = FDisableNagle ? -1 : 0;
  const std::string used = BooleanText(!FDisableNagle);
  if (::setsockopt(socket.SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0)
    LogFmt("Error '%s' setting Nagle's algorithm's use to %s",
           WinSockErrorText(WSAGetLastError()).c_str(), used.c_str());
  else
    LogFmt("Nagle's algorithm used : %s", used.c_str());
}

// The kernel gives up on a silent or unacknowledging peer in about the time the link's own
// rule takes: probes after 5 s of quiet, every 2 s, five of them; unacknowledged data 15 s.
void TFormServerMain::KeepAlive(TCustomWinSocket& socket) {
  const int fd = socket.SocketHandle();
  const auto set = [fd](int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
  };
  const bool set_all = set(SOL_SOCKET, SO_KEEPALIVE, 1) && set(IPPROTO_TCP, TCP_KEEPIDLE, 5) &&
                       set(IPPROTO_TCP, TCP_KEEPINTVL, 2) && set(IPPROTO_TCP, TCP_KEEPCNT, 5) &&
                       set(IPPROTO_TCP, TCP_USER_TIMEOUT, 15000);
  if (!set_all)
    LogFmt("Error '%s' setting the keep-alive of %s", WinSockErrorText(WSAGetLastError()).c_str(),
           DescribeSocket(socket).c_str());
}

void TFormServerMain::ReceiveBlocks(TCustomWinSocket& socket) {
  FlashRx();
  // Reads are not re-entered (socket events come one at a time), so one block serves all.
  if (!ReadBlock) ReadBlock = std::make_unique_for_overwrite<uint8_t[]>(kLargestBlock);
  while (socket.ReceiveLength() > 0) {
    const int pending = std::min(socket.ReceiveLength(), kLargestBlock);
    const int received = socket.ReceiveBuf(ReadBlock.get(), pending);
    if (received <= 0) return;
    if (!Session->Receive(PeerOf(socket), ReadBlock.get(), static_cast<size_t>(received),
                          timeGetTime())) {
      Drain(socket);
      return;
    }
  }
}

// ---- What the session asks of the sockets

bool TFormServerMain::Write(TPeerId peer, const uint8_t* frame, int length) {
  TCustomWinSocket& socket = SocketOf(peer);
  return !socket.Connected() || socket.SendBuf(frame, length) >= 0;
}

void TFormServerMain::Close(TPeerId peer) { SocketOf(peer).Close(); }

std::string TFormServerMain::OpenLink() {
  try {
    ActivateLink(true);
  } catch (const ESocketError& error) {
    return error.what();
  }
  return {};
}

std::string TFormServerMain::Describe(TPeerId peer) const { return DescribeSocket(SocketOf(peer)); }

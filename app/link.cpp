// The TCP peer link: a star of one server and its clients, each direction a plain stream of
// framed packets. Everything here runs on the GUI thread, socket events included.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QAction>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "app/frmclientserver.h"
#include "app/globals.h"
#include "app/midiplayer.h"
#include "app/serverfinder.h"
#include "app/winsockerrors.h"
#include "midi/soundingnotes.h"
#include "platform/clientsocket.h"
#include "platform/messagebox.h"
#include "platform/serversocket.h"
#include "protocol/data.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kDecoderCapacity = 256;
// A received block's size is 16-bit.
constexpr int kLargestBlock = 65535;

// Every copy sends at least every 5 s while linked (idle Time packets), so three intervals of
// silence mean the peer is gone: its cable pulled, its computer asleep.
constexpr auto kDeadPeerSilence = std::chrono::seconds(15);
constexpr int kDeadPeerCheckMs = 1000;
// A client whose link fails or drops tries again after 1 s, then every 2 s.
constexpr int kFirstReconnectMs = 1000;
constexpr int kReconnectMs = 2000;

// A connection's decoder, kept in the socket's Data slot. A relayed send can close the very
// connection whose decoder is delivering the packet, so a release requested while the
// decoder is inside AddData waits until AddData returns.
struct TPeerDecoder {
  TDecoder Decoder{kDecoderCapacity};
  // Each read lands here; like the decoder, it serves one read of its connection at a time.
  std::unique_ptr<uint8_t[]> Block = std::make_unique_for_overwrite<uint8_t[]>(kLargestBlock);
  int Feeding = 0;
  bool ReleaseRequested = false;
  // The notes this peer's Midi packets turned on and did not turn off yet.
  mmsystem::SoundingNotes Notes;
  Clock::time_point LastHeard = Clock::now();
};

TPeerDecoder* PeerDecoderOf(const TCustomWinSocket& socket) {
  return static_cast<TPeerDecoder*>(socket.Data);
}

// A connection that never came up has no decoder: what it sends is read and dropped.
void Drain(TCustomWinSocket& socket) {
  uint8_t discard[4096];
  while (socket.ReceiveBuf(discard, sizeof discard) > 0) {
  }
}

// Counts a decoder as busy for one AddData call and performs a release requested meanwhile.
class TFeedingScope {
 public:
  explicit TFeedingScope(TPeerDecoder* peer) : peer_(peer) { ++peer_->Feeding; }
  ~TFeedingScope() {
    if (--peer_->Feeding == 0 && peer_->ReleaseRequested) delete peer_;
  }
  TFeedingScope(const TFeedingScope&) = delete;
  TFeedingScope& operator=(const TFeedingScope&) = delete;

 private:
  TPeerDecoder* peer_;
};

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
    StopReconnecting();
    ActivateLink(!FActive);
  };
  connect(MenuItemConnect, &QAction::triggered, this, toggleLink);
  connect(SpeedButtonConnect, &QPushButton::clicked, this, toggleLink);

  TimerReconnect = new QTimer(this);
  TimerReconnect->setObjectName("TimerReconnect");
  TimerReconnect->setSingleShot(true);
  connect(TimerReconnect, &QTimer::timeout, this, [this] { Reconnect(); });

  TimerDeadPeers = new QTimer(this);
  TimerDeadPeers->setObjectName("TimerDeadPeers");
  TimerDeadPeers->setInterval(kDeadPeerCheckMs);
  connect(TimerDeadPeers, &QTimer::timeout, this, [this] { DropSilentPeers(); });
  TimerDeadPeers->start();
}

void TFormServerMain::ActivateLink(bool on) {
  if (on == FActive) return;
  if (on) {
    ApplyLinkAddress();
    if (FIsServer)
      ServerSocket->Open();
    else
      ClientSocket->Open();
    return;  // the listen or connect event sets Active once the socket is up
  }
  if (FIsServer) {
    CloseServer();
    SetActive(false);
    Log("Server : ... deaf now");
    FConnectionList.clear();
    ShowConnections();
  } else {
    ClientSocket->Close();  // its disconnect event does the rest
  }
}

void TFormServerMain::ArmReconnect() { FReconnectArmed = !FIsServer && FAutoStart; }

void TFormServerMain::StopReconnecting() {
  FReconnectArmed = false;
  FReconnectTries = 0;
  TimerReconnect->stop();
}

// A client link that failed or ended without the user asking comes back by itself.
void TFormServerMain::ScheduleReconnect() {
  if (!FReconnectArmed || FIsServer || !FAutoStart || FDestroying || FClosed) return;
  const int delay = FReconnectTries == 0 ? kFirstReconnectMs : kReconnectMs;
  LogFmt("Reconnect : next try in %d s", delay / 1000);
  TimerReconnect->start(delay);
}

void TFormServerMain::Reconnect() {
  if (FActive || !FReconnectArmed) return;
  ++FReconnectTries;
  LogFmt("Reconnect : try %u to %s port %d", FReconnectTries, FServerName.c_str(), FPort);
  try {
    ActivateLink(true);
  } catch (const ESocketError& error) {
    LogFmt("Reconnect : %s", error.what());
    ScheduleReconnect();
  }
}

void TFormServerMain::DropSilentPeers() {
  const Clock::time_point now = Clock::now();
  std::vector<TCustomWinSocket*> silent;
  const auto check = [&](TCustomWinSocket& socket) {
    const TPeerDecoder* peer = PeerDecoderOf(socket);
    if (peer && !peer->ReleaseRequested && now - peer->LastHeard > kDeadPeerSilence)
      silent.push_back(&socket);
  };
  if (FIsServer) {
    for (int i = 0; i < ServerSocket->ActiveConnections(); ++i)
      check(*ServerSocket->Connections(i));
  } else if (ClientSocket->Socket().Connected()) {
    check(ClientSocket->Socket());
  }
  // Closed after the scan: a close runs the disconnect handlers at once.
  for (TCustomWinSocket* socket : silent) {
    LogFmt("** ** ** Nothing heard for 15 s, connection dropped : %s",
           DescribeSocket(*socket).c_str());
    socket->Close();
  }
}

void TFormServerMain::EndHeldNotes(mmsystem::SoundingNotes& notes, const TCustomWinSocket& socket) {
  int ended = 0;
  notes.Silence([this, &ended](const uint8_t* message, size_t count) {
    TData packet(static_cast<uint16_t>(count), message);
    packet.DataType = dtMidi;
    SendPacketOnTimeline(packet, true);
    ++ended;
  });
  if (ended > 0)
    LogFmt("Ended what %s left sounding : %d messages", DescribeSocket(socket).c_str(), ended);
}

void TFormServerMain::CloseServer() {
  if (ServerFinder) ServerFinder->ServerStopped();
  ServerSocket->Close();
  // The closed connections stay listed, with their Data, until the event loop runs again.
  for (int i = 0; i < ServerSocket->ActiveConnections(); ++i)
    ReleaseDecoder(*ServerSocket->Connections(i));
}

void TFormServerMain::ApplyLinkAddress() {
  if (FActive) {
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
}

void TFormServerMain::SetActive(bool value) {
  if (value == FActive) return;
  FActive = value;
  UpdateCaption();
}

void TFormServerMain::AttachDecoder(TCustomWinSocket& socket) {
  auto* peer = new TPeerDecoder;
  peer->Decoder.OnPacket = [this, peer](TData& packet) {
    if (packet.DataType == dtMidi && !peer->ReleaseRequested)
      peer->Notes.Track(packet.Bytes(), packet.Count());
    ReceivePacket(packet);
  };
  // The socket outlives its decoder: the decoder is released in its disconnect handler.
  peer->Decoder.OnOversize = [this, &socket] {
    LogFmt("** ** ** Oversize frame dropped : %s", DescribeSocket(socket).c_str());
  };
  socket.Data = peer;
}

void TFormServerMain::ReleaseDecoder(TCustomWinSocket& socket) {
  TPeerDecoder* peer = PeerDecoderOf(socket);
  socket.Data = nullptr;
  if (!peer) return;
  // The server ends what a departing client left sounding, everywhere it sent it.
  if (FIsServer && !FDestroying) EndHeldNotes(peer->Notes, socket);
  if (peer->Feeding > 0)
    peer->ReleaseRequested = true;
  else
    delete peer;
}

void TFormServerMain::ClientSocketLookup(TCustomWinSocket& socket) {
  LogFmt("Looking up host : %s", DescribeSocket(socket).c_str());
}

void TFormServerMain::ClientSocketConnecting(TCustomWinSocket& socket) {
  LogFmt("Connecting to host : %s", DescribeSocket(socket).c_str());
}

void TFormServerMain::ClientSocketConnect(TCustomWinSocket& socket) {
  AttachDecoder(socket);
  SetActive(true);
  LogFmt("Connect : %s", DescribeSocket(socket).c_str());
  if (FReconnectTries > 0) LogFmt("Reconnect : connected at try %u", FReconnectTries);
  FReconnectTries = 0;
  ArmReconnect();
  SetNagle(socket);
  KeepAlive(socket);
  AddConnection(socket);
}

void TFormServerMain::ClientSocketRead(TCustomWinSocket& socket) { ReceiveBlocks(socket); }

void TFormServerMain::ClientSocketDisconnect(TCustomWinSocket& socket) {
  ReleaseDecoder(socket);
  SetActive(false);
  LogFmt("Disconnect : %s", DescribeSocket(socket).c_str());
  RemoveConnection(socket);
  // Everything the server sent sounds on this output, so what still sounds there once the
  // buffer has played out ends then.
  if (!FClosed) PutIntoTimedBuffer(TMidiPlayer::EndOfLinkEntry());
  ScheduleReconnect();
}

void TFormServerMain::ClientSocketError(TCustomWinSocket& socket, int& errorCode) {
  LogFmt("** ** ** Socket error '%s' : '%s'", WinSockErrorText(errorCode).c_str(),
         DescribeSocket(socket).c_str());
  errorCode = 0;
  // A connection that fails to come up ends here; one that was up ends in its disconnect.
  if (!ClientSocket->Active()) ScheduleReconnect();
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
  AttachDecoder(socket);
}

void TFormServerMain::ServerSocketAccept(TCustomWinSocket& socket) {
  LogFmt("Accepted %s, sent Welcome message.", DescribeSocket(socket).c_str());
  SendChatFmt("Welcome to %s, you are connected now.", FYourName.c_str());
}

void TFormServerMain::ServerSocketClientRead(TCustomWinSocket& socket) { ReceiveBlocks(socket); }

void TFormServerMain::ServerSocketClientDisconnect(TCustomWinSocket& socket) {
  ReleaseDecoder(socket);
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
  while (socket.ReceiveLength() > 0) {
    TPeerDecoder* peer = PeerDecoderOf(socket);
    if (!peer) {
      Drain(socket);
      return;
    }
    const int pending = std::min(socket.ReceiveLength(), kLargestBlock);
    const int received = socket.ReceiveBuf(peer->Block.get(), pending);
    if (received <= 0) return;
    peer->LastHeard = Clock::now();
    TFeedingScope feeding(peer);
    // An exception leaves the handler: the rest of this block is lost, the connection stays.
    peer->Decoder.AddData(static_cast<uint16_t>(received), peer->Block.get());
  }
}

// A client queues every packet's delta, chat's too, so its timeline counts every gap the
// server stamped. The server keeps its own timeline from the stamps it sends (below), not
// from its clients' deltas, which belong to as many timelines as there are clients.
void TFormServerMain::ReceivePacket(TData& packet) {
  if (FDestroying) return;
  switch (packet.DataType) {
    case dtTime:
      if (!FIsServer) QueueTimePacket(packet);
      break;
    case dtMidi:
      if (!FIsServer) QueueMidiPacket(packet);
      break;
    case dtChat:
      ShowChat(packet);
      if (!FIsServer) QueueTimePacket(packet);
      break;
    default:
      break;
  }
  FlashRx();
  LogPacket("recv : ", packet);
  if (FIsServer && (packet.DataType == dtMidi || packet.DataType == dtChat))
    SendPacketOnTimeline(packet, packet.DataType == dtMidi);
}

// Every packet the server sends is a tick on its own timeline, stamped as its clients get
// it, so the server's output keeps the spacing its clients hear however many of them play.
// What the server plays itself (relayed MIDI, the ends of a departed client's notes) enters
// with its bytes; its own input, chat and idle ticks enter as empty entries.
void TFormServerMain::SendPacketOnTimeline(TData& packet, bool playHere) {
  std::unique_ptr<TData> entry;
  if (FIsServer && FActive) {
    entry = std::make_unique<TData>();
    if (playHere) entry->Assign(&packet);
    entry->DataType = dtMidi;
  }
  SendPacket(&packet);
  if (!entry) return;
  entry->Time = packet.Time;  // the stamp SendPacket gave it
  PutIntoTimedBuffer(std::move(entry));
}

void TFormServerMain::SendPacket(TData* packet) {
  if (!packet || !FActive) return;
  try {
    packet->Time = TimeSinceLastSend();
    LogPacket("send : ", *packet);
    packet->Encode();
    const int frameLength = packet->Count();
    if (FIsServer) {
      const int connections = ServerSocket->ActiveConnections();
      for (int i = 0; i < connections; ++i) {
        TCustomWinSocket* connection = ServerSocket->Connections(i);
        if (connection->Connected()) connection->SendBuf(packet->Bytes(), frameLength);
      }
    } else if (ClientSocket->Socket().Connected()) {
      ClientSocket->Socket().SendBuf(packet->Bytes(), frameLength);
    }
    FlashTx();
  } catch (const ERangeError&) {
    // A packet too large to frame is dropped without a word; the link goes on.
  } catch (const ESocketError&) {
    // So is one the socket refuses.
  }
}

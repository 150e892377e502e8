#include "platform/sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/messagebox.h"

using namespace std::chrono_literals;

namespace {

// Runs the event loop until `done` holds or `timeout` has passed.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
  QElapsedTimer clock;
  clock.start();
  // processEvents rather than a nested QEventLoop: UBSan's dynamic type check of a loop
  // object misfires while a test holds back every file descriptor.
  while (!done()) {
    if (clock.elapsed() > timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    // processEvents leaves deleteLater() requests alone; the layer relies on them.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(1);
  }
  return true;
}

void RunEventsFor(std::chrono::milliseconds time) {
  WaitUntil([] { return false; }, time);
}

int FreePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::AnyIPv4, 0);
  return probe.serverPort();
}

// The connection list's description of a connection.
std::string Describe(const TCustomWinSocket& socket) {
  return socket.RemoteHost() + ", " + socket.RemoteAddress() + " : " +
         std::to_string(socket.RemotePort());
}

// The ESocketError that `action` throws.
ESocketError Thrown(const std::function<void()>& action) {
  try {
    action();
  } catch (const ESocketError& error) {
    return error;
  }
  return ESocketError(-1, "nothing thrown");
}

// A blocking peer that never reads, with a small receive buffer so it fills up soon.
struct TStuckPeer {
  explicit TStuckPeer(int port) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    const int bufferSize = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    localPort = ntohs(address.sin_port);
  }
  ~TStuckPeer() { ::close(fd); }
  int fd;
  bool connected = false;
  int localPort = 0;
};

void ShrinkSendBuffer(const TCustomWinSocket& socket) {
  const int bufferSize = 4096;
  ::setsockopt(socket.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

// Reads everything pending in blocks of at most 65535 bytes, as the link does.
void Drain(TCustomWinSocket& socket, std::vector<uint8_t>& into) {
  while (const int pending = socket.ReceiveLength()) {
    const int block = std::min(pending, 65535);
    const size_t start = into.size();
    into.resize(start + block);
    into.resize(start + socket.ReceiveBuf(into.data() + start, block));
  }
}

class SocketTest : public testing::Test {
 protected:
  SocketTest()
      : previousHook_(
            SetMessageBoxHook([this](const TMessageBox& box) { errorBoxes.push_back(box.Text); })),
        port(FreePort()) {
    server.SetPort(port);
    client.SetAddress("127.0.0.1");
    client.SetPort(port);
  }
  ~SocketTest() override { SetMessageBoxHook(previousHook_); }

  // Opens one more client and waits until the server has announced it.
  TClientSocket& AddClient() {
    auto& added = *extraClients.emplace_back(std::make_unique<TClientSocket>());
    added.SetAddress("127.0.0.1");
    added.SetPort(port);
    const int before = server.ActiveConnections();
    added.Open();
    EXPECT_TRUE(WaitUntil(
        [&] { return added.Socket().Connected() && server.ActiveConnections() == before + 1; }));
    return added;
  }

  TMessageBoxHook previousHook_;
  std::vector<std::string> errorBoxes;
  int port;
  TServerSocket server;
  TClientSocket client;
  std::vector<std::unique_ptr<TClientSocket>> extraClients;
};

TEST_F(SocketTest, EventsComeInOrderWithTheRemoteEndKnown) {
  std::vector<std::string> clientEvents, serverEvents;
  TCustomWinSocket* serverSide = nullptr;
  server.OnListen = [&](TCustomWinSocket& s) { serverEvents.push_back("listen " + Describe(s)); };
  server.OnClientConnect = [&](TCustomWinSocket& s) {
    serverEvents.push_back("client connect");
    EXPECT_TRUE(s.Connected());
    ASSERT_EQ(server.ActiveConnections(), 1);
    EXPECT_EQ(server.Connections(0), &s);
    serverSide = &s;
  };
  server.OnAccept = [&](TCustomWinSocket& s) {
    serverEvents.push_back("accept");
    EXPECT_EQ(&s, serverSide);
  };
  client.OnLookup = [&](TCustomWinSocket& s) { clientEvents.push_back("lookup " + Describe(s)); };
  client.OnConnecting = [&](TCustomWinSocket& s) {
    clientEvents.push_back("connecting " + Describe(s));
  };
  client.OnConnect = [&](TCustomWinSocket& s) {
    clientEvents.push_back("connect");
    EXPECT_TRUE(s.Connected());
    // The handle is a real descriptor: the link sets Nagle's option on it.
    const int on = -1;
    EXPECT_EQ(::setsockopt(s.SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), 0);
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(s.SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &value, &length);
    EXPECT_NE(value, 0);
  };

  server.Open();
  EXPECT_TRUE(server.Active());
  EXPECT_EQ(serverEvents, std::vector<std::string>{"listen ,  : 0"});
  client.SetAddress("127.000.000.010");  // decimal: octal would make it 127.0.0.8
  client.Open();
  EXPECT_TRUE(client.Active());
  EXPECT_FALSE(client.Socket().Connected());
  ASSERT_TRUE(WaitUntil([&] { return clientEvents.size() == 3 && serverEvents.size() == 3; }));

  EXPECT_EQ(clientEvents,
            (std::vector<std::string>{"lookup ,  : 0", "connecting ,  : 0", "connect"}));
  EXPECT_EQ(serverEvents, (std::vector<std::string>{"listen ,  : 0", "client connect", "accept"}));
  EXPECT_EQ(client.Socket().RemoteAddress(), "127.0.0.10");
  EXPECT_EQ(client.Socket().RemotePort(), port);
  EXPECT_TRUE(serverSide->RemoteAddress().starts_with("127."));
  EXPECT_NE(serverSide->RemotePort(), port);

  // A host name is looked up; the address set before is replaced by it.
  client.Close();
  client.SetHost("localhost");
  EXPECT_EQ(client.Address(), "");
  clientEvents.clear();
  client.Open();
  ASSERT_TRUE(WaitUntil([&] { return client.Socket().Connected(); }));
  EXPECT_EQ(clientEvents,
            (std::vector<std::string>{"lookup ,  : 0", "connecting ,  : 0", "connect"}));
  EXPECT_EQ(client.Socket().RemoteAddress(), "127.0.0.1");
  EXPECT_TRUE(errorBoxes.empty());
}

TEST_F(SocketTest, ReadsDeliverEveryByteInOrder) {
  std::vector<uint8_t> atServer, atClient;
  int largestPending = 0;
  // The server takes at most 1000 bytes per event: the rest must come in further events.
  server.OnClientRead = [&](TCustomWinSocket& s) {
    largestPending = std::max(largestPending, s.ReceiveLength());
    const size_t start = atServer.size();
    atServer.resize(start + 1000);
    atServer.resize(start + s.ReceiveBuf(atServer.data() + start, 1000));
  };
  client.OnRead = [&](TCustomWinSocket& s) { Drain(s, atClient); };
  server.Open();
  client.Open();
  ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 1; }));

  const std::vector<uint8_t> toServer = Pattern(50'000);
  EXPECT_EQ(client.Socket().SendBuf(toServer.data(), static_cast<int>(toServer.size())),
            static_cast<int>(toServer.size()));
  const std::vector<uint8_t> toClient = Pattern(300'000);
  server.Connections(0)->SendBuf(toClient.data(), static_cast<int>(toClient.size()));

  ASSERT_TRUE(WaitUntil(
      [&] { return atServer.size() >= toServer.size() && atClient.size() >= toClient.size(); }));
  EXPECT_EQ(atServer, toServer);
  EXPECT_EQ(atClient, toClient);
  EXPECT_GT(largestPending, 1000);
}

TEST_F(SocketTest, LocalCloseRaisesDisconnectBeforeItReturns) {
  std::vector<std::string> serverEvents, clientEvents;
  std::string serverSideAtConnect, clientSideAtConnect;
  server.OnClientConnect = [&](TCustomWinSocket& s) {
    if (serverSideAtConnect.empty()) serverSideAtConnect = Describe(s);
  };
  server.OnClientDisconnect = [&](TCustomWinSocket& s) {
    serverEvents.push_back("disconnect " + Describe(s));
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(s.ReceiveLength(), 0);
    // Still listed while the handler runs, so a caller's indices stay valid.
    EXPECT_EQ(server.ActiveConnections(), 2);
  };
  client.OnConnect = [&](TCustomWinSocket& s) { clientSideAtConnect = Describe(s); };
  client.OnDisconnect = [&](TCustomWinSocket& s) {
    clientEvents.push_back("disconnect " + Describe(s));
    EXPECT_FALSE(client.Active());
  };
  server.Open();
  client.Open();
  ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 1; }));
  AddClient();

  // Server side: the peer's host, address and port are readable in the handler.
  TCustomWinSocket* first = server.Connections(0);
  first->Close();
  EXPECT_EQ(serverEvents, std::vector<std::string>{"disconnect " + serverSideAtConnect});
  EXPECT_EQ(Describe(*first), ",  : 0");
  EXPECT_EQ(server.ActiveConnections(), 2);
  first->Close();  // closing again does nothing
  EXPECT_EQ(serverEvents.size(), 1u);
  // Released once control is back in the event loop; the client notices the close.
  ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 1 && !clientEvents.empty(); }));
  EXPECT_EQ(clientEvents, std::vector<std::string>{"disconnect " + clientSideAtConnect});
  EXPECT_EQ(Describe(client.Socket()), ",  : 0");

  // Client side: the same on a local close.
  clientEvents.clear();
  client.Open();
  ASSERT_TRUE(WaitUntil([&] { return client.Socket().Connected(); }));
  client.Close();
  EXPECT_EQ(clientEvents, std::vector<std::string>{"disconnect " + clientSideAtConnect});
  EXPECT_FALSE(client.Active());
}

TEST_F(SocketTest, StoppingTheServerReleasesConnectionsWithoutDisconnectEvents) {
  int serverDisconnects = 0, clientDisconnects = 0;
  server.OnClientConnect = [](TCustomWinSocket& s) { s.Data = new int(42); };
  server.OnClientDisconnect = [&](TCustomWinSocket&) { ++serverDisconnects; };
  server.Open();
  TClientSocket& one = AddClient();
  TClientSocket& two = AddClient();
  one.OnDisconnect = two.OnDisconnect = [&](TCustomWinSocket&) { ++clientDisconnects; };

  server.Close();
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(serverDisconnects, 0);
  // The closed connections are still reachable, so their Data can be released.
  ASSERT_EQ(server.ActiveConnections(), 2);
  for (int i = 0; i < server.ActiveConnections(); ++i) {
    EXPECT_FALSE(server.Connections(i)->Connected());
    delete static_cast<int*>(std::exchange(server.Connections(i)->Data, nullptr));
  }
  ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 0 && clientDisconnects == 2; }));
  EXPECT_EQ(serverDisconnects, 0);

  // The server listens again on the same port.
  server.Open();
  AddClient();
  for (int i = 0; i < server.ActiveConnections(); ++i) {
    delete static_cast<int*>(server.Connections(i)->Data);
  }
}

TEST_F(SocketTest, RefusedConnectionIsReportedThroughOnErrorOnly) {
  std::vector<int> codes;
  int connects = 0, disconnects = 0;
  client.OnError = [&](TCustomWinSocket& s, int& code) {
    codes.push_back(code);
    EXPECT_FALSE(s.Connected());
    code = 0;
  };
  client.OnConnect = [&](TCustomWinSocket&) { ++connects; };
  client.OnDisconnect = [&](TCustomWinSocket&) { ++disconnects; };

  client.Open();  // nobody listens on the port
  ASSERT_TRUE(WaitUntil([&] { return !codes.empty(); }));
  EXPECT_EQ(codes, std::vector<int>{WSAECONNREFUSED});
  EXPECT_FALSE(client.Active());
  RunEventsFor(50ms);
  EXPECT_TRUE(errorBoxes.empty());  // the handler zeroed the code

  // Without a handler zeroing the code the layer's own report reaches the error box, and
  // the connect command can be given again.
  client.OnError = nullptr;
  client.Open();
  ASSERT_TRUE(WaitUntil([&] { return !errorBoxes.empty(); }));
  EXPECT_EQ(errorBoxes.front(), "Socket error 10061: Connection refused");
  EXPECT_FALSE(client.Active());
  EXPECT_EQ(connects, 0);
  EXPECT_EQ(disconnects, 0);
}

TEST_F(SocketTest, SocketsRefuseBadPortsAndChangesWhileActive) {
  server.Open();
  TServerSocket second;
  second.SetPort(port);
  bool listened = false;
  second.OnListen = [&](TCustomWinSocket&) { listened = true; };
  EXPECT_EQ(Thrown([&] { second.Open(); }).ErrorCode(), WSAEADDRINUSE);
  EXPECT_FALSE(listened);
  EXPECT_FALSE(second.Active());
  second.SetPort(70000);
  EXPECT_EQ(Thrown([&] { second.Open(); }).ErrorCode(), WSAEINVAL);

  const std::string refused = "Can't change value while socket is active";
  EXPECT_EQ(Thrown([&] { server.SetPort(port + 1); }).what(), refused);
  server.SetPort(port);  // the same value is no change
  client.Open();
  EXPECT_EQ(Thrown([&] { client.SetAddress("127.0.0.2"); }).what(), refused);
  EXPECT_EQ(Thrown([&] { client.SetHost("localhost"); }).what(), refused);
  EXPECT_EQ(Thrown([&] { client.SetPort(port + 1); }).what(), refused);
  EXPECT_EQ(client.Address(), "127.0.0.1");
}

TEST_F(SocketTest, PeerThatStopsReadingIsCutOffWithoutSlowingOthers) {
  constexpr int64_t kLimit = 64 * 1024;
  server.SetSendQueueLimit(kLimit);
  std::vector<std::string> events;
  server.OnClientError = [&](TCustomWinSocket& s, int& code) {
    events.push_back("error " + std::to_string(code) + " " + std::to_string(s.RemotePort()));
    code = 0;
  };
  server.OnClientDisconnect = [&](TCustomWinSocket& s) {
    events.push_back("disconnect " + std::to_string(s.RemotePort()));
  };
  server.Open();
  TClientSocket& reader = AddClient();
  size_t received = 0;
  reader.OnRead = [&](TCustomWinSocket& s) {
    std::vector<uint8_t> bytes;
    Drain(s, bytes);
    received += bytes.size();
  };
  TStuckPeer stuck(port);
  ASSERT_TRUE(stuck.connected);
  ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 2; }));
  TCustomWinSocket* toStuck = server.Connections(1);
  TCustomWinSocket* toReader = server.Connections(0);
  ASSERT_EQ(toStuck->RemotePort(), stuck.localPort);
  ShrinkSendBuffer(*toStuck);

  const std::vector<uint8_t> frame = Pattern(8 * 1024);
  size_t sentToReader = 0;
  // The stuck connection is released once it closes: watch the events, not the object.
  for (int round = 0; round < 4000 && events.empty(); ++round) {
    toStuck->SendBuf(frame.data(), static_cast<int>(frame.size()));
    ASSERT_EQ(toReader->SendBuf(frame.data(), static_cast<int>(frame.size())),
              static_cast<int>(frame.size()));
    sentToReader += frame.size();
    RunEventsFor(0ms);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"error " + std::to_string(kSendQueueOverflowError) +
                                                  " " + std::to_string(stuck.localPort),
                                              "disconnect " + std::to_string(stuck.localPort)}));
  EXPECT_TRUE(toReader->Connected());
  ASSERT_TRUE(WaitUntil([&] { return received == sentToReader; }));
  EXPECT_TRUE(errorBoxes.empty());
}

// Handlers that close connections, their own included, while other handlers are still on the
// stack. Run under AddressSanitizer this also shows that nothing freed is touched.
TEST_F(SocketTest, ConnectionsClosedInsideNestedHandlersStayValidUntilTheyReturn) {
  server.SetSendQueueLimit(1024);
  std::vector<std::string> events;
  TCustomWinSocket* reading = nullptr;
  server.OnClientConnect = [](TCustomWinSocket& s) { s.Data = new std::string("decoder"); };
  server.OnClientDisconnect = [&](TCustomWinSocket& s) {
    events.push_back("disconnect " + std::to_string(s.RemotePort()));
    delete static_cast<std::string*>(std::exchange(s.Data, nullptr));
    // The connection whose read handler is running goes down with the failed one.
    if (reading && &s != reading) reading->Close();
  };
  server.OnClientError = [&](TCustomWinSocket& s, int& code) {
    events.push_back("error " + std::to_string(code) + " " + std::to_string(s.RemotePort()));
    code = 0;
  };
  server.Open();
  TClientSocket& talker = AddClient();
  TStuckPeer stuck(port);
  ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 2; }));
  TCustomWinSocket* toStuck = server.Connections(1);
  ShrinkSendBuffer(*toStuck);
  const int talkerPort = server.Connections(0)->RemotePort();

  bool handled = false;
  server.OnClientRead = [&](TCustomWinSocket& s) {
    reading = &s;
    const std::vector<uint8_t> block = Pattern(16 * 1024);
    // Relaying to the stuck peer fails at last, inside SendBuf.
    while (toStuck->SendBuf(block.data(), static_cast<int>(block.size())) >= 0) {
    }
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(s.ReceiveLength(), 0);
    EXPECT_EQ(s.SendBuf(block.data(), 1), -1);
    EXPECT_EQ(s.Data, nullptr);
    EXPECT_EQ(server.ActiveConnections(), 2);
    reading = nullptr;
    handled = true;
  };
  const char hello[] = "hello";
  talker.Socket().SendBuf(hello, sizeof hello);
  ASSERT_TRUE(WaitUntil([&] { return handled && server.ActiveConnections() == 0; }));
  EXPECT_EQ(events, (std::vector<std::string>{"error " + std::to_string(kSendQueueOverflowError) +
                                                  " " + std::to_string(stuck.localPort),
                                              "disconnect " + std::to_string(stuck.localPort),
                                              "disconnect " + std::to_string(talkerPort)}));

  // Stopping the server from inside a read handler releases its own connection too.
  TClientSocket& another = AddClient();
  server.OnClientRead = [&](TCustomWinSocket& s) {
    server.Close();
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(s.ReceiveLength(), 0);
    delete static_cast<std::string*>(std::exchange(s.Data, nullptr));
    handled = true;
  };
  handled = false;
  another.Socket().SendBuf(hello, sizeof hello);
  ASSERT_TRUE(WaitUntil([&] { return handled && server.ActiveConnections() == 0; }));
  EXPECT_TRUE(errorBoxes.empty());
}

TEST_F(SocketTest, PeerNameIsFixedForTheLifeOfAConnection) {
  std::string serverAtConnect, serverAtDisconnect, clientAtConnect, clientAtDisconnect;
  server.OnClientConnect = [&](TCustomWinSocket& s) { serverAtConnect = Describe(s); };
  server.OnClientDisconnect = [&](TCustomWinSocket& s) { serverAtDisconnect = Describe(s); };
  client.OnConnect = [&](TCustomWinSocket& s) { clientAtConnect = Describe(s); };
  client.OnDisconnect = [&](TCustomWinSocket& s) { clientAtDisconnect = Describe(s); };
  const auto connect = [&] {
    serverAtConnect = serverAtDisconnect = clientAtConnect = clientAtDisconnect = "";
    client.Open();
    return WaitUntil([&] { return !serverAtConnect.empty() && !clientAtConnect.empty(); });
  };
  // The descriptions stay as they were at connect time until the disconnect handlers.
  const auto expectUnchangedUntilDisconnect = [&] {
    EXPECT_EQ(Describe(*server.Connections(0)), serverAtConnect);
    EXPECT_EQ(Describe(client.Socket()), clientAtConnect);
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return !serverAtDisconnect.empty(); }));
    EXPECT_EQ(clientAtDisconnect, clientAtConnect);
    EXPECT_EQ(serverAtDisconnect, serverAtConnect);
  };
  server.Open();

  // The system resolver; any late answer has come in after 300 ms.
  ASSERT_TRUE(connect());
  RunEventsFor(300ms);
  expectUnchangedUntilDisconnect();

  // A resolver that has not answered when the grace time is over: the connection is
  // announced without a name and a late answer changes nothing.
  struct TRestoreLookup {
    ~TRestoreLookup() { SetHostNameLookup(nullptr); }
  } restoreLookup;
  std::vector<std::pair<QPointer<QObject>, TNameFound>> questions;
  SetHostNameLookup([&](const std::string& address, QObject& context, TNameFound found) {
    EXPECT_EQ(address, "127.0.0.1");
    questions.emplace_back(&context, std::move(found));
  });
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(connect());
  EXPECT_GE(clock.elapsed(), kDefaultHostLookupGrace.count() - 20);
  EXPECT_TRUE(serverAtConnect.starts_with(", 127.0.0.1 : "));
  EXPECT_EQ(clientAtConnect, ", 127.0.0.1 : " + std::to_string(port));
  ASSERT_EQ(questions.size(), 2u);
  for (auto& [context, found] : questions) {
    if (context) found("late.example");
  }
  expectUnchangedUntilDisconnect();

  // A resolver that answers at once names the peer.
  SetHostNameLookup([](const std::string&, QObject&, TNameFound found) { found("peer.example"); });
  ASSERT_TRUE(connect());
  EXPECT_TRUE(serverAtConnect.starts_with("peer.example, 127.0.0.1 : "));
  EXPECT_EQ(clientAtConnect, "peer.example, 127.0.0.1 : " + std::to_string(port));
  expectUnchangedUntilDisconnect();
}

TEST_F(SocketTest, ExceptionFromAHandlerReachesTheErrorBoxAndTheConnectionStays) {
  int reads = 0;
  server.OnClientRead = [&](TCustomWinSocket& s) {
    std::vector<uint8_t> bytes;
    Drain(s, bytes);
    if (++reads == 1) throw std::runtime_error("bad frame");
  };
  server.Open();
  client.Open();
  ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 1; }));
  client.Socket().SendBuf("a", 1);
  ASSERT_TRUE(WaitUntil([&] { return !errorBoxes.empty(); }));
  EXPECT_EQ(errorBoxes, std::vector<std::string>{"bad frame"});
  client.Socket().SendBuf("b", 1);
  ASSERT_TRUE(WaitUntil([&] { return reads == 2; }));
  EXPECT_TRUE(server.Connections(0)->Connected());
}

TEST_F(SocketTest, FailedAcceptIsReportedAndAcceptingResumes) {
  std::vector<int> codes;
  server.OnClientError = [&](TCustomWinSocket& s, int& code) {
    codes.push_back(code);
    EXPECT_FALSE(s.Connected());
    code = 0;
  };
  server.Open();
  TStuckPeer peer(port);
  ASSERT_TRUE(peer.connected);
  {
    // No descriptor is left for the accepted connection.
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &tight);
    const bool reported = WaitUntil([&] { return !codes.empty(); }, 5s);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(reported);
  }
  EXPECT_EQ(codes.front(), WSAEMFILE);
  EXPECT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 1; }));
}

TEST(SocketErrors, LastErrorIsTheWindowsSocketsNumberOfErrno) {
  const int value = 1;
  EXPECT_NE(::setsockopt(-1, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value), 0);
  EXPECT_EQ(WSAGetLastError(), WSAEBADF);
  const int notASocket = ::dup(0);
  EXPECT_NE(::setsockopt(notASocket, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value), 0);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  ::close(notASocket);
}

}  // namespace

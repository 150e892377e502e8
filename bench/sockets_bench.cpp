// Loopback figures for the socket layer: the round trip of one small frame, and one frame
// relayed by the server to eight clients, with Nagle's algorithm off as the link sets it.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QTcpServer>
#include <algorithm>
#include <memory>
#include <vector>

#include "platform/sockets.h"

namespace {

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "bench_sockets";
  static char* argv[] = {name, nullptr};
  static QCoreApplication application(argc, argv);
}

int FreePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::AnyIPv4, 0);
  return probe.serverPort();
}

void NoDelay(TCustomWinSocket& socket) {
  const int on = -1;
  setsockopt(socket.SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void RunEventsUntil(const std::function<bool()>& done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Drops everything pending and counts the events.
TSocketNotifyEvent CountReads(int& reads) {
  return [&reads](TCustomWinSocket& socket) {
    char block[4096];
    while (socket.ReceiveLength() > 0) socket.ReceiveBuf(block, sizeof block);
    ++reads;
  };
}

struct TStar {
  explicit TStar(int clientCount) {
    EnsureApplication();
    const int port = FreePort();
    server.SetPort(port);
    server.OnClientConnect = NoDelay;
    server.Open();
    for (int i = 0; i < clientCount; ++i) {
      auto& client = *clients.emplace_back(std::make_unique<TClientSocket>());
      client.SetAddress("127.0.0.1");
      client.SetPort(port);
      client.OnConnect = NoDelay;
      client.Open();
    }
    // Each side announces the connection on its own.
    RunEventsUntil([&] {
      return server.ActiveConnections() == clientCount &&
             std::all_of(clients.begin(), clients.end(),
                         [](const auto& client) { return client->Socket().Connected(); });
    });
  }

  TServerSocket server;
  std::vector<std::unique_ptr<TClientSocket>> clients;
};

void BM_RoundTrip(benchmark::State& state) {
  TStar star(1);
  star.server.OnClientRead = [](TCustomWinSocket& socket) {
    char block[64];
    socket.SendBuf(block, socket.ReceiveBuf(block, sizeof block));
  };
  int echoes = 0;
  star.clients[0]->OnRead = CountReads(echoes);
  const char frame[8] = {0x7E, 0x02, 0x00, 0x05, 0x03, '\x90', 0x3C, 0x7E};
  for (auto _ : state) {
    const int before = echoes;
    star.clients[0]->Socket().SendBuf(frame, sizeof frame);
    RunEventsUntil([&] { return echoes > before; });
  }
}
BENCHMARK(BM_RoundTrip)->UseRealTime();

void BM_RelayToEightClients(benchmark::State& state) {
  TStar star(8);
  int deliveries = 0;
  for (auto& client : star.clients) client->OnRead = CountReads(deliveries);
  const char frame[12] = {0x7E, 0x02, 0x00, 0x05, 0x03, '\x90', 0x3C, 0x40, 0, 0, 0, 0x7E};
  for (auto _ : state) {
    const int before = deliveries;
    for (int i = 0; i < star.server.ActiveConnections(); ++i) {
      star.server.Connections(i)->SendBuf(frame, sizeof frame);
    }
    RunEventsUntil([&] { return deliveries >= before + 8; });
  }
}
BENCHMARK(BM_RelayToEightClients)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

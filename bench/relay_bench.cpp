// Relay figures of a server window: latency from one client through the server to another,
// beside a minimal relay (read, write to all) as the limit; fan-out to 32 clients; and the
// rate a server with monitoring off relays to one client. The server runs on this process's
// main thread in its event loop; the clients are plain blocking sockets on a thread of their
// own, so they never wait on the server's loop.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/frmclientserver.h"
#include "midi/mmsystem.h"
#include "platform/inifile.h"
#include "protocol/data.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

int ListenOn(uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 64) != 0)
    throw std::runtime_error("cannot listen");
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

uint16_t FreePort() {
  uint16_t port = 0;
  ::close(ListenOn(port));
  return port;
}

void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int ConnectTo(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot connect");
  NoDelay(fd);
  return fd;
}

void WriteAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    done += static_cast<size_t>(n);
  }
}

// A Midi frame whose payload carries the sender and a sequence number.
Bytes MidiFrame(uint8_t sender, uint32_t sequence) {
  const Bytes payload = {0xF0,
                         sender,
                         uint8_t(sequence >> 14 & 0x7F),
                         uint8_t(sequence >> 7 & 0x7F),
                         uint8_t(sequence & 0x7F),
                         0xF7};
  TData packet(static_cast<uint16_t>(payload.size()), payload.data());
  packet.DataType = dtMidi;
  packet.Encode();
  return Bytes(packet.Bytes(), packet.Bytes() + packet.Count());
}

// One client: its socket and a decoder that counts the Midi packets reaching it.
struct TClient {
  explicit TClient(uint16_t port) : Fd(ConnectTo(port)) {
    Decoder.OnPacket = [this](TData& packet) {
      if (packet.DataType != dtMidi || packet.Count() != 6) return;
      const uint8_t* p = packet.Bytes();
      OnMidi(p[1], uint32_t(p[2]) << 14 | uint32_t(p[3]) << 7 | p[4]);
    };
  }
  ~TClient() { ::close(Fd); }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  // Reads what is pending; returns false when the connection ended.
  bool Drain() {
    uint8_t buffer[65536];
    const ssize_t n = ::recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n > 0) Decoder.AddData(static_cast<uint16_t>(n), buffer);
    return true;
  }

  int Fd;
  TDecoder Decoder{256};
  std::function<void(uint8_t sender, uint32_t sequence)> OnMidi = [](uint8_t, uint32_t) {};
};

// Waits for input on any client and drains each one that has some.
void PollAndDrain(std::vector<TClient*>& clients, int timeoutMs) {
  std::vector<pollfd> fds;
  for (TClient* c : clients) fds.push_back({c->Fd, POLLIN, 0});
  ::poll(fds.data(), fds.size(), timeoutMs);
  for (size_t i = 0; i < fds.size(); ++i)
    if (fds[i].revents & (POLLIN | POLLHUP))
      if (!clients[i]->Drain()) throw std::runtime_error("server closed a client");
}

struct TStats {
  double P50, P99, Max;
};

TStats Percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) { return samples[size_t(q * double(samples.size() - 1))]; };
  return {at(0.5), at(0.99), samples.back()};
}

// Latency of `frames` frames from one client through the relay at `port` to another.
std::vector<double> MeasureLatency(uint16_t port, int frames) {
  TClient sender(port), receiver(port);
  std::vector<TClient*> both = {&sender, &receiver};
  uint32_t arrived = UINT32_MAX;
  receiver.OnMidi = [&](uint8_t, uint32_t sequence) { arrived = sequence; };
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the server announce them
  std::vector<double> microseconds;
  for (int i = 0; i < frames; ++i) {
    const auto sent = Clock::now();
    WriteAll(sender.Fd, MidiFrame(1, uint32_t(i)));
    while (arrived != uint32_t(i)) PollAndDrain(both, 100);
    microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  return microseconds;
}

// The limit: a relay that only reads and writes to every connection.
class TMinimalRelay {
 public:
  TMinimalRelay() : listener_(ListenOn(Port)), thread_([this] { Run(); }) {}
  ~TMinimalRelay() {
    stop_ = true;
    thread_.join();
    for (int fd : clients_) ::close(fd);
    ::close(listener_);
  }
  uint16_t Port = 0;

 private:
  void Run() {
    while (!stop_) {
      std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
      for (int fd : clients_) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        NoDelay(fd);
        clients_.push_back(fd);
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        uint8_t buffer[65536];
        const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        for (int fd : clients_) ::send(fd, buffer, size_t(n), MSG_NOSIGNAL);
      }
    }
  }

  int listener_;
  std::atomic<bool> stop_{false};
  std::vector<int> clients_;  // relay thread only
  std::thread thread_;
};

// Sends `perClient` packets from each of `count` clients at `rate` per second each, and checks
// that every client receives every packet once and intact.
void FanOut(uint16_t port, int count, int rate, int perClient, std::vector<double>& latencies,
            bool& complete) {
  std::vector<std::unique_ptr<TClient>> clients;
  for (int i = 0; i < count; ++i) clients.push_back(std::make_unique<TClient>(port));
  std::vector<TClient*> all;
  for (auto& c : clients) all.push_back(c.get());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<std::vector<uint32_t>> next(size_t(count), std::vector<uint32_t>(size_t(count), 0));
  std::vector<Clock::time_point> sentAt(static_cast<size_t>(perClient));
  bool ordered = true;
  for (int r = 0; r < count; ++r)
    clients[size_t(r)]->OnMidi = [&, r](uint8_t sender, uint32_t sequence) {
      uint32_t& expected = next[size_t(r)][sender];
      ordered &= sequence == expected;
      expected = sequence + 1;
      if (sender == 0 && r == count - 1)
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - sentAt[sequence]).count());
    };
  const auto start = Clock::now();
  const auto interval = std::chrono::nanoseconds(1'000'000'000 / rate);
  for (int i = 0; i < perClient; ++i) {
    const auto due = start + i * interval;
    while (Clock::now() < due)
      PollAndDrain(
          all,
          int(std::max<int64_t>(
              0,
              std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count())));
    sentAt[size_t(i)] = Clock::now();
    for (int s = 0; s < count; ++s)
      WriteAll(clients[size_t(s)]->Fd, MidiFrame(uint8_t(s), uint32_t(i)));
  }
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  const auto done = [&] {
    for (auto& row : next)
      for (uint32_t n : row)
        if (n != uint32_t(perClient)) return false;
    return true;
  };
  while (!done() && Clock::now() < deadline) PollAndDrain(all, 50);
  complete = done() && ordered;
}

// Packets per second relayed to one client while another blasts them.
double Throughput(uint16_t port, int packets) {
  TClient sender(port), receiver(port);
  std::vector<TClient*> both = {&sender, &receiver};
  int received = 0;
  receiver.OnMidi = [&](uint8_t, uint32_t) { ++received; };
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Bytes burst;
  for (int i = 0; i < 64; ++i) {
    const Bytes frame = MidiFrame(1, uint32_t(i));
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  const auto start = Clock::now();
  for (int sent = 0; sent < packets; sent += 64) {
    WriteAll(sender.Fd, burst);
    // Keep the sender's own echo drained so the server never cuts it off.
    while (sent - received > 4096) PollAndDrain(both, 10);
    PollAndDrain(both, 0);
  }
  while (received < packets && Clock::now() - start < std::chrono::seconds(60))
    PollAndDrain(both, 10);
  return received / std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the thread behind `clock`, read from any thread.
double CpuSeconds(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void Print(const char* name, const TStats& s) {
  std::printf("%-34s p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", name, s.P50, s.P99, s.Max);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  mmsystem::UseLoopbackMidi(1);
  QTemporaryDir folder;
  const std::string settings = folder.filePath("tessel.INI").toStdString();
  const uint16_t port = FreePort();
  {
    TIniFile ini(settings);
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteBool("Settings", "IsSever", true);
    ini.WriteBool("Settings", "AutoStart", true);
    ini.WriteBool("Settings", "Monitoring", false);
    ini.UpdateFile();
  }
  TFormServerMain server(settings);
  server.show();

  // The server window lives on this thread; the clients' thread reads its CPU clock.
  clockid_t serverClock{};
  pthread_getcpuclockid(pthread_self(), &serverClock);
  std::atomic<bool> finished{false};
  std::thread clients([&] {
    while (!server.Active()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int frames = 10000;
    {
      TMinimalRelay relay;
      Print("minimal relay, 1 -> 1", Percentiles(MeasureLatency(relay.Port, frames)));
    }
    Print("server window, 1 -> 1", Percentiles(MeasureLatency(port, frames)));

    std::vector<double> fanLatency;
    bool complete = false;
    const double before = CpuSeconds(serverClock);
    FanOut(port, 32, 1000, 10000, fanLatency, complete);
    const double cpu = CpuSeconds(serverClock) - before;
    Print("server window, 32 clients fan-out", Percentiles(fanLatency));
    std::printf("fan-out: every packet to every client, in order: %s\n", complete ? "yes" : "NO");
    std::printf("server CPU: %.1f us per packet received (relayed to 32), %.2f us per delivery\n",
                cpu * 1e6 / (32.0 * 10000.0), cpu * 1e6 / (32.0 * 32.0 * 10000.0));
    std::printf("throughput to one client (monitoring off): %.0f packets/s\n",
                Throughput(port, 500000));
    finished = true;
  });
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (finished) app.quit();
  });
  watch.start(20);
  app.exec();
  clients.join();
  return 0;
}

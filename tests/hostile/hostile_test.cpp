// The built program as a server, attacked over raw sockets: garbage, odd and oversize frames,
// connection churn, many connections, a peer that trickles, a peer that never reads and chat
// full of escape sequences. Through every attack the server must stay up, keep relaying Midi
// between two well-behaved clients and keep its memory bounded.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/data.h"
#include "tests/process/tesselprocess.h"
#include "tests/support/escapetext.h"
#include "tests/support/rawframe.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed blocks in a quarantine of up to 256 MiB before reuse.
constexpr long kSanitizerSlackKiB = 256 * 1024;
#else
constexpr long kSanitizerSlackKiB = 0;
#endif
// Growth of the server's peak memory that any attack may cause, from its start.
constexpr long kMemoryCapKiB = 64 * 1024 + kSanitizerSlackKiB;
constexpr std::chrono::milliseconds kRelayTimeout = 30s;

Bytes RandomBytes(size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes bytes(count);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

// A blocking TCP connection to the server on 127.0.0.1.
class TPeer {
 public:
  explicit TPeer(uint16_t port, int receiveBuffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (fd_ < 0) throw std::runtime_error("no socket");
    // Set before connecting, so the window the server sees is small from the start.
    if (receiveBuffer > 0)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot connect");
    }
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~TPeer() { ::close(fd_); }
  TPeer(const TPeer&) = delete;
  TPeer& operator=(const TPeer&) = delete;

  int Fd() const { return fd_; }

  // Sends everything, reading and dropping what the server sends meanwhile, so the server
  // never has reason to cut this peer off. False when the connection broke.
  bool WriteAll(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      pollfd fd{fd_, POLLIN | POLLOUT, 0};
      if (::poll(&fd, 1, 1000) < 0) return false;
      if (fd.revents & POLLIN) Discard();
      if (!(fd.revents & POLLOUT)) continue;
      const ssize_t sent =
          ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN) return false;
      if (sent > 0) done += static_cast<size_t>(sent);
    }
    return true;
  }

  // One send call of the whole block, which blocks until the kernel took all of it.
  bool WriteOnce(const Bytes& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  void Discard() {
    uint8_t buffer[65536];
    while (::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
  }

 private:
  int fd_;
};

// Two well-behaved clients: the sender sends probes, numbered Midi frames with a stuffed byte
// in them, and the receiver must decode each one intact. Both are read on the reader thread
// all the time, so relayed floods never make the server cut them off; the test thread sends
// and waits for what the reader thread records.
class TRelayCheck {
 public:
  explicit TRelayCheck(uint16_t port) : sender_(port), receiver_(port) {
    senderDecoder_.OnPacket = [](TData&) {};
    receiverDecoder_.OnPacket = [this](TData& packet) { Record(packet); };
    reader_ = std::jthread([this](std::stop_token stop) { Read(stop); });
  }

  // A probe frame with the next number, and that number.
  std::pair<Bytes, uint32_t> NextProbe() {
    const uint32_t number = nextProbe_++;
    return {Frame(dtMidi, 0, ProbePayload(number)), number};
  }

  // True once probe `number` has reached the receiver intact.
  bool Arrived(uint32_t number, std::chrono::milliseconds timeout = kRelayTimeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return probes_.count(number) != 0; });
  }

  // A probe from the sender through the server to the receiver.
  bool Probe(std::chrono::milliseconds timeout = kRelayTimeout) {
    const auto [frame, number] = NextProbe();
    // The reader thread reads this socket; sending on it meanwhile is safe.
    if (::send(sender_.Fd(), frame.data(), frame.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(frame.size()))
      return false;
    return Arrived(number, timeout);
  }

  // The server relays only to connections it has announced, which takes it a moment after
  // they connect; probes are sent until one gets through.
  bool WaitUntilRelaying() {
    for (const auto deadline = Clock::now() + kRelayTimeout; Clock::now() < deadline;)
      if (Probe(200ms)) return true;
    return false;
  }

  // Packets of each type the receiver got, probes left out.
  std::array<size_t, 256> Counts() {
    std::lock_guard lock(mutex_);
    return counts_;
  }

  // Waits until the receiver has got `count` packets of `type` (probes left out).
  bool WaitForCount(uint8_t type, size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kRelayTimeout, [&] { return counts_[type] >= count; });
  }

 private:
  static Bytes ProbePayload(uint32_t number) {
    return {0xF0,
            0x7D,
            0x10,
            uint8_t(number >> 14 & 0x7F),
            uint8_t(number >> 7 & 0x7F),
            uint8_t(number & 0x7F),
            0xF7};
  }

  // Reader thread.
  void Record(const TData& packet) {
    const Bytes payload(packet.Bytes(), packet.Bytes() + packet.Count());
    const uint32_t number =
        payload.size() == 7 ? uint32_t(payload[3]) << 14 | uint32_t(payload[4]) << 7 | payload[5]
                            : 0;
    const bool probe = packet.DataType == dtMidi && payload == ProbePayload(number);
    std::lock_guard lock(mutex_);
    if (probe)
      probes_.insert(number);
    else
      ++counts_[static_cast<uint8_t>(packet.DataType)];
    changed_.notify_all();
  }

  // Reader thread: drains both clients until stopped.
  void Read(std::stop_token stop) {
    while (!stop.stop_requested()) {
      pollfd fds[] = {{sender_.Fd(), POLLIN, 0}, {receiver_.Fd(), POLLIN, 0}};
      if (::poll(fds, 2, 50) <= 0) continue;
      Drain(fds[0], sender_, senderDecoder_);
      Drain(fds[1], receiver_, receiverDecoder_);
    }
  }

  static void Drain(const pollfd& fd, TPeer& peer, TDecoder& decoder) {
    if (!(fd.revents & POLLIN)) return;
    uint8_t buffer[65535];
    const ssize_t n = ::recv(peer.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) decoder.AddData(static_cast<uint16_t>(n), buffer);
  }

  TPeer sender_;
  TPeer receiver_;
  TDecoder senderDecoder_{256};    // reader thread only
  TDecoder receiverDecoder_{256};  // reader thread only
  uint32_t nextProbe_ = 0;         // test thread only
  // Guards probes_ and counts_: written by the reader thread, read by the test thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<uint32_t> probes_;
  std::array<size_t, 256> counts_{};
  std::jthread reader_;  // last: stopped and joined before the rest goes
};

class HostileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Hundreds of connections at once, on both sides; the server inherits the limit.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    folder_ = std::filesystem::temp_directory_path() /
              ("tessel-hostile-" + std::to_string(::getpid()) + "-" + name);
    server_ = std::make_unique<TTesselProcess>(folder_);
    server_->WriteSettings({{"IsSever", "1"},
                            {"AutoStart", "1"},
                            {"Port", std::to_string(port_)},
                            {"ServerName", "127.0.0.1"},
                            {"YourName", "Host"},
                            {"Monitoring", "0"}});
    server_->Start();
    ASSERT_TRUE(WaitUntilListening(port_, 60s)) << server_->Log();
    relay_ = std::make_unique<TRelayCheck>(port_);
    ASSERT_TRUE(relay_->WaitUntilRelaying()) << "no relay before any attack";
    startPeakKiB_ = Memory("start");
  }

  void TearDown() override {
    relay_.reset();
    EXPECT_TRUE(server_->Running()) << "the server died\n" << server_->Log();
    // The exit status itself may be a sanitizer's verdict on the process's last moments.
    const std::optional<int> status = server_->Stop(30s);
    EXPECT_TRUE(status.has_value()) << "the server did not close\n" << server_->Log();
    EXPECT_LT(status.value_or(0), 128) << "the server ended by a signal\n" << server_->Log();
    server_.reset();
    std::filesystem::remove_all(folder_);
  }

  // Prints the server's resident and peak memory; returns the peak.
  long Memory(const char* when) const {
    const long rss = server_->MemoryKiB("VmRSS");
    const long peak = server_->MemoryKiB("VmHWM");
    std::printf("server memory %-34s VmRSS %7ld KiB   VmHWM %7ld KiB\n", when, rss, peak);
    return peak;
  }

  // The server is up, relays, and its peak memory stayed under the cap.
  void ExpectHealthy(const char* after) {
    EXPECT_TRUE(server_->Running()) << after << "\n" << server_->Log();
    EXPECT_TRUE(relay_->Probe()) << "no relay after " << after;
    EXPECT_LT(Memory(after) - startPeakKiB_, kMemoryCapKiB) << after;
  }

  // Connects `count` peers, a few at a time so the server's short listen queue never
  // overflows; each batch is done once the receiver got the welcome of every new peer.
  std::vector<std::unique_ptr<TPeer>> ConnectPeers(int count, bool keep) {
    constexpr int kBatch = 4;
    std::vector<std::unique_ptr<TPeer>> peers;
    size_t welcomes = relay_->Counts()[dtChat];
    for (int done = 0; done < count;) {
      const int batch = std::min(kBatch, count - done);
      for (int i = 0; i < batch; ++i) {
        auto peer = std::make_unique<TPeer>(port_);
        if (keep) peers.push_back(std::move(peer));
      }
      done += batch;
      welcomes += static_cast<size_t>(batch);
      if (!relay_->WaitForCount(dtChat, welcomes)) {
        ADD_FAILURE() << "no welcome for peer " << done;
        break;
      }
    }
    return peers;
  }

  // One peer, once the server has announced it with its welcome.
  std::unique_ptr<TPeer> Join() {
    auto peers = ConnectPeers(1, true);
    return peers.empty() ? nullptr : std::move(peers.front());
  }

  const uint16_t port_ = FreeLoopbackPort();
  std::filesystem::path folder_;
  std::unique_ptr<TTesselProcess> server_;
  std::unique_ptr<TRelayCheck> relay_;
  long startPeakKiB_ = 0;
};

TEST_F(HostileTest, GarbageOversizeAndEveryTypeOfFrame) {
  const auto joined = Join();
  ASSERT_TRUE(joined);
  TPeer& hostile = *joined;

  // 1 MB of random bytes, with probes between the pieces.
  const Bytes garbage = RandomBytes(1 << 20, 7);
  constexpr size_t kPiece = 64 * 1024;
  for (size_t at = 0; at < garbage.size(); at += kPiece) {
    ASSERT_TRUE(hostile.WriteAll(Bytes(garbage.begin() + at, garbage.begin() + at + kPiece)));
    if (at % (4 * kPiece) == 0) {
      EXPECT_TRUE(relay_->Probe()) << "during garbage at " << at;
    }
  }
  ExpectHealthy("after 1 MB of random bytes");

  // 256 KB in one write: a frame far beyond what a decoder holds, then a probe that must
  // still be found and relayed intact. Whatever frame the garbage left open runs into the
  // oversize one, and the decoder skips to that one's end.
  Bytes big = Frame(dtChat, 0, RandomBytes(256 * 1024, 8));
  const auto [probe, number] = relay_->NextProbe();
  big.insert(big.end(), probe.begin(), probe.end());
  ASSERT_TRUE(hostile.WriteOnce(big));
  EXPECT_TRUE(relay_->Arrived(number)) << "the frame after an oversize one was lost";
  ExpectHealthy("after a 256 KB write");

  // One frame of every type, then a probe: by the time the probe is through, whatever the
  // server relays of them is too. Only Midi and Chat come back, once each. The server's own
  // Time packets may come at any moment, so Time is not counted.
  const auto before = relay_->Counts();
  Bytes everyType;
  for (int type = 0; type < 256; ++type) {
    const Bytes frame = Frame(uint8_t(type), uint16_t(type * 257), {0x90, 0x3C, 0x40});
    everyType.insert(everyType.end(), frame.begin(), frame.end());
  }
  const auto [last, lastNumber] = relay_->NextProbe();
  everyType.insert(everyType.end(), last.begin(), last.end());
  ASSERT_TRUE(hostile.WriteAll(everyType));
  ASSERT_TRUE(relay_->Arrived(lastNumber));
  ExpectHealthy("after frames of every type");
  const auto after = relay_->Counts();
  for (int type = 0; type < 256; ++type) {
    if (type == dtTime) continue;
    const size_t relayed = type == dtMidi || type == dtChat ? 1 : 0;
    EXPECT_EQ(after[type] - before[type], relayed) << "type " << type;
  }
}

TEST_F(HostileTest, ConnectionChurnAndManyConnectionsAtOnce) {
  // 1,000 peers that connect and leave at once.
  ConnectPeers(1000, false);
  ExpectHealthy("after 1000 connect/disconnect cycles");

  // 200 peers held open together; every one of them is served.
  const int base = AcceptedConnections(port_);
  auto held = ConnectPeers(200, true);
  ASSERT_EQ(held.size(), 200u);
  EXPECT_EQ(AcceptedConnections(port_), base + 200);
  ExpectHealthy("with 200 connections held");
  held.clear();
  const auto deadline = Clock::now() + kRelayTimeout;
  while (AcceptedConnections(port_) != base && Clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(AcceptedConnections(port_), base) << "closed connections still held";
  ExpectHealthy("after the 200 connections closed");
}

TEST_F(HostileTest, TricklingAndNonReadingPeers) {
  {
    // A frame that never ends, one byte every 10 ms on a thread of its own, while the relay
    // is probed on this one.
    TPeer trickler(port_);
    ASSERT_TRUE(trickler.WriteAll({0x10, 0x02, dtChat, 0, 0}));
    std::jthread trickle([&trickler](std::stop_token stop) {
      while (!stop.stop_requested() && trickler.WriteAll({'x'})) std::this_thread::sleep_for(10ms);
    });
    int probes = 0;
    for (const auto end = Clock::now() + 2500ms; Clock::now() < end; ++probes)
      EXPECT_TRUE(relay_->Probe()) << "during the trickle, probe " << probes;
    trickle.request_stop();
  }
  ExpectHealthy("after a trickling peer");

  // A peer with a small window that never reads, while another sends chat as fast as it
  // can: the server must drop it rather than queue for it without end.
  const int base = AcceptedConnections(port_);
  TPeer deaf(port_, 4096);
  TPeer talker(port_);
  const int withDeaf = base + 2;
  const auto deadline = Clock::now() + 5 * kRelayTimeout;
  while (AcceptedConnections(port_) != withDeaf && Clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  ASSERT_EQ(AcceptedConnections(port_), withDeaf);
  const Bytes chat = Frame(dtChat, 0, Bytes(16 * 1024, 'z'));
  constexpr size_t kMostBytes = 64u << 20;
  size_t sent = 0;
  for (; sent < kMostBytes && AcceptedConnections(port_) == withDeaf; sent += chat.size()) {
    ASSERT_TRUE(talker.WriteAll(chat));
    if (sent % (1 << 20) < chat.size()) {
      EXPECT_TRUE(relay_->Probe()) << "with a deaf peer";
    }
  }
  std::printf("%zu KiB of chat sent while the deaf peer was connected\n", sent / 1024);
  EXPECT_EQ(AcceptedConnections(port_), base + 1) << "a peer that never reads is kept";
  ExpectHealthy("after a peer that never reads");
}

TEST_F(HostileTest, ChatFullOfEscapeSequences) {
  const auto joined = Join();
  ASSERT_TRUE(joined);
  TPeer& hostile = *joined;
  const size_t chats = relay_->Counts()[dtChat];
  // 1 MB in 128 Chat packets, each relayed to everybody and shown in the server's view.
  const std::string text = RandomEscapeText(1 << 20, 9);
  constexpr size_t kPacket = 8192;
  for (size_t at = 0; at < text.size(); at += kPacket) {
    const Bytes payload(text.begin() + at, text.begin() + at + kPacket);
    ASSERT_TRUE(hostile.WriteAll(Frame(dtChat, 0, payload)));
    if (at % (16 * kPacket) == 0) {
      EXPECT_TRUE(relay_->Probe()) << "during escape chat at " << at;
    }
  }
  EXPECT_TRUE(relay_->WaitForCount(dtChat, chats + text.size() / kPacket));
  ExpectHealthy("after 1 MB of escape sequences");
  EXPECT_EQ(relay_->Counts()[dtChat], chats + text.size() / kPacket) << "chat relayed twice";
}

}  // namespace

// Who may connect, measured against tessel-server as its own process with plain blocking
// sockets as peers: the time from connect to joined (the welcome arrives) without a password,
// with one the client derives from the password, and with one it kept from an earlier
// derivation; then a joined client's relay latency with no other connection and while 200
// connections that never answer the challenge wait.
//
//   bench_admission [runs]      (default 10)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "admission/password.h"
#include "protocol/data.h"
#include "tests/process/tesselprocess.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using TProgram = TTesselProcess::TProgram;

Bytes Frame(int8_t type, const Bytes& payload) {
  TData packet(static_cast<uint16_t>(payload.size()), payload.data());
  packet.DataType = type;
  packet.Encode();
  return {packet.Bytes(), packet.Bytes() + packet.Count()};
}

// One connection to the server, read frame by frame.
class TPeerSocket {
 public:
  explicit TPeerSocket(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect");
    decoder_.OnPacket = [this](TData& packet) { packets_.push_back(packet); };
  }
  ~TPeerSocket() { ::close(fd_); }
  TPeerSocket(const TPeerSocket&) = delete;
  TPeerSocket& operator=(const TPeerSocket&) = delete;

  void Write(const Bytes& bytes) const {
    if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("cannot send");
  }
  // The next packet of this type; the others are passed over.
  TData Next(int8_t type) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      const auto at = std::find_if(packets_.begin(), packets_.end(),
                                   [type](const TData& p) { return p.DataType == type; });
      if (at != packets_.end()) {
        TData packet = *at;
        packets_.erase(packets_.begin(), at + 1);
        return packet;
      }
      pollfd readable{fd_, POLLIN, 0};
      if (Clock::now() > deadline || ::poll(&readable, 1, 1000) < 0)
        throw std::runtime_error("nothing came");
      uint8_t block[4096];
      const ssize_t got = ::recv(fd_, block, sizeof block, MSG_DONTWAIT);
      if (got == 0) throw std::runtime_error("the server closed the connection");
      if (got > 0) decoder_.AddData(static_cast<uint16_t>(got), block);
    }
  }

 private:
  int fd_;
  TDecoder decoder_{256};
  std::vector<TData> packets_;
};

// What a client does with the challenge: derive the key (none kept), or use the kept one.
Bytes AnswerTo(const TData& challengePacket, const std::string& password,
               std::optional<TPasswordKey>& kept) {
  const auto challenge = DecodeChallenge({challengePacket.Bytes(), challengePacket.Count()});
  if (!challenge) throw std::runtime_error("bad challenge");
  if (!kept) kept = DeriveKey(password, challenge->Salt, challenge->OpsLimit, challenge->MemLimit);
  const TAnswer answer = Answer(kept->Key, challenge->Nonce);
  return Frame(dtAnswer, {answer.begin(), answer.end()});
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Print(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  const auto at = [&ms](double share) { return ms[static_cast<size_t>(share * (ms.size() - 1))]; };
  std::printf("%-60s p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms  (n=%zu)\n", what, at(0.5), at(0.99),
              ms.back(), ms.size());
}

struct TServer {
  TServer(const std::filesystem::path& folder, const std::string& passwordKey)
      : Process(folder, TProgram::Server), Port(FreeLoopbackPort()) {
    Process.WriteSettings({{"Port", std::to_string(Port)}, {"PasswordKey", passwordKey}});
    Process.Start();
    if (!WaitUntilListening(Port, std::chrono::seconds(10)))
      throw std::runtime_error("the server did not listen");
  }
  ~TServer() { Process.Stop(std::chrono::seconds(5)); }
  TTesselProcess Process;
  uint16_t Port;
};

// A client that joins: with a password, it answers the challenge first.
std::unique_ptr<TPeerSocket> Join(uint16_t port, const std::string& password,
                                  std::optional<TPasswordKey>& kept) {
  auto peer = std::make_unique<TPeerSocket>(port);
  if (!password.empty()) peer->Write(AnswerTo(peer->Next(dtChallenge), password, kept));
  peer->Next(dtChat);  // the welcome
  return peer;
}

std::vector<double> RelayLatency(uint16_t port, const std::string& password, int notes) {
  std::optional<TPasswordKey> kept;
  const auto listener = Join(port, password, kept);
  const auto player = Join(port, password, kept);
  listener->Next(dtChat);  // the player's welcome, which every joined peer gets
  std::vector<double> ms;
  for (int i = 0; i < notes; ++i) {
    const auto sent = Clock::now();
    player->Write(Frame(dtMidi, {0x90, static_cast<uint8_t>(i & 0x7F), 0x40}));
    listener->Next(dtMidi);
    ms.push_back(Ms(Clock::now() - sent));
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const auto root = std::filesystem::temp_directory_path() / ("bench_admission." + std::to_string(::getpid()));
  const std::string password = "stage door";
  const std::string key = KeySetting(DeriveKey(password, NewSalt()));
  try {
    {
      TServer open(root / "open", "");
      std::vector<double> ms;
      for (int i = 0; i < runs; ++i) {
        std::optional<TPasswordKey> none;
        const auto start = Clock::now();
        Join(open.Port, "", none);
        ms.push_back(Ms(Clock::now() - start));
      }
      Print("connect to joined, no password", ms);
      Print("relay latency, no password, nobody else", RelayLatency(open.Port, "", 200));
    }
    TServer guarded(root / "guarded", key);
    std::vector<double> derived, keptKey;
    std::optional<TPasswordKey> kept;
    for (int i = 0; i < runs; ++i) {
      std::optional<TPasswordKey> fresh;
      auto start = Clock::now();
      Join(guarded.Port, password, fresh);
      derived.push_back(Ms(Clock::now() - start));
      if (!kept) kept = fresh;
      start = Clock::now();
      Join(guarded.Port, password, kept);
      keptKey.push_back(Ms(Clock::now() - start));
    }
    Print("connect to joined, password derived by the client", derived);
    Print("connect to joined, password key kept by the client", keptKey);
    Print("relay latency, password, nobody else", RelayLatency(guarded.Port, password, 200));
    std::vector<std::unique_ptr<TPeerSocket>> waiting;
    for (int i = 0; i < 200; ++i) {
      waiting.push_back(std::make_unique<TPeerSocket>(guarded.Port));
      waiting.back()->Next(dtChallenge);
    }
    // They are refused 10 s after they came; 200 notes take well under that.
    Print("relay latency, password, 200 unanswered connections waiting",
          RelayLatency(guarded.Port, password, 200));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_admission: %s\n", error.what());
    std::filesystem::remove_all(root);
    return 1;
  }
  std::filesystem::remove_all(root);
  return 0;
}

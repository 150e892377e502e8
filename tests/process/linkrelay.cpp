#include "tests/process/linkrelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Passes what is waiting on `from` to `to`; false when `from` has ended.
bool Pass(int from, int to) {
  char bytes[4096];
  const ssize_t got = ::read(from, bytes, sizeof bytes);
  if (got <= 0) return false;
  for (ssize_t sent = 0; sent < got;) {
    const ssize_t wrote = ::write(to, bytes + sent, static_cast<size_t>(got - sent));
    if (wrote <= 0) return false;
    sent += wrote;
  }
  return true;
}

}  // namespace

TLinkRelay::TLinkRelay(uint16_t targetPort) : targetPort_(targetPort) {
  // Close-on-exec throughout: a copy started meanwhile must not hold a relayed connection
  // open after the relay cuts it.
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 8) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("the link relay cannot listen");
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TLinkRelay::~TLinkRelay() {
  stop_ = true;
  thread_.join();
  Cut();
  ::close(listener_);
}

void TLinkRelay::Cut() {
  std::lock_guard lock(lock_);
  for (TPair& pair : pairs_) ClosePair(pair);
  pairs_.clear();
}

void TLinkRelay::Freeze() {
  std::lock_guard lock(lock_);
  for (TPair& pair : pairs_) pair.Frozen = true;
}

void TLinkRelay::ClosePair(TPair& pair) {
  ::close(pair.Near);
  ::close(pair.Far);
}

void TLinkRelay::Accept() {
  const int near = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (near < 0) return;
  const int far = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in target = Loopback(targetPort_);
  if (far < 0 || ::connect(far, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    ::close(near);
    if (far >= 0) ::close(far);
    return;
  }
  std::lock_guard lock(lock_);
  pairs_.push_back({near, far});
}

// Polls under the lock with a short time-out, so Cut and Freeze wait at most that long.
void TLinkRelay::Run() {
  while (!stop_) {
    pollfd listening{listener_, POLLIN, 0};
    if (::poll(&listening, 1, 0) > 0) Accept();
    std::lock_guard lock(lock_);
    std::vector<pollfd> fds;
    for (const TPair& pair : pairs_) {
      const short wanted = pair.Frozen ? 0 : POLLIN;
      fds.push_back({pair.Near, wanted, 0});
      fds.push_back({pair.Far, wanted, 0});
    }
    if (::poll(fds.data(), fds.size(), 10) <= 0) continue;
    for (size_t i = 0; i < pairs_.size();) {
      TPair& pair = pairs_[i];
      const bool nearOk = !(fds[2 * i].revents & (POLLIN | POLLHUP)) || Pass(pair.Near, pair.Far);
      const bool farOk =
          !(fds[2 * i + 1].revents & (POLLIN | POLLHUP)) || Pass(pair.Far, pair.Near);
      if (nearOk && farOk) {
        ++i;
        continue;
      }
      // One end left: the other learns it as it would from a direct connection.
      ClosePair(pair);
      pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(i));
      fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(2 * i),
                fds.begin() + static_cast<std::ptrdiff_t>(2 * i + 2));
    }
  }
}

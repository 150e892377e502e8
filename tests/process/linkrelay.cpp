#include "tests/process/linkrelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

constexpr int kLongestPollMs = 10;

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

void TLinkRelay::SetDelay(TDelay delay, uint32_t seed) {
  std::lock_guard lock(lock_);
  delay_ = delay;
  random_.seed(seed);
}

void TLinkRelay::Receive(int from, TDirection& direction, Clock::time_point now) {
  std::vector<char> bytes(4096);
  const ssize_t got = ::read(from, bytes.data(), bytes.size());
  if (got <= 0) {
    direction.SourceEnded = true;
    return;
  }
  bytes.resize(static_cast<size_t>(got));
  std::uniform_int_distribution<std::chrono::milliseconds::rep> jitter(0, delay_.Jitter.count());
  Clock::time_point due = now + delay_.Base + std::chrono::milliseconds(jitter(random_));
  // TCP delivers in order: a chunk never overtakes the one before it.
  if (!direction.Waiting.empty()) due = std::max(due, direction.Waiting.back().Due);
  direction.Waiting.push_back({due, std::move(bytes)});
}

bool TLinkRelay::Deliver(TDirection& direction, int to, Clock::time_point now) {
  while (!direction.Waiting.empty() && direction.Waiting.front().Due <= now) {
    const std::vector<char>& bytes = direction.Waiting.front().Bytes;
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t wrote = ::write(to, bytes.data() + sent, bytes.size() - sent);
      if (wrote <= 0) return false;
      sent += static_cast<size_t>(wrote);
    }
    direction.Waiting.pop_front();
  }
  return true;
}

int TLinkRelay::PollTimeoutMs(Clock::time_point now) const {
  auto timeout = std::chrono::milliseconds(kLongestPollMs);
  for (const TPair& pair : pairs_)
    for (const TDirection* direction : {&pair.ToFar, &pair.ToNear})
      if (!pair.Frozen && !direction->Waiting.empty())
        timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(
                                        direction->Waiting.front().Due - now));
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0));
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
  TPair pair;
  pair.Near = near;
  pair.Far = far;
  std::lock_guard lock(lock_);
  pairs_.push_back(std::move(pair));
}

// Polls under the lock with a short time-out, so Cut and Freeze wait at most that long.
void TLinkRelay::Run() {
  while (!stop_) {
    pollfd listening{listener_, POLLIN, 0};
    if (::poll(&listening, 1, 0) > 0) Accept();
    std::lock_guard lock(lock_);
    std::vector<pollfd> fds;
    // A source that ended is left out (poll skips a negative descriptor).
    for (const TPair& pair : pairs_) {
      const short wanted = pair.Frozen ? 0 : POLLIN;
      fds.push_back({pair.ToFar.SourceEnded ? -1 : pair.Near, wanted, 0});
      fds.push_back({pair.ToNear.SourceEnded ? -1 : pair.Far, wanted, 0});
    }
    if (::poll(fds.data(), fds.size(), PollTimeoutMs(Clock::now())) < 0) continue;
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < pairs_.size();) {
      TPair& pair = pairs_[i];
      const auto readable = [&](size_t fd) { return fds[fd].revents & (POLLIN | POLLHUP); };
      if (readable(2 * i)) Receive(pair.Near, pair.ToFar, now);
      if (readable(2 * i + 1)) Receive(pair.Far, pair.ToNear, now);
      const bool delivered = pair.Frozen || (Deliver(pair.ToFar, pair.Far, now) &&
                                             Deliver(pair.ToNear, pair.Near, now));
      const auto ended = [](const TDirection& d) { return d.SourceEnded && d.Waiting.empty(); };
      if (delivered && !ended(pair.ToFar) && !ended(pair.ToNear)) {
        ++i;
        continue;
      }
      // One end left, and what it sent is through: the other learns it as it would from a
      // direct connection.
      ClosePair(pair);
      pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(i));
      fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(2 * i),
                fds.begin() + static_cast<std::ptrdiff_t>(2 * i + 2));
    }
  }
}

#pragma once

// A TCP relay on 127.0.0.1 between the copies of a session, so a test can break a link the
// way networks break: cut it, let it go silent with both ends still open, or delay it by a
// varying amount.
//
// Threads: one relay thread moves the bytes; the public members are safe from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

class TLinkRelay {
 public:
  using Clock = std::chrono::steady_clock;

  struct TDelay {
    std::chrono::milliseconds Base{0};
    std::chrono::milliseconds Jitter{0};  // the most added to Base, uniformly
  };

  // Listens on a free port and passes every connection made to it on to `targetPort`.
  explicit TLinkRelay(uint16_t targetPort);
  ~TLinkRelay();
  TLinkRelay(const TLinkRelay&) = delete;
  TLinkRelay& operator=(const TLinkRelay&) = delete;

  uint16_t Port() const { return port_; }
  // Closes both ends of every connection relayed so far; later ones are relayed again.
  void Cut();
  // Stops passing bytes on, in both directions, for the connections relayed so far, which
  // stay open: to both ends the other has gone silent.
  void Freeze();
  // From now on holds what arrives, in both directions, for Base plus a random share of
  // Jitter before passing it on, in order, as TCP over a busy network does. `seed` makes a
  // run repeatable.
  void SetDelay(TDelay delay, uint32_t seed);

 private:
  struct TChunk {
    Clock::time_point Due;
    std::vector<char> Bytes;
  };
  // One direction of a connection: what was read and waits for its time.
  struct TDirection {
    std::deque<TChunk> Waiting;
    bool SourceEnded = false;  // closed once what waits is delivered
  };
  struct TPair {
    int Near = -1;  // accepted from the copy that connected
    int Far = -1;   // to the target
    bool Frozen = false;
    TDirection ToFar;
    TDirection ToNear;
  };
  void Run();
  void Accept();
  void ClosePair(TPair& pair);
  // Reads what is waiting on `from` into `direction`, or learns that `from` has ended.
  void Receive(int from, TDirection& direction, Clock::time_point now);
  // Writes what is due to `to`; false when `to` has ended.
  static bool Deliver(TDirection& direction, int to, Clock::time_point now);
  // How long the relay thread may sleep before something falls due.
  int PollTimeoutMs(Clock::time_point now) const;

  int listener_ = -1;
  uint16_t port_ = 0;
  const uint16_t targetPort_;
  std::mutex lock_;  // guards pairs_, delay_ and random_
  std::vector<TPair> pairs_;
  TDelay delay_;
  std::mt19937 random_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // started last
};

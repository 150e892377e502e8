#pragma once

// A TCP relay on 127.0.0.1 between the copies of a session, so a test can break a link the
// way networks break: cut it, or let it go silent with both ends still open.
//
// Threads: one relay thread moves the bytes; the public members are safe from any thread.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class TLinkRelay {
 public:
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

 private:
  struct TPair {
    int Near;  // accepted from the copy that connected
    int Far;   // to the target
    bool Frozen = false;
  };
  void Run();
  void Accept();
  void ClosePair(TPair& pair);

  int listener_ = -1;
  uint16_t port_ = 0;
  const uint16_t targetPort_;
  std::mutex lock_;  // guards pairs_
  std::vector<TPair> pairs_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // started last
};

#pragma once

#include <cstdint>

// The one timeline a copy sends on. Each send is stamped with the time from the previous
// send's instant to its own: now for what the copy plays or says itself, the sender's instant
// (TSenderTimeline) for what it relays. Several senders thus merge on it in send order.
//
// Times are milliseconds on a clock that wraps at 2^32; no clock of its own, no thread.
class TRelayTimeline {
 public:
  static constexpr uint16_t MaxStamp = 65535;

  // `start`: the instant the timeline counts from, before the first send.
  explicit TRelayTimeline(uint32_t start) : FLastSend(start) {}

  // The stamp of a send at `instant`: never below 0, at most MaxStamp. An instant before
  // the previous send's goes out at the previous send's instant, so the timeline never
  // runs backwards.
  uint16_t Stamp(uint32_t instant);

 private:
  uint32_t FLastSend;
};

#pragma once

#include <cstdint>
#include <deque>

// One sender's timeline on the receiving clock, from the deltas it stamps on its packets.
//
// The running sum of the deltas is the sender's own clock; it is anchored so that the
// least-delayed packet of the last AnchorWindowMs sits at its arrival. Every packet then has
// the instant at which the sender played it, free of the delay that varied on the way. A
// minimum over a sliding window, not over all time, lets the anchor follow the two clocks'
// drift.
//
// Times are milliseconds on a clock that wraps at 2^32; no clock of its own, no thread.
class TSenderTimeline {
 public:
  static constexpr uint32_t AnchorWindowMs = 10000;
  // A delta this long follows the sender's silence: its idle Time packets carry about 5000.
  static constexpr uint16_t SilenceMs = 5000;

  // The instant at which the sender played the packet with `delta` that arrived at `arrival`.
  // The timeline starts over (the packet sits at its arrival) on the first packet, after a
  // silence, and when keeping the anchor would place the packet more than `maxLagMs` before
  // its arrival.
  uint32_t PlayedAt(uint16_t delta, uint32_t arrival, uint32_t maxLagMs);
  // The next packet starts the timeline over: a new connection.
  void Restart();

 private:
  struct TArrival {
    uint32_t At;
    uint32_t Offset;  // arrival less the sender's clock: its delay, up to a constant
  };
  void Add(uint32_t arrival);

  uint32_t FSenderClock = 0;  // the running sum of the deltas
  // Arrivals of the window whose offset no later arrival undercuts, oldest first; their
  // offsets rise from front to back, so the front holds the window's minimum.
  std::deque<TArrival> FLeastDelayed;
};

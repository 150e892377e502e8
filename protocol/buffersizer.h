#pragma once

#include <cstdint>
#include <deque>
#include <set>

#include "protocol/sendertimeline.h"

// The buffer time that sizes itself: the smallest that would have left at most one packet in
// LateLimitPerTenThousand late over the last WindowMs, with a margin.
//
// Each received packet that carries MIDI is observed with its lag: how long after the
// least-delayed packet's place on the sender's timeline it arrived (TSenderTimeline). A hold
// that starts on any packet plays a later one on time when the buffer time covers the later
// one's lag, so the buffer needs the lags' high quantile. It grows at once when a lag asks
// for more; it shrinks only at a rest, and by at most a quarter of the rest and
// MostShrinkAtRestMs, so the note after it moves by less than anyone hears and no phrase is
// cut. A packet that only carries time is no lag
// that anyone hears, but the gap before it is a rest all the same.
//
// Times are milliseconds on a clock that wraps at 2^32; no clock of its own, no thread.
class TBufferSizer {
 public:
  static constexpr uint32_t WindowMs = 15000;
  static constexpr uint32_t LateLimitPerTenThousand = 5;  // 0.05 %
  // Shrinking waits for this much history, so a few lucky packets do not empty the buffer.
  static constexpr uint32_t MinHistoryMs = 5000;
  static constexpr uint32_t MinBufferTimeMs = 5;
  // A gap before a packet that counts as a rest; a gap as long as a silence starts the
  // timeline over anyway, so the shrink is not limited there.
  static constexpr uint16_t RestMs = 250;
  static constexpr uint32_t MostShrinkAtRestMs = 8;

  explicit TBufferSizer(uint32_t startMs) : FBufferTime(startMs) {}

  // One received packet that carries MIDI, its lag, and whether it was late against the
  // buffer in force.
  void Observe(uint32_t now, uint32_t lagMs, bool late);
  // The timeline may start over after a gap of `gapMs` before the packet at `now`.
  void Rest(uint32_t now, uint16_t gapMs);
  // Forgets every packet observed: they came over a link that has ended. The buffer time
  // stays until the next link's own history lets it shrink.
  void ForgetLink();

  uint32_t BufferTime() const { return FBufferTime; }
  // Jumps to what the window measured so far asks for (the floor when nothing yet): the
  // start of sizing, which grows at once from there.
  void StartAtNeed() { FBufferTime = Needed(); }
  // The lags' quantile over the window: the jitter the buffer has to cover.
  uint32_t JitterMs() const;
  // Late packets over the window, as a share of 1.
  double LateShare() const;
  // The packets observed over the window, which the two figures above describe.
  uint32_t Measured() const { return static_cast<uint32_t>(FSamples.size()); }

 private:
  struct TSample {
    uint32_t At;
    uint32_t Lag;
    bool Late;
  };
  uint32_t Needed() const;
  void Forget(uint32_t now);

  uint32_t FBufferTime;
  std::deque<TSample> FSamples;   // the window's packets, oldest first
  std::multiset<uint32_t> FLags;  // the same lags, sorted
  uint32_t FLateCount = 0;
};

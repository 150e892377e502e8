#include "protocol/buffersizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace {

// Lags of 0 to 40 ms, one packet every `everyMs`, for `ms`; returns the clock after them.
uint32_t ObserveJitter(TBufferSizer& sizer, std::mt19937& random, uint32_t now, uint32_t ms,
                       uint32_t everyMs = 50) {
  std::uniform_int_distribution<uint32_t> lag(0, 40);
  for (const uint32_t end = now + ms; now != end; now += everyMs)
    sizer.Observe(now, lag(random), false);
  return now;
}

TEST(BufferSizer, SettlesOnTheJitterShrinkingOnlyAtRests) {
  std::mt19937 random(3);
  TBufferSizer sizer(1000);
  // Close below the wrap of the 32-bit clock, so the run crosses it.
  uint32_t now = ObserveJitter(sizer, random, 0xFFFFFFFFu - 3000, 4000);
  sizer.Rest(now, 2000);
  EXPECT_EQ(sizer.BufferTime(), 1000u) << "too little history to shrink on";

  now = ObserveJitter(sizer, random, now, 6000);
  EXPECT_EQ(sizer.JitterMs(), 40u);
  EXPECT_EQ(sizer.BufferTime(), 1000u) << "no shrink inside a phrase";
  sizer.Rest(now, 100);
  EXPECT_EQ(sizer.BufferTime(), 1000u) << "a gap between notes is no rest";
  sizer.Rest(now, 400);
  EXPECT_EQ(sizer.BufferTime(), 992u) << "a rest shrinks it by less than anyone hears";
  // After a silence the timeline starts over anyway: straight to the jitter and a margin.
  sizer.Rest(now, 5000);
  EXPECT_EQ(sizer.BufferTime(), 48u);
  EXPECT_EQ(sizer.LateShare(), 0.0);

  // A burst of late packets: it grows at once, and stays until the burst has left the window
  // and a rest comes.
  for (int i = 0; i < 10; ++i, now += 10) sizer.Observe(now, 200, true);
  EXPECT_EQ(sizer.BufferTime(), 228u);
  EXPECT_GT(sizer.LateShare(), 0.02);
  now = ObserveJitter(sizer, random, now, 14000);
  sizer.Rest(now, 5000);
  EXPECT_EQ(sizer.BufferTime(), 228u) << "the burst is still in the window";
  now = ObserveJitter(sizer, random, now, 2000);
  EXPECT_EQ(sizer.LateShare(), 0.0);
  sizer.Rest(now, 5000);
  EXPECT_EQ(sizer.BufferTime(), 48u);
}

TEST(BufferSizer, LeavesOneLatePacketInTwoThousandAndKeepsAFloor) {
  std::mt19937 random(4);
  TBufferSizer sizer(1000);
  // 3000 packets in the window: one of them may be late.
  uint32_t now = ObserveJitter(sizer, random, 0, 15000, 5);
  sizer.Observe(now, 500, false);
  EXPECT_EQ(sizer.JitterMs(), 40u);
  sizer.Observe(now, 500, false);
  EXPECT_EQ(sizer.JitterMs(), 500u);

  TBufferSizer clean(100);
  for (now = 0; now < 6000; now += 20) clean.Observe(now, 0, false);
  clean.Rest(now, 5000);
  EXPECT_EQ(clean.BufferTime(), TBufferSizer::MinBufferTimeMs);
}

}  // namespace

#include "midi/circbuf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>

#include "platform/errors.h"

namespace {

struct RingDeleter {
  void operator()(TEventRing* ring) const { RingDestroy(ring); }
};
using RingPtr = std::unique_ptr<TEventRing, RingDeleter>;

TRingItem Item(uint32_t n) { return {n, ~n, {}, 0, nullptr}; }

uint32_t PeekStamp(TEventRing* ring) {
  TRingItem item{};
  EXPECT_TRUE(RingPeek(ring, item));
  return item.TimeStamp;
}

TEST(EventRing, RefusesWhenFullAndWrapsIntoTheFirstFreedSlot) {
  RingPtr ring(RingCreate(3));
  ASSERT_NE(ring, nullptr);
  for (uint32_t n = 1; n <= 3; ++n) EXPECT_TRUE(RingPut(ring.get(), Item(n)));
  EXPECT_FALSE(RingPut(ring.get(), Item(4)));
  EXPECT_EQ(ring->EventCount.load(), 3);

  EXPECT_EQ(PeekStamp(ring.get()), 1u);
  EXPECT_EQ(PeekStamp(ring.get()), 1u) << "peek must leave the item in the ring";
  EXPECT_TRUE(RingDrop(ring.get()));
  EXPECT_TRUE(RingPut(ring.get(), Item(4)));
  EXPECT_EQ(ring->Start[0].TimeStamp, 4u);

  for (uint32_t n = 2; n <= 4; ++n) {
    EXPECT_EQ(PeekStamp(ring.get()), n);
    EXPECT_TRUE(RingDrop(ring.get()));
  }
  TRingItem untouched{7, 8, {}, 0, nullptr};
  EXPECT_FALSE(RingPeek(ring.get(), untouched));
  EXPECT_EQ(untouched.TimeStamp, 7u);
  EXPECT_EQ(untouched.Instant, 8u);
  EXPECT_FALSE(RingDrop(ring.get()));
}

TEST(EventRing, CapacityLimits) {
  RingPtr largest(RingCreate(kMaxRingCapacity));
  ASSERT_NE(largest, nullptr);
  EXPECT_EQ(largest->Capacity, 5461);
  EXPECT_EQ(largest->End - largest->Start, 5461);
  EXPECT_EQ(largest->EventCount.load(), 0);
  EXPECT_THROW(RingCreate(5462), ERangeError);
  EXPECT_EQ(RingCreate(0), nullptr) << "a ring that can hold nothing is not made";
  RingDestroy(nullptr);
}

// One producer and one consumer, as the driver thread and the window thread use it: every
// item arrives once, whole and in order, across many wrap-arounds.
TEST(EventRing, ProducerAndConsumerThreadsLoseNothing) {
  constexpr uint32_t kItems = 200000;
  RingPtr ring(RingCreate(16));
  ASSERT_NE(ring, nullptr);
  std::thread producer([&ring] {
    for (uint32_t n = 0; n < kItems; ++n) {
      while (!RingPut(ring.get(), Item(n))) std::this_thread::yield();
    }
  });
  uint32_t expected = 0;
  uint32_t torn = 0;
  uint32_t outOfOrder = 0;
  while (expected < kItems) {
    TRingItem item{};
    if (!RingPeek(ring.get(), item)) {
      std::this_thread::yield();
      continue;
    }
    torn += item.Instant != ~item.TimeStamp;
    outOfOrder += item.TimeStamp != expected;
    ASSERT_TRUE(RingDrop(ring.get()));
    ++expected;
  }
  producer.join();
  EXPECT_EQ(torn, 0u);
  EXPECT_EQ(outOfOrder, 0u);
  EXPECT_EQ(ring->EventCount.load(), 0);
}

}  // namespace

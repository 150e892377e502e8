#include "midi/cycleplacement.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using mmsystem::CycleSpan;
using mmsystem::FrameOffset;

// A 1024-frame cycle at 48 kHz spanning 21333 µs, placed the way the process thread places a
// queue: each message no earlier than the one before it, stopping at the first that belongs
// to a later cycle.
std::vector<uint32_t> PlaceQueue(const CycleSpan& cycle, const std::vector<int64_t>& instants,
                                 size_t& left) {
  std::vector<uint32_t> offsets;
  uint32_t earliest = 0;
  left = instants.size();
  for (const int64_t at : instants) {
    const std::optional<uint32_t> offset = FrameOffset(cycle, at, earliest);
    if (!offset) break;
    offsets.push_back(earliest = *offset);
    --left;
  }
  return offsets;
}

TEST(CyclePlacement, InstantsBecomeFramesInOrderAndTheLateGoFirst) {
  const CycleSpan cycle{1'000'000, 1'021'333, 1024};
  size_t left = 0;
  // Late (before the cycle), at its start, 5300 and 11100 frames' worth of µs in, then one
  // out of order, then the next cycle's.
  const std::vector<uint32_t> offsets = PlaceQueue(
      cycle, {990'000, 1'000'000, 1'002'500, 1'010'000, 1'009'000, 1'021'333, 1'015'000}, left);
  EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 0, 120, 480, 480}));
  EXPECT_EQ(left, 2u) << "the next cycle's instant holds back the one behind it";

  // The last frame is the latest; a message after a late one keeps its own place.
  EXPECT_EQ(FrameOffset(cycle, 1'021'332, 0), 1023u);
  EXPECT_EQ(FrameOffset(cycle, 900'000, 700), 700u);

  // Without measured times the cycle has no length: what is due goes first, nothing else.
  const CycleSpan unmeasured{5'000, 5'000, 128};
  EXPECT_EQ(FrameOffset(unmeasured, 4'000, 3), 3u);
  EXPECT_EQ(FrameOffset(unmeasured, 6'000, 0), std::nullopt);
}

}  // namespace

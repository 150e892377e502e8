#include "protocol/sendertimeline.h"

namespace {

// a - b on the wrapping clock, for values less than 2^31 apart.
int32_t Difference(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

}  // namespace

void TSenderTimeline::Restart() { FLeastDelayed.clear(); }

void TSenderTimeline::Add(uint32_t arrival) {
  const uint32_t offset = arrival - FSenderClock;
  while (!FLeastDelayed.empty() && Difference(FLeastDelayed.back().Offset, offset) >= 0)
    FLeastDelayed.pop_back();
  FLeastDelayed.push_back({arrival, offset});
  while (Difference(arrival, FLeastDelayed.front().At) > static_cast<int32_t>(AnchorWindowMs))
    FLeastDelayed.pop_front();
}

uint32_t TSenderTimeline::PlayedAt(uint16_t delta, uint32_t arrival, uint32_t maxLagMs) {
  if (delta >= SilenceMs) Restart();
  FSenderClock += delta;
  Add(arrival);
  uint32_t playedAt = FSenderClock + FLeastDelayed.front().Offset;
  if (arrival - playedAt > maxLagMs) {
    Restart();
    Add(arrival);
    playedAt = arrival;
  }
  return playedAt;
}

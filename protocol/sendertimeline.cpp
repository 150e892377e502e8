#include "protocol/sendertimeline.h"

#include "platform/wrappingclock.h"

void TSenderTimeline::Restart() { FLeastDelayed.clear(); }

void TSenderTimeline::Add(uint32_t arrival) {
  const uint32_t offset = arrival - FSenderClock;
  while (!FLeastDelayed.empty() && Span(offset, FLeastDelayed.back().Offset) >= 0)
    FLeastDelayed.pop_back();
  FLeastDelayed.push_back({arrival, offset});
  while (Span(FLeastDelayed.front().At, arrival) > static_cast<int32_t>(AnchorWindowMs))
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

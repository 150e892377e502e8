#include "protocol/sendertimeline.h"

#include <algorithm>
#include <cstdlib>

#include "platform/wrappingclock.h"

namespace {

// A long rest lets the anchor move no further at once than a few notes' worth would.
constexpr uint32_t kMostSlewBudgetUs = 2000;

}  // namespace

void TSenderTimeline::Restart() {
  FLeastDelayed.clear();
  FAnchored = false;
}

void TSenderTimeline::Add(uint32_t arrival) {
  const uint32_t offset = arrival - FSenderClock;
  while (!FLeastDelayed.empty() && Span(offset, FLeastDelayed.back().Offset) >= 0)
    FLeastDelayed.pop_back();
  FLeastDelayed.push_back({arrival, offset});
  while (Span(FLeastDelayed.front().At, arrival) > static_cast<int32_t>(AnchorWindowMs))
    FLeastDelayed.pop_front();
}

void TSenderTimeline::Slew(uint16_t delta) {
  const uint32_t least = FLeastDelayed.front().Offset;
  if (!FAnchored) {
    FAnchor = least;
    FAnchored = true;
    FSlewBudgetUs = 0;
    return;
  }
  FSlewBudgetUs = std::min(FSlewBudgetUs + uint32_t{delta} * SlewPerMille, kMostSlewBudgetUs);
  const int32_t toward = Span(FAnchor, least);
  const auto most = static_cast<int32_t>(FSlewBudgetUs / 1000);
  const int32_t step = std::clamp(toward, -most, most);
  FAnchor += static_cast<uint32_t>(step);
  FSlewBudgetUs -= static_cast<uint32_t>(std::abs(step)) * 1000;
}

uint32_t TSenderTimeline::PlayedAt(uint16_t delta, uint32_t arrival, uint32_t maxLagMs) {
  if (delta >= SilenceMs) Restart();
  FSenderClock += delta;
  Add(arrival);
  Slew(delta);
  uint32_t playedAt = FSenderClock + FAnchor;
  if (Span(playedAt, arrival) > static_cast<int32_t>(maxLagMs)) {
    Restart();
    Add(arrival);
    Slew(0);
    playedAt = arrival;
  }
  return playedAt;
}

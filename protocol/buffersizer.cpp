#include "protocol/buffersizer.h"

#include <algorithm>
#include <iterator>

void TBufferSizer::Forget(uint32_t now) {
  while (!FSamples.empty() && now - FSamples.front().At > WindowMs) {
    const TSample& oldest = FSamples.front();
    FLags.erase(FLags.find(oldest.Lag));
    FLateCount -= oldest.Late ? 1 : 0;
    FSamples.pop_front();
  }
}

void TBufferSizer::Observe(uint32_t now, uint32_t lagMs, bool late) {
  Forget(now);
  FSamples.push_back({now, lagMs, late});
  FLags.insert(lagMs);
  FLateCount += late ? 1 : 0;
  FBufferTime = std::max(FBufferTime, Needed());
}

void TBufferSizer::Rest(uint32_t now, uint16_t gapMs) {
  Forget(now);
  if (gapMs < RestMs || FSamples.empty() || now - FSamples.front().At < MinHistoryMs) return;
  const uint32_t needed = Needed();
  if (needed >= FBufferTime) return;
  const uint32_t step = gapMs >= TSenderTimeline::SilenceMs
                            ? FBufferTime
                            : std::min<uint32_t>(gapMs / 4u, MostShrinkAtRestMs);
  FBufferTime = std::max(needed, FBufferTime - std::min(step, FBufferTime));
}

void TBufferSizer::ForgetLink() {
  FSamples.clear();
  FLags.clear();
  FLateCount = 0;
}

uint32_t TBufferSizer::JitterMs() const {
  if (FLags.empty()) return 0;
  const size_t allowedLate = FLags.size() * LateLimitPerTenThousand / 10000;
  return *std::next(FLags.rbegin(), static_cast<std::ptrdiff_t>(allowedLate));
}

// The quantile and an eighth of it more, plus 3 ms for the wake-up and the clocks' steps.
uint32_t TBufferSizer::Needed() const {
  const uint32_t jitter = JitterMs();
  return std::max(MinBufferTimeMs, jitter + jitter / 8 + 3);
}

double TBufferSizer::LateShare() const {
  return FSamples.empty() ? 0.0 : static_cast<double>(FLateCount) / FSamples.size();
}

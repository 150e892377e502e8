#include "midi/cycleplacement.h"

#include <algorithm>

namespace mmsystem {

std::optional<uint32_t> FrameOffset(const CycleSpan& cycle, int64_t atUs, uint32_t earliest) {
  if (cycle.Frames == 0) return std::nullopt;
  const uint32_t last = cycle.Frames - 1;
  if (atUs >= cycle.NextUs) return std::nullopt;
  if (atUs <= cycle.StartUs || cycle.NextUs <= cycle.StartUs) return std::min(earliest, last);
  const auto frame =
      static_cast<uint32_t>((atUs - cycle.StartUs) * cycle.Frames / (cycle.NextUs - cycle.StartUs));
  return std::min(std::max(frame, earliest), last);
}

}  // namespace mmsystem

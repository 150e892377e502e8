#pragma once

// Where in a MIDI system's processing cycle a message meant for an instant goes: no thread,
// no clock, so the process thread can call it and tests can drive it.

#include <cstdint>
#include <optional>

namespace mmsystem {

// One cycle: `frames` frames spanning [StartUs, NextUs) on the MIDI system's clock, as the
// system measured them.
struct CycleSpan {
  int64_t StartUs;
  int64_t NextUs;
  uint32_t Frames;
};

// The frame offset for a message meant for `atUs`, no earlier than `earliest` (where the
// message before it went), so order is kept. An instant already past goes as early as order
// allows; one at or after NextUs belongs to a later cycle, and gets nothing.
std::optional<uint32_t> FrameOffset(const CycleSpan& cycle, int64_t atUs, uint32_t earliest);

}  // namespace mmsystem

#pragma once

#include <cstdint>
#include <limits>

// Times on the session's millisecond clock, which wraps at 2^32: differences are taken
// modulo 2^32, so they stay right across the wrap for spans under 24 days.

// Whether `now` has reached `due`.
inline bool Reached(uint32_t now, uint32_t due) { return static_cast<int32_t>(now - due) >= 0; }

// Milliseconds from `from` to `to`, negative when `to` lies before `from`.
inline int32_t Span(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

// A packet's time stamp: milliseconds from `last` to `now`, at most 65535.
inline uint16_t StampDelta(uint32_t last, uint32_t now) {
  const uint32_t delta = now - last;
  return delta > std::numeric_limits<uint16_t>::max() ? std::numeric_limits<uint16_t>::max()
                                                      : static_cast<uint16_t>(delta);
}

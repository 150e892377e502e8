#pragma once

#include <cstdint>

// Times on the millisecond clock, which wraps at 2^32: differences are taken
// modulo 2^32, so they stay right across the wrap for spans under 24 days.

// Whether `now` has reached `due`.
inline bool Reached(uint32_t now, uint32_t due) { return static_cast<int32_t>(now - due) >= 0; }

// Milliseconds from `from` to `to`, negative when `to` lies before `from`.
inline int32_t Span(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

// Milliseconds from `now` until `due`; 0 once it is reached.
inline uint32_t Until(uint32_t now, uint32_t due) { return Reached(now, due) ? 0 : due - now; }

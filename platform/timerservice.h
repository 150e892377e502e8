#pragma once

// One-shot timers and the millisecond clock, under the classic multimedia names that the
// timed buffer and the MIDI ports are written against. The MIDI operations of the same
// service build on these types (midi/mmsystem.h).

#include <cstdint>

using MMRESULT = uint32_t;
using UINT = uint32_t;
using DWORD = uint32_t;
using DWORD_PTR = uintptr_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;

// (timer id, message, user value, reserved, reserved); runs on the service's own thread.
using TIMECALLBACK = void (*)(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR reserved1,
                              DWORD_PTR reserved2);
constexpr UINT TIME_ONESHOT = 0;
constexpr UINT TIME_CALLBACK_FUNCTION = 0;

// Returns a non-zero id, or 0 when the timer is refused.
UINT timeSetEvent(UINT delayMs, UINT resolutionMs, TIMECALLBACK callback, DWORD_PTR user,
                  UINT eventKind);
// Cancels a pending timer. When its callback is running on another thread, waits until it
// has returned, so the callback's user value may be freed afterwards.
MMRESULT timeKillEvent(UINT timerId);
// Milliseconds since an arbitrary origin; wraps at 2^32.
DWORD timeGetTime();

namespace mmsystem {

// Tests only: the next `count` timeSetEvent calls are refused (return 0).
void RefuseTimersForTesting(unsigned count);

}  // namespace mmsystem

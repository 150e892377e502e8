#pragma once

#include <atomic>
#include <cstdint>

#include "midi/circbuf.h"
#include "midi/mmsystem.h"
#include "platform/messagewindow.h"

// Posted to a port's window when an input event was lost because the ring was full. LParam
// names the dropped long buffer (0 for a short message) so the port can hand it back.
constexpr UINT WM_USER = 0x400;

// The driver callback's instance value: where a port wants its events.
// Ring and Window are set on the window thread before the device is opened and stay fixed
// while it is open; SysexOnly may change at any time, so the driver thread reads it atomically.
struct TMidiCallbackInfo {
  TEventRing* Ring = nullptr;  // null for an output port
  TMessageWindow* Window = nullptr;
  std::atomic<bool> SysexOnly{false};  // drop short messages
  // Counts the events that found the ring full; the port's own counter, or null.
  std::atomic<uint64_t>* Lost = nullptr;
};

// The callback given to midiInOpen and midiOutOpen. Runs on a driver thread: never blocks,
// copies one ring item and posts one message to the port's window. Input events come with
// their MIDIINEVENT as parameter 2.
void MidiCallback(void* device, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

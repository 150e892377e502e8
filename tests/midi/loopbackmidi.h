#pragma once

#include "midi/mmsystem.h"

// Switches to the in-process loopback MIDI system. Declared as a fixture's first member, it
// is in place before any port of the fixture looks up a device.
struct TLoopbackMidi {
  explicit TLoopbackMidi(unsigned deviceCount) { mmsystem::UseLoopbackMidi(deviceCount); }
};

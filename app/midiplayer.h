#pragma once

#include "midi/midiout.h"

class TData;

// The output side of the routing: owns the MIDI output port and plays on it what the timed
// buffer releases.
//
// Threads: the window's thread selects, opens and closes the port through Port(); the timed
// buffer's worker calls PlayMidiPacket. The port's own lock keeps a send apart from a close,
// so nothing else is locked here, and nothing here reaches the window.
class TMidiPlayer {
 public:
  TMidiOutput& Port() { return FPort; }
  bool IsOpen() const { return FPort.State() == TMidiOutput::TState::Open; }

  // Worker thread. Empty entries only carry time. A packet the port cannot take (closed, or
  // refused by the device) is dropped, so the worker goes on releasing.
  void PlayMidiPacket(TData& packet);

 private:
  TMidiOutput FPort;
};

#pragma once

#include <memory>

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

  // Worker thread. Empty entries only carry time; an end-of-link entry ends every note still
  // sounding on the port. A packet the port cannot take (closed, or refused by the device)
  // is dropped, so the worker goes on releasing.
  void PlayMidiPacket(TData& packet);

  // An entry for the timed buffer that marks the end of the link: once the buffer has
  // released what it held before it, no note the link started is left sounding.
  static std::unique_ptr<TData> EndOfLinkEntry();

 private:
  TMidiOutput FPort;
};

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "midi/midiout.h"

class TData;

// The output side of the routing: owns the MIDI output port and plays on it what the timed
// buffer releases.
//
// Threads: the engine's thread selects, opens and closes the port through Port(); the timed
// buffer's worker calls PlayMidiPacket. The port keeps a send apart from a close, and a close
// interrupts a send that waits for room, so nothing else is locked here, and nothing here
// reaches the engine.
class TMidiPlayer {
 public:
  // The type of the entry that ends a link. Negative, so the entry can never be encoded and
  // go on the wire.
  static constexpr int8_t dtEndOfLink = -1;

  TMidiOutput& Port() { return FPort; }
  bool IsOpen() const { return FPort.State() == TMidiOutput::TState::Open; }

  // Worker thread. The packet's MIDI plays at `playAtUs` (microseconds on timeGetTime's
  // clock). Empty entries only carry time; an end-of-link entry ends every note still
  // sounding on the port, at once. A packet the open port cannot take is dropped and counted,
  // so the worker goes on releasing; a closed port plays nothing.
  void PlayMidiPacket(TData& packet, int64_t playAtUs);

  // An entry for the timed buffer that marks the end of the link: once the buffer has
  // released what it held before it, no note the link started is left sounding.
  static std::unique_ptr<TData> EndOfLinkEntry();

  // Packets the open port refused or failed on, since the player was made. Any thread.
  uint64_t FailedPackets() const { return FFailedPackets.load(std::memory_order_relaxed); }

 private:
  TMidiOutput FPort;
  std::atomic<uint64_t> FFailedPackets = 0;  // counted on the worker
};

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtpmidi/journal.h"

// What one sender's stream has sounded at this receiver, and the MIDI that brings it back to
// what the sender's recovery journal says after a loss (RFC 6295, appendix A: chapters N, C, P
// and W). A receiver keeps one per participant.
class TStreamRepair {
 public:
  using TMessages = std::vector<std::vector<uint8_t>>;

  // `message`, one whole MIDI message passed on to the output, changes what sounds: notes,
  // controller values, the program and the pitch wheel. Other messages change nothing.
  void Heard(const uint8_t* message, size_t length);
  // After a loss: appends what differs from `journal` (program, controllers, pitch wheel, then
  // notes, so new notes start with their program and pedal) and counts it as heard.
  void Repair(const TJournalContents& journal, TMessages& out);
  // Appends a note-off for every note still sounding, which leaves none.
  void EndAll(TMessages& out);

 private:
  static constexpr int16_t Unknown = TChannelState::Unknown;

  struct TChannel {
    std::array<uint8_t, 128> Notes{};  // the velocity of a sounding note; 0: off
    std::array<int16_t, 128> Controllers;
    int16_t Program = Unknown;
    int16_t PitchWheel = Unknown;

    TChannel() { Controllers.fill(Unknown); }
  };

  void RepairValues(const TChannelState& journal, TMessages& out);
  void RepairNotes(const TChannelState& journal, TMessages& out);
  // Appends `message` to `out` as heard.
  void Play(std::vector<uint8_t> message, TMessages& out);

  std::array<TChannel, 16> FChannels;
};

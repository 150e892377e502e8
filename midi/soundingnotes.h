#pragma once

// The notes an output port has left sounding, so that a reset silences exactly those.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace mmsystem {

class SoundingNotes {
 public:
  // Follows one whole short message as it is sent.
  void Track(const uint8_t* message, size_t count);

  // Hands over a note-off for every sounding note and a sustain-off for every held pedal,
  // then forgets them.
  void Silence(const std::function<void(const uint8_t* message, size_t count)>& send);

 private:
  static constexpr int kChannels = 16;
  std::bitset<128> notes_[kChannels];
  std::bitset<kChannels> sustained_;
};

}  // namespace mmsystem

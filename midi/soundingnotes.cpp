#include "midi/soundingnotes.h"

namespace mmsystem {

namespace {

constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kSustainPedal = 64;
constexpr uint8_t kAllSoundOff = 120;
constexpr uint8_t kAllNotesOff = 123;

}  // namespace

void SoundingNotes::Track(const uint8_t* message, size_t count) {
  if (count != 3) return;
  const uint8_t kind = message[0] & 0xF0;
  const int channel = message[0] & 0x0F;
  const uint8_t key = message[1];
  const uint8_t value = message[2];
  if (kind == kNoteOn) {
    notes_[channel].set(key, value != 0);
  } else if (kind == kNoteOff) {
    notes_[channel].reset(key);
  } else if (kind == kControlChange && key == kSustainPedal) {
    sustained_.set(channel, value >= 64);
  } else if (kind == kControlChange && (key == kAllNotesOff || key == kAllSoundOff)) {
    notes_[channel].reset();
  }
}

void SoundingNotes::Silence(const std::function<void(const uint8_t*, size_t)>& send) {
  for (int channel = 0; channel < kChannels; ++channel) {
    for (uint8_t key = 0; key < 128; ++key) {
      if (!notes_[channel].test(key)) continue;
      const uint8_t off[3] = {static_cast<uint8_t>(kNoteOff | channel), key, 0};
      send(off, sizeof off);
    }
    if (sustained_.test(channel)) {
      const uint8_t pedalUp[3] = {static_cast<uint8_t>(kControlChange | channel), kSustainPedal, 0};
      send(pedalUp, sizeof pedalUp);
    }
    notes_[channel].reset();
  }
  sustained_.reset();
}

}  // namespace mmsystem

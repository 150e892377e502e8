#include "midi/soundingnotes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> Silence(mmsystem::SoundingNotes& notes) {
  std::vector<Bytes> sent;
  notes.Silence([&sent](const uint8_t* message, size_t count) {
    sent.emplace_back(message, message + count);
  });
  return sent;
}

TEST(SoundingNotes, EndsExactlyWhatStillSoundsThenForgetsIt) {
  mmsystem::SoundingNotes notes;
  for (const Bytes& message : std::vector<Bytes>{
           {0x90, 60, 100},
           {0x90, 64, 100},
           {0x90, 67, 100},  // a chord on channel 1
           {0x90, 64, 0},    // velocity 0 ends a note
           {0x80, 67, 64},   // so does a note-off
           {0x95, 40, 90},
           {0xB5, 64, 127},  // channel 6: a note, pedal down
           {0x9A, 50, 90},
           {0xBA, 123, 0},  // channel 11: all notes off
           {0x9B, 51, 90},
           {0xBB, 120, 0},  // channel 12: all sound off
           {0xBC, 64, 127},
           {0xBC, 64, 0},  // channel 13: pedal up again
           {0x90, 61},     // cut short: not a note
       })
    notes.Track(message.data(), message.size());
  EXPECT_EQ(Silence(notes), (std::vector<Bytes>{{0x80, 60, 0}, {0x85, 40, 0}, {0xB5, 64, 0}}));
  EXPECT_TRUE(Silence(notes).empty());
}

}  // namespace

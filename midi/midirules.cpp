#include "midi/midirules.h"

size_t MidiMessageLength(uint8_t status) {
  if (status < 0x80) return 0;
  if (status < 0xC0) return 3;  // note off/on, key pressure, control change
  if (status < 0xE0) return 2;  // program change, channel pressure
  if (status < 0xF0) return 3;  // pitch bend
  switch (status) {
    case 0xF1:  // time code quarter frame
    case 0xF3:  // song select
      return 2;
    case 0xF2:  // song position
      return 3;
    case 0xF6:  // tune request
      return 1;
    default:
      return IsRealTimeStatus(status) ? 1 : 0;
  }
}

bool IsForwarded(uint8_t status) {
  switch (status) {
    case 0xF1:  // time code quarter frame
    case 0xF8:  // timing clock
    case 0xF9:  // undefined
    case 0xFD:  // undefined
    case 0xFE:  // active sensing
      return false;
    default:
      return MidiMessageLength(status) > 0;
  }
}

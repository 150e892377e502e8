#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "midi/mmsystem.h"

// One MIDI event as the ports hand it to the rest of the program. With SysexData null it is
// the short message Status, Data1, Data2; otherwise a long message of SysexLength bytes.
class TMyMidiEvent {
 public:
  uint8_t Status = 0;  // 0xF0 for an event that carries long data
  uint8_t Data1 = 0;
  uint8_t Data2 = 0;
  uint32_t TimeStamp = 0;  // driver time, ms since input was started
  uint32_t Instant = 0;    // when the MIDI system got it, on timeGetTime's clock
  uint16_t SysexLength = 0;
  std::unique_ptr<uint8_t[]> SysexData;

  // Copies `length` bytes as the long message; length 0 leaves no SysexData.
  void SetSysexData(const uint8_t* bytes, uint16_t length);
};

// One driver header with its own data block of BufferSize bytes. The header's dwUser names
// this object, so a header the driver hands back leads to its owner.
class TMyMidiHdr {
 public:
  // Size 0 allocates nothing; a failed allocation throws std::bad_alloc.
  explicit TMyMidiHdr(uint16_t BufferSize);
  ~TMyMidiHdr();
  TMyMidiHdr(const TMyMidiHdr&) = delete;
  TMyMidiHdr& operator=(const TMyMidiHdr&) = delete;

  MIDIHDR* Header = nullptr;
  uint8_t* DataBlock = nullptr;
};

// The product name of a capabilities record; the field need not be NUL-terminated.
std::string ProductNameText(const char (&pname)[MAXPNAMELEN]);

using TGetErrorText = MMRESULT (*)(MMRESULT error, char* text, UINT textSize);

// The platform's text for a MIDI result code, read with midiInGetErrorTextA or
// midiOutGetErrorTextA.
std::string MidiErrorText(TGetErrorText getErrorText, uint16_t code);

#include "midi/miditype.h"

#include <cstring>
#include <new>

#include "midi/circbuf.h"

void TMyMidiEvent::SetSysexData(const uint8_t* bytes, uint16_t length) {
  SysexLength = length;
  if (length == 0) {
    SysexData.reset();
    return;
  }
  SysexData = std::make_unique<uint8_t[]>(length);
  std::memcpy(SysexData.get(), bytes, length);
}

TMyMidiHdr::TMyMidiHdr(uint16_t size) : BufferSize(size) {
  if (size == 0) return;
  Header = static_cast<MIDIHDR*>(SharedAlloc(sizeof(MIDIHDR)));
  DataBlock = static_cast<uint8_t*>(SharedAlloc(size));
  if (Header == nullptr || DataBlock == nullptr) {
    SharedFree(Header);
    SharedFree(DataBlock);
    throw std::bad_alloc();
  }
  Header->lpData = reinterpret_cast<char*>(DataBlock);
  Header->dwBufferLength = size;
  Header->dwUser = reinterpret_cast<DWORD_PTR>(this);
}

TMyMidiHdr::~TMyMidiHdr() {
  SharedFree(Header);
  SharedFree(DataBlock);
}

std::string ProductNameText(const char (&pname)[MAXPNAMELEN]) {
  return std::string(pname, strnlen(pname, MAXPNAMELEN));
}

std::string MidiErrorText(TGetErrorText getErrorText, uint16_t code) {
  char text[MAXERRORLENGTH] = {};
  if (getErrorText(code, text, sizeof text) != MMSYSERR_NOERROR) {
    return "Specified error number is out of range";
  }
  return std::string(text, strnlen(text, sizeof text));
}

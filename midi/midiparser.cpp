#include "midi/midiparser.h"

#include "midi/midirules.h"

namespace mmsystem {

namespace {

constexpr size_t kNoRun = SIZE_MAX;

bool IsStatus(uint8_t byte) { return byte >= 0x80; }

}  // namespace

void MidiStreamParser::Parse(const uint8_t* bytes, size_t count, Sink& sink) {
  size_t runStart = inSysex_ ? 0 : kNoRun;  // first sysex byte of this call not yet passed on
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[i];
    if (IsRealTimeStatus(byte)) {
      if (runStart != kNoRun && i > runStart) sink.OnSysex(bytes + runStart, i - runStart, false);
      if (runStart != kNoRun) runStart = i + 1;
      sink.OnMessage(&byte, 1);
      continue;
    }
    if (inSysex_) {
      if (!IsStatus(byte)) continue;
      const bool terminated = byte == 0xF7;
      sink.OnSysex(bytes + runStart, i - runStart + (terminated ? 1 : 0), true);
      inSysex_ = false;
      runStart = kNoRun;
      if (terminated) continue;
    }
    if (byte == 0xF0) {
      inSysex_ = true;
      runStart = i;
      runningStatus_ = 0;
      have_ = 0;
      continue;
    }
    if (IsStatus(byte)) {
      ReadStatus(byte, sink);
    } else {
      ReadData(byte, sink);
    }
  }
  if (runStart != kNoRun && runStart < count) {
    sink.OnSysex(bytes + runStart, count - runStart, false);
  }
}

void MidiStreamParser::ReadStatus(uint8_t status, Sink& sink) {
  // Channel messages set running status; system common messages cancel it.
  runningStatus_ = status < 0xF0 ? status : 0;
  have_ = 0;
  if (MidiMessageLength(status) == 0) return;
  message_[have_++] = status;
  CompleteIfWhole(sink);
}

void MidiStreamParser::ReadData(uint8_t data, Sink& sink) {
  if (have_ == 0) {
    if (runningStatus_ == 0) return;
    message_[have_++] = runningStatus_;
  }
  message_[have_++] = data;
  CompleteIfWhole(sink);
}

void MidiStreamParser::CompleteIfWhole(Sink& sink) {
  if (have_ < MidiMessageLength(message_[0])) return;
  sink.OnMessage(message_, have_);
  have_ = 0;
}

void MidiStreamParser::Reset() {
  have_ = 0;
  runningStatus_ = 0;
  inSysex_ = false;
}

}  // namespace mmsystem

#pragma once

// Splits a MIDI byte stream into whole messages the way a receiver on a MIDI cable does, so
// that every port speaks in whole messages whatever its callers hand it.

#include <cstddef>
#include <cstdint>

namespace mmsystem {

class MidiStreamParser {
 public:
  class Sink {
   public:
    // A whole short message with its status byte.
    virtual void OnMessage(const uint8_t* bytes, size_t count) = 0;
    // A run of system-exclusive bytes; `ends` when the message is over after them, either
    // with F7 or cut off by the status of another message (then without F7).
    virtual void OnSysex(const uint8_t* bytes, size_t count, bool ends) = 0;

   protected:
    ~Sink() = default;
  };

  // Running status is expanded; real-time bytes pass on at once, even from inside another
  // message; a message cut at the end of `bytes` continues with the next call; data bytes
  // with no status to belong to are dropped.
  void Parse(const uint8_t* bytes, size_t count, Sink& sink);

  // Forgets running status, a partly read message and an open system-exclusive message.
  void Reset();

  bool InSysex() const { return inSysex_; }
  uint8_t RunningStatus() const { return runningStatus_; }

 private:
  void ReadStatus(uint8_t status, Sink& sink);
  void ReadData(uint8_t data, Sink& sink);
  void CompleteIfWhole(Sink& sink);

  uint8_t message_[3] = {};
  size_t have_ = 0;  // bytes of message_ read so far
  uint8_t runningStatus_ = 0;
  bool inSysex_ = false;
};

}  // namespace mmsystem

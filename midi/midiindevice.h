#pragma once

// An open MIDI input: parses what the backend reads into short messages and fills the queued
// system-exclusive buffers, calling the user's callback for each.
//
// Threads: the owning thread calls the public operations; the backend's delivery thread calls
// Receive. Callbacks run on either, always under the device's lock.

#include <deque>
#include <memory>
#include <mutex>

#include "midi/midibackend.h"
#include "midi/midiparser.h"
#include "midi/mmsystem.h"

struct MidiInDevice final : public mmsystem::MidiInputSink,
                            private mmsystem::MidiStreamParser::Sink {
 public:
  MidiInDevice(std::shared_ptr<mmsystem::MidiBackend> backend, MidiCallbackProc callback,
               DWORD_PTR instance);
  ~MidiInDevice();

  MMRESULT Open(UINT deviceId);
  MMRESULT Prepare(MIDIHDR* header, UINT headerSize);
  MMRESULT Unprepare(MIDIHDR* header, UINT headerSize);
  MMRESULT AddBuffer(MIDIHDR* header, UINT headerSize);
  MMRESULT Start();
  // Returns a partly filled buffer; empty ones stay queued.
  MMRESULT Stop();
  // Stops input and returns every queued buffer.
  MMRESULT Reset();
  // Refused while buffers are queued. Once it returns, no callback runs.
  MMRESULT Close();

  void Receive(const uint8_t* bytes, size_t count, uint32_t timeMs) override;

 private:
  void OnMessage(const uint8_t* bytes, size_t count) override;
  void OnSysex(const uint8_t* bytes, size_t count, bool ends) override;
  void ReturnFirstBuffer();
  void Notify(UINT message, DWORD_PTR param1, DWORD_PTR param2);

  const std::shared_ptr<mmsystem::MidiBackend> backend_;  // outlives connection_
  const MidiCallbackProc callback_;
  const DWORD_PTR instance_;
  std::unique_ptr<mmsystem::MidiInputConnection> connection_;  // owning thread only

  // Guards the fields below and the headers in buffers_. Callbacks run while it is held, so
  // none can run after Close has marked the device closed.
  std::mutex lock_;
  bool open_ = false;
  bool started_ = false;
  DWORD startMs_ = 0;  // when input started, on timeGetTime's clock
  // The time of the bytes being parsed: never before the start nor before the previous
  // event's, so events keep their order whatever the MIDI system's stamps do.
  MIDIINEVENT current_{};
  std::deque<MIDIHDR*> buffers_;  // queued for system-exclusive input, the one filling first
  mmsystem::MidiStreamParser parser_;
};

#pragma once

// An open MIDI output: turns packed short messages and long-message buffers into whole
// messages for the backend, keeping running status and open system-exclusive messages
// across calls as one MIDI stream, and remembers sounding notes so a reset can end them.
//
// Threads: any thread may send; sends, resets and Close are serialised by the device's lock,
// under which MOM_DONE is reported on the sending thread. Interrupt and the header
// operations never wait for that lock, so they never wait behind a send.

#include <memory>
#include <mutex>

#include "midi/midibackend.h"
#include "midi/midiparser.h"
#include "midi/mmsystem.h"
#include "midi/soundingnotes.h"

struct MidiOutDevice final : private mmsystem::MidiStreamParser::Sink {
 public:
  MidiOutDevice(std::shared_ptr<mmsystem::MidiBackend> backend, MidiCallbackProc callback,
                DWORD_PTR instance);
  ~MidiOutDevice();

  MMRESULT Open(UINT deviceId);
  // Status in bits 0-7 (or, under running status, the first data byte), data in 8-23.
  MMRESULT ShortMsg(DWORD packedMessage);
  MMRESULT Prepare(MIDIHDR* header, UINT headerSize);
  MMRESULT Unprepare(MIDIHDR* header, UINT headerSize);
  // Sends the header's bytes to be played at `playAt`, then reports MOM_DONE before returning.
  MMRESULT LongMsg(MIDIHDR* header, UINT headerSize, mmsystem::PlayTimeUs playAt);
  // Ends an open system-exclusive message and every sounding note; later sends wait for room
  // again.
  MMRESULT Reset();
  // A send waiting for room gives up at once, and so do later ones until Reset or Close.
  MMRESULT Interrupt();
  // Once it returns, no callback runs.
  MMRESULT Close();

 private:
  void OnMessage(const uint8_t* bytes, size_t count) override;
  void OnSysex(const uint8_t* bytes, size_t count, bool ends) override;
  MMRESULT Play(const uint8_t* bytes, size_t count, mmsystem::PlayTimeUs playAt);
  void Send(const uint8_t* bytes, size_t count);

  const std::shared_ptr<mmsystem::MidiBackend> backend_;  // outlives connection_
  const MidiCallbackProc callback_;
  const DWORD_PTR instance_;

  // Guards the fields below and every use of the connection; MOM_DONE runs while it is held.
  std::mutex lock_;
  // Guards replacing connection_, which also holds lock_, so Interrupt may use it without lock_.
  std::mutex connectionLock_;
  std::unique_ptr<mmsystem::MidiOutputConnection> connection_;
  // Guards the flags of the caller's headers; never held while bytes are played.
  std::mutex headerLock_;
  bool open_ = false;
  mmsystem::MidiStreamParser parser_;
  mmsystem::SoundingNotes notes_;
  MMRESULT sendResult_ = MMSYSERR_NOERROR;  // the first failure while playing one call's bytes
  mmsystem::PlayTimeUs playAt_ = mmsystem::kPlayAtOnce;  // when one call's bytes are to play
};

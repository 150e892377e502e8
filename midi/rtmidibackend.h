#pragma once

// The ALSA sequencer through RtMidi, which also speaks the MIDI systems of the other platforms
// Tessel may be built on. Input device 0 is Tessel's own virtual input port and the mapper its
// own virtual output port; the other devices are the MIDI system's ports under their port names.
//
// Threads: RtMidi's ALSA thread feeds the sink of an open input; everything else runs on the
// caller's thread.

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "midi/midibackend.h"

namespace mmsystem {

// Collects what one RtMidi object reports through its error callback, so that nothing is
// printed or thrown; it must outlive the object.
class RtMidiErrors {
 public:
  void Watch(RtMidi& midi);
  // The first failure since the last call, as a result code.
  MMRESULT Take();

 private:
  static void Record(RtMidiError::Type type, const std::string& text, void* self);

  std::mutex lock_;  // guards failure_: RtMidi may report from its own thread
  MMRESULT failure_ = MMSYSERR_NOERROR;
};

class RtMidiBackend final : public MidiBackend {
 public:
  // The ALSA sequencer; null when it does not open.
  static std::shared_ptr<MidiBackend> Create();
  ~RtMidiBackend() override;

  MidiSystem System() const override { return MidiSystem::Alsa; }
  UINT InputCount() override;
  UINT OutputCount() override;
  MMRESULT InputName(UINT id, std::string& name) override;
  MMRESULT OutputName(UINT id, std::string& name) override;
  MMRESULT OpenInput(UINT id, MidiInputSink& sink,
                     std::unique_ptr<MidiInputConnection>& connection) override;
  MMRESULT OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) override;

 private:
  RtMidiBackend();

  // Guards the listers and their error records: RtMidi objects are not thread-safe.
  std::mutex listLock_;
  RtMidiErrors inputListErrors_;
  RtMidiErrors outputListErrors_;
  std::unique_ptr<RtMidiIn> inputLister_;
  std::unique_ptr<RtMidiOut> outputLister_;

  std::atomic<bool> virtualInputOpen_ = false;  // the virtual input port is opened once
};

}  // namespace mmsystem

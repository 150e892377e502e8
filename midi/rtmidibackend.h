#pragma once

// The system's MIDI through RtMidi: JACK when a JACK server runs, else the ALSA sequencer.
// Input device 0 is Tessel's own virtual input port and the mapper its own virtual output
// port; the other devices are the MIDI system's ports under their port names.
//
// Threads: RtMidi's callback thread (JACK's process thread, or RtMidi's ALSA thread) feeds
// the sink of an open input; everything else runs on the caller's thread.

#include <jack/jack.h>
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

// A JACK client held open while the JACK backend lives, noting when the server goes away, so
// that no client is opened on a server that is gone.
class JackServerWatch {
 public:
  // Null when no JACK server answers.
  static std::unique_ptr<JackServerWatch> Open();
  ~JackServerWatch();
  JackServerWatch(const JackServerWatch&) = delete;
  JackServerWatch& operator=(const JackServerWatch&) = delete;

  bool ServerGone() const { return gone_; }

 private:
  explicit JackServerWatch(jack_client_t* client);
  static void OnShutdown(void* self);  // on libjack's notification thread

  jack_client_t* const client_;
  std::atomic<bool> gone_ = false;
};

class RtMidiBackend final : public MidiBackend {
 public:
  // Null when the MIDI system does not start. `jackWatch` is required for JACK.
  static std::shared_ptr<MidiBackend> Create(MidiSystem system,
                                             std::unique_ptr<JackServerWatch> jackWatch);
  ~RtMidiBackend() override;

  MidiSystem System() const override { return system_; }
  UINT InputCount() override;
  UINT OutputCount() override;
  MMRESULT InputName(UINT id, std::string& name) override;
  MMRESULT OutputName(UINT id, std::string& name) override;
  MMRESULT OpenInput(UINT id, MidiInputSink& sink,
                     std::unique_ptr<MidiInputConnection>& connection) override;
  MMRESULT OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) override;

 private:
  RtMidiBackend(MidiSystem system, std::unique_ptr<JackServerWatch> jackWatch);
  bool ServerGone() const;

  const MidiSystem system_;
  const RtMidi::Api api_;
  const std::unique_ptr<JackServerWatch> jackWatch_;  // null for ALSA

  // Guards the listers and their error records: RtMidi objects are not thread-safe.
  std::mutex listLock_;
  RtMidiErrors inputListErrors_;
  RtMidiErrors outputListErrors_;
  std::unique_ptr<RtMidiIn> inputLister_;
  std::unique_ptr<RtMidiOut> outputLister_;

  std::atomic<bool> virtualInputOpen_ = false;  // the virtual input port is opened once
};

// Chooses the MIDI system once: JACK when its server answers, else the ALSA sequencer when
// it opens, else none.
std::shared_ptr<MidiBackend> OpenSystemMidi();

}  // namespace mmsystem

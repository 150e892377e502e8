#pragma once

// What the multimedia service needs of a MIDI system: its device lists and a transport for
// whole messages. Message parsing, system-exclusive buffers and callbacks are the service's.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/mmsystem.h"

namespace mmsystem {

// Product names of Tessel's own ports where the MIDI system has virtual ports.
inline constexpr char kVirtualInputName[] = "Tessel MIDI In";
inline constexpr char kVirtualOutputName[] = "Tessel MIDI Out";

// Where the MIDI system names its clients and ports: each copy is one client holding both
// ports, named by its place in the start order, so saved connections fit again.
inline constexpr char kInputPortName[] = "MIDI In";
inline constexpr char kOutputPortName[] = "MIDI Out";
inline constexpr int kMostCopies = 99;
// "Tessel" for the first copy, then "Tessel 2", "Tessel 3", ...
std::string CopyName(int number);

// Receives what an open input reads, on the backend's delivery thread. `timeMs` is when the
// MIDI system got the bytes, on timeGetTime's clock.
class MidiInputSink {
 public:
  virtual void Receive(const uint8_t* bytes, size_t count, uint32_t timeMs) = 0;

 protected:
  ~MidiInputSink() = default;
};

// An open input. It feeds its sink until it is destroyed; destruction waits for a delivery
// in progress, so the sink may go right after.
class MidiInputConnection {
 public:
  virtual ~MidiInputConnection() = default;
};

// When a message is meant to be heard: microseconds on the steady clock, timeGetTime's clock.
// kPlayAtOnce, or any instant already past, plays it as soon as the MIDI system can.
using PlayTimeUs = int64_t;
inline constexpr PlayTimeUs kPlayAtOnce = 0;
PlayTimeUs SteadyMicroseconds();

// An open output; each Send carries one whole message or one run of system-exclusive bytes.
// Messages play in the order sent; an instant earlier than its predecessor's plays with it.
class MidiOutputConnection {
 public:
  virtual ~MidiOutputConnection() = default;
  virtual MMRESULT Send(const uint8_t* bytes, size_t count, PlayTimeUs playAt) = 0;
  // While interrupted, a Send that finds no room gives up at once rather than wait for it,
  // so a close need not wait behind it. Any thread; connections that never wait ignore it.
  virtual void Interrupt(bool /*interrupted*/) {}
};

// Hands the news that the system's MIDI ports changed to whoever watches them.
class DeviceWatch {
 public:
  // Any thread; returns once a call under way of the callback it replaces has ended.
  void Set(std::function<void()> changed);
  // The backend's thread.
  void Notify();

 private:
  std::mutex lock_;  // guards changed_; held through each call, so Set waits for one
  std::function<void()> changed_;
};

class MidiBackend {
 public:
  virtual ~MidiBackend() = default;
  virtual MidiSystem System() const = 0;

  virtual UINT InputCount() = 0;
  virtual UINT OutputCount() = 0;
  // Product names, at most MAXPNAMELEN - 1 bytes; MIDI_MAPPER names the output mapper.
  virtual MMRESULT InputName(UINT id, std::string& name) = 0;
  virtual MMRESULT OutputName(UINT id, std::string& name) = 0;

  virtual MMRESULT OpenInput(UINT id, MidiInputSink& sink,
                             std::unique_ptr<MidiInputConnection>& connection) = 0;
  virtual MMRESULT OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) = 0;

  // Input events dropped on the way to the sink, for want of room; any thread.
  virtual uint64_t InputEventsLost() const { return 0; }
  // Cycles the MIDI system could not finish while we were in it, and so dropped the MIDI of
  // (JACK's xruns, the sequencer's overruns); any thread.
  virtual uint64_t MissedCycles() const { return 0; }
  // How long before its instant a message must be sent to play at that instant; any thread.
  virtual PlayTimeUs OutputLeadUs() const { return 0; }

  // From now on `changed` runs on a thread of the backend each time the system's MIDI ports
  // come, go or are renamed; it must only hand the news over. Null stops it. A system whose
  // ports never change never calls it.
  virtual void WatchDevices(std::function<void()> changed) { (void)changed; }
};

// A backend whose devices are its own two ports and the system's: input 0 is its own input
// port, the mapper its own output port, and the system's ports follow under their names.
class SystemPortsBackend : public MidiBackend {
 public:
  UINT InputCount() final;
  UINT OutputCount() final;
  MMRESULT InputName(UINT id, std::string& name) final;
  MMRESULT OutputName(UINT id, std::string& name) final;

 protected:
  // The system's ports: sources for inputs, destinations for outputs; the backend's own left out.
  virtual std::vector<std::string> SystemPortNames(bool sources) const = 0;
  // False while the MIDI system is gone: there is no input then, not even the own port.
  virtual bool InputsAvailable() const { return true; }
};

// No MIDI system: no devices. The mapper is listed, so the output list is never empty, but
// it does not open.
class NoMidiBackend final : public MidiBackend {
 public:
  MidiSystem System() const override { return MidiSystem::None; }
  UINT InputCount() override { return 0; }
  UINT OutputCount() override { return 0; }
  MMRESULT InputName(UINT id, std::string& name) override;
  MMRESULT OutputName(UINT id, std::string& name) override;
  MMRESULT OpenInput(UINT id, MidiInputSink& sink,
                     std::unique_ptr<MidiInputConnection>& connection) override;
  MMRESULT OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) override;
};

// Chooses the MIDI system once: JACK when its server answers, else the ALSA sequencer when
// it opens, else none.
std::shared_ptr<MidiBackend> OpenSystemMidi();

// Tests only: MIDI operations use `backend` from now on. Call while no device is open.
void UseMidiBackend(std::shared_ptr<MidiBackend> backend);

// A MIDI system's port name as a product name that fits MAXPNAMELEN with its NUL. A name too
// long is cut on a character boundary and ends in a hash of the whole name, so names that
// share a long beginning stay apart and the same port always gets the same product name.
std::string FitProductName(const std::string& name);

}  // namespace mmsystem

#include "midi/midibackend.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "midi/alsabackend.h"
#include "midi/jackbackend.h"

namespace mmsystem {

namespace {

// FNV-1a: stable across runs and builds, so stored product names keep matching.
uint32_t NameHash(const std::string& name) {
  uint32_t hash = 2166136261u;
  for (const unsigned char c : name) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash;
}

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

PlayTimeUs SteadyMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void DeviceWatch::Set(std::function<void()> changed) {
  std::lock_guard guard(lock_);
  changed_ = std::move(changed);
}

void DeviceWatch::Notify() {
  std::lock_guard guard(lock_);
  if (changed_) changed_();
}

MMRESULT NoMidiBackend::InputName(UINT, std::string&) { return MMSYSERR_BADDEVICEID; }

MMRESULT NoMidiBackend::OutputName(UINT id, std::string& name) {
  if (id != MIDI_MAPPER) return MMSYSERR_BADDEVICEID;
  name = kVirtualOutputName;
  return MMSYSERR_NOERROR;
}

MMRESULT NoMidiBackend::OpenInput(UINT, MidiInputSink&, std::unique_ptr<MidiInputConnection>&) {
  return MMSYSERR_BADDEVICEID;
}

MMRESULT NoMidiBackend::OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>&) {
  return id == MIDI_MAPPER ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
}

std::shared_ptr<MidiBackend> OpenSystemMidi() {
  if (auto jack = JackBackend::Create()) return jack;
  if (auto alsa = AlsaBackend::Create()) return alsa;
  return std::make_shared<NoMidiBackend>();
}

std::string CopyName(int number) {
  return number == 1 ? std::string("Tessel") : "Tessel " + std::to_string(number);
}

UINT SystemPortsBackend::InputCount() {
  return InputsAvailable() ? static_cast<UINT>(1 + SystemPortNames(true).size()) : 0;
}

UINT SystemPortsBackend::OutputCount() { return static_cast<UINT>(SystemPortNames(false).size()); }

MMRESULT SystemPortsBackend::InputName(UINT id, std::string& name) {
  if (!InputsAvailable()) return MMSYSERR_BADDEVICEID;
  if (id == 0) {
    name = kVirtualInputName;
    return MMSYSERR_NOERROR;
  }
  const std::vector<std::string> ports = SystemPortNames(true);
  if (id - 1 >= ports.size()) return MMSYSERR_BADDEVICEID;
  name = FitProductName(ports[id - 1]);
  return MMSYSERR_NOERROR;
}

MMRESULT SystemPortsBackend::OutputName(UINT id, std::string& name) {
  if (id == MIDI_MAPPER) {
    name = kVirtualOutputName;
    return MMSYSERR_NOERROR;
  }
  const std::vector<std::string> ports = SystemPortNames(false);
  if (id >= ports.size()) return MMSYSERR_BADDEVICEID;
  name = FitProductName(ports[id]);
  return MMSYSERR_NOERROR;
}

std::string FitProductName(const std::string& name) {
  constexpr size_t kRoom = MAXPNAMELEN - 1;
  if (name.size() <= kRoom) return name;
  char suffix[8];  // "~" and six hex digits
  std::snprintf(suffix, sizeof suffix, "~%06x", static_cast<unsigned>(NameHash(name) & 0xFFFFFF));
  size_t keep = kRoom - (sizeof suffix - 1);
  while (keep > 0 && IsUtf8Continuation(name[keep])) --keep;
  return name.substr(0, keep) + suffix;
}

}  // namespace mmsystem

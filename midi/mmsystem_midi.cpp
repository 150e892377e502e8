// The MIDI half of the multimedia service: the classic midiIn*/midiOut* operations over the
// MIDI system in use (JACK, the ALSA sequencer, or the tests' loopback).

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "midi/loopbackbackend.h"
#include "midi/midibackend.h"
#include "midi/midiindevice.h"
#include "midi/midioutdevice.h"
#include "midi/mmsystem.h"

namespace {

using mmsystem::MidiBackend;

std::mutex& SystemLock() {  // guards CurrentSystem()
  static std::mutex lock;
  return lock;
}

std::shared_ptr<MidiBackend>& CurrentSystem() {
  static std::shared_ptr<MidiBackend> system;
  return system;
}

// The MIDI system in use, chosen on first use. Open devices keep the one they opened on.
std::shared_ptr<MidiBackend> Backend() {
  std::lock_guard guard(SystemLock());
  std::shared_ptr<MidiBackend>& system = CurrentSystem();
  if (system == nullptr) system = mmsystem::OpenSystemMidi();
  return system;
}

// Open devices by handle, so that a stale or foreign handle is refused rather than followed,
// and a device stays alive while a call on another thread still uses it.
template <typename Device>
class OpenDevices {
 public:
  static OpenDevices& Instance() {
    static OpenDevices devices;
    return devices;
  }

  Device* Add(std::shared_ptr<Device> device) {
    std::lock_guard guard(lock_);
    Device* handle = device.get();
    devices_.emplace(handle, std::move(device));
    return handle;
  }

  std::shared_ptr<Device> Find(Device* handle) {
    std::lock_guard guard(lock_);
    const auto found = devices_.find(handle);
    return found == devices_.end() ? nullptr : found->second;
  }

  void Remove(Device* handle) {
    std::lock_guard guard(lock_);
    devices_.erase(handle);
  }

 private:
  std::mutex lock_;  // guards devices_
  std::unordered_map<Device*, std::shared_ptr<Device>> devices_;
};

// Calls `operation` on the open device `handle`, or refuses the handle.
template <typename Device, typename Operation>
MMRESULT WithDevice(Device* handle, Operation operation) {
  const std::shared_ptr<Device> device = OpenDevices<Device>::Instance().Find(handle);
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  return operation(*device);
}

template <typename Device>
MMRESULT CloseDevice(Device* handle) {
  const MMRESULT result = WithDevice(handle, [](Device& device) { return device.Close(); });
  if (result == MMSYSERR_NOERROR) OpenDevices<Device>::Instance().Remove(handle);
  return result;
}

template <typename Device>
MMRESULT OpenDevice(Device** handle, UINT deviceId, MidiCallbackProc callback, DWORD_PTR instance,
                    DWORD flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  *handle = nullptr;
  if (flags != CALLBACK_FUNCTION && flags != 0) return MMSYSERR_INVALFLAG;
  if (flags == CALLBACK_FUNCTION && callback == nullptr) return MMSYSERR_INVALPARAM;
  auto device = std::make_shared<Device>(Backend(), flags == CALLBACK_FUNCTION ? callback : nullptr,
                                         instance);
  if (const MMRESULT result = device->Open(deviceId)) return result;
  *handle = OpenDevices<Device>::Instance().Add(std::move(device));
  return MMSYSERR_NOERROR;
}

// Copies at most `capsSize` bytes, as callers with an older, shorter record expect.
template <typename Caps>
MMRESULT FillCaps(const std::string& productName, Caps filled, Caps* caps, UINT capsSize) {
  if (caps == nullptr || capsSize == 0) return MMSYSERR_INVALPARAM;
  filled.wMid = 0xFFFF;  // no manufacturer or product ids to offer
  filled.wPid = 0xFFFF;
  filled.vDriverVersion = 0x0100;
  productName.copy(filled.szPname, MAXPNAMELEN - 1);
  std::memcpy(caps, &filled, std::min<size_t>(capsSize, sizeof filled));
  return MMSYSERR_NOERROR;
}

const char* ErrorText(MMRESULT error) {
  switch (error) {
    case MMSYSERR_NOERROR:
      return "No error.";
    case MMSYSERR_ERROR:
      return "The MIDI system reported an error.";
    case MMSYSERR_BADDEVICEID:
      return "The MIDI device ID is out of range.";
    case MMSYSERR_ALLOCATED:
      return "The MIDI device is already in use.";
    case MMSYSERR_INVALHANDLE:
      return "The MIDI device handle is invalid.";
    case MMSYSERR_NODRIVER:
      return "No MIDI system is available.";
    case MMSYSERR_NOMEM:
      return "There is not enough memory for the MIDI operation.";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was passed to a MIDI function.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed to a MIDI function.";
    case MIDIERR_UNPREPARED:
      return "The MIDI header has not been prepared.";
    case MIDIERR_STILLPLAYING:
      return "The MIDI device still holds buffers.";
    case MIDIERR_NOTREADY:
      return "The MIDI device is busy.";
    case MIDIERR_NODEVICE:
      return "The MIDI port is not available.";
    case MIDIERR_INVALIDSETUP:
      return "The MIDI setup is damaged.";
    default:
      return nullptr;
  }
}

MMRESULT GetErrorText(MMRESULT error, char* text, UINT textSize) {
  if (text == nullptr || textSize == 0) return MMSYSERR_INVALPARAM;
  const char* known = ErrorText(error);
  const std::string_view message = known != nullptr ? known : "";
  const size_t length = message.copy(text, textSize - 1);
  text[length] = '\0';
  return known != nullptr ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

}  // namespace

UINT midiInGetNumDevs() { return Backend()->InputCount(); }

MMRESULT midiInGetDevCapsA(UINT deviceId, MIDIINCAPSA* caps, UINT capsSize) {
  std::string name;
  if (const MMRESULT result = Backend()->InputName(deviceId, name)) return result;
  return FillCaps(name, MIDIINCAPSA{}, caps, capsSize);
}

MMRESULT midiInOpen(HMIDIIN* handle, UINT deviceId, MidiCallbackProc callback, DWORD_PTR instance,
                    DWORD flags) {
  return OpenDevice(handle, deviceId, callback, instance, flags);
}

MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, UINT headerSize) {
  return WithDevice(handle,
                    [&](MidiInDevice& device) { return device.Prepare(header, headerSize); });
}

MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, UINT headerSize) {
  return WithDevice(handle,
                    [&](MidiInDevice& device) { return device.Unprepare(header, headerSize); });
}

MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, UINT headerSize) {
  return WithDevice(handle,
                    [&](MidiInDevice& device) { return device.AddBuffer(header, headerSize); });
}

MMRESULT midiInStart(HMIDIIN handle) {
  return WithDevice(handle, [](MidiInDevice& device) { return device.Start(); });
}

MMRESULT midiInStop(HMIDIIN handle) {
  return WithDevice(handle, [](MidiInDevice& device) { return device.Stop(); });
}

MMRESULT midiInReset(HMIDIIN handle) {
  return WithDevice(handle, [](MidiInDevice& device) { return device.Reset(); });
}

MMRESULT midiInClose(HMIDIIN handle) { return CloseDevice(handle); }

MMRESULT midiInGetErrorTextA(MMRESULT error, char* text, UINT textSize) {
  return GetErrorText(error, text, textSize);
}

UINT midiOutGetNumDevs() { return Backend()->OutputCount(); }

MMRESULT midiOutGetDevCapsA(UINT deviceId, MIDIOUTCAPSA* caps, UINT capsSize) {
  std::string name;
  if (const MMRESULT result = Backend()->OutputName(deviceId, name)) return result;
  MIDIOUTCAPSA filled{};
  filled.wTechnology = deviceId == MIDI_MAPPER ? 5 : 1;  // MOD_MAPPER, MOD_MIDIPORT
  filled.wChannelMask = 0xFFFF;
  return FillCaps(name, filled, caps, capsSize);
}

MMRESULT midiOutOpen(HMIDIOUT* handle, UINT deviceId, MidiCallbackProc callback, DWORD_PTR instance,
                     DWORD flags) {
  return OpenDevice(handle, deviceId, callback, instance, flags);
}

MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD packedMessage) {
  return WithDevice(handle, [&](MidiOutDevice& device) { return device.ShortMsg(packedMessage); });
}

MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT headerSize) {
  return WithDevice(handle,
                    [&](MidiOutDevice& device) { return device.Prepare(header, headerSize); });
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT headerSize) {
  return WithDevice(handle,
                    [&](MidiOutDevice& device) { return device.Unprepare(header, headerSize); });
}

MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, UINT headerSize) {
  return midiOutLongMsgAt(handle, header, headerSize, mmsystem::kPlayAtOnce);
}

MMRESULT midiOutLongMsgAt(HMIDIOUT handle, MIDIHDR* header, UINT headerSize, int64_t playAtUs) {
  return WithDevice(
      handle, [&](MidiOutDevice& device) { return device.LongMsg(header, headerSize, playAtUs); });
}

MMRESULT midiOutReset(HMIDIOUT handle) {
  return WithDevice(handle, [](MidiOutDevice& device) { return device.Reset(); });
}

MMRESULT midiOutClose(HMIDIOUT handle) { return CloseDevice(handle); }

MMRESULT midiOutGetErrorTextA(MMRESULT error, char* text, UINT textSize) {
  return GetErrorText(error, text, textSize);
}

namespace mmsystem {

MidiSystem ActiveMidiSystem() { return Backend()->System(); }

MMRESULT InterruptMidiOut(HMIDIOUT handle) {
  return WithDevice(handle, [](MidiOutDevice& device) { return device.Interrupt(); });
}

uint64_t InputEventsLostBySystem() { return Backend()->InputEventsLost(); }

uint64_t CyclesMissedBySystem() { return Backend()->MissedCycles(); }

int64_t MidiOutLeadUs() { return Backend()->OutputLeadUs(); }

void WatchMidiDevices(std::function<void()> changed) {
  Backend()->WatchDevices(std::move(changed));
}

void UseLoopbackMidi(unsigned deviceCount) {
  UseMidiBackend(std::make_shared<LoopbackBackend>(deviceCount));
}

void UseMidiBackend(std::shared_ptr<MidiBackend> backend) {
  std::lock_guard guard(SystemLock());
  CurrentSystem() = std::move(backend);
}

}  // namespace mmsystem

#include "midi/midiout.h"

#include <algorithm>
#include <cstring>

TMidiOutput::TMidiOutput() : FWindow([this](const TMessage& message) { WindowProc(message); }) {}

TMidiOutput::~TMidiOutput() {
  try {
    TMidiOutput::Close();  // a derived class is gone by now
  } catch (const EmidioutputError&) {
    // Nothing left to report to.
  }
}

std::string TMidiOutput::ErrorText(uint16_t code) {
  return MidiErrorText(midiOutGetErrorTextA, code);
}

void TMidiOutput::Check(MMRESULT result) {
  FError.store(static_cast<uint16_t>(result), std::memory_order_relaxed);
  if (result != MMSYSERR_NOERROR) throw EmidioutputError(ErrorText(static_cast<uint16_t>(result)));
}

TMidiOutput::TState TMidiOutput::State() const {
  std::lock_guard lock(FDeviceLock);
  return FState;
}

void TMidiOutput::SetDeviceID(uint32_t id) {
  if (State() == TState::Open) {
    throw EmidioutputError("Change to MIDI out Device ID while device was open");
  }
  if (id != MIDI_MAPPER && id >= midiOutGetNumDevs()) {
    throw EmidioutputError("Invalid MIDI out device ID");
  }
  FDeviceID = id;
  MIDIOUTCAPSA caps{};
  Check(midiOutGetDevCapsA(id, &caps, sizeof caps));
  FProductName = ProductNameText(caps.szPname);
}

void TMidiOutput::SetProductName(const std::string& name) {
  if (State() == TState::Open) {
    throw EmidioutputError("Change to ProductName while MIDI out device was open");
  }
  const UINT count = midiOutGetNumDevs();
  for (UINT index = 0; index < count; ++index) {
    MIDIOUTCAPSA caps{};
    Check(midiOutGetDevCapsA(index, &caps, sizeof caps));
    if (ProductNameText(caps.szPname) == name) {
      SetDeviceID(index);
      return;
    }
  }
  MIDIOUTCAPSA mapper{};
  Check(midiOutGetDevCapsA(MIDI_MAPPER, &mapper, sizeof mapper));
  if (ProductNameText(mapper.szPname) != name) {
    throw EmidioutputError("MIDI out device \"" + name + "\" is not installed");
  }
  SetDeviceID(MIDI_MAPPER);
}

void TMidiOutput::Open() {
  std::lock_guard lock(FDeviceLock);
  if (FState == TState::Open) return;
  if (!FCallbackInfo) FCallbackInfo = std::make_unique<TMidiCallbackInfo>();
  FCallbackInfo->Window = &FWindow;
  HMIDIOUT handle = nullptr;
  const MMRESULT result =
      midiOutOpen(&handle, FDeviceID, MidiCallback,
                  reinterpret_cast<DWORD_PTR>(FCallbackInfo.get()), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) FCallbackInfo.reset();
  Check(result);
  FDeviceHandle = handle;
  FState = TState::Open;
}

void TMidiOutput::Close() {
  std::lock_guard lock(FDeviceLock);
  if (FState == TState::Open) {
    Check(midiOutReset(FDeviceHandle));
    // Reset has finished every header; none will be played, so they go with the device.
    for (const auto& hdr : FInFlight) {
      midiOutUnprepareHeader(FDeviceHandle, hdr->Header, sizeof(MIDIHDR));
    }
    Check(midiOutClose(FDeviceHandle));
    FInFlight.clear();
    // Their done notices would name freed headers.
    FWindow.Discard();
  }
  FDeviceHandle = nullptr;
  FState = TState::Closed;
}

void TMidiOutput::Reset() {
  std::lock_guard lock(FDeviceLock);
  if (FState == TState::Open) Check(midiOutReset(FDeviceHandle));
}

HMIDIOUT TMidiOutput::OpenHandle() {
  if (FState != TState::Open) Check(MMSYSERR_INVALHANDLE);
  return FDeviceHandle;
}

void TMidiOutput::SendEvent(const TMyMidiEvent& event) {
  std::lock_guard lock(FDeviceLock);
  if (FState != TState::Open) throw EmidioutputError("MIDI Output device not open");
  if (event.SysexData) {
    SendLong(event.SysexData.get(), event.SysexLength);
  } else {
    SendShort(event.Status, event.Data1, event.Data2);
  }
}

void TMidiOutput::SendShort(uint8_t status, uint8_t data1, uint8_t data2) {
  std::lock_guard lock(FDeviceLock);
  const DWORD packed = status | (DWORD{data1} << 8) | (DWORD{data2} << 16);
  Check(midiOutShortMsg(OpenHandle(), packed));
}

void TMidiOutput::SendLong(const uint8_t* bytes, uint16_t length) {
  if (length == 0) return;
  std::lock_guard lock(FDeviceLock);
  const HMIDIOUT handle = OpenHandle();
  auto hdr = std::make_unique<TMyMidiHdr>(length);
  std::memcpy(hdr->DataBlock, bytes, length);
  Check(midiOutPrepareHeader(handle, hdr->Header, sizeof(MIDIHDR)));
  const MMRESULT result = midiOutLongMsg(handle, hdr->Header, sizeof(MIDIHDR));
  if (result != MMSYSERR_NOERROR) {
    // The driver never took it: it is ours to free.
    midiOutUnprepareHeader(handle, hdr->Header, sizeof(MIDIHDR));
    Check(result);
  }
  // Still under the lock, so the done notice cannot be handled before the header is listed.
  FInFlight.push_back(std::move(hdr));
}

bool TMidiOutput::ReleaseFinishedHeader(MIDIHDR* header) {
  std::lock_guard lock(FDeviceLock);
  // Matched by address, never dereferenced: a notice may name a header that is already gone.
  const auto found = std::find_if(FInFlight.begin(), FInFlight.end(),
                                  [header](const auto& hdr) { return hdr->Header == header; });
  if (found == FInFlight.end()) return false;
  midiOutUnprepareHeader(FDeviceHandle, header, sizeof(MIDIHDR));
  FInFlight.erase(found);
  return true;
}

void TMidiOutput::WindowProc(const TMessage& message) {
  if (message.Msg != MOM_DONE) return;
  if (ReleaseFinishedHeader(reinterpret_cast<MIDIHDR*>(message.LParam)) && Onmidioutput) {
    Onmidioutput(*this);
  }
}

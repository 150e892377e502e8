#include "midi/midiout.h"

#include <algorithm>
#include <cstring>

namespace {

// Headers kept ready before the first send; more are made only while this many are in flight.
constexpr size_t kReadyHeaders = 16;
// Every header holds at least this much, so short messages and most system-exclusive ones
// reuse any free header.
constexpr uint16_t kLeastHeaderBytes = 512;

}  // namespace

TMidiOutput::TMidiOutput() : FWindow([this](const TMessage& message) { WindowProc(message); }) {
  for (size_t i = 0; i < kReadyHeaders; ++i) {
    FFreeHeaders.push_back(std::make_unique<TMyMidiHdr>(kLeastHeaderBytes));
  }
}

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
  // A send waiting for room holds the lock until the server makes room; it gives up instead.
  if (const HMIDIOUT handle = FDeviceHandle.load(std::memory_order_acquire)) {
    mmsystem::InterruptMidiOut(handle);
  }
  std::lock_guard lock(FDeviceLock);
  if (FState == TState::Open) {
    const HMIDIOUT handle = FDeviceHandle.load(std::memory_order_relaxed);
    Check(midiOutReset(handle));
    std::lock_guard headers(FHeaderLock);
    // Reset has finished every header; none will be played, so they are free again.
    for (auto& hdr : FInFlight) midiOutUnprepareHeader(handle, hdr->Header, sizeof(MIDIHDR));
    FFreeHeaders.splice(FFreeHeaders.end(), FInFlight);
    Check(midiOutClose(handle));
    // Their done notices would name headers that are free again.
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

void TMidiOutput::SendLong(const uint8_t* bytes, uint16_t length, int64_t playAtUs) {
  if (length == 0) return;
  std::lock_guard lock(FDeviceLock);
  const HMIDIOUT handle = OpenHandle();
  TMyMidiHdr& hdr = TakeHeader(length);
  std::memcpy(hdr.DataBlock, bytes, length);
  hdr.Header->dwBufferLength = length;
  MMRESULT result = midiOutPrepareHeader(handle, hdr.Header, sizeof(MIDIHDR));
  if (result == MMSYSERR_NOERROR)
    result = midiOutLongMsgAt(handle, hdr.Header, sizeof(MIDIHDR), playAtUs);
  // The driver never took it: no done notice will free it.
  if (result != MMSYSERR_NOERROR) ReleaseHeader(hdr.Header);
  Check(result);
}

TMyMidiHdr& TMidiOutput::TakeHeader(uint16_t length) {
  std::lock_guard lock(FHeaderLock);
  if (FFreeHeaders.empty() || FFreeHeaders.back()->BufferSize < length) {
    // Replaces a header too small rather than keep it, so the pool grows only with the number
    // of messages in flight at once.
    if (!FFreeHeaders.empty()) FFreeHeaders.pop_back();
    FFreeHeaders.push_back(std::make_unique<TMyMidiHdr>(std::max(length, kLeastHeaderBytes)));
  }
  FInFlight.splice(FInFlight.end(), FFreeHeaders, std::prev(FFreeHeaders.end()));
  TMyMidiHdr& hdr = *FInFlight.back();
  hdr.Header->dwFlags = 0;
  return hdr;
}

bool TMidiOutput::ReleaseHeader(MIDIHDR* header) {
  std::lock_guard lock(FHeaderLock);
  // Matched by address, never dereferenced first: a notice may name a header already free.
  const auto found = std::find_if(FInFlight.begin(), FInFlight.end(),
                                  [header](const auto& hdr) { return hdr->Header == header; });
  if (found == FInFlight.end()) return false;
  midiOutUnprepareHeader(FDeviceHandle.load(std::memory_order_acquire), header, sizeof(MIDIHDR));
  FFreeHeaders.splice(FFreeHeaders.end(), FInFlight, found);
  return true;
}

void TMidiOutput::WindowProc(const TMessage& message) {
  if (message.Msg != MOM_DONE) return;
  if (ReleaseHeader(reinterpret_cast<MIDIHDR*>(message.LParam)) && Onmidioutput) {
    Onmidioutput(*this);
  }
}

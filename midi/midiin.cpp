#include "midi/midiin.h"

#include <algorithm>
#include <new>

TMidiInput::TMidiInput() : FWindow([this](const TMessage& message) { WindowProc(message); }) {
  try {
    SetDeviceID(0);
  } catch (const EMidiInputError&) {
    // A port whose first device cannot be read is still usable once another is selected.
  }
  FState = TState::Closed;
}

TMidiInput::~TMidiInput() { AbandonDevice(); }

std::string TMidiInput::ErrorText(uint16_t code) {
  return MidiErrorText(midiInGetErrorTextA, code);
}

void TMidiInput::Check(MMRESULT result) {
  FError = static_cast<uint16_t>(result);
  if (result != MMSYSERR_NOERROR) throw EMidiInputError(ErrorText(FError));
}

void TMidiInput::SetDeviceID(uint32_t id) {
  if (FState == TState::Open) {
    throw EMidiInputError("Change to DeviceID while MIDI in device was open");
  }
  const UINT count = midiInGetNumDevs();
  if (count == 0) return;
  if (id >= count) throw EMidiInputError("Invalid MIDI in device ID");
  FDeviceID = id;
  MIDIINCAPSA caps{};
  Check(midiInGetDevCapsA(id, &caps, sizeof caps));
  FProductName = ProductNameText(caps.szPname);
}

void TMidiInput::SetProductName(const std::string& name) {
  if (FState == TState::Open) {
    throw EMidiInputError("Change to ProductName while MIDI in device was open");
  }
  const UINT count = midiInGetNumDevs();
  UINT index = 0;
  for (; index < count; ++index) {
    MIDIINCAPSA caps{};
    Check(midiInGetDevCapsA(index, &caps, sizeof caps));
    if (ProductNameText(caps.szPname) == name) {
      FProductName = name;
      break;
    }
  }
  // The current name whose device has gone ends here with index == count, which is refused.
  if (!name.empty() && FProductName == name) SetDeviceID(index);
}

void TMidiInput::SetSysexBufferSize(uint16_t size) {
  if (FState == TState::Open) {
    throw EMidiInputError("Change to SysexBufferSize while MIDI in device was open");
  }
  FSysexBufferSize = size;
}

void TMidiInput::SetSysexBufferCount(uint16_t count) {
  if (FState == TState::Open) {
    throw EMidiInputError("Change to SysexBuffercount while MIDI in device was open");
  }
  FSysexBufferCount = count;
}

void TMidiInput::SetSysexOnly(bool sysexOnly) {
  FSysexOnly = sysexOnly;
  if (FCallbackInfo) FCallbackInfo->SysexOnly.store(sysexOnly, std::memory_order_relaxed);
}

void TMidiInput::Open() {
  if (FState == TState::Open) return;
  // A Close that failed part-way leaves the device and its session behind.
  if (FDeviceHandle != nullptr) AbandonDevice();
  try {
    FRing = RingCreate(FCapacity);
    if (FRing == nullptr) throw std::bad_alloc();
    if (!FCallbackInfo) FCallbackInfo = std::make_unique<TMidiCallbackInfo>();
    FCallbackInfo->Ring = FRing;
    FCallbackInfo->Window = &FWindow;
    FCallbackInfo->SysexOnly.store(FSysexOnly, std::memory_order_relaxed);
    FCallbackInfo->Lost = &FLostEvents;
    HMIDIIN handle = nullptr;
    Check(midiInOpen(&handle, FDeviceID, MidiCallback,
                     reinterpret_cast<DWORD_PTR>(FCallbackInfo.get()), CALLBACK_FUNCTION));
    FDeviceHandle = handle;
    PrepareSysexBuffers();
    QueueSysexBuffers();
    FState = TState::Open;
  } catch (...) {
    // Open reports no failure; whatever it got so far, the device included, is given back.
    AbandonDevice();
    FCallbackInfo.reset();
  }
}

void TMidiInput::Close() {
  if (FState != TState::Open) return;
  FState = TState::Closed;
  Check(midiInReset(FDeviceHandle));
  ReleaseSysexBuffers();
  Check(midiInClose(FDeviceHandle));
  FDeviceHandle = nullptr;
  EndSession();
}

void TMidiInput::AbandonDevice() noexcept {
  if (FDeviceHandle != nullptr) {
    // Results are not examined: nothing more could be done about a failure here.
    midiInReset(FDeviceHandle);
    for (const auto& hdr : FSysexHeaders) {
      midiInUnprepareHeader(FDeviceHandle, hdr->Header, sizeof(MIDIHDR));
    }
    midiInClose(FDeviceHandle);
    FDeviceHandle = nullptr;
  }
  FSysexHeaders.clear();
  EndSession();
  FState = TState::Closed;
}

void TMidiInput::EndSession() {
  // Queued notices refer to this session's ring and buffers, both about to go; dropping them
  // here also keeps them from reaching a later session.
  FWindow.Discard();
  if (FCallbackInfo) FCallbackInfo->Ring = nullptr;
  RingDestroy(FRing);
  FRing = nullptr;
}

void TMidiInput::Start() {
  if (FState == TState::Open) Check(midiInStart(FDeviceHandle));
}

void TMidiInput::Stop() {
  if (FState == TState::Open) Check(midiInStop(FDeviceHandle));
}

void TMidiInput::PrepareSysexBuffers() {
  if (FSysexBufferCount == 0 || FSysexBufferSize == 0 || FDeviceHandle == nullptr) return;
  FSysexHeaders.clear();
  for (uint16_t i = 0; i < FSysexBufferCount; ++i) {
    auto hdr = std::make_unique<TMyMidiHdr>(FSysexBufferSize);
    Check(midiInPrepareHeader(FDeviceHandle, hdr->Header, sizeof(MIDIHDR)));
    FSysexHeaders.push_back(std::move(hdr));
  }
}

void TMidiInput::QueueSysexBuffers() {
  for (const auto& hdr : FSysexHeaders) {
    Check(midiInAddBuffer(FDeviceHandle, hdr->Header, sizeof(MIDIHDR)));
  }
}

void TMidiInput::ReleaseSysexBuffers() {
  for (const auto& hdr : FSysexHeaders) {
    Check(midiInUnprepareHeader(FDeviceHandle, hdr->Header, sizeof(MIDIHDR)));
  }
  FSysexHeaders.clear();
}

void TMidiInput::RequeueSysexBuffer(MIDIHDR* header) {
  Check(midiInPrepareHeader(FDeviceHandle, header, sizeof(MIDIHDR)));
  Check(midiInAddBuffer(FDeviceHandle, header, sizeof(MIDIHDR)));
}

uint16_t TMidiInput::PendingCount() const {
  if (FState != TState::Open) return 0;
  return FRing->EventCount.load(std::memory_order_acquire);
}

std::unique_ptr<TMyMidiEvent> TMidiInput::ReadEvent() {
  TRingItem item;
  if (FState != TState::Open || !RingPeek(FRing, item)) return nullptr;
  auto event = std::make_unique<TMyMidiEvent>();
  event->TimeStamp = item.TimeStamp;
  event->Instant = item.Instant;
  if (item.Header != nullptr) {
    event->Status = 0xF0;
    const DWORD recorded =
        std::min({item.Header->dwBytesRecorded, item.Header->dwBufferLength, DWORD{0xFFFF}});
    event->SetSysexData(reinterpret_cast<const uint8_t*>(item.Header->lpData),
                        static_cast<uint16_t>(recorded));
    // Raises with the item still in the ring, so the next read retries it.
    RequeueSysexBuffer(item.Header);
  } else {
    event->Status = item.Bytes[0];
    event->Data1 = item.Bytes[1];
    event->Data2 = item.Bytes[2];
  }
  RingDrop(FRing);
  return event;
}

void TMidiInput::WindowProc(const TMessage& message) {
  if (FState != TState::Open) return;
  switch (message.Msg) {
    case MIM_DATA:
      if (OnMidiInput && PendingCount() > 0) OnMidiInput(*this);
      break;
    case WM_USER:
      // A long buffer that found the ring full goes back to the driver, or sysex input
      // would run dry. Notices never outlive their session, so the header is one of ours.
      if (message.LParam != 0) RequeueSysexBuffer(reinterpret_cast<MIDIHDR*>(message.LParam));
      if (OnOverflow) OnOverflow(*this);
      break;
    default:
      break;
  }
}

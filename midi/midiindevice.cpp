#include "midi/midiindevice.h"

#include <algorithm>
#include <cstring>

#include "midi/midiheader.h"
#include "platform/wrappingclock.h"

MidiInDevice::MidiInDevice(std::shared_ptr<mmsystem::MidiBackend> backend,
                           MidiCallbackProc callback, DWORD_PTR instance)
    : backend_(std::move(backend)), callback_(callback), instance_(instance) {}

MidiInDevice::~MidiInDevice() = default;

MMRESULT MidiInDevice::Open(UINT deviceId) {
  {
    std::lock_guard guard(lock_);
    open_ = true;
  }
  return backend_->OpenInput(deviceId, *this, connection_);
}

MMRESULT MidiInDevice::Prepare(MIDIHDR* header, UINT headerSize) {
  std::lock_guard guard(lock_);
  return mmsystem::PrepareHeader(header, headerSize);
}

MMRESULT MidiInDevice::Unprepare(MIDIHDR* header, UINT headerSize) {
  std::lock_guard guard(lock_);
  return mmsystem::UnprepareHeader(header, headerSize);
}

MMRESULT MidiInDevice::AddBuffer(MIDIHDR* header, UINT headerSize) {
  std::lock_guard guard(lock_);
  if (!open_) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT result = mmsystem::CheckHeader(header, headerSize)) return result;
  if (header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  if (const MMRESULT result = mmsystem::QueueHeader(header, headerSize)) return result;
  header->dwBytesRecorded = 0;
  buffers_.push_back(header);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::Start() {
  std::lock_guard guard(lock_);
  if (!open_) return MMSYSERR_INVALHANDLE;
  if (!started_) {
    started_ = true;
    startMs_ = timeGetTime();
    current_ = MIDIINEVENT{0, startMs_, {}, 0};
    parser_.Reset();
  }
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::Stop() {
  std::lock_guard guard(lock_);
  if (!open_) return MMSYSERR_INVALHANDLE;
  started_ = false;
  parser_.Reset();
  if (!buffers_.empty() && buffers_.front()->dwBytesRecorded > 0) ReturnFirstBuffer();
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::Reset() {
  std::lock_guard guard(lock_);
  if (!open_) return MMSYSERR_INVALHANDLE;
  started_ = false;
  parser_.Reset();
  while (!buffers_.empty()) ReturnFirstBuffer();
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInDevice::Close() {
  {
    std::lock_guard guard(lock_);
    if (!open_) return MMSYSERR_INVALHANDLE;
    if (!buffers_.empty()) return MIDIERR_STILLPLAYING;
    open_ = false;
    started_ = false;
  }
  // Not under lock_: closing waits for a delivery under way, which needs lock_.
  connection_.reset();
  return MMSYSERR_NOERROR;
}

void MidiInDevice::Receive(const uint8_t* bytes, size_t count, uint32_t timeMs) {
  std::lock_guard guard(lock_);
  if (!started_) return;
  if (Span(current_.dwTime, timeMs) > 0) {
    current_.dwTime = timeMs;
    current_.dwTimeStamp = timeMs - startMs_;
  }
  parser_.Parse(bytes, count, *this);
}

void MidiInDevice::OnMessage(const uint8_t* bytes, size_t count) {
  MIDIINEVENT event = current_;
  DWORD packed = 0;
  for (size_t i = 0; i < count; ++i) {
    event.bData[i] = bytes[i];
    packed |= static_cast<DWORD>(bytes[i]) << (8 * i);
  }
  event.cbData = static_cast<uint8_t>(count);
  Notify(MIM_DATA, packed, reinterpret_cast<DWORD_PTR>(&event));
}

void MidiInDevice::OnSysex(const uint8_t* bytes, size_t count, bool ends) {
  // Bytes for which no buffer is queued are lost.
  while (count > 0 && !buffers_.empty()) {
    MIDIHDR* buffer = buffers_.front();
    const size_t taken = std::min<size_t>(count, buffer->dwBufferLength - buffer->dwBytesRecorded);
    std::memcpy(buffer->lpData + buffer->dwBytesRecorded, bytes, taken);
    buffer->dwBytesRecorded += static_cast<DWORD>(taken);
    bytes += taken;
    count -= taken;
    if (buffer->dwBytesRecorded == buffer->dwBufferLength) ReturnFirstBuffer();
  }
  if (ends && !buffers_.empty() && buffers_.front()->dwBytesRecorded > 0) ReturnFirstBuffer();
}

void MidiInDevice::ReturnFirstBuffer() {
  MIDIHDR* buffer = buffers_.front();
  buffers_.pop_front();
  mmsystem::MarkHeaderDone(buffer);
  Notify(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(buffer), reinterpret_cast<DWORD_PTR>(&current_));
}

void MidiInDevice::Notify(UINT message, DWORD_PTR param1, DWORD_PTR param2) {
  if (callback_ != nullptr) callback_(this, message, instance_, param1, param2);
}

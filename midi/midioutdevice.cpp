#include "midi/midioutdevice.h"

#include "midi/midiheader.h"
#include "midi/midirules.h"

namespace {

constexpr uint8_t kEndOfExclusive = 0xF7;

}  // namespace

MidiOutDevice::MidiOutDevice(std::shared_ptr<mmsystem::MidiBackend> backend,
                             MidiCallbackProc callback, DWORD_PTR instance)
    : backend_(std::move(backend)), callback_(callback), instance_(instance) {}

MidiOutDevice::~MidiOutDevice() = default;

MMRESULT MidiOutDevice::Open(UINT deviceId) {
  std::lock_guard guard(lock_);
  std::lock_guard connectionGuard(connectionLock_);
  const MMRESULT result = backend_->OpenOutput(deviceId, connection_);
  open_ = result == MMSYSERR_NOERROR;
  return result;
}

MMRESULT MidiOutDevice::ShortMsg(DWORD packedMessage) {
  const uint8_t bytes[3] = {static_cast<uint8_t>(packedMessage),
                            static_cast<uint8_t>(packedMessage >> 8),
                            static_cast<uint8_t>(packedMessage >> 16)};
  std::lock_guard guard(lock_);
  if (!open_) return MMSYSERR_INVALHANDLE;
  // Without a status byte the message continues the running status, as on a MIDI cable.
  const bool hasStatus = bytes[0] >= 0x80;
  const uint8_t status = hasStatus ? bytes[0] : parser_.RunningStatus();
  const size_t length = MidiMessageLength(status);
  if (length == 0) return MMSYSERR_INVALPARAM;
  const size_t count = hasStatus ? length : length - 1;
  for (size_t i = hasStatus ? 1 : 0; i < count; ++i) {
    if (bytes[i] >= 0x80) return MMSYSERR_INVALPARAM;
  }
  return Play(bytes, count, mmsystem::kPlayAtOnce);
}

MMRESULT MidiOutDevice::Prepare(MIDIHDR* header, UINT headerSize) {
  std::lock_guard guard(headerLock_);
  return mmsystem::PrepareHeader(header, headerSize);
}

MMRESULT MidiOutDevice::Unprepare(MIDIHDR* header, UINT headerSize) {
  std::lock_guard guard(headerLock_);
  return mmsystem::UnprepareHeader(header, headerSize);
}

MMRESULT MidiOutDevice::LongMsg(MIDIHDR* header, UINT headerSize, mmsystem::PlayTimeUs playAt) {
  std::lock_guard guard(lock_);
  if (!open_) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard headerGuard(headerLock_);
    if (const MMRESULT result = mmsystem::QueueHeader(header, headerSize)) return result;
  }
  // Queued, so no one else writes the header until it is marked done.
  const MMRESULT result =
      Play(reinterpret_cast<const uint8_t*>(header->lpData), header->dwBufferLength, playAt);
  std::lock_guard headerGuard(headerLock_);
  if (result != MMSYSERR_NOERROR) {
    header->dwFlags &= ~MHDR_INQUEUE;  // not taken: no MOM_DONE follows
    return result;
  }
  mmsystem::MarkHeaderDone(header);
  // The owner may free the header as soon as MOM_DONE is out: it is not touched afterwards.
  if (callback_ != nullptr) {
    callback_(this, MOM_DONE, instance_, reinterpret_cast<DWORD_PTR>(header), 0);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutDevice::Reset() {
  std::lock_guard guard(lock_);
  if (!open_) return MMSYSERR_INVALHANDLE;
  connection_->Interrupt(false);
  sendResult_ = MMSYSERR_NOERROR;
  playAt_ = mmsystem::kPlayAtOnce;
  if (parser_.InSysex()) Send(&kEndOfExclusive, 1);
  parser_.Reset();
  notes_.Silence([this](const uint8_t* message, size_t count) { Send(message, count); });
  return sendResult_;
}

MMRESULT MidiOutDevice::Interrupt() {
  std::lock_guard guard(connectionLock_);
  if (connection_ == nullptr) return MMSYSERR_INVALHANDLE;
  connection_->Interrupt(true);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutDevice::Close() {
  std::lock_guard guard(lock_);
  if (!open_) return MMSYSERR_INVALHANDLE;
  open_ = false;
  std::unique_ptr<mmsystem::MidiOutputConnection> closing;
  {
    std::lock_guard connectionGuard(connectionLock_);
    closing = std::move(connection_);
  }
  closing.reset();  // plays what is queued first, a reset's note-offs included
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutDevice::Play(const uint8_t* bytes, size_t count, mmsystem::PlayTimeUs playAt) {
  sendResult_ = MMSYSERR_NOERROR;
  playAt_ = playAt;
  parser_.Parse(bytes, count, *this);
  return sendResult_;
}

void MidiOutDevice::OnMessage(const uint8_t* bytes, size_t count) {
  notes_.Track(bytes, count);
  Send(bytes, count);
}

void MidiOutDevice::OnSysex(const uint8_t* bytes, size_t count, bool ends) {
  if (count > 0) Send(bytes, count);
  // A message cut off by another one is ended, so receivers do not join the two.
  if (ends && (count == 0 || bytes[count - 1] != kEndOfExclusive)) Send(&kEndOfExclusive, 1);
}

void MidiOutDevice::Send(const uint8_t* bytes, size_t count) {
  if (sendResult_ != MMSYSERR_NOERROR) return;
  sendResult_ = connection_->Send(bytes, count, playAt_);
}

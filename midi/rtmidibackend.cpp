#include "midi/rtmidibackend.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace mmsystem {

namespace {

constexpr char kClientName[] = "Tessel";
constexpr char kInputPortName[] = "MIDI In";
constexpr char kOutputPortName[] = "MIDI Out";
constexpr RtMidi::Api kApi = RtMidi::LINUX_ALSA;
// Longer runs of system-exclusive bytes go out in pieces, which receivers join again.
constexpr size_t kMaxSendBytes = 8192;

MMRESULT ResultFor(RtMidiError::Type type) {
  switch (type) {
    case RtMidiError::DEBUG_WARNING:
      return MMSYSERR_NOERROR;
    case RtMidiError::NO_DEVICES_FOUND:
      return MIDIERR_NODEVICE;
    case RtMidiError::INVALID_DEVICE:
    case RtMidiError::INVALID_PARAMETER:
      return MMSYSERR_BADDEVICEID;
    case RtMidiError::MEMORY_ERROR:
      return MMSYSERR_NOMEM;
    default:
      return MMSYSERR_ERROR;
  }
}

// An RtMidi object whose errors go to `errors`, or null when the sequencer does not open.
template <typename Midi>
std::unique_ptr<Midi> MakeRtMidi(RtMidiErrors& errors) {
  std::unique_ptr<Midi> midi;
  try {
    midi = std::make_unique<Midi>(kApi, kClientName);
  } catch (const std::exception&) {
    return nullptr;
  }
  if (midi->getCurrentApi() != kApi) return nullptr;
  errors.Watch(*midi);
  // RtMidi tells of a client it could not open only on the next use.
  midi->getPortCount();
  if (errors.Take() == MMSYSERR_NOERROR) return midi;
  return nullptr;
}

// Passes what RtMidi reads on to the sink until detached.
class InputRelay {
 public:
  explicit InputRelay(MidiInputSink& sink) : sink_(&sink) {}

  // On RtMidi's callback thread.
  static void Deliver(double, std::vector<unsigned char>* message, void* self) {
    auto& relay = *static_cast<InputRelay*>(self);
    std::lock_guard guard(relay.lock_);
    if (relay.sink_ != nullptr && !message->empty()) {
      relay.sink_->Receive(message->data(), message->size(), timeGetTime());
    }
  }

  void Detach() {
    std::lock_guard guard(lock_);
    sink_ = nullptr;
  }

 private:
  std::mutex lock_;  // guards sink_; held through a delivery, so Detach waits for one under way
  MidiInputSink* sink_;
};

class RtMidiInput final : public MidiInputConnection {
 public:
  RtMidiInput(MidiInputSink& sink, std::atomic<bool>* claim) : relay_(sink), claim_(claim) {}
  ~RtMidiInput() override {
    relay_.Detach();
    midi_.reset();
    if (claim_ != nullptr) claim_->store(false);
  }

  // Device 0 is the virtual input port; device N reads the system's port N - 1.
  MMRESULT Open(UINT id) {
    midi_ = MakeRtMidi<RtMidiIn>(errors_);
    if (midi_ == nullptr) return MMSYSERR_NODRIVER;
    midi_->ignoreTypes(false, false, false);  // the port's users filter what they do not want
    midi_->setCallback(&InputRelay::Deliver, &relay_);
    if (id == 0) {
      midi_->openVirtualPort(kInputPortName);
    } else {
      midi_->openPort(id - 1, kInputPortName);
    }
    return errors_.Take();
  }

 private:
  InputRelay relay_;                // outlives midi_
  std::atomic<bool>* const claim_;  // cleared on close; null for the system's ports
  RtMidiErrors errors_;             // outlives midi_
  std::unique_ptr<RtMidiIn> midi_;  // closing it stops RtMidi's callback thread
};

class RtMidiOutput final : public MidiOutputConnection {
 public:
  // MIDI_MAPPER is the virtual output port; device N writes to the system's port N.
  MMRESULT Open(UINT id) {
    midi_ = MakeRtMidi<RtMidiOut>(errors_);
    if (midi_ == nullptr) return MMSYSERR_NODRIVER;
    if (id == MIDI_MAPPER) {
      midi_->openVirtualPort(kOutputPortName);
    } else {
      midi_->openPort(id, kOutputPortName);
    }
    return errors_.Take();
  }

  MMRESULT Send(const uint8_t* bytes, size_t count) override {
    for (size_t sent = 0; sent < count;) {
      const size_t piece = std::min(count - sent, kMaxSendBytes);
      midi_->sendMessage(bytes + sent, piece);
      if (const MMRESULT result = errors_.Take()) return result;
      sent += piece;
    }
    return MMSYSERR_NOERROR;
  }

 private:
  RtMidiErrors errors_;  // outlives midi_
  std::unique_ptr<RtMidiOut> midi_;
};

bool AlsaSequencerOpens() {
  const int fd = ::open("/dev/snd/seq", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

void RtMidiErrors::Watch(RtMidi& midi) { midi.setErrorCallback(&RtMidiErrors::Record, this); }

MMRESULT RtMidiErrors::Take() {
  std::lock_guard guard(lock_);
  return std::exchange(failure_, MMSYSERR_NOERROR);
}

void RtMidiErrors::Record(RtMidiError::Type type, const std::string&, void* self) {
  auto& errors = *static_cast<RtMidiErrors*>(self);
  std::lock_guard guard(errors.lock_);
  if (errors.failure_ == MMSYSERR_NOERROR) errors.failure_ = ResultFor(type);
}

std::shared_ptr<MidiBackend> RtMidiBackend::Create() {
  if (!AlsaSequencerOpens()) return nullptr;
  std::shared_ptr<RtMidiBackend> backend(new RtMidiBackend());
  if (backend->inputLister_ == nullptr || backend->outputLister_ == nullptr) return nullptr;
  return backend;
}

RtMidiBackend::RtMidiBackend()
    : inputLister_(MakeRtMidi<RtMidiIn>(inputListErrors_)),
      outputLister_(MakeRtMidi<RtMidiOut>(outputListErrors_)) {}

RtMidiBackend::~RtMidiBackend() = default;

UINT RtMidiBackend::InputCount() {
  std::lock_guard guard(listLock_);
  const UINT systemPorts = inputLister_->getPortCount();
  return inputListErrors_.Take() == MMSYSERR_NOERROR ? 1 + systemPorts : 1;
}

UINT RtMidiBackend::OutputCount() {
  std::lock_guard guard(listLock_);
  const UINT systemPorts = outputLister_->getPortCount();
  return outputListErrors_.Take() == MMSYSERR_NOERROR ? systemPorts : 0;
}

MMRESULT RtMidiBackend::InputName(UINT id, std::string& name) {
  if (id >= InputCount()) return MMSYSERR_BADDEVICEID;
  if (id == 0) {
    name = kVirtualInputName;
    return MMSYSERR_NOERROR;
  }
  std::lock_guard guard(listLock_);
  const std::string portName = inputLister_->getPortName(id - 1);
  if (inputListErrors_.Take() != MMSYSERR_NOERROR || portName.empty()) {
    return MMSYSERR_BADDEVICEID;
  }
  name = FitProductName(portName);
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiBackend::OutputName(UINT id, std::string& name) {
  if (id == MIDI_MAPPER) {
    name = kVirtualOutputName;
    return MMSYSERR_NOERROR;
  }
  std::lock_guard guard(listLock_);
  const std::string portName = outputLister_->getPortName(id);
  if (outputListErrors_.Take() != MMSYSERR_NOERROR || portName.empty()) {
    return MMSYSERR_BADDEVICEID;
  }
  name = FitProductName(portName);
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiBackend::OpenInput(UINT id, MidiInputSink& sink,
                                  std::unique_ptr<MidiInputConnection>& connection) {
  if (id >= InputCount()) return MMSYSERR_BADDEVICEID;
  std::atomic<bool>* claim = nullptr;
  if (id == 0) {
    if (virtualInputOpen_.exchange(true)) return MMSYSERR_ALLOCATED;
    claim = &virtualInputOpen_;
  }
  auto input = std::make_unique<RtMidiInput>(sink, claim);
  if (const MMRESULT result = input->Open(id)) return result;
  connection = std::move(input);
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiBackend::OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) {
  if (id != MIDI_MAPPER && id >= OutputCount()) return MMSYSERR_BADDEVICEID;
  auto output = std::make_unique<RtMidiOutput>();
  if (const MMRESULT result = output->Open(id)) return result;
  connection = std::move(output);
  return MMSYSERR_NOERROR;
}

}  // namespace mmsystem

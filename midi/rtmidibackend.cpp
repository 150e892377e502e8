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
// RtMidi's JACK output drops a message that does not fit its queue of 16 KiB; longer runs of
// system-exclusive bytes go out in pieces, which receivers join again.
constexpr size_t kMaxSendBytes = 8192;

// libjack 1.9.21 can crash closing a client once opening another one in the same process has
// failed (the server stalled or went away). From then on JACK clients are left open for the
// process exit to end.
std::atomic<bool> jackClientsFragile = false;

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

RtMidi::Api ApiOf(MidiSystem system) {
  return system == MidiSystem::Jack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA;
}

// Closes `midi`, or leaves it open while JACK clients are fragile; true when it was closed.
template <typename Midi>
bool CloseRtMidi(std::unique_ptr<Midi>& midi) {
  if (midi == nullptr) return true;
  if (jackClientsFragile && midi->getCurrentApi() == RtMidi::UNIX_JACK) {
    midi->setErrorCallback(nullptr, nullptr);  // its error record goes now
    static_cast<void>(midi.release());
    return false;
  }
  midi.reset();
  return true;
}

// An RtMidi object whose errors go to `errors`, or null when its MIDI system does not open.
template <typename Midi>
std::unique_ptr<Midi> MakeRtMidi(RtMidi::Api api, RtMidiErrors& errors) {
  std::unique_ptr<Midi> midi;
  try {
    midi = std::make_unique<Midi>(api, kClientName);
  } catch (const std::exception&) {
    return nullptr;
  }
  if (midi->getCurrentApi() != api) return nullptr;
  errors.Watch(*midi);
  // RtMidi tells of a client it could not open only on the next use.
  midi->getPortCount();
  if (errors.Take() == MMSYSERR_NOERROR) return midi;
  if (api == RtMidi::UNIX_JACK) jackClientsFragile = true;
  CloseRtMidi(midi);
  return nullptr;
}

// Passes what RtMidi reads on to the sink until detached. RtMidi reaches it through its user
// data, so it can outlive the connection when the RtMidi object is left open.
class InputRelay {
 public:
  explicit InputRelay(MidiInputSink& sink) : sink_(&sink) {}

  // On RtMidi's callback thread.
  static void Deliver(double, std::vector<unsigned char>* message, void* self) {
    auto& relay = *static_cast<InputRelay*>(self);
    std::lock_guard guard(relay.lock_);
    if (relay.sink_ != nullptr && !message->empty()) {
      relay.sink_->Receive(message->data(), message->size());
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
  RtMidiInput(MidiInputSink& sink, std::atomic<bool>* claim)
      : relay_(std::make_unique<InputRelay>(sink)), claim_(claim) {}
  ~RtMidiInput() override {
    relay_->Detach();
    if (!CloseRtMidi(midi_)) static_cast<void>(relay_.release());  // RtMidi may still call it
    if (claim_ != nullptr) claim_->store(false);
  }

  // Device 0 is the virtual input port; device N reads the system's port N - 1.
  MMRESULT Open(RtMidi::Api api, UINT id) {
    midi_ = MakeRtMidi<RtMidiIn>(api, errors_);
    if (midi_ == nullptr) return MMSYSERR_NODRIVER;
    midi_->ignoreTypes(false, false, false);  // the port's users filter what they do not want
    midi_->setCallback(&InputRelay::Deliver, relay_.get());
    if (id == 0) {
      midi_->openVirtualPort(kInputPortName);
    } else {
      midi_->openPort(id - 1, kInputPortName);
    }
    return errors_.Take();
  }

 private:
  std::unique_ptr<InputRelay> relay_;
  std::atomic<bool>* const claim_;  // cleared on close; null for the system's ports
  RtMidiErrors errors_;             // outlives midi_
  std::unique_ptr<RtMidiIn> midi_;  // closing it stops RtMidi's callback thread
};

class RtMidiOutput final : public MidiOutputConnection {
 public:
  ~RtMidiOutput() override { CloseRtMidi(midi_); }

  // MIDI_MAPPER is the virtual output port; device N writes to the system's port N.
  MMRESULT Open(RtMidi::Api api, UINT id) {
    midi_ = MakeRtMidi<RtMidiOut>(api, errors_);
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

void Quiet(const char*) {}

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

std::unique_ptr<JackServerWatch> JackServerWatch::Open() {
  jack_status_t status{};
  jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, &status);
  if (client == nullptr) return nullptr;
  return std::unique_ptr<JackServerWatch>(new JackServerWatch(client));
}

JackServerWatch::JackServerWatch(jack_client_t* client) : client_(client) {
  jack_on_shutdown(client_, &JackServerWatch::OnShutdown, this);
}

JackServerWatch::~JackServerWatch() {
  if (!jackClientsFragile) jack_client_close(client_);
}

void JackServerWatch::OnShutdown(void* self) { static_cast<JackServerWatch*>(self)->gone_ = true; }

std::shared_ptr<MidiBackend> RtMidiBackend::Create(MidiSystem system,
                                                   std::unique_ptr<JackServerWatch> jackWatch) {
  std::shared_ptr<RtMidiBackend> backend(new RtMidiBackend(system, std::move(jackWatch)));
  if (backend->inputLister_ == nullptr || backend->outputLister_ == nullptr) return nullptr;
  return backend;
}

RtMidiBackend::RtMidiBackend(MidiSystem system, std::unique_ptr<JackServerWatch> jackWatch)
    : system_(system),
      api_(ApiOf(system)),
      jackWatch_(std::move(jackWatch)),
      inputLister_(MakeRtMidi<RtMidiIn>(api_, inputListErrors_)),
      outputLister_(MakeRtMidi<RtMidiOut>(api_, outputListErrors_)) {}

RtMidiBackend::~RtMidiBackend() {
  CloseRtMidi(inputLister_);
  CloseRtMidi(outputLister_);
}

bool RtMidiBackend::ServerGone() const { return jackWatch_ != nullptr && jackWatch_->ServerGone(); }

UINT RtMidiBackend::InputCount() {
  if (ServerGone()) return 0;
  std::lock_guard guard(listLock_);
  const UINT systemPorts = inputLister_->getPortCount();
  return inputListErrors_.Take() == MMSYSERR_NOERROR ? 1 + systemPorts : 1;
}

UINT RtMidiBackend::OutputCount() {
  if (ServerGone()) return 0;
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
  if (ServerGone()) return MMSYSERR_NODRIVER;
  if (id >= InputCount()) return MMSYSERR_BADDEVICEID;
  std::atomic<bool>* claim = nullptr;
  if (id == 0) {
    if (virtualInputOpen_.exchange(true)) return MMSYSERR_ALLOCATED;
    claim = &virtualInputOpen_;
  }
  auto input = std::make_unique<RtMidiInput>(sink, claim);
  if (const MMRESULT result = input->Open(api_, id)) return result;
  connection = std::move(input);
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiBackend::OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) {
  if (ServerGone()) return MMSYSERR_NODRIVER;
  if (id != MIDI_MAPPER && id >= OutputCount()) return MMSYSERR_BADDEVICEID;
  auto output = std::make_unique<RtMidiOutput>();
  if (const MMRESULT result = output->Open(api_, id)) return result;
  connection = std::move(output);
  return MMSYSERR_NOERROR;
}

std::shared_ptr<MidiBackend> OpenSystemMidi() {
  // libjack reports a missing server on stderr; here that is an answer, not an error.
  jack_set_error_function(&Quiet);
  jack_set_info_function(&Quiet);
  if (auto watch = JackServerWatch::Open()) {
    if (auto jack = RtMidiBackend::Create(MidiSystem::Jack, std::move(watch))) return jack;
  }
  if (AlsaSequencerOpens()) {
    if (auto alsa = RtMidiBackend::Create(MidiSystem::Alsa, nullptr)) return alsa;
  }
  return std::make_shared<NoMidiBackend>();
}

}  // namespace mmsystem

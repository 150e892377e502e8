#include "midi/jackbackend.h"

#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <utility>

namespace mmsystem {

namespace {

// Each ring holds thousands of short messages, so a burst at one instant never waits or is
// lost, and several pieces of a long message.
constexpr size_t kRingBytes = size_t{1} << 16;
// Longer runs of system-exclusive bytes are queued in pieces, which receivers join again.
constexpr size_t kMostQueuedBytes = 8192;
// How long a send waits for room while the server runs no cycle: a server's graph may pause
// for a while (PipeWire's does), and what waits must not be dropped then. A close interrupts
// the wait instead.
constexpr auto kMostSendStall = std::chrono::seconds(2);
// How long a close waits for the port to play what is queued while the server runs no
// cycle: a close must not hold the window longer.
constexpr auto kMostCloseStall = std::chrono::milliseconds(250);
constexpr auto kPollInterval = std::chrono::milliseconds(1);
// Each message plays this long after its instant, so one sent up to this late still finds
// its place in the cycle: the sender is woken by a timer, which may be late.
constexpr int64_t kWakeSlackUs = 2000;

// PipeWire opens a client under a name that is taken and shows its ports under a numbered
// one; a copy's ports under the name tell that it is taken.
bool NameInUse(jack_client_t* client, const std::string& name) {
  const char** ports = jack_get_ports(client, ("^" + name + ":").c_str(), nullptr, 0);
  const bool inUse = ports != nullptr && ports[0] != nullptr;
  jack_free(ports);
  return inUse;
}

// The first free name of "Tessel", "Tessel 2", ...; null when no JACK server answers, and
// then `serverAnswered` is false.
jack_client_t* OpenClient(bool& serverAnswered) {
  serverAnswered = true;
  for (int number = 1; number <= kMostCopies; ++number) {
    const std::string name = CopyName(number);
    jack_status_t status{};
    jack_client_t* client =
        jack_client_open(name.c_str(), JackOptions(JackNoStartServer | JackUseExactName), &status);
    if (client != nullptr && !NameInUse(client, name)) return client;
    if (client != nullptr) {
      jack_client_close(client);
      continue;
    }
    // A name taken is told apart only by the server answering (libjack 1.9.21 reports it
    // as a server error, not as a name that is not unique).
    if ((status & JackServerFailed) != 0) {
      serverAnswered = number > 1;
      return nullptr;
    }
  }
  return nullptr;
}

void ToStandardError(const char* message) { std::fprintf(stderr, "JACK: %s\n", message); }

void Quiet(const char*) {}

// Holds what the process writes to standard error while it lives, and passes it on only when
// told to. libjack and its database library write there directly while they look for a
// server, and when none runs that is an answer, not an error.
class StandardErrorHold {
 public:
  StandardErrorHold() : held_(std::tmpfile()), saved_(held_ != nullptr ? dup(STDERR_FILENO) : -1) {
    std::fflush(stderr);
    if (saved_ >= 0) dup2(fileno(held_), STDERR_FILENO);
  }
  ~StandardErrorHold() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    if (passOn_) {
      std::rewind(held_);
      char chunk[512];
      while (const size_t read = std::fread(chunk, 1, sizeof chunk, held_)) {
        std::fwrite(chunk, 1, read, stderr);
      }
    }
    std::fclose(held_);
  }
  StandardErrorHold(const StandardErrorHold&) = delete;
  StandardErrorHold& operator=(const StandardErrorHold&) = delete;

  void PassOn() { passOn_ = true; }

 private:
  std::FILE* const held_;  // null when no file could be made: nothing is held then
  const int saved_;
  bool passOn_ = false;
};

}  // namespace

// An open input: device 0 is our port as it is; device N also connects the server's port to it.
class JackBackend::Input final : public MidiInputConnection {
 public:
  Input(JackBackend& backend, std::string source) : backend_(backend), source_(std::move(source)) {}
  ~Input() override {
    if (connected_) {
      jack_disconnect(backend_.client_, source_.c_str(), jack_port_name(backend_.inputPort_));
    }
    backend_.Attach(nullptr);
    backend_.inputClaimed_.store(false, std::memory_order_release);
  }

  MMRESULT Open(MidiInputSink& sink) {
    if (!source_.empty()) {
      const int result =
          jack_connect(backend_.client_, source_.c_str(), jack_port_name(backend_.inputPort_));
      if (result != 0 && result != EEXIST) return MIDIERR_NODEVICE;
      connected_ = result == 0;  // a connection made by someone else stays
    }
    backend_.Attach(&sink);
    return MMSYSERR_NOERROR;
  }

 private:
  JackBackend& backend_;
  const std::string source_;  // empty for our port as it is
  bool connected_ = false;
};

// An open output: the mapper is our port as it is; device N also connects it to the server's
// port. Closing lets the port play what was queued first, so a reset's note-offs are heard.
class JackBackend::Output final : public MidiOutputConnection {
 public:
  Output(JackBackend& backend, std::string destination)
      : backend_(backend), destination_(std::move(destination)) {}
  ~Output() override {
    backend_.Drain();
    if (connected_) {
      jack_disconnect(backend_.client_, jack_port_name(backend_.outputPort_), destination_.c_str());
    }
    backend_.outputClaimed_.store(false, std::memory_order_release);
  }

  MMRESULT Open() {
    if (destination_.empty()) return MMSYSERR_NOERROR;
    const int result =
        jack_connect(backend_.client_, jack_port_name(backend_.outputPort_), destination_.c_str());
    if (result != 0 && result != EEXIST) return MIDIERR_NODEVICE;
    connected_ = result == 0;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Send(const uint8_t* bytes, size_t count, PlayTimeUs playAt) override {
    return backend_.Queue(bytes, count, playAt, interrupted_);
  }
  void Interrupt(bool interrupted) override {
    interrupted_.store(interrupted, std::memory_order_release);
  }

 private:
  JackBackend& backend_;
  const std::string destination_;  // empty for the mapper
  bool connected_ = false;
  std::atomic<bool> interrupted_ = false;
};

std::shared_ptr<MidiBackend> JackBackend::Create() {
  jack_set_error_function(&ToStandardError);
  jack_set_info_function(&Quiet);  // progress notes, not errors
  jack_client_t* client = nullptr;
  {
    StandardErrorHold hold;
    bool serverAnswered = false;
    client = OpenClient(serverAnswered);
    if (serverAnswered) hold.PassOn();
  }
  if (client == nullptr) return nullptr;
  std::shared_ptr<JackBackend> backend(new JackBackend(client));
  if (!backend->Start()) return nullptr;
  return backend;
}

JackBackend::JackBackend(jack_client_t* client)
    : client_(client), incoming_(kRingBytes), outgoing_(kRingBytes) {}

bool JackBackend::Start() {
  jack_on_shutdown(client_, &JackBackend::OnShutdown, this);
  jack_set_xrun_callback(client_, &JackBackend::OnXrun, this);
  jack_set_port_registration_callback(client_, &JackBackend::OnPortRegistration, this);
  jack_set_port_rename_callback(client_, &JackBackend::OnPortRename, this);
  if (jack_set_process_callback(client_, &JackBackend::OnProcess, this) != 0) return false;
  deliveryThread_ = std::thread(&JackBackend::DeliverUntilStopped, this);
  if (jack_activate(client_) != 0) return false;
  inputPort_ =
      jack_port_register(client_, kInputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  outputPort_ =
      jack_port_register(client_, kOutputPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  return inputPort_ != nullptr && outputPort_ != nullptr;
}

JackBackend::~JackBackend() {
  // Returns once the process thread has left. A client the server shut down is left for the
  // process exit to end: libjack 1.9.21 can crash closing it.
  if (!ServerGone()) jack_client_close(client_);
  stopping_.store(true, std::memory_order_release);
  recorded_.fetch_add(1, std::memory_order_release);
  recorded_.notify_one();
  if (deliveryThread_.joinable()) deliveryThread_.join();
}

std::vector<std::string> JackBackend::SystemPortNames(bool sources) const {
  std::vector<std::string> names;
  if (ServerGone()) return names;
  const std::string own = std::string(jack_get_client_name(client_)) + ":";
  const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                      sources ? JackPortIsOutput : JackPortIsInput);
  for (size_t i = 0; ports != nullptr && ports[i] != nullptr; ++i) {
    if (!std::string_view(ports[i]).starts_with(own)) names.emplace_back(ports[i]);
  }
  jack_free(ports);
  return names;
}

MMRESULT JackBackend::OpenInput(UINT id, MidiInputSink& sink,
                                std::unique_ptr<MidiInputConnection>& connection) {
  if (ServerGone()) return MMSYSERR_NODRIVER;
  std::string source;
  if (id != 0) {
    const std::vector<std::string> ports = SystemPortNames(true);
    if (id - 1 >= ports.size()) return MMSYSERR_BADDEVICEID;
    source = ports[id - 1];
  }
  if (inputClaimed_.exchange(true, std::memory_order_acq_rel)) return MMSYSERR_ALLOCATED;
  auto input = std::make_unique<Input>(*this, std::move(source));
  if (const MMRESULT result = input->Open(sink)) return result;
  connection = std::move(input);
  return MMSYSERR_NOERROR;
}

MMRESULT JackBackend::OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) {
  if (ServerGone()) return MMSYSERR_NODRIVER;
  std::string destination;
  if (id != MIDI_MAPPER) {
    const std::vector<std::string> ports = SystemPortNames(false);
    if (id >= ports.size()) return MMSYSERR_BADDEVICEID;
    destination = ports[id];
  }
  if (outputClaimed_.exchange(true, std::memory_order_acq_rel)) return MMSYSERR_ALLOCATED;
  auto output = std::make_unique<Output>(*this, std::move(destination));
  if (const MMRESULT result = output->Open()) return result;
  connection = std::move(output);
  return MMSYSERR_NOERROR;
}

// Polls rather than waits on a signal: the process thread never takes a lock or wakes anyone
// for the sending side.
template <typename Done>
bool JackBackend::PollWhileCycling(Done done, std::chrono::milliseconds mostStall) const {
  uint64_t seen = cycles_.load(std::memory_order_acquire);
  auto lastCycle = std::chrono::steady_clock::now();
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (const uint64_t cycles = cycles_.load(std::memory_order_acquire); cycles != seen) {
      seen = cycles;
      lastCycle = now;
    } else if (now - lastCycle >= mostStall) {
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

PlayTimeUs JackBackend::OutputLeadUs() const {
  const jack_nframes_t rate = jack_get_sample_rate(client_);
  if (ServerGone() || rate == 0) return 0;
  return PlayTimeUs{jack_get_buffer_size(client_)} * 1000000 / rate;
}

MMRESULT JackBackend::Queue(const uint8_t* bytes, size_t count, PlayTimeUs playAt,
                            const std::atomic<bool>& interrupted) {
  for (size_t queued = 0; queued < count;) {
    const size_t piece = std::min(count - queued, kMostQueuedBytes);
    bool written = false;
    PollWhileCycling(
        [&] {
          written = !ServerGone() && outgoing_.Write(reinterpret_cast<const uint8_t*>(&playAt),
                                                     sizeof playAt, bytes + queued, piece);
          return written || ServerGone() || interrupted.load(std::memory_order_acquire);
        },
        kMostSendStall);
    if (!written) return MMSYSERR_ERROR;
    queued += piece;
  }
  return MMSYSERR_NOERROR;
}

// Two cycles past the one that took the last message: a reader that runs ahead of us in the
// cycle (ports cabled in a loop) reads our buffer one cycle late, and must still find it.
void JackBackend::Drain() {
  PollWhileCycling([this] { return ServerGone() || outgoing_.Empty(); }, kMostCloseStall);
  const uint64_t taken = cycles_.load(std::memory_order_acquire);
  PollWhileCycling(
      [&] { return ServerGone() || cycles_.load(std::memory_order_acquire) >= taken + 2; },
      kMostCloseStall);
}

void JackBackend::Attach(MidiInputSink* sink) {
  listening_.store(sink != nullptr, std::memory_order_relaxed);
  std::lock_guard guard(sinkLock_);
  sink_ = sink;
}

int JackBackend::OnProcess(jack_nframes_t frames, void* self) {
  auto& backend = *static_cast<JackBackend*>(self);
  CycleCostProbe* const probe = backend.probe_.load(std::memory_order_acquire);
  const auto began =
      probe != nullptr ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  jack_port_t* const input = backend.inputPort_.load(std::memory_order_acquire);
  jack_port_t* const output = backend.outputPort_.load(std::memory_order_acquire);
  const CycleClock clock = backend.MeasureCycle(frames);
  if (input != nullptr) backend.Record(jack_port_get_buffer(input, frames), clock);
  if (output != nullptr) backend.Play(jack_port_get_buffer(output, frames), clock);
  backend.cycles_.fetch_add(1, std::memory_order_release);
  if (probe != nullptr) probe->CycleTook(std::chrono::steady_clock::now() - began);
  return 0;
}

int JackBackend::OnXrun(void* self) {
  static_cast<JackBackend*>(self)->missedCycles_.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void JackBackend::OnShutdown(void* self) {
  static_cast<JackBackend*>(self)->gone_.store(true, std::memory_order_release);
}

void JackBackend::OnPortRegistration(jack_port_id_t, int, void* self) {
  static_cast<JackBackend*>(self)->watch_.Notify();
}

void JackBackend::OnPortRename(jack_port_id_t, const char*, const char*, void* self) {
  static_cast<JackBackend*>(self)->watch_.Notify();
}

// The times the server measured for this cycle, not ones extrapolated from frame counts,
// which drift far from the clock when cycles run late.
JackBackend::CycleClock JackBackend::MeasureCycle(jack_nframes_t frames) const {
  jack_nframes_t cycleFrames = 0;
  jack_time_t startUs = 0, nextUs = 0;
  float periodUs = 0;
  if (jack_get_cycle_times(client_, &cycleFrames, &startUs, &nextUs, &periodUs) != 0 ||
      nextUs <= startUs) {
    startUs = nextUs = jack_get_time();
  }
  const auto jackNowUs = static_cast<int64_t>(jack_get_time());
  return {{static_cast<int64_t>(startUs), static_cast<int64_t>(nextUs), frames},
          SteadyMicroseconds() - jackNowUs};
}

void JackBackend::Record(void* buffer, const CycleClock& clock) {
  if (!listening_.load(std::memory_order_relaxed)) return;
  const uint32_t count = jack_midi_get_event_count(buffer);
  if (count == 0) return;
  const CycleSpan& cycle = clock.Span;
  bool recorded = false;
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
    const int64_t eventUs =
        cycle.StartUs + (cycle.NextUs - cycle.StartUs) * event.time / cycle.Frames;
    const auto timeMs = static_cast<uint32_t>((eventUs + clock.SteadyMinusJackUs) / 1000);
    // An event that finds the ring full is lost; it takes thousands of messages in one cycle.
    if (incoming_.Write(reinterpret_cast<const uint8_t*>(&timeMs), sizeof timeMs, event.buffer,
                        event.size)) {
      recorded = true;
    } else {
      lostInput_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (!recorded) return;
  recorded_.fetch_add(1, std::memory_order_release);
  recorded_.notify_one();  // a futex wake when the delivery thread sleeps; never a lock
}

// Writes whole messages whose instants fall in this cycle or before it, each at its frame,
// while the cycle's buffer takes them; the rest waits for the next cycles, in order. Only a
// message longer than a whole buffer goes out in pieces, the later ones at the start of
// their cycles.
void JackBackend::Play(void* buffer, const CycleClock& clock) {
  jack_midi_clear_buffer(buffer);
  const size_t wholeBuffer = jack_midi_max_event_size(buffer);
  uint32_t earliest = 0;
  while (const size_t size = outgoing_.FrontSize()) {
    PlayTimeUs playAt = kPlayAtOnce;
    outgoing_.Copy(0, reinterpret_cast<uint8_t*>(&playAt), sizeof playAt);
    const int64_t atUs = playAt == kPlayAtOnce ? clock.Span.StartUs
                                               : playAt - clock.SteadyMinusJackUs + kWakeSlackUs;
    const std::optional<uint32_t> offset = FrameOffset(clock.Span, atUs, earliest);
    if (!offset) return;
    const size_t left = size - sizeof playAt - playedOfFront_;
    const size_t room = jack_midi_max_event_size(buffer);
    const size_t piece = left <= room ? left : left > wholeBuffer ? room : 0;
    if (piece == 0) return;
    jack_midi_data_t* data = jack_midi_event_reserve(buffer, *offset, piece);
    if (data == nullptr) return;
    outgoing_.Copy(sizeof playAt + playedOfFront_, data, piece);
    earliest = *offset;
    playedOfFront_ += piece;
    if (playedOfFront_ < size - sizeof playAt) return;
    outgoing_.Pop();
    playedOfFront_ = 0;
  }
}

void JackBackend::DeliverUntilStopped() {
  std::vector<uint8_t> message;
  while (!stopping_.load(std::memory_order_acquire)) {
    const uint32_t seen = recorded_.load(std::memory_order_acquire);
    while (const size_t size = incoming_.FrontSize()) {
      uint32_t timeMs = 0;
      incoming_.Copy(0, reinterpret_cast<uint8_t*>(&timeMs), sizeof timeMs);
      message.resize(size - sizeof timeMs);
      incoming_.Copy(sizeof timeMs, message.data(), message.size());
      incoming_.Pop();
      std::lock_guard guard(sinkLock_);
      if (sink_ != nullptr) sink_->Receive(message.data(), message.size(), timeMs);
    }
    recorded_.wait(seen, std::memory_order_acquire);
  }
}

}  // namespace mmsystem

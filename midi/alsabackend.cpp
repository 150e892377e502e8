#include "midi/alsabackend.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/timerservice.h"

namespace mmsystem {

namespace {

constexpr char kAnnouncePortName[] = "announcements";
// The kernel's most events a client may hold: a burst at one instant, or a long
// system-exclusive message, waits there for the delivery thread instead of being dropped.
constexpr size_t kKernelPoolEvents = 2000;
constexpr size_t kInputBufferBytes = size_t{1} << 16;
// System-exclusive bytes go out in events of at most this size, in order; receivers join
// them again.
constexpr size_t kMostSysexEventBytes = 256;
// How long a send waits for room in the kernel's pool: longer only while no one reads.
constexpr auto kMostWait = std::chrono::seconds(2);
// Each message is asked for this long before its instant and waits on the sequencer's queue,
// so a sender woken a little late still plays it on time.
constexpr PlayTimeUs kScheduleLeadUs = 2000;
// How long a close waits for the queue to play what it holds: a reset's note-offs.
constexpr auto kMostCloseWait = std::chrono::milliseconds(250);
constexpr unsigned kMidiPortTypes =
    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION;

// True when a client other than `self` carries `name`; with `olderOnly`, one that started
// earlier (the sequencer numbers clients in start order).
bool NameTaken(snd_seq_t* sequencer, int self, const std::string& name, bool olderOnly) {
  snd_seq_client_info_t* info;
  snd_seq_client_info_alloca(&info);
  snd_seq_client_info_set_client(info, -1);
  while (snd_seq_query_next_client(sequencer, info) >= 0) {
    const int client = snd_seq_client_info_get_client(info);
    if (client == self || (olderOnly && client > self)) continue;
    if (name == snd_seq_client_info_get_name(info)) return true;
  }
  return false;
}

// Takes the first free name of "Tessel", "Tessel 2", ... Two copies starting at once may both
// find a name free; the one that started later then moves on.
bool TakeCopyName(snd_seq_t* sequencer, int self) {
  for (int number = 1; number <= kMostCopies; ++number) {
    const std::string name = CopyName(number);
    if (NameTaken(sequencer, self, name, false)) continue;
    if (snd_seq_set_client_name(sequencer, name.c_str()) < 0) return false;
    if (!NameTaken(sequencer, self, name, true)) return true;
  }
  return false;
}

int MakePort(snd_seq_t* sequencer, const char* name, unsigned capabilities, unsigned type) {
  return snd_seq_create_simple_port(sequencer, name, capabilities, type);
}

bool IsSysex(const uint8_t* bytes, size_t count) {
  // A run of system-exclusive bytes starts with F0, or continues one without a status byte.
  return count > 0 && (bytes[0] == 0xF0 || bytes[0] < 0x80);
}

bool IsPortChange(int type) {
  switch (type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
    case SND_SEQ_EVENT_CLIENT_CHANGE:
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
    case SND_SEQ_EVENT_PORT_CHANGE:
      return true;
    default:
      return false;
  }
}

void Quiet(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

// An open input: device 0 is our port as it is; device N also subscribes the system's port
// to it.
class AlsaBackend::Input final : public MidiInputConnection {
 public:
  explicit Input(AlsaBackend& backend) : backend_(backend) {}
  ~Input() override {
    if (subscribed_) {
      snd_seq_disconnect_from(backend_.sequencer_, backend_.inputPort_, source_.client,
                              source_.port);
    }
    backend_.Attach(nullptr);
    backend_.inputClaimed_.store(false, std::memory_order_release);
  }

  MMRESULT Open(const SystemPort* source, MidiInputSink& sink) {
    if (source != nullptr) {
      source_ = source->address;
      const int result = snd_seq_connect_from(backend_.sequencer_, backend_.inputPort_,
                                              source_.client, source_.port);
      if (result < 0 && result != -EBUSY) return MIDIERR_NODEVICE;
      subscribed_ = result == 0;  // a subscription made by someone else stays
    }
    backend_.Attach(&sink);
    return MMSYSERR_NOERROR;
  }

 private:
  AlsaBackend& backend_;
  snd_seq_addr_t source_{};
  bool subscribed_ = false;
};

// An open output: the mapper is our port as it is; device N also subscribes it to the
// system's port. Each event waits on the sequencer's queue for its instant, never before the
// one sent before it, so the sequencer delivers them in order and on time.
class AlsaBackend::Output final : public MidiOutputConnection {
 public:
  explicit Output(AlsaBackend& backend) : backend_(backend) {}
  ~Output() override {
    // Unsubscribed, what still waits on the queue would reach no one.
    std::this_thread::sleep_until(
        std::min(lastDue_, std::chrono::steady_clock::now() + kMostCloseWait));
    if (encoder_ != nullptr) snd_midi_event_free(encoder_);
    if (subscribed_) {
      snd_seq_disconnect_to(backend_.sequencer_, backend_.outputPort_, destination_.client,
                            destination_.port);
    }
    backend_.outputClaimed_.store(false, std::memory_order_release);
  }

  MMRESULT Open(const SystemPort* destination) {
    if (snd_midi_event_new(kMostSysexEventBytes, &encoder_) < 0) return MMSYSERR_NOMEM;
    snd_midi_event_no_status(encoder_, 1);
    if (destination == nullptr) return MMSYSERR_NOERROR;
    destination_ = destination->address;
    const int result = snd_seq_connect_to(backend_.sequencer_, backend_.outputPort_,
                                          destination_.client, destination_.port);
    if (result < 0 && result != -EBUSY) return MIDIERR_NODEVICE;
    subscribed_ = result == 0;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Send(const uint8_t* bytes, size_t count, PlayTimeUs playAt) override {
    Schedule(playAt);
    if (IsSysex(bytes, count)) return SendSysex(bytes, count);
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_midi_event_reset_encode(encoder_);
    const long used = snd_midi_event_encode(encoder_, bytes, static_cast<long>(count), &event);
    if (used <= 0 || event.type == SND_SEQ_EVENT_NONE) return MMSYSERR_INVALPARAM;
    return Emit(event);
  }

 private:
  MMRESULT SendSysex(const uint8_t* bytes, size_t count) {
    for (size_t sent = 0; sent < count;) {
      const size_t piece = std::min(count - sent, kMostSysexEventBytes);
      snd_seq_event_t event;
      snd_seq_ev_clear(&event);
      snd_seq_ev_set_sysex(&event, static_cast<unsigned>(piece),
                           const_cast<uint8_t*>(bytes + sent));
      if (const MMRESULT result = Emit(event)) return result;
      sent += piece;
    }
    return MMSYSERR_NOERROR;
  }

  // Where on the queue's clock the next message plays: at `playAt`, or at once, but never
  // before the message sent last. Without a queue every message plays at once.
  void Schedule(PlayTimeUs playAt) {
    if (backend_.queue_ < 0) return;
    snd_seq_queue_status_t* status;
    snd_seq_queue_status_alloca(&status);
    if (snd_seq_get_queue_status(backend_.sequencer_, backend_.queue_, status) < 0) return;
    const snd_seq_real_time_t* now = snd_seq_queue_status_get_real_time(status);
    const int64_t queueNowUs = int64_t{now->tv_sec} * 1000000 + now->tv_nsec / 1000;
    const PlayTimeUs steadyNowUs = SteadyMicroseconds();
    const int64_t aheadUs = playAt == kPlayAtOnce ? 0 : std::max<int64_t>(playAt - steadyNowUs, 0);
    dueUs_ = std::max(queueNowUs + aheadUs, dueUs_);
    lastDue_ =
        std::chrono::steady_clock::now() + std::chrono::microseconds(dueUs_ - queueNowUs + 1000);
  }

  // Waits while the kernel's pool is full, so nothing is dropped.
  MMRESULT Emit(snd_seq_event_t& event) {
    snd_seq_ev_set_source(&event, backend_.outputPort_);
    snd_seq_ev_set_subs(&event);
    if (backend_.queue_ >= 0) {
      const snd_seq_real_time_t due{static_cast<unsigned>(dueUs_ / 1000000),
                                    static_cast<unsigned>(dueUs_ % 1000000 * 1000)};
      snd_seq_ev_schedule_real(&event, backend_.queue_, 0, &due);
    } else {
      snd_seq_ev_set_direct(&event);
    }
    const auto deadline = std::chrono::steady_clock::now() + kMostWait;
    while (true) {
      const int result = snd_seq_event_output_direct(backend_.sequencer_, &event);
      if (result >= 0) return MMSYSERR_NOERROR;
      if (result != -EAGAIN || std::chrono::steady_clock::now() >= deadline) return MMSYSERR_ERROR;
      pollfd room{};
      snd_seq_poll_descriptors(backend_.sequencer_, &room, 1, POLLOUT);
      ::poll(&room, 1, 1);
    }
  }

  AlsaBackend& backend_;
  snd_midi_event_t* encoder_ = nullptr;  // the sending thread's own
  int64_t dueUs_ = 0;                    // on the queue's clock: when the message sent last plays
  std::chrono::steady_clock::time_point lastDue_{};  // the same on the steady clock, and a tick
  snd_seq_addr_t destination_{};
  bool subscribed_ = false;
};

std::shared_ptr<MidiBackend> AlsaBackend::Create() {
  // alsa-lib reports a missing sequencer on stderr; here that is an answer, not an error.
  snd_lib_error_set_handler(&Quiet);
  snd_seq_t* sequencer = nullptr;
  if (snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
    return nullptr;
  }
  std::shared_ptr<AlsaBackend> backend(new AlsaBackend(sequencer));
  if (!backend->Start()) return nullptr;
  return backend;
}

AlsaBackend::AlsaBackend(snd_seq_t* sequencer) : sequencer_(sequencer) {}

bool AlsaBackend::Start() {
  client_ = snd_seq_client_id(sequencer_);
  if (client_ < 0 || !TakeCopyName(sequencer_, client_)) return false;
  snd_seq_set_client_pool_input(sequencer_, kKernelPoolEvents);
  snd_seq_set_client_pool_output(sequencer_, kKernelPoolEvents);
  snd_seq_set_input_buffer_size(sequencer_, kInputBufferBytes);
  constexpr unsigned kPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
  inputPort_ = MakePort(sequencer_, kInputPortName,
                        SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kPortType);
  outputPort_ = MakePort(sequencer_, kOutputPortName,
                         SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, kPortType);
  // No subscription rights: only we connect it, and patchbays leave it out.
  announcePort_ =
      MakePort(sequencer_, kAnnouncePortName, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
               SND_SEQ_PORT_TYPE_APPLICATION);
  if (inputPort_ < 0 || outputPort_ < 0 || announcePort_ < 0) return false;
  if (snd_seq_connect_from(sequencer_, announcePort_, SND_SEQ_CLIENT_SYSTEM,
                           SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
    return false;
  }
  // A queue of our own times the output; without one, messages play when sent.
  queue_ = snd_seq_alloc_named_queue(sequencer_, "Tessel");
  if (queue_ >= 0 && (snd_seq_start_queue(sequencer_, queue_, nullptr) < 0 ||
                      snd_seq_drain_output(sequencer_) < 0)) {
    snd_seq_free_queue(sequencer_, queue_);
    queue_ = -1;
  }
  if (snd_midi_event_new(kMostSysexEventBytes, &decoder_) < 0) return false;
  snd_midi_event_no_status(decoder_, 1);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) return false;
  deliveryThread_ = std::thread(&AlsaBackend::DeliverUntilStopped, this);
  return true;
}

AlsaBackend::~AlsaBackend() {
  if (deliveryThread_.joinable()) {
    const uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    deliveryThread_.join();
  }
  if (stopFd_ >= 0) ::close(stopFd_);
  if (decoder_ != nullptr) snd_midi_event_free(decoder_);
  snd_seq_close(sequencer_);
}

std::vector<AlsaBackend::SystemPort> AlsaBackend::SystemPorts(bool sources) const {
  const unsigned wanted = sources ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                  : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
  std::vector<SystemPort> ports;
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(sequencer_, client) >= 0) {
    const int id = snd_seq_client_info_get_client(client);
    if (id == SND_SEQ_CLIENT_SYSTEM || id == client_) continue;
    snd_seq_port_info_set_client(port, id);
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(sequencer_, port) >= 0) {
      const unsigned capabilities = snd_seq_port_info_get_capability(port);
      if ((capabilities & wanted) != wanted || (capabilities & SND_SEQ_PORT_CAP_NO_EXPORT) != 0 ||
          (snd_seq_port_info_get_type(port) & kMidiPortTypes) == 0) {
        continue;
      }
      const snd_seq_addr_t address = *snd_seq_port_info_get_addr(port);
      ports.push_back({address, std::string(snd_seq_client_info_get_name(client)) + ":" +
                                    snd_seq_port_info_get_name(port) + " " +
                                    std::to_string(address.client) + ":" +
                                    std::to_string(address.port)});
    }
  }
  return ports;
}

PlayTimeUs AlsaBackend::OutputLeadUs() const { return queue_ >= 0 ? kScheduleLeadUs : 0; }

std::vector<std::string> AlsaBackend::SystemPortNames(bool sources) const {
  std::vector<std::string> names;
  for (SystemPort& port : SystemPorts(sources)) names.push_back(std::move(port.name));
  return names;
}

MMRESULT AlsaBackend::OpenInput(UINT id, MidiInputSink& sink,
                                std::unique_ptr<MidiInputConnection>& connection) {
  std::vector<SystemPort> ports;
  if (id != 0) {
    ports = SystemPorts(true);
    if (id - 1 >= ports.size()) return MMSYSERR_BADDEVICEID;
  }
  if (inputClaimed_.exchange(true, std::memory_order_acq_rel)) return MMSYSERR_ALLOCATED;
  auto input = std::make_unique<Input>(*this);
  if (const MMRESULT result = input->Open(id == 0 ? nullptr : &ports[id - 1], sink)) {
    return result;
  }
  connection = std::move(input);
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaBackend::OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) {
  std::vector<SystemPort> ports;
  if (id != MIDI_MAPPER) {
    ports = SystemPorts(false);
    if (id >= ports.size()) return MMSYSERR_BADDEVICEID;
  }
  if (outputClaimed_.exchange(true, std::memory_order_acq_rel)) return MMSYSERR_ALLOCATED;
  auto output = std::make_unique<Output>(*this);
  if (const MMRESULT result = output->Open(id == MIDI_MAPPER ? nullptr : &ports[id])) {
    return result;
  }
  connection = std::move(output);
  return MMSYSERR_NOERROR;
}

// Sequentially consistent with Deliver's two steps: either the delivery thread sees the new
// sink, or this sees it delivering and waits.
void AlsaBackend::Attach(MidiInputSink* sink) {
  sink_.store(sink);
  while (delivering_.load()) std::this_thread::yield();
}

// Stamped as it is read: the delivery thread reads each event as soon as the kernel has it.
void AlsaBackend::Deliver(const snd_seq_event_t& event) {
  if (event.dest.port == announcePort_) {
    if (IsPortChange(event.type)) watch_.Notify();
    return;
  }
  if (event.dest.port != inputPort_) return;
  const uint32_t timeMs = timeGetTime();
  const uint8_t* bytes;
  size_t count;
  unsigned char decoded[16];
  if (event.type == SND_SEQ_EVENT_SYSEX) {
    bytes = static_cast<const uint8_t*>(event.data.ext.ptr);
    count = event.data.ext.len;
  } else {
    const long length = snd_midi_event_decode(decoder_, decoded, sizeof decoded, &event);
    if (length <= 0) return;  // not a MIDI message: a sequencer's own event
    bytes = decoded;
    count = static_cast<size_t>(length);
  }
  delivering_.store(true);
  if (MidiInputSink* sink = sink_.load()) sink->Receive(bytes, count, timeMs);
  delivering_.store(false);
}

void AlsaBackend::DeliverUntilStopped() {
  constexpr int kMostFds = 4;
  pollfd fds[kMostFds + 1];
  const int count = std::min(snd_seq_poll_descriptors_count(sequencer_, POLLIN), kMostFds);
  snd_seq_poll_descriptors(sequencer_, fds, static_cast<unsigned>(count), POLLIN);
  fds[count] = {stopFd_, POLLIN, 0};
  while (true) {
    if (::poll(fds, static_cast<nfds_t>(count + 1), -1) < 0 && errno != EINTR) return;
    if ((fds[count].revents & POLLIN) != 0) return;
    snd_seq_event_t* event = nullptr;
    while (true) {
      const int result = snd_seq_event_input(sequencer_, &event);
      if (result == -ENOSPC) {
        overruns_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      if (result < 0) break;
      Deliver(*event);
    }
  }
}

}  // namespace mmsystem

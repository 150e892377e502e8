#include "tests/jack/jackpeer.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace {

std::string ServerName() {
  const char* name = std::getenv("JACK_DEFAULT_SERVER");
  return name != nullptr && *name != '\0' ? name : "default";
}

// Takes an exclusive flock on the server's test lock once per process; the process exit
// releases it, after the program's JACK clients have closed.
void HoldServerTestLock() {
  static const int fd = [] {
    const auto path =
        std::filesystem::temp_directory_path() / ("tessel-jack-" + ServerName() + ".lock");
    const int opened = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (opened < 0) throw std::runtime_error("cannot open the JACK test lock " + path.string());
    while (::flock(opened, LOCK_EX) != 0 && errno == EINTR) {
    }
    return opened;
  }();
  static_cast<void>(fd);
}

bool IsStatus(uint8_t byte) { return byte >= 0x80; }
bool IsRealTime(uint8_t byte) { return byte >= 0xF8; }

}  // namespace

struct TJackPeer::TState {
  jack_client_t* client = nullptr;
  jack_port_t* output = nullptr;
  jack_port_t* input = nullptr;

  // Guards everything below; the process thread takes it once per cycle.
  mutable std::mutex lock;
  mutable std::condition_variable changed;
  struct TOutgoing {
    std::vector<uint8_t> bytes;
    size_t maxEventBytes;
    std::optional<jack_nframes_t> frame;  // where to write it; at once when none
    size_t written = 0;
  };
  std::deque<TOutgoing> outgoing;
  std::atomic<std::chrono::milliseconds> stall{};  // taken by the next cycle
  std::vector<TMessage> received;
  std::vector<uint8_t> sysex;  // a system-exclusive message still arriving
  bool inputConnected = false;
  std::vector<std::string> newClients;
  size_t xruns = 0;

  // On libjack's notification thread.
  static void OnClientRegistration(const char* name, int registered, void* arg) {
    auto& state = *static_cast<TState*>(arg);
    std::lock_guard guard(state.lock);
    if (registered) {
      state.newClients.emplace_back(name);
    } else {
      std::erase(state.newClients, name);
    }
  }

  // On libjack's notification thread.
  static int OnXrun(void* arg) {
    auto& state = *static_cast<TState*>(arg);
    std::lock_guard guard(state.lock);
    ++state.xruns;
    return 0;
  }

  static int Process(jack_nframes_t frames, void* arg) {
    auto& state = *static_cast<TState*>(arg);
    void* outputBuffer = jack_port_get_buffer(state.output, frames);
    void* inputBuffer = jack_port_get_buffer(state.input, frames);
    // Connections take effect in the graph the cycle runs, which these calls see.
    const bool outputConnected = jack_port_connected(state.output) > 0;
    const bool inputConnected = jack_port_connected(state.input) > 0;
    if (const auto stall = state.stall.exchange({}); stall.count() > 0)
      std::this_thread::sleep_for(stall);
    const jack_nframes_t cycleStart = jack_last_frame_time(state.client);
    std::lock_guard guard(state.lock);
    jack_midi_clear_buffer(outputBuffer);
    if (outputConnected) state.Play(outputBuffer, cycleStart, frames);
    state.Record(inputBuffer, cycleStart);
    state.inputConnected = inputConnected;
    state.changed.notify_all();
    return 0;
  }

  // Writes whole messages while they fit, each timed one at its frame within this cycle; a
  // system-exclusive message that does not fit is written in pieces, one piece per cycle.
  void Play(void* buffer, jack_nframes_t cycleStart, jack_nframes_t frames) {
    jack_nframes_t offset = 0;
    while (!outgoing.empty()) {
      TOutgoing& next = outgoing.front();
      if (next.frame) {
        const auto ahead = static_cast<int32_t>(*next.frame - cycleStart);
        if (ahead >= static_cast<int32_t>(frames)) return;
        offset = std::max<jack_nframes_t>(offset, ahead > 0 ? ahead : 0);
      }
      const size_t room = jack_midi_max_event_size(buffer);
      const size_t left = next.bytes.size() - next.written;
      const bool splittable = next.bytes.front() == 0xF0;
      size_t piece =
          splittable && next.maxEventBytes != 0 ? std::min(left, next.maxEventBytes) : left;
      if (piece > room) {
        if (!splittable || room == 0) return;
        piece = room;
      }
      if (jack_midi_event_write(buffer, offset, next.bytes.data() + next.written, piece) != 0)
        return;
      next.written += piece;
      if (next.written < next.bytes.size()) return;
      outgoing.pop_front();
    }
  }

  void Record(void* buffer, jack_nframes_t cycleStart) {
    const uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
      RecordEvent(event.buffer, event.size, cycleStart + event.time);
    }
  }

  void RecordEvent(const uint8_t* bytes, size_t size, uint32_t frame) {
    const uint8_t first = bytes[0];
    if (!sysex.empty() && IsStatus(first) && !IsRealTime(first) && first != 0xF7) {
      Store(std::move(sysex), frame);  // cut off by another message: keep what came
      sysex.clear();
    }
    if (first == 0xF0 || (!sysex.empty() && !IsRealTime(first))) {
      sysex.insert(sysex.end(), bytes, bytes + size);
      if (sysex.back() == 0xF7) {
        Store(std::move(sysex), frame);
        sysex.clear();
      }
      return;
    }
    Store(std::vector<uint8_t>(bytes, bytes + size), frame);
  }

  void Store(std::vector<uint8_t> bytes, uint32_t frame) {
    received.push_back(TMessage{std::move(bytes), Clock::now(), frame});
  }
};

bool TJackPeer::ServerRunning(std::string* why) {
  HoldServerTestLock();
  jack_status_t status{};
  jack_client_t* client = jack_client_open("TesselProbe", JackNoStartServer, &status);
  if (client == nullptr) {
    if (why != nullptr) {
      char statusText[16];
      std::snprintf(statusText, sizeof statusText, "0x%x", static_cast<unsigned>(status));
      *why = "no JACK server named '" + ServerName() + "' answers (status " + statusText + ")";
    }
    return false;
  }
  jack_client_close(client);
  return true;
}

TJackPeer::TJackPeer(const std::string& clientName) : state_(std::make_unique<TState>()) {
  HoldServerTestLock();
  jack_status_t status{};
  state_->client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
  if (state_->client == nullptr) {
    throw std::runtime_error("cannot open a JACK client on server '" + ServerName() + "'");
  }
  state_->output =
      jack_port_register(state_->client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  state_->input =
      jack_port_register(state_->client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (state_->output == nullptr || state_->input == nullptr ||
      jack_set_process_callback(state_->client, &TState::Process, state_.get()) != 0 ||
      jack_set_client_registration_callback(state_->client, &TState::OnClientRegistration,
                                            state_.get()) != 0 ||
      jack_set_xrun_callback(state_->client, &TState::OnXrun, state_.get()) != 0 ||
      jack_activate(state_->client) != 0) {
    jack_client_close(state_->client);
    throw std::runtime_error("cannot set up the JACK test client '" + clientName + "'");
  }
}

TJackPeer::~TJackPeer() {
  // Returns once the process thread has left the client, so the state may go.
  jack_client_close(state_->client);
}

std::string TJackPeer::OutputPort() const { return jack_port_name(state_->output); }

std::string TJackPeer::InputPort() const { return jack_port_name(state_->input); }

std::vector<std::string> TJackPeer::FindPorts(const std::string& pattern, bool inputs) const {
  std::vector<std::string> names;
  const char** ports = jack_get_ports(state_->client, pattern.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                      inputs ? JackPortIsInput : JackPortIsOutput);
  for (size_t i = 0; ports != nullptr && ports[i] != nullptr; ++i) names.emplace_back(ports[i]);
  jack_free(ports);
  return names;
}

std::vector<std::string> TJackPeer::NewClients() const {
  std::lock_guard guard(state_->lock);
  return state_->newClients;
}

bool TJackPeer::Connect(const std::string& from, const std::string& to) {
  const int result = jack_connect(state_->client, from.c_str(), to.c_str());
  return result == 0 || result == EEXIST;
}

void TJackPeer::Send(std::vector<uint8_t> bytes, size_t maxEventBytes) {
  if (bytes.empty()) return;
  std::lock_guard guard(state_->lock);
  state_->outgoing.push_back(TState::TOutgoing{std::move(bytes), maxEventBytes, std::nullopt});
}

void TJackPeer::SendAt(std::vector<uint8_t> bytes, uint32_t frame) {
  std::lock_guard guard(state_->lock);
  state_->outgoing.push_back(TState::TOutgoing{std::move(bytes), 0, frame});
}

uint32_t TJackPeer::FrameTime() const { return jack_frame_time(state_->client); }

uint32_t TJackPeer::SampleRate() const { return jack_get_sample_rate(state_->client); }

uint32_t TJackPeer::BufferSize() const { return jack_get_buffer_size(state_->client); }

bool TJackPeer::WaitUntilSent(std::chrono::milliseconds timeout) {
  std::unique_lock guard(state_->lock);
  return state_->changed.wait_for(guard, timeout, [&] { return state_->outgoing.empty(); });
}

bool TJackPeer::WaitUntilInputConnected(std::chrono::milliseconds timeout) const {
  std::unique_lock guard(state_->lock);
  return state_->changed.wait_for(guard, timeout, [&] { return state_->inputConnected; });
}

std::vector<TJackPeer::TMessage> TJackPeer::Received() const {
  std::lock_guard guard(state_->lock);
  return state_->received;
}

bool TJackPeer::WaitForMessages(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock guard(state_->lock);
  return state_->changed.wait_for(guard, timeout, [&] { return state_->received.size() >= count; });
}

void TJackPeer::ClearReceived() {
  std::lock_guard guard(state_->lock);
  state_->received.clear();
  state_->sysex.clear();
}

void TJackPeer::StallNextCycle(std::chrono::milliseconds stall) { state_->stall = stall; }

size_t TJackPeer::Xruns() const {
  std::lock_guard guard(state_->lock);
  return state_->xruns;
}

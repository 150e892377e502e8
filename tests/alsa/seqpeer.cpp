#include "tests/alsa/seqpeer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMostEventBytes = 16;
constexpr size_t kKernelPoolEvents = 2000;

}  // namespace

bool TSeqPeer::SequencerThere(std::string* why) {
  snd_seq_t* sequencer = nullptr;
  if (snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
    *why = "the ALSA sequencer does not open (no /dev/snd/seq)";
    return false;
  }
  snd_seq_close(sequencer);
  return true;
}

TSeqPeer::TSeqPeer(const std::string& clientName) {
  if (snd_seq_open(&sequencer_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
    throw std::runtime_error("the ALSA sequencer does not open");
  snd_seq_set_client_name(sequencer_, clientName.c_str());
  snd_seq_set_client_pool_input(sequencer_, kKernelPoolEvents);
  snd_seq_set_client_pool_output(sequencer_, kKernelPoolEvents);
  snd_seq_set_input_buffer_size(sequencer_, size_t{1} << 16);
  client_ = snd_seq_client_id(sequencer_);
  constexpr unsigned type = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
  snd_seq_create_simple_port(sequencer_, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                             type);
  snd_seq_create_simple_port(sequencer_, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                             type);
  snd_midi_event_new(kMostEventBytes, &encoder_);
  snd_midi_event_new(kMostEventBytes, &decoder_);
  snd_midi_event_no_status(decoder_, 1);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  reader_ = std::thread(&TSeqPeer::ReadUntilStopped, this);
}

TSeqPeer::~TSeqPeer() {
  const uint64_t one = 1;
  (void)!::write(stopFd_, &one, sizeof one);
  reader_.join();
  ::close(stopFd_);
  snd_midi_event_free(encoder_);
  snd_midi_event_free(decoder_);
  snd_seq_close(sequencer_);
}

std::vector<std::string> TSeqPeer::ClientNames() const {
  std::vector<std::string> names;
  snd_seq_client_info_t* info;
  snd_seq_client_info_alloca(&info);
  snd_seq_client_info_set_client(info, -1);
  while (snd_seq_query_next_client(sequencer_, info) >= 0)
    names.emplace_back(snd_seq_client_info_get_name(info));
  return names;
}

int TSeqPeer::FindClient(const std::string& name) const {
  snd_seq_client_info_t* info;
  snd_seq_client_info_alloca(&info);
  snd_seq_client_info_set_client(info, -1);
  while (snd_seq_query_next_client(sequencer_, info) >= 0)
    if (name == snd_seq_client_info_get_name(info)) return snd_seq_client_info_get_client(info);
  return -1;
}

std::vector<std::string> TSeqPeer::PublicPorts(int client) const {
  std::vector<std::string> names;
  snd_seq_port_info_t* info;
  snd_seq_port_info_alloca(&info);
  snd_seq_port_info_set_client(info, client);
  snd_seq_port_info_set_port(info, -1);
  while (snd_seq_query_next_port(sequencer_, info) >= 0) {
    const unsigned caps = snd_seq_port_info_get_capability(info);
    if ((caps & (SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_SUBS_WRITE)) != 0)
      names.emplace_back(snd_seq_port_info_get_name(info));
  }
  return names;
}

int TSeqPeer::OutputSubscribers() const {
  snd_seq_query_subscribe_t* query;
  snd_seq_query_subscribe_alloca(&query);
  const snd_seq_addr_t out{static_cast<unsigned char>(client_), 0};
  snd_seq_query_subscribe_set_root(query, &out);
  snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
  snd_seq_query_subscribe_set_index(query, 0);
  int count = 0;
  while (snd_seq_query_port_subscribers(sequencer_, query) >= 0) {
    ++count;
    snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
  }
  return count;
}

void TSeqPeer::Send(const TBytes& bytes) {
  snd_seq_event_t event;
  snd_seq_ev_clear(&event);
  if (!bytes.empty() && bytes[0] == 0xF0) {
    snd_seq_ev_set_sysex(&event, static_cast<unsigned>(bytes.size()),
                         const_cast<uint8_t*>(bytes.data()));
  } else {
    snd_midi_event_reset_encode(encoder_);
    snd_midi_event_encode(encoder_, bytes.data(), static_cast<long>(bytes.size()), &event);
  }
  snd_seq_ev_set_source(&event, 0);
  snd_seq_ev_set_subs(&event);
  snd_seq_ev_set_direct(&event);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (snd_seq_event_output_direct(sequencer_, &event) == -EAGAIN && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<TSeqPeer::TMessage> TSeqPeer::Received() const {
  std::lock_guard guard(lock_);
  return received_;
}

bool TSeqPeer::WaitForMessages(size_t count, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (Received().size() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void TSeqPeer::ClearReceived() {
  std::lock_guard guard(lock_);
  received_.clear();
  sysex_.clear();
}

void TSeqPeer::Record(const snd_seq_event_t& event) {
  const auto now = Clock::now();
  std::lock_guard guard(lock_);
  if (event.type == SND_SEQ_EVENT_SYSEX) {
    const auto* bytes = static_cast<const uint8_t*>(event.data.ext.ptr);
    sysex_.insert(sysex_.end(), bytes, bytes + event.data.ext.len);
    if (!sysex_.empty() && sysex_.back() == 0xF7) {
      received_.push_back({sysex_, now});
      sysex_.clear();
    }
    return;
  }
  unsigned char bytes[kMostEventBytes];
  const long length = snd_midi_event_decode(decoder_, bytes, sizeof bytes, &event);
  if (length > 0) received_.push_back({TBytes(bytes, bytes + length), now});
}

void TSeqPeer::ReadUntilStopped() {
  pollfd fds[2];
  snd_seq_poll_descriptors(sequencer_, fds, 1, POLLIN);
  fds[1] = {stopFd_, POLLIN, 0};
  while (::poll(fds, 2, -1) >= 0 && (fds[1].revents & POLLIN) == 0) {
    snd_seq_event_t* event = nullptr;
    int result;
    while ((result = snd_seq_event_input(sequencer_, &event)) >= 0 || result == -ENOSPC)
      if (result >= 0) Record(*event);
  }
}

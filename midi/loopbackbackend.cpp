#include "midi/loopbackbackend.h"

#include <string>

#include "platform/timerservice.h"

namespace mmsystem {

class LoopbackBackend::Input final : public MidiInputConnection {
 public:
  Input(LoopbackBackend& backend, UINT id) : backend_(backend), id_(id) {}
  ~Input() override { backend_.Detach(id_); }

 private:
  LoopbackBackend& backend_;
  const UINT id_;
};

class LoopbackBackend::Output final : public MidiOutputConnection {
 public:
  Output(LoopbackBackend& backend, UINT input) : backend_(backend), input_(input) {}
  MMRESULT Send(const uint8_t* bytes, size_t count, PlayTimeUs) override {
    backend_.Post(input_, bytes, count);
    return MMSYSERR_NOERROR;
  }

 private:
  LoopbackBackend& backend_;
  const UINT input_;  // may name no input (the mapper with no devices): bytes then vanish
};

LoopbackBackend::LoopbackBackend(unsigned deviceCount)
    : deviceCount_(deviceCount),
      sinks_(deviceCount, nullptr),
      deliveryThread_([this] { DeliverUntilStopped(); }) {}

LoopbackBackend::~LoopbackBackend() {
  {
    std::lock_guard guard(queueLock_);
    stopping_ = true;
  }
  queueChanged_.notify_one();
  deliveryThread_.join();
}

MMRESULT LoopbackBackend::InputName(UINT id, std::string& name) {
  if (id >= deviceCount_) return MMSYSERR_BADDEVICEID;
  name = "Loopback " + std::to_string(id);
  return MMSYSERR_NOERROR;
}

MMRESULT LoopbackBackend::OutputName(UINT id, std::string& name) {
  if (id == MIDI_MAPPER) {
    name = "Loopback Mapper";
    return MMSYSERR_NOERROR;
  }
  return InputName(id, name);
}

MMRESULT LoopbackBackend::OpenInput(UINT id, MidiInputSink& sink,
                                    std::unique_ptr<MidiInputConnection>& connection) {
  if (id >= deviceCount_) return MMSYSERR_BADDEVICEID;
  std::lock_guard guard(sinkLock_);
  if (sinks_[id] != nullptr) return MMSYSERR_ALLOCATED;
  sinks_[id] = &sink;
  connection = std::make_unique<Input>(*this, id);
  return MMSYSERR_NOERROR;
}

MMRESULT LoopbackBackend::OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) {
  if (id != MIDI_MAPPER && id >= deviceCount_) return MMSYSERR_BADDEVICEID;
  connection = std::make_unique<Output>(*this, id == MIDI_MAPPER ? 0 : id);
  return MMSYSERR_NOERROR;
}

void LoopbackBackend::Post(UINT input, const uint8_t* bytes, size_t count) {
  {
    std::lock_guard guard(queueLock_);
    queue_.push_back(Transfer{input, std::vector<uint8_t>(bytes, bytes + count), timeGetTime()});
  }
  queueChanged_.notify_one();
}

void LoopbackBackend::Detach(UINT input) {
  std::lock_guard guard(sinkLock_);
  sinks_[input] = nullptr;
}

void LoopbackBackend::DeliverUntilStopped() {
  std::unique_lock queueGuard(queueLock_);
  for (;;) {
    queueChanged_.wait(queueGuard, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Transfer transfer = std::move(queue_.front());
    queue_.pop_front();
    queueGuard.unlock();
    {
      std::lock_guard sinkGuard(sinkLock_);
      if (transfer.input < sinks_.size() && sinks_[transfer.input] != nullptr) {
        sinks_[transfer.input]->Receive(transfer.bytes.data(), transfer.bytes.size(),
                                        transfer.sentMs);
      }
    }
    queueGuard.lock();
  }
}

}  // namespace mmsystem

#pragma once

// An in-process MIDI system for tests: output N is cabled to input N and the mapper to
// input 0. Bytes travel through a delivery thread of the backend's own, as from a driver.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/midibackend.h"

namespace mmsystem {

class LoopbackBackend final : public MidiBackend {
 public:
  explicit LoopbackBackend(unsigned deviceCount);
  ~LoopbackBackend() override;

  MidiSystem System() const override { return MidiSystem::Loopback; }
  UINT InputCount() override { return deviceCount_; }
  UINT OutputCount() override { return deviceCount_; }
  MMRESULT InputName(UINT id, std::string& name) override;
  MMRESULT OutputName(UINT id, std::string& name) override;
  MMRESULT OpenInput(UINT id, MidiInputSink& sink,
                     std::unique_ptr<MidiInputConnection>& connection) override;
  MMRESULT OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) override;

 private:
  class Input;
  class Output;
  struct Transfer {
    UINT input;
    std::vector<uint8_t> bytes;
    uint32_t sentMs;  // on timeGetTime's clock: a cable delivers at once
  };

  void Post(UINT input, const uint8_t* bytes, size_t count);
  void Detach(UINT input);
  void DeliverUntilStopped();  // body of the delivery thread

  const UINT deviceCount_;

  std::mutex queueLock_;  // guards queue_ and stopping_
  std::condition_variable queueChanged_;
  std::deque<Transfer> queue_;
  bool stopping_ = false;

  // Guards sinks_; held through each delivery, so detaching an input waits for one under way.
  std::mutex sinkLock_;
  std::vector<MidiInputSink*> sinks_;  // by input id; null while the input is closed

  std::thread deliveryThread_;
};

}  // namespace mmsystem

#pragma once

// The system's MIDI through the ALSA sequencer, as one sequencer client per copy of the
// program: "Tessel" for the first copy, then "Tessel 2", "Tessel 3", ..., so a copy started in
// the same order gets the same name again. The client holds Tessel's two ports, "MIDI In" and
// "MIDI Out", for as long as it lives, and a third one, hidden from patchbays, that hears the
// system's announcements of clients and ports. Input device 0 and the mapper are the two ports
// as they are; opening one of the system's other ports subscribes it to them. So one input and
// one output can be open at a time. The device lists are the system's MIDI ports, without
// ours, read with the same client, under the names "client:port client-number:port-number".
//
// Threads: the backend's delivery thread reads every event the client receives and feeds the
// open input's sink, without a lock or an allocation; Send runs on the caller's thread;
// everything else runs on the caller's thread too.

#include <alsa/asoundlib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "midi/midibackend.h"

namespace mmsystem {

class AlsaBackend final : public SystemPortsBackend {
 public:
  // Null when the sequencer does not open or the client cannot be set up.
  static std::shared_ptr<MidiBackend> Create();
  ~AlsaBackend() override;
  AlsaBackend(const AlsaBackend&) = delete;
  AlsaBackend& operator=(const AlsaBackend&) = delete;

  MidiSystem System() const override { return MidiSystem::Alsa; }
  MMRESULT OpenInput(UINT id, MidiInputSink& sink,
                     std::unique_ptr<MidiInputConnection>& connection) override;
  MMRESULT OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) override;
  uint64_t InputEventsLost() const override { return overruns_.load(std::memory_order_relaxed); }
  PlayTimeUs OutputLeadUs() const override;
  void WatchDevices(std::function<void()> changed) override { watch_.Set(std::move(changed)); }

 private:
  class Input;
  class Output;
  struct SystemPort {
    snd_seq_addr_t address;
    std::string name;
  };

  explicit AlsaBackend(snd_seq_t* sequencer);
  bool Start();

  // The system's MIDI ports that send (`sources`) or receive, without ours.
  std::vector<SystemPort> SystemPorts(bool sources) const;
  std::vector<std::string> SystemPortNames(bool sources) const override;
  // Delivery thread: hands one received event to the sink; events the other ports hear are
  // the system's announcements.
  void Deliver(const snd_seq_event_t& event);
  void Attach(MidiInputSink* sink);
  void DeliverUntilStopped();  // body of the delivery thread

  snd_seq_t* const sequencer_;
  int client_ = -1;
  int inputPort_ = -1;
  int outputPort_ = -1;
  int announcePort_ = -1;
  int queue_ = -1;  // times the output; -1 when the sequencer gave none

  std::atomic<bool> inputClaimed_ = false;   // one open input at a time
  std::atomic<bool> outputClaimed_ = false;  // one open output at a time

  // Caller's thread -> delivery thread: the sink to feed. `delivering_` is set while the
  // delivery thread may use the sink it read, so Attach waits for a delivery under way
  // without the delivery thread taking a lock.
  std::atomic<MidiInputSink*> sink_ = nullptr;
  std::atomic<bool> delivering_ = false;
  // Delivery thread only: turns events other than system-exclusive into bytes.
  snd_midi_event_t* decoder_ = nullptr;
  // Written by the delivery thread: how often the kernel dropped events because the delivery
  // thread fell behind (at least one event each time; the kernel does not say how many).
  std::atomic<uint64_t> overruns_ = 0;
  DeviceWatch watch_;  // told on the delivery thread of each announcement
  int stopFd_ = -1;    // an eventfd that ends the delivery thread
  std::thread deliveryThread_;
};

}  // namespace mmsystem

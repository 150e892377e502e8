#pragma once

// The system's MIDI through JACK, as one JACK client per copy of the program: "Tessel" for the
// first copy on a server, then "Tessel 2", "Tessel 3", ..., so a copy started in the same order
// gets the same name again. The client holds Tessel's two ports, "MIDI In" and "MIDI Out", for
// as long as it lives. Input device 0 and the mapper are these ports as they are; opening one
// of the server's other ports connects it to them. So one input and one output can be open at
// a time. The device lists are the server's MIDI ports, without our own, read with the same
// client.
//
// Threads: JACK's process thread moves bytes between the ports and two lock-free rings; the
// backend's delivery thread feeds the open input's sink from the input ring; libjack's
// notification thread marks the server as gone and tells of ports that come, go or are
// renamed; everything else runs on the caller's thread.

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/cycleplacement.h"
#include "midi/messagering.h"
#include "midi/midibackend.h"

namespace mmsystem {

// Told what each process cycle cost, on JACK's process thread, so it must neither block nor
// allocate. For measurements: nothing is timed while none is set.
class CycleCostProbe {
 public:
  virtual void CycleTook(std::chrono::nanoseconds cost) = 0;

 protected:
  ~CycleCostProbe() = default;
};

class JackBackend final : public SystemPortsBackend {
 public:
  // Null when no JACK server answers or the client cannot be set up.
  static std::shared_ptr<MidiBackend> Create();
  ~JackBackend() override;
  JackBackend(const JackBackend&) = delete;
  JackBackend& operator=(const JackBackend&) = delete;

  MidiSystem System() const override { return MidiSystem::Jack; }
  MMRESULT OpenInput(UINT id, MidiInputSink& sink,
                     std::unique_ptr<MidiInputConnection>& connection) override;
  MMRESULT OpenOutput(UINT id, std::unique_ptr<MidiOutputConnection>& connection) override;
  uint64_t InputEventsLost() const override { return lostInput_.load(std::memory_order_relaxed); }
  uint64_t MissedCycles() const override { return missedCycles_.load(std::memory_order_relaxed); }
  // One period: a message must be queued before the cycle that holds its instant begins.
  PlayTimeUs OutputLeadUs() const override;
  void WatchDevices(std::function<void()> changed) override { watch_.Set(std::move(changed)); }
  // Any thread; null stops it. The probe must outlive the cycles that may still be told.
  void SetCycleCostProbe(CycleCostProbe* probe) { probe_.store(probe, std::memory_order_release); }

 private:
  class Input;
  class Output;

  explicit JackBackend(jack_client_t* client);
  bool Start();

  // Full names of the server's MIDI ports that send (`sources`) or receive, without ours.
  std::vector<std::string> SystemPortNames(bool sources) const override;
  bool InputsAvailable() const override { return !ServerGone(); }
  bool ServerGone() const { return gone_.load(std::memory_order_acquire); }

  // Caller's thread: true once `done` holds; false when the server has run no cycle for
  // `mostStall` first.
  template <typename Done>
  bool PollWhileCycling(Done done, std::chrono::milliseconds mostStall) const;
  // Caller's thread: whole messages for the output port, to play at `playAt`; waits while
  // the ring is full, unless `interrupted`.
  MMRESULT Queue(const uint8_t* bytes, size_t count, PlayTimeUs playAt,
                 const std::atomic<bool>& interrupted);
  // Caller's thread: waits until the output port has taken everything queued.
  void Drain();
  void Attach(MidiInputSink* sink);

  // The running cycle on JACK's clock, and how far the steady clock is ahead of it.
  struct CycleClock {
    CycleSpan Span;
    int64_t SteadyMinusJackUs;
  };

  static int OnProcess(jack_nframes_t frames, void* self);  // JACK's process thread
  static int OnXrun(void* self);                            // libjack's notification thread
  static void OnShutdown(void* self);                       // libjack's notification thread
  // libjack's notification thread: a port came, went or was renamed.
  static void OnPortRegistration(jack_port_id_t port, int registered, void* self);
  static void OnPortRename(jack_port_id_t port, const char* from, const char* to, void* self);
  CycleClock MeasureCycle(jack_nframes_t frames) const;  // JACK's process thread
  void Record(void* buffer, const CycleClock& clock);
  void Play(void* buffer, const CycleClock& clock);
  void DeliverUntilStopped();  // body of the delivery thread

  jack_client_t* const client_;
  // Registered once the client is active, since ports of an inactive client cannot be
  // connected; so the process thread finds them null at first.
  std::atomic<jack_port_t*> inputPort_ = nullptr;
  std::atomic<jack_port_t*> outputPort_ = nullptr;
  std::atomic<bool> gone_ = false;  // set once the server has shut the client down
  DeviceWatch watch_;               // told on libjack's notification thread
  // Process cycles run so far; written by the process thread only.
  std::atomic<uint64_t> cycles_ = 0;
  std::atomic<uint64_t> missedCycles_ = 0;  // xruns since the client opened
  std::atomic<CycleCostProbe*> probe_ = nullptr;

  std::atomic<bool> inputClaimed_ = false;   // one open input at a time
  std::atomic<bool> outputClaimed_ = false;  // one open output at a time

  // Process thread -> delivery thread: each message is the event's time on timeGetTime's
  // clock, 4 bytes, then the event's bytes. `listening_` tells the process thread to record;
  // `recorded_` counts writes so the delivery thread can sleep until the next one.
  MessageRing incoming_;
  std::atomic<bool> listening_ = false;
  std::atomic<uint32_t> recorded_ = 0;
  std::atomic<uint64_t> lostInput_ = 0;  // events that found the ring full
  // Guards sink_; held through each delivery, so detaching waits for one under way.
  std::mutex sinkLock_;
  MidiInputSink* sink_ = nullptr;
  std::atomic<bool> stopping_ = false;  // ends the delivery thread
  std::thread deliveryThread_;

  // Sending thread -> process thread: each message is its instant (a PlayTimeUs), then its
  // bytes. `playedOfFront_` is the process thread's own: how much of the oldest message, too
  // long for one cycle, has gone out in earlier cycles.
  MessageRing outgoing_;
  size_t playedOfFront_ = 0;
};

}  // namespace mmsystem

#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/event.h"
#include "platform/timerservice.h"
#include "protocol/buffersizer.h"
#include "protocol/data.h"
#include "protocol/playoutschedule.h"
#include "protocol/sendertimeline.h"

class TTimedBuffer;

// The release thread of one TTimedBuffer: waits for a wake-up, then runs a release pass.
class TTimedBufferThread {
 public:
  explicit TTimedBufferThread(TTimedBuffer& buffer);
  // Tells the thread to terminate, wakes it and waits until it has ended.
  ~TTimedBufferThread();
  TTimedBufferThread(const TTimedBufferThread&) = delete;
  TTimedBufferThread& operator=(const TTimedBufferThread&) = delete;

  bool Terminated() const { return FTerminated.load(); }

 private:
  void Execute();

  TTimedBuffer& Buffer;
  std::atomic<bool> FTerminated{false};
  std::thread FThread;  // the worker; started last, once Buffer is linked
};

// Timed playout buffer: the thread-and-timer shell around a TPlayoutSchedule, which decides
// when each packet is due. One-shot timers wake the worker at those moments; while the timer
// service refuses, the worker keeps the deadline itself.
//
// Every entry put advances its sender's timeline (TSenderTimeline); those that carry MIDI are
// measured against it, one link at a time. With the automatic buffer time on, the buffer time
// sizes itself from that measurement (TBufferSizer) and the timeline is kept across a dry
// ring. The measurement runs with it off as well, for display only.
//
// An entry of a negative type never came over a link (TData::Encode refuses such a type): it
// is the owner's mark of the end of a link, played in its turn and measured as nothing. The
// link's measurement ends with it, as it does at StartNewLink.
//
// Threads: Put and the setters run on the owner's thread; OnData runs on the worker; the
// timer service's thread only wakes the worker; Figures may be read from any thread. Destroy
// it from the owner's thread, never from OnData.
class TTimedBuffer {
 public:
  using Clock = std::chrono::steady_clock;
  // `due` is the packet's instant on the buffer's clock; OnData gets it up to the release lead
  // earlier.
  using TDataEvent = std::function<void(TData& packet, Clock::time_point due)>;
  using TNotifyEvent = std::function<void(TTimedBuffer& sender)>;
  using TClockReader = std::function<Clock::time_point()>;

  static constexpr uint16_t IdleIntervalMs = TPlayoutSchedule::IdleIntervalMs;
  static constexpr uint32_t MaxBufferTimeMs = 60000;

  // Jitter and lateness of the entries that carry MIDI, over the last
  // TBufferSizer::WindowMs of the current link. Chat, idle Time entries, the end of a link
  // and the time between links are not measured.
  struct TFigures {
    uint32_t BufferTimeMs;  // in force: the sized value while automatic, else BufferTime()
    uint32_t JitterMs;      // what the sized value has to cover (TBufferSizer::JitterMs)
    double LateShare;       // of the measured entries, as a share of 1
    // The entries JitterMs and LateShare describe. 0: no MIDI measured on this link yet (or
    // none in the window), and the two figures say nothing.
    uint32_t Measured;
  };

  // Throws ERangeError for a negative capacity. The buffer reads the time from `now`, on
  // Put's thread and on the worker; the timer service sleeps real milliseconds, so on a clock
  // of the tests' own an entry leaves at the first wake-up after that clock has reached its
  // time.
  explicit TTimedBuffer(int32_t capacity, TClockReader now = Clock::now);
  // Stops the worker and cancels the pending timer; queued packets are freed undelivered.
  ~TTimedBuffer();
  TTimedBuffer(const TTimedBuffer&) = delete;
  TTimedBuffer& operator=(const TTimedBuffer&) = delete;

  uint32_t BufferTime() const { return FBufferTime.load(); }
  // The fixed buffer time, stored clamped to 1..60000 ms; in force while automatic is off.
  void SetBufferTime(uint32_t ms);
  bool AutoBufferTime() const;
  // On: the buffer time sizes itself, starting from what the packets so far need (the
  // sizer's floor when none came yet). Off: BufferTime() again.
  void SetAutoBufferTime(bool on);
  TFigures Figures() const;
  // The packets from now on come over a new link: their sender's timeline and their
  // lateness are measured afresh, so the time the link was down counts as neither lag nor
  // lateness, and the figures start from nothing measured.
  void StartNewLink();
  // How long before its instant each packet is released, so the output can place it within
  // its cycle; 0 releases at the instant. The automatic buffer time adds it, and a packet
  // that comes too late to be released that early counts as late. Any thread.
  void SetReleaseLead(std::chrono::microseconds lead);
  uint32_t BufferResolution() const { return FBufferResolution.load(); }
  // Stored clamped to 1..1000 ms.
  void SetBufferResolution(uint32_t ms);
  int32_t Capacity() const { return FSchedule.Capacity(); }
  int32_t Count() const;

  // Takes the packet. A full ring refuses and frees it and calls OnOverflow. When the timer
  // service refuses the hold timer, the packet stays queued and is still released on time,
  // and EScheduler ("Out of timer resources") tells the caller.
  void Put(std::unique_ptr<TData> packet);

  // Assign these before the first Put and leave them while the buffer is in use.
  TDataEvent OnData;         // worker thread; the packet is freed when it returns
  TNotifyEvent OnOverflow;   // Put's thread
  TNotifyEvent OnUnderflow;  // Put's thread; see TPlayoutSchedule::TPlacement

 private:
  friend class TTimedBufferThread;

  // Measures the packet put at `now`; returns the buffer time in force for it, and in `lag`
  // how much later than its sender's timeline it came. The caller holds FLock.
  uint32_t Measure(const TData& packet, Clock::time_point now, uint32_t& lag);
  // What comes next belongs to another link. The caller holds FLock.
  void ForgetLink();
  // The caller holds FLock.
  uint32_t BufferTimeInForce() const;
  // Arms a timer for the schedule's next wake-up unless one is pending; false when the timer
  // service refused. The caller holds FLock.
  bool ArmTimer();
  void CancelTimer();
  static void TimerProc(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR reserved1,
                        DWORD_PTR reserved2);

  // Worker side.
  void WaitForWork();
  void Process(TTimedBufferThread& worker);
  void Deliver(TData& packet, Clock::time_point due);
  // When the schedule's next packet is to be released; nothing while the ring is empty.
  // The caller holds FLock.
  std::optional<Clock::time_point> NextRelease() const;

  const TClockReader FNow;  // set once, read on any thread
  std::atomic<uint32_t> FBufferTime{1000};
  std::atomic<uint32_t> FBufferResolution{20};
  TEvent FWakeEvent;

  mutable std::mutex FLock;  // guards FSchedule, FTimerId, FArrivals, FSizer and FAuto
  TPlayoutSchedule FSchedule;
  TSenderTimeline FArrivals;
  TBufferSizer FSizer{1000};
  bool FAuto = false;
  UINT FTimerId = 0;  // the pending timer, 0 once it fired or when none is armed

  std::unique_ptr<TTimedBufferThread> FWorker;  // created last, stopped first
};

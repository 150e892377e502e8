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
// With the automatic buffer time on, every packet put is measured against its sender's
// timeline (TSenderTimeline), the buffer time sizes itself (TBufferSizer) and the timeline is
// kept across a dry ring. The measurement runs with it off as well, for display only.
//
// Threads: Put and the setters run on the owner's thread; OnData runs on the worker; the
// timer service's thread only wakes the worker; Figures may be read from any thread. Destroy
// it from the owner's thread, never from OnData.
class TTimedBuffer {
 public:
  using TDataEvent = std::function<void(TData& packet)>;
  using TNotifyEvent = std::function<void(TTimedBuffer& sender)>;

  static constexpr uint16_t IdleIntervalMs = TPlayoutSchedule::IdleIntervalMs;
  static constexpr uint32_t MaxBufferTimeMs = 60000;

  struct TFigures {
    uint32_t BufferTimeMs;  // in force: the sized value while automatic, else BufferTime()
    uint32_t JitterMs;      // what the sized value has to cover (TBufferSizer::JitterMs)
    double LateShare;       // of the packets put over the sizer's window, as a share of 1
  };

  // Throws ERangeError for a negative capacity.
  explicit TTimedBuffer(int32_t capacity);
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
  // The packets from now on come over a new link: their sender's timeline is measured
  // afresh, so the time the link was down does not count as lag.
  void StartNewLink();
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
  using Clock = std::chrono::steady_clock;

  // Measures the packet put at `now`; returns the buffer time in force for it. The caller
  // holds FLock.
  uint32_t Measure(const TData& packet, Clock::time_point now);
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
  void Deliver(TData& packet);

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

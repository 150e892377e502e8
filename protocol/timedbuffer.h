#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/mmsystem.h"
#include "platform/event.h"
#include "protocol/data.h"

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

// Timed playout buffer: holds the packet that finds it idle for BufferTime ms, then releases
// releases every following packet its delta after its predecessor was due, in the order they
// were put: the sender's timeline, which a late timer delays for one packet only.
//
// Threads: Put and the setters run on the owner's thread; OnData runs on the worker; the
// timer service's thread only wakes the worker. Destroy it from the owner's thread, never
// from OnData.
class TTimedBuffer {
 public:
  using TDataEvent = std::function<void(TData& packet)>;
  using TNotifyEvent = std::function<void(TTimedBuffer& sender)>;

  // The sender's idle Time interval: a delta this long or longer follows silence.
  static constexpr uint16_t IdleIntervalMs = 5000;

  // Throws ERangeError for a negative capacity.
  explicit TTimedBuffer(int32_t capacity);
  // Stops the worker and cancels the pending timer; queued packets are freed undelivered.
  ~TTimedBuffer();
  TTimedBuffer(const TTimedBuffer&) = delete;
  TTimedBuffer& operator=(const TTimedBuffer&) = delete;

  uint32_t BufferTime() const { return FBufferTime.load(); }
  // Stored clamped to 1..60000 ms.
  void SetBufferTime(uint32_t ms);
  uint32_t BufferResolution() const { return FBufferResolution.load(); }
  // Stored clamped to 1..1000 ms.
  void SetBufferResolution(uint32_t ms);
  int32_t Capacity() const { return FCapacity; }
  int32_t Count() const;

  // Takes the packet. A full ring refuses and frees it and calls OnOverflow. When the timer
  // service refuses the hold timer, the packet stays queued and is still released on time,
  // and EScheduler ("Out of timer resources") tells the caller.
  void Put(std::unique_ptr<TData> packet);

  // Assign these before the first Put and leave them while the buffer is in use.
  TDataEvent OnData;         // worker thread; the packet is freed when it returns
  TNotifyEvent OnOverflow;   // Put's thread
  TNotifyEvent OnUnderflow;  // Put's thread; rule at Put

 private:
  friend class TTimedBufferThread;
  using Clock = std::chrono::steady_clock;

  // Ring operations; the caller holds FLock.
  void Store(std::unique_ptr<TData> packet);
  std::unique_ptr<TData> Get();
  const TData* Peek() const;
  int32_t Advance(int32_t index) const { return index + 1 == FCapacity ? 0 : index + 1; }
  bool StartsUnderflow(const TData& packet) const;
  // Plans the release of the ring's head at `due`; false when the timer service refused and
  // the worker keeps the deadline itself.
  bool Schedule(Clock::time_point due);

  // Worker side.
  void WaitForWork();
  void Process(TTimedBufferThread& worker);
  std::unique_ptr<TData> TakeDue();
  std::unique_ptr<TData> TakeFollowing();
  void Deliver(TData& packet);
  static void TimerProc(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR reserved1,
                        DWORD_PTR reserved2);

  void CancelTimer();

  std::atomic<uint32_t> FBufferTime{1000};
  std::atomic<uint32_t> FBufferResolution{20};
  TEvent FWakeEvent;

  // Guards the ring (FItems .. FReadIndex) and the release plan (FTimerId .. FLastPutHadPayload).
  mutable std::mutex FLock;
  std::vector<std::unique_ptr<TData>> FItems;
  const int32_t FCapacity;
  int32_t FFreeSlots;
  int32_t FCount = 0;
  int32_t FWriteIndex = 0;
  int32_t FReadIndex = 0;
  UINT FTimerId = 0;       // the pending timer, 0 once it fired or when none is armed
  // When the packet taken last was due; its followers are due their deltas after it, so
  // a late timer delays one release and never the rest of the timeline.
  Clock::time_point FDue;
  // A release is planned for the head, or a pass has taken a packet and not yet looked past it.
  bool FTimelineRunning = false;
  bool FWorkerKeepsTime = false;  // the timer was refused; the worker waits until FDue
  bool FLastPutHadPayload = false;

  std::unique_ptr<TTimedBufferThread> FWorker;  // created last, stopped first
};

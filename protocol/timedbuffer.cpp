#include "protocol/timedbuffer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

namespace {

// "One step above normal": a nice value one below the thread's own, so MIDI goes out ahead of
// the window's thread. Without the privilege the thread stays where it is.
void RaiseThreadPriorityOneStep() {
  const pid_t self = gettid();
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(self));
  if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(self), nice - 1);
}

}  // namespace

TTimedBufferThread::TTimedBufferThread(TTimedBuffer& buffer)
    : Buffer(buffer), FThread([this] { Execute(); }) {}

TTimedBufferThread::~TTimedBufferThread() {
  FTerminated = true;
  Buffer.FWakeEvent.Set();
  FThread.join();
}

void TTimedBufferThread::Execute() {
  RaiseThreadPriorityOneStep();
  while (!Terminated()) {
    Buffer.WaitForWork();
    if (!Terminated()) Buffer.Process(*this);
  }
}

TTimedBuffer::TTimedBuffer(int32_t capacity)
    : FItems(capacity >= 0 ? static_cast<size_t>(capacity) : throw ERangeError()),
      FCapacity(capacity),
      FFreeSlots(capacity) {
  FWorker = std::make_unique<TTimedBufferThread>(*this);
}

TTimedBuffer::~TTimedBuffer() {
  FWorker.reset();  // from here on no pass runs and no timer is armed
  CancelTimer();
}

void TTimedBuffer::SetBufferTime(uint32_t ms) { FBufferTime = std::clamp<uint32_t>(ms, 1, 60000); }

void TTimedBuffer::SetBufferResolution(uint32_t ms) {
  FBufferResolution = std::clamp<uint32_t>(ms, 1, 1000);
}

int32_t TTimedBuffer::Count() const {
  std::lock_guard lock(FLock);
  return FCount;
}

// Events are raised after the lock is released, so a handler may call back into the buffer.
void TTimedBuffer::Put(std::unique_ptr<TData> packet) {
  if (!packet) return;
  bool overflow = false;
  bool underflow = false;
  bool refused = false;
  {
    std::lock_guard lock(FLock);
    overflow = FFreeSlots == 0;
    if (!overflow) {
      const bool startsHold = FCount == 0 && !FTimelineRunning;
      underflow = startsHold && StartsUnderflow(*packet);
      FLastPutHadPayload = packet->Count() > 0;
      Store(std::move(packet));
      if (startsHold) {
        FTimelineRunning = true;
        refused = !Schedule(Clock::now() + std::chrono::milliseconds(BufferTime()));
      }
    }
  }
  if (overflow && OnOverflow) OnOverflow(*this);  // the refused packet is freed on return
  if (underflow && OnUnderflow) OnUnderflow(*this);
  if (refused) throw EScheduler("Out of timer resources");
}

// Underflow: the playout timeline starts over in the middle of a stream. It is raised when a
// packet starts a fresh BufferTime hold although it carries MIDI, the packet put before it
// carried MIDI as well, and its delta is below the idle interval. The first packet ever, the
// first one after an idle Time entry, one after a long gap and idle Time entries themselves
// start a hold without it.
bool TTimedBuffer::StartsUnderflow(const TData& packet) const {
  return packet.Count() > 0 && FLastPutHadPayload && packet.Time < IdleIntervalMs;
}

void TTimedBuffer::Store(std::unique_ptr<TData> packet) {
  --FFreeSlots;
  FItems[FWriteIndex] = std::move(packet);
  FWriteIndex = Advance(FWriteIndex);
  ++FCount;
}

std::unique_ptr<TData> TTimedBuffer::Get() {
  if (FCount < 1) return nullptr;
  --FCount;
  std::unique_ptr<TData> packet = std::move(FItems[FReadIndex]);
  FReadIndex = Advance(FReadIndex);
  ++FFreeSlots;
  return packet;
}

const TData* TTimedBuffer::Peek() const { return FCount > 0 ? FItems[FReadIndex].get() : nullptr; }

bool TTimedBuffer::Schedule(Clock::time_point due) {
  FDue = due;
  // Rounded up: the timer must not fire before the packet is due.
  const auto delay = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
  const UINT delayMs = static_cast<UINT>(std::max<std::chrono::milliseconds::rep>(delay.count(), 1));
  FTimerId = timeSetEvent(delayMs, BufferResolution(), &TimerProc,
                          reinterpret_cast<DWORD_PTR>(this), TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
  FWorkerKeepsTime = FTimerId == 0;
  // The worker may be waiting without a deadline; it must pick up FDue.
  if (FWorkerKeepsTime) FWakeEvent.Set();
  return !FWorkerKeepsTime;
}

void TTimedBuffer::TimerProc(UINT timerId, UINT /*msg*/, DWORD_PTR user, DWORD_PTR /*reserved1*/,
                             DWORD_PTR /*reserved2*/) {
  if (timerId == 0 || user == 0) return;
  auto& buffer = *reinterpret_cast<TTimedBuffer*>(user);
  // Signalling under the lock lets CancelTimer know that this callback is done with the
  // buffer once it finds FTimerId cleared.
  std::lock_guard lock(buffer.FLock);
  if (buffer.FTimerId == timerId) buffer.FTimerId = 0;
  buffer.FWakeEvent.Set();
}

void TTimedBuffer::CancelTimer() {
  UINT pending = 0;
  {
    std::lock_guard lock(FLock);
    pending = std::exchange(FTimerId, 0);
  }
  // Outside the lock: a callback that is running needs it to finish, and we wait for it.
  if (pending != 0) timeKillEvent(pending);
}

void TTimedBuffer::WaitForWork() {
  std::optional<Clock::time_point> deadline;
  {
    std::lock_guard lock(FLock);
    if (FWorkerKeepsTime) deadline = FDue;
  }
  if (deadline)
    FWakeEvent.WaitFor(*deadline - Clock::now());
  else
    FWakeEvent.Wait();
}

// The decision about the packet behind the one taken is made under the same lock as the
// look at the ring, so a Put landing mid-pass either joins the running timeline or, once the
// pass has found the ring empty, starts its own hold; never both.
void TTimedBuffer::Process(TTimedBufferThread& worker) {
  std::unique_ptr<TData> current = TakeDue();
  while (current && !worker.Terminated()) {
    std::unique_ptr<TData> next = TakeFollowing();
    Deliver(*current);
    current = std::move(next);
  }
}

// The head, once its timer has fired (or, without a timer, its deadline has passed).
std::unique_ptr<TData> TTimedBuffer::TakeDue() {
  std::lock_guard lock(FLock);
  if (FTimerId != 0) return nullptr;
  if (FWorkerKeepsTime && Clock::now() < FDue) return nullptr;
  return Get();
}

// The packet to deliver right after the current one, or nullptr after arming the timer for
// the next one or finding the ring empty. A follower is due its delta after the current
// packet was due: one that is due already (a chord, or a timeline running late) goes out in
// this pass; the timer of a later one is armed before the current packet is delivered, so
// OnData's time counts against the following interval.
std::unique_ptr<TData> TTimedBuffer::TakeFollowing() {
  std::lock_guard lock(FLock);
  const TData* next = Peek();
  if (next == nullptr) {
    FTimelineRunning = false;
    return nullptr;
  }
  const Clock::time_point due = FDue + std::chrono::milliseconds(next->Time);
  if (due <= Clock::now()) {
    FDue = due;
    return Get();
  }
  Schedule(due);
  return nullptr;
}

// An exception from the consumer costs only its own packet; the pass goes on, so the packets
// behind it are neither dropped nor left without a timer.
void TTimedBuffer::Deliver(TData& packet) {
  if (!OnData) return;
  try {
    OnData(packet);
  } catch (const std::exception&) {
  }
}

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

TTimedBuffer::TTimedBuffer(int32_t capacity, TClockReader now)
    : FNow(std::move(now)), FSchedule(capacity) {
  FWorker = std::make_unique<TTimedBufferThread>(*this);
}

TTimedBuffer::~TTimedBuffer() {
  FWorker.reset();  // from here on no pass runs and no timer is armed
  CancelTimer();
}

void TTimedBuffer::SetBufferTime(uint32_t ms) {
  FBufferTime = std::clamp<uint32_t>(ms, 1, MaxBufferTimeMs);
}

bool TTimedBuffer::AutoBufferTime() const {
  std::lock_guard lock(FLock);
  return FAuto;
}

void TTimedBuffer::SetAutoBufferTime(bool on) {
  std::lock_guard lock(FLock);
  if (on && !FAuto) FSizer.StartAtNeed();
  FAuto = on;
  FSchedule.SetKeepTimeline(on);
}

void TTimedBuffer::StartNewLink() {
  std::lock_guard lock(FLock);
  ForgetLink();
}

void TTimedBuffer::ForgetLink() {
  FArrivals.Restart();
  FSizer.ForgetLink();
  FSchedule.StartNewTimeline();
}

TTimedBuffer::TFigures TTimedBuffer::Figures() const {
  std::lock_guard lock(FLock);
  return {BufferTimeInForce(), FSizer.JitterMs(), FSizer.LateShare(), FSizer.Measured()};
}

void TTimedBuffer::SetReleaseLead(std::chrono::microseconds lead) {
  std::lock_guard lock(FLock);
  FSchedule.SetReleaseLead(lead);
}

void TTimedBuffer::SetBufferResolution(uint32_t ms) {
  FBufferResolution = std::clamp<uint32_t>(ms, 1, 1000);
}

int32_t TTimedBuffer::Count() const {
  std::lock_guard lock(FLock);
  return FSchedule.Count();
}

// Events are raised after the lock is released, so a handler may call back into the buffer.
void TTimedBuffer::Put(std::unique_ptr<TData> packet) {
  if (!packet) return;
  bool overflow = false;
  bool underflow = false;
  bool refused = false;
  {
    std::lock_guard lock(FLock);
    overflow = FSchedule.Full();
    if (!overflow) {
      const Clock::time_point now = FNow();
      const bool endOfLink = packet->DataType < 0;
      uint32_t lag = 0;
      const uint32_t bufferTime = endOfLink ? BufferTimeInForce() : Measure(*packet, now, lag);
      const TPlayoutSchedule::TPlacement placement =
          FSchedule.Put(std::move(packet), now, std::chrono::milliseconds(bufferTime),
                        std::chrono::milliseconds(lag));
      if (endOfLink) ForgetLink();
      underflow = placement.Underflow;
      if (FSchedule.Count() == 1) refused = !ArmTimer();
    }
  }
  if (overflow && OnOverflow) OnOverflow(*this);  // the refused packet is freed on return
  if (underflow && OnUnderflow) OnUnderflow(*this);
  if (refused) throw EScheduler("Out of timer resources");
}

// On the clock timeGetTime reads, so the figures compare with the link's. An entry that only
// carries time still moves its sender's clock on, and the gap before it is a rest; only MIDI
// can be heard late.
uint32_t TTimedBuffer::Measure(const TData& packet, Clock::time_point now, uint32_t& lag) {
  const auto arrival = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
  lag = arrival - FArrivals.PlayedAt(packet.Time, arrival, MaxBufferTimeMs);
  if (FSchedule.Count() == 0) FSizer.Rest(arrival, packet.Time);
  if (packet.Count() > 0) FSizer.Observe(arrival, lag, FSchedule.IsLate(packet.Time, now));
  return BufferTimeInForce();
}

// The sized value covers the way here; the release lead is time the output needs on top.
uint32_t TTimedBuffer::BufferTimeInForce() const {
  const auto leadMs = static_cast<uint32_t>(
      std::chrono::ceil<std::chrono::milliseconds>(FSchedule.ReleaseLead()).count());
  return FAuto ? std::min(FSizer.BufferTime() + leadMs, MaxBufferTimeMs) : BufferTime();
}

std::optional<TTimedBuffer::Clock::time_point> TTimedBuffer::NextRelease() const {
  const std::optional<Clock::time_point> due = FSchedule.NextWake();
  if (!due) return std::nullopt;
  return *due - std::chrono::duration_cast<Clock::duration>(FSchedule.ReleaseLead());
}

bool TTimedBuffer::ArmTimer() {
  const std::optional<Clock::time_point> wake = NextRelease();
  if (!wake || FTimerId != 0) return true;
  // Rounded up: the timer must not fire before the packet is due.
  const auto delay = std::chrono::ceil<std::chrono::milliseconds>(*wake - FNow());
  const UINT delayMs =
      static_cast<UINT>(std::max<std::chrono::milliseconds::rep>(delay.count(), 1));
  FTimerId = timeSetEvent(delayMs, BufferResolution(), &TimerProc,
                          reinterpret_cast<DWORD_PTR>(this), TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
  if (FTimerId != 0) return true;
  // The worker may be waiting without a deadline; it must pick up the wake-up itself.
  FWakeEvent.Set();
  return false;
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

// With no timer pending for the next wake-up (the service refused one), the worker waits
// for that moment itself; a timer granted later takes over again.
void TTimedBuffer::WaitForWork() {
  std::optional<Clock::time_point> deadline;
  {
    std::lock_guard lock(FLock);
    if (FTimerId == 0) deadline = NextRelease();
  }
  if (deadline)
    FWakeEvent.WaitFor(*deadline - FNow());
  else
    FWakeEvent.Wait();
}

// Delivers everything due, asking the clock again after each delivery so OnData's time
// counts against the following interval, then arms the timer for what is due next. A Put
// landing mid-pass either joins the running timeline or, once the ring is empty, starts its
// own hold.
void TTimedBuffer::Process(TTimedBufferThread& worker) {
  while (!worker.Terminated()) {
    std::unique_ptr<TData> packet;
    Clock::time_point due;
    {
      std::lock_guard lock(FLock);
      const std::optional<Clock::time_point> next = FSchedule.NextWake();
      const auto lead = std::chrono::duration_cast<Clock::duration>(FSchedule.ReleaseLead());
      packet = FSchedule.TakeDue(FNow() + lead);
      if (!packet) {
        ArmTimer();
        return;
      }
      due = *next;
    }
    Deliver(*packet, due);
  }
}

// An exception from the consumer costs only its own packet; the pass goes on, so the packets
// behind it are neither dropped nor left without a timer.
void TTimedBuffer::Deliver(TData& packet, Clock::time_point due) {
  if (!OnData) return;
  try {
    OnData(packet, due);
  } catch (const std::exception&) {
  }
}

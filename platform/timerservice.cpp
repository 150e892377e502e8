// One-shot timers and the millisecond clock of the multimedia service.
//
// Threads: callers of timeSetEvent/timeKillEvent (any thread) hand deadlines to the one
// service thread, which sleeps until the earliest deadline and runs that timer's callback.

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/timerservice.h"

namespace {

using Clock = std::chrono::steady_clock;

// Timers fire within microseconds of their deadline instead of after the default 50 us of
// slack, and ahead of ordinary threads where the system lets us; otherwise we stay ordinary.
void TuneServiceThread() {
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

class TimerService {
 public:
  TimerService() : thread_([this] { Run(); }) {}

  // Returns the new timer's id, or 0 once the service has stopped.
  UINT Add(Clock::duration delay, TIMECALLBACK callback, DWORD_PTR user) {
    bool earliest = false;
    UINT id = 0;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return 0;
      id = NextFreeId();
      // Equal deadlines go behind each other, so they fire in request order.
      const auto entry = queue_.emplace(Clock::now() + delay, Timer{id, callback, user});
      pending_.emplace(id, entry);
      earliest = entry == queue_.begin();
    }
    if (earliest) queue_changed_.notify_one();
    return id;
  }

  // True when the timer was pending and will not run. Otherwise, when its callback is running
  // on the service thread and we are not that thread, waits until the callback has returned.
  bool Cancel(UINT id) {
    std::unique_lock lock(mutex_);
    if (const auto found = pending_.find(id); found != pending_.end()) {
      queue_.erase(found->second);
      pending_.erase(found);
      return true;
    }
    if (std::this_thread::get_id() != service_thread_)
      callback_done_.wait(lock, [&] { return running_id_ != id; });
    return false;
  }

  // Drops every pending timer and ends the thread; later requests are refused.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
      pending_.clear();
    }
    queue_changed_.notify_one();
    // exit() called from a callback must not wait for its own thread.
    if (std::this_thread::get_id() == thread_.get_id())
      thread_.detach();
    else
      thread_.join();
  }

 private:
  struct Timer {
    UINT id;
    TIMECALLBACK callback;
    DWORD_PTR user;
  };
  using Queue = std::multimap<Clock::time_point, Timer>;

  // Ids wrap after 2^32 requests; 0 and ids still in use are skipped.
  UINT NextFreeId() {
    do ++last_id_;
    while (last_id_ == 0 || last_id_ == running_id_ || pending_.contains(last_id_));
    return last_id_;
  }

  void Run() {
    TuneServiceThread();
    std::unique_lock lock(mutex_);
    service_thread_ = std::this_thread::get_id();
    while (!stopping_) {
      if (queue_.empty()) {
        queue_changed_.wait(lock);
        continue;
      }
      const auto first = queue_.begin();
      // A copy: the timer may be cancelled, and its node freed, while we wait.
      const Clock::time_point deadline = first->first;
      if (deadline > Clock::now()) {
        queue_changed_.wait_until(lock, deadline);
        continue;
      }
      const Timer timer = first->second;
      pending_.erase(timer.id);
      queue_.erase(first);
      running_id_ = timer.id;
      lock.unlock();
      timer.callback(timer.id, 0, timer.user, 0, 0);
      lock.lock();
      running_id_ = 0;
      callback_done_.notify_all();
    }
  }

  std::mutex mutex_;                       // guards every field below except thread_
  std::condition_variable queue_changed_;  // a new earliest deadline, or stopping_
  std::condition_variable callback_done_;  // running_id_ went back to 0
  Queue queue_;
  std::unordered_map<UINT, Queue::iterator> pending_;  // id -> its place in queue_
  UINT last_id_ = 0;
  UINT running_id_ = 0;  // the timer whose callback runs now, or 0
  bool stopping_ = false;
  std::thread::id service_thread_;
  std::thread thread_;  // the service thread; declared last so it starts after the fields
};

// Ends the service thread during static destruction.
struct ServiceStopper {
  TimerService& service;
  ~ServiceStopper() { service.Stop(); }
};

TimerService& Service() {
  // Never freed: objects destroyed after the stopper (those built before the service's first
  // use) may still cancel their timers, and find a stopped service rather than freed memory.
  static TimerService* const service = new TimerService;
  static const ServiceStopper stopper{*service};
  return *service;
}

std::atomic<unsigned> refusals_left{0};

bool TakeRefusal() {
  unsigned left = refusals_left.load();
  while (left > 0 && !refusals_left.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

}  // namespace

// Only one-shot timers with a callback function are offered; other kinds are refused.
UINT timeSetEvent(UINT delayMs, UINT /*resolutionMs*/, TIMECALLBACK callback, DWORD_PTR user,
                  UINT eventKind) {
  if (callback == nullptr || eventKind != (TIME_ONESHOT | TIME_CALLBACK_FUNCTION)) return 0;
  if (TakeRefusal()) return 0;
  return Service().Add(std::chrono::milliseconds(delayMs), callback, user);
}

// MMSYSERR_INVALPARAM for an id that was not pending: unknown, fired or running (after
// waiting for the running callback to return).
MMRESULT timeKillEvent(UINT timerId) {
  if (timerId == 0) return MMSYSERR_INVALPARAM;
  return Service().Cancel(timerId) ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

DWORD timeGetTime() {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
  return static_cast<DWORD>(ms.count());  // keeps the low 32 bits: wraps at 2^32 ms
}

namespace mmsystem {

void RefuseTimersForTesting(unsigned count) { refusals_left.store(count); }

}  // namespace mmsystem

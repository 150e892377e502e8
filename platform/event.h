#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Auto-reset event: Set wakes one waiter (or the next one to wait) and the event clears
// itself as that waiter returns. Sets that happen before anyone waits merge into one.
class TEvent {
 public:
  void Set() {
    {
      std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    wake_.notify_one();
  }

  void Wait() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
  }

  // Returns false when the time-out passed without a Set.
  template <class Rep, class Period>
  bool WaitFor(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, timeout, [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex mutex_;  // guards signalled_
  std::condition_variable wake_;
  bool signalled_ = false;
};

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/timerservice.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Generous: only a hang should run into it on a loaded machine.
constexpr auto kPatience = 5s;

// The callbacks that fired, in firing order. Each timer's user value is one of its Tags.
class FiredTimers {
 public:
  struct Tag {
    FiredTimers* log;
    int value;
  };
  struct Shot {
    UINT id;
    int tag;
    std::thread::id thread;
    Clock::time_point at;
  };

  UINT Arm(UINT delayMs, Tag& tag) {
    return timeSetEvent(delayMs, 1, &Callback, reinterpret_cast<DWORD_PTR>(&tag),
                        TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
  }

  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return shots_.size() >= count; });
  }

  std::vector<Shot> Shots() {
    std::lock_guard lock(mutex_);
    return shots_;
  }

 private:
  static void Callback(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    const Clock::time_point at = Clock::now();
    const auto& tag = *reinterpret_cast<Tag*>(user);
    // Notified under the lock: the waiter may destroy the log as soon as it sees the shot.
    std::lock_guard lock(tag.log->mutex_);
    tag.log->shots_.push_back({id, tag.value, std::this_thread::get_id(), at});
    tag.log->changed_.notify_all();
  }

  std::mutex mutex_;  // guards shots_
  std::condition_variable changed_;
  std::vector<Shot> shots_;
};

TEST(TimerService, FiresEachTimerOnceInDeadlineOrderOnItsOwnThread) {
  FiredTimers fired;
  FiredTimers::Tag late{&fired, 300}, early{&fired, 100}, middle{&fired, 200}, now{&fired, 0};
  const Clock::time_point start = Clock::now();
  const UINT lateId = fired.Arm(300, late);
  const UINT earlyId = fired.Arm(100, early);
  const UINT middleId = fired.Arm(200, middle);
  const UINT nowId = fired.Arm(0, now);
  ASSERT_NE(lateId, 0u);
  ASSERT_NE(earlyId, 0u);
  ASSERT_NE(middleId, 0u);
  ASSERT_NE(nowId, 0u);
  EXPECT_NE(lateId, earlyId);
  EXPECT_NE(earlyId, middleId);
  EXPECT_NE(middleId, nowId);

  ASSERT_TRUE(fired.WaitFor(4));
  const std::vector<FiredTimers::Shot> shots = fired.Shots();
  const UINT expectedIds[] = {nowId, earlyId, middleId, lateId};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(shots[i].id, expectedIds[i]);
    EXPECT_GE(shots[i].at - start, std::chrono::milliseconds(shots[i].tag)) << "fired early";
    EXPECT_NE(shots[i].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(shots[0].tag, 0);
  EXPECT_EQ(shots[3].tag, 300);

  // One-shot: nothing fires again, and the fired ids are no longer known.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(fired.Shots().size(), 4u);
  EXPECT_EQ(timeKillEvent(lateId), MMSYSERR_INVALPARAM);
}

TEST(TimerService, KillCancelsOnlyAPendingTimer) {
  FiredTimers fired;
  FiredTimers::Tag cancelled{&fired, 1}, sentinel{&fired, 2};
  const UINT cancelledId = fired.Arm(50, cancelled);
  fired.Arm(150, sentinel);

  EXPECT_EQ(timeKillEvent(cancelledId), MMSYSERR_NOERROR);
  EXPECT_EQ(timeKillEvent(cancelledId), MMSYSERR_INVALPARAM);
  EXPECT_EQ(timeKillEvent(0), MMSYSERR_INVALPARAM);

  // The sentinel's deadline is later, so had the cancelled timer survived it would be first.
  ASSERT_TRUE(fired.WaitFor(1));
  const std::vector<FiredTimers::Shot> shots = fired.Shots();
  ASSERT_EQ(shots.size(), 1u);
  EXPECT_EQ(shots[0].tag, 2);
}

// A callback that blocks for a while, so a caller can catch it running.
struct SlowCallback {
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};

  static void Run(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto& self = *reinterpret_cast<SlowCallback*>(user);
    self.entered = true;
    self.entered.notify_all();
    std::this_thread::sleep_for(100ms);
    self.finished = true;
  }
};

// Cancels its own timer from inside its callback, then arms a follow-up.
struct SelfCancellingCallback {
  std::atomic<UINT> id{0};
  FiredTimers* followUps;
  FiredTimers::Tag followUp{followUps, 7};

  static void Run(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto& self = *reinterpret_cast<SelfCancellingCallback*>(user);
    timeKillEvent(self.id);
    self.followUps->Arm(1, self.followUp);
  }
};

TEST(TimerService, KillWaitsForARunningCallbackExceptFromInsideIt) {
  SlowCallback slow;
  const UINT slowId = timeSetEvent(1, 1, &SlowCallback::Run, reinterpret_cast<DWORD_PTR>(&slow),
                                   TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
  ASSERT_NE(slowId, 0u);
  slow.entered.wait(false);
  timeKillEvent(slowId);
  EXPECT_TRUE(slow.finished) << "timeKillEvent returned while the callback was still running";

  FiredTimers followUps;
  SelfCancellingCallback selfCancelling{.followUps = &followUps};
  selfCancelling.id =
      timeSetEvent(1, 1, &SelfCancellingCallback::Run, reinterpret_cast<DWORD_PTR>(&selfCancelling),
                   TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
  ASSERT_NE(selfCancelling.id, 0u);
  EXPECT_TRUE(followUps.WaitFor(1)) << "the service hung in a callback that cancelled itself";
}

TEST(TimerService, RefusesOnRequestAndForUnsupportedTimers) {
  const auto noop = [](UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {};
  mmsystem::RefuseTimersForTesting(2);
  EXPECT_EQ(timeSetEvent(1000, 1, noop, 0, TIME_ONESHOT), 0u);
  EXPECT_EQ(timeSetEvent(1000, 1, noop, 0, TIME_ONESHOT), 0u);
  const UINT granted = timeSetEvent(1000, 1, noop, 0, TIME_ONESHOT);
  EXPECT_NE(granted, 0u);
  timeKillEvent(granted);

  EXPECT_EQ(timeSetEvent(1000, 1, nullptr, 0, TIME_ONESHOT), 0u);
  constexpr UINT periodic = 1;
  EXPECT_EQ(timeSetEvent(1000, 1, noop, 0, periodic), 0u);
}

TEST(TimerService, ClockCountsElapsedMilliseconds) {
  const Clock::time_point before = Clock::now();
  const DWORD first = timeGetTime();
  std::this_thread::sleep_for(50ms);
  const DWORD second = timeGetTime();
  const auto elapsed = std::chrono::ceil<std::chrono::milliseconds>(Clock::now() - before);
  // Unsigned difference: true elapsed time even if the 32-bit count wrapped in between.
  const DWORD counted = second - first;
  EXPECT_GE(counted, 49u);
  EXPECT_LE(counted, static_cast<DWORD>(elapsed.count()) + 1);
}

// Built before the service's first use in the child process below, so it is destroyed after
// the service has been stopped and still calls it.
struct UsesServiceAfterItStopped {
  ~UsesServiceAfterItStopped() {
    timeKillEvent(1);
    if (timeSetEvent(
            1, 1, [](UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}, 0, 0) != 0)
      std::_Exit(2);
  }
};

void ExitWhileTimersArePendingAndOneIsRunning() {
  static UsesServiceAfterItStopped lateUser;
  static SlowCallback slow;
  const auto noop = [](UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {};
  timeSetEvent(10000, 1, noop, 0, TIME_ONESHOT);
  timeSetEvent(1, 1, &SlowCallback::Run, reinterpret_cast<DWORD_PTR>(&slow), TIME_ONESHOT);
  slow.entered.wait(false);
  std::exit(0);
}

void ExitFromInsideACallback() {
  timeSetEvent(
      1, 1, [](UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) { std::exit(3); }, 0, TIME_ONESHOT);
  std::this_thread::sleep_for(kPatience);
}

TEST(TimerServiceDeathTest, ProgramExitStopsTheServiceCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitWhileTimersArePendingAndOneIsRunning(), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(ExitFromInsideACallback(), testing::ExitedWithCode(3), "");
}

}  // namespace

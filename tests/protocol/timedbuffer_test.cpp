#include "protocol/timedbuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "midi/mmsystem.h"
#include "protocol/errors.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Generous: only a hang should run into it on a loaded machine.
constexpr auto kPatience = 10s;

// A packet that knows its place in the put order and counts how many packets are alive.
class TaggedPacket : public TData {
 public:
  static inline std::atomic<int> alive{0};

  TaggedPacket(int tag, uint16_t delta, bool withPayload) : Tag(tag) {
    if (withPayload) AddByte(0x90);
    DataType = dtMidi;
    Time = delta;
    ++alive;
  }
  ~TaggedPacket() override { --alive; }

  const int Tag;
};

std::unique_ptr<TData> Packet(int tag, uint16_t delta, bool withPayload = true) {
  return std::make_unique<TaggedPacket>(tag, delta, withPayload);
}

// What OnData saw, in release order.
class Releases {
 public:
  struct Release {
    int tag;
    Clock::time_point at;
    int32_t queuedMeanwhile;  // the buffer's count while the packet was being delivered
  };

  // `whileDelivering` runs inside OnData after the release is recorded.
  void Attach(TTimedBuffer& buffer, std::function<void(int tag)> whileDelivering = {}) {
    buffer.OnData = [this, &buffer, whileDelivering](TData& packet) {
      const Clock::time_point at = Clock::now();
      const int tag = dynamic_cast<TaggedPacket&>(packet).Tag;
      const int32_t queued = buffer.Count();
      {
        std::lock_guard lock(mutex_);
        taken_.push_back({tag, at, queued});
        changed_.notify_all();
      }
      if (whileDelivering) whileDelivering(tag);
    };
  }

  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return taken_.size() >= count; });
  }

  std::vector<Release> Taken() {
    std::lock_guard lock(mutex_);
    return taken_;
  }

 private:
  std::mutex mutex_;  // guards taken_
  std::condition_variable changed_;
  std::vector<Release> taken_;
};

class TimedBuffer : public testing::Test {
 protected:
  void TearDown() override {
    mmsystem::RefuseTimersForTesting(0);
    EXPECT_EQ(TaggedPacket::alive, 0) << "a packet was leaked";
  }
};

TEST_F(TimedBuffer, HoldsTheFirstPacketThenSpacesFollowersByTheirDelta) {
  Releases releases;
  Clock::time_point put;
  {
    TTimedBuffer buffer(16);
    buffer.SetBufferTime(100);
    releases.Attach(buffer);
    put = Clock::now();
    buffer.Put(Packet(0, 0));
    buffer.Put(Packet(1, 300));
    ASSERT_TRUE(releases.WaitFor(2));
  }
  const std::vector<Releases::Release> taken = releases.Taken();
  EXPECT_EQ(taken[0].tag, 0);
  EXPECT_GE(taken[0].at - put, 100ms);
  EXPECT_LT(taken[0].at - put, 900ms);
  // The follower is due its delta after the first was due, not after the first went out: it
  // keeps the sender's timeline, however late the first was delivered.
  EXPECT_EQ(taken[1].tag, 1);
  EXPECT_GE(taken[1].at - put, 400ms);
  EXPECT_LT(taken[1].at - taken[0].at, 900ms);
}

TEST_F(TimedBuffer, ChordsGoOutInOnePassAndLongRunsKeepTheSendersTimeline) {
  // Long enough that a late first pass does not find the third packet due already.
  constexpr uint16_t kGap = 30;
  Releases releases;
  const Clock::time_point put = Clock::now();
  {
    TTimedBuffer buffer(64);
    buffer.SetBufferTime(200);  // all are queued before the first goes
    buffer.SetBufferResolution(1);
    releases.Attach(buffer);
    buffer.Put(Packet(0, 0));
    buffer.Put(Packet(1, 0));
    buffer.Put(Packet(2, kGap));
    buffer.Put(Packet(3, 0));
    // A run of equal short steps: rounding or a lead per step would add up over it.
    for (int tag = 4; tag < 40; ++tag) buffer.Put(Packet(tag, 7));
    ASSERT_TRUE(releases.WaitFor(40));
  }
  // A packet released in the same pass has left the ring before its predecessor is delivered;
  // the delta of kGap waits in the ring for its timer.
  const std::vector<Releases::Release> taken = releases.Taken();
  const int32_t expectedQueued[] = {38, 38, 36, 36};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(taken[i].tag, i);
    EXPECT_EQ(taken[i].queuedMeanwhile, expectedQueued[i]) << "packet " << i;
  }
  EXPECT_GE(taken[2].at - put, std::chrono::milliseconds(200 + kGap));
  for (int i = 4; i < 40; ++i) {
    EXPECT_EQ(taken[i].tag, i);
    EXPECT_GE(taken[i].at - put, std::chrono::milliseconds(200 + kGap + 7 * (i - 3)))
        << "packet " << i << " released ahead of the sender's timeline";
  }
}

TEST_F(TimedBuffer, ClampsItsTimes) {
  TTimedBuffer buffer(4);
  EXPECT_EQ(buffer.BufferTime(), 1000u);
  EXPECT_EQ(buffer.BufferResolution(), 20u);
  buffer.SetBufferTime(0);
  EXPECT_EQ(buffer.BufferTime(), 1u);
  buffer.SetBufferTime(70000);
  EXPECT_EQ(buffer.BufferTime(), 60000u);
  buffer.SetBufferTime(60000);
  EXPECT_EQ(buffer.BufferTime(), 60000u);
  buffer.SetBufferResolution(0);
  EXPECT_EQ(buffer.BufferResolution(), 1u);
  buffer.SetBufferResolution(5000);
  EXPECT_EQ(buffer.BufferResolution(), 1000u);
  buffer.SetBufferResolution(5);
  EXPECT_EQ(buffer.BufferResolution(), 5u);
  EXPECT_THROW(TTimedBuffer(-1), ERangeError);
}

TEST_F(TimedBuffer, FullRingRefusesAndFreesThePacketUntilOneIsReleased) {
  Releases releases;
  int overflows = 0;
  auto buffer = std::make_unique<TTimedBuffer>(1024);
  buffer->SetBufferTime(500);
  releases.Attach(*buffer);
  buffer->OnOverflow = [&](TTimedBuffer& sender) {
    EXPECT_EQ(&sender, buffer.get());
    ++overflows;
  };
  // Only the first is released soon; the others wait 4990 ms each behind it.
  buffer->Put(Packet(0, 0));
  for (int tag = 1; tag < 1024; ++tag) buffer->Put(Packet(tag, 5000));
  buffer->Put(Packet(1024, 0));
  EXPECT_EQ(overflows, 1);
  EXPECT_EQ(buffer->Count(), 1024);
  EXPECT_EQ(TaggedPacket::alive, 1024);

  ASSERT_TRUE(releases.WaitFor(1));
  EXPECT_EQ(buffer->Count(), 1023);
  buffer->Put(Packet(1025, 0));
  EXPECT_EQ(overflows, 1);
  EXPECT_EQ(buffer->Count(), 1024);

  // Destroying it with a 4990 ms timer pending frees every queued packet undelivered.
  buffer.reset();
  EXPECT_EQ(TaggedPacket::alive, 0);
  EXPECT_EQ(releases.Taken().size(), 1u);
}

TEST_F(TimedBuffer, DestroyingItDeliversNothingMoreAndLeavesNoTimerBehind) {
  // Destroyed while its hold timer is pending: the timer must not fire into freed memory.
  Releases held;
  {
    TTimedBuffer buffer(16);
    buffer.SetBufferTime(50);
    held.Attach(buffer);
    buffer.Put(Packet(0, 0));
  }
  std::this_thread::sleep_for(150ms);
  EXPECT_TRUE(held.Taken().empty());
  EXPECT_EQ(TaggedPacket::alive, 0);

  // Destroyed in the middle of a pass: the packet being delivered finishes, the rest do not.
  Releases passing;
  std::atomic<bool> delivering{false};
  auto buffer = std::make_unique<TTimedBuffer>(16);
  buffer->SetBufferTime(1);
  passing.Attach(*buffer, [&](int) {
    delivering = true;
    delivering.notify_all();
    std::this_thread::sleep_for(100ms);
  });
  buffer->Put(Packet(0, 0));
  buffer->Put(Packet(1, 0));
  buffer->Put(Packet(2, 0));
  buffer->Put(Packet(3, 3000));
  delivering.wait(false);
  buffer.reset();
  EXPECT_EQ(passing.Taken().size(), 1u);
  EXPECT_EQ(TaggedPacket::alive, 0);
}

TEST_F(TimedBuffer, KeepsPutOrderAndNeverReleasesEarly) {
  constexpr int kPackets = 100;
  constexpr auto kBufferTime = 60ms;
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> delta(0, 40), burst(1, 4), pause(0, 60);

  Releases releases;
  std::vector<Clock::time_point> putAt(kPackets);
  std::vector<uint16_t> deltas(kPackets);
  {
    TTimedBuffer buffer(256);
    buffer.SetBufferTime(kBufferTime.count());
    buffer.SetBufferResolution(1);
    releases.Attach(buffer);
    // Bursts with pauses: some land while a pass runs, some after the ring has run dry.
    for (int tag = 0; tag < kPackets;) {
      for (int n = burst(random); n > 0 && tag < kPackets; --n, ++tag) {
        deltas[tag] = static_cast<uint16_t>(delta(random));
        putAt[tag] = Clock::now();
        buffer.Put(Packet(tag, deltas[tag]));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    }
    ASSERT_TRUE(releases.WaitFor(kPackets));
  }
  const std::vector<Releases::Release> taken = releases.Taken();
  ASSERT_EQ(taken.size(), size_t{kPackets});
  // The sender's timeline: a packet put while its predecessor was still queued is due its
  // delta after it; one put later starts a hold of its own. A hold that began a moment later
  // than this reckons only makes the bound looser.
  Clock::time_point due = putAt[0] + kBufferTime;
  for (int i = 0; i < kPackets; ++i) {
    ASSERT_EQ(taken[i].tag, i) << "released out of put order";
    if (i > 0) {
      const bool joined = putAt[i] < taken[i - 1].at;
      due = joined ? due + std::chrono::milliseconds(deltas[i]) : putAt[i] + kBufferTime;
    }
    EXPECT_GE(taken[i].at, due) << "packet " << i << " released early";
  }
}

TEST_F(TimedBuffer, RefusedTimersDelayNothingAndStrandNothing) {
  Releases releases;
  Clock::time_point put;
  {
    TTimedBuffer buffer(16);
    buffer.SetBufferTime(50);
    releases.Attach(buffer);
    // The hold timer (in Put) and the follower's timer (in the pass) are both refused.
    mmsystem::RefuseTimersForTesting(2);
    put = Clock::now();
    EXPECT_THROW(buffer.Put(Packet(0, 0)), EScheduler);
    EXPECT_EQ(buffer.Count(), 1);
    buffer.Put(Packet(1, 60));
    ASSERT_TRUE(releases.WaitFor(2));
    // The service grants timers again: the next hold runs on one.
    buffer.Put(Packet(2, 0));
    ASSERT_TRUE(releases.WaitFor(3));
  }
  const std::vector<Releases::Release> taken = releases.Taken();
  EXPECT_EQ(taken[0].tag, 0);
  EXPECT_GE(taken[0].at - put, 50ms);
  EXPECT_EQ(taken[1].tag, 1);
  EXPECT_GE(taken[1].at - taken[0].at, 40ms);
  EXPECT_EQ(taken[2].tag, 2);

  // A worker keeping a refused deadline itself still ends when the buffer goes.
  Releases none;
  {
    TTimedBuffer buffer(16);
    buffer.SetBufferTime(60000);
    none.Attach(buffer);
    mmsystem::RefuseTimersForTesting(1);
    EXPECT_THROW(buffer.Put(Packet(3, 0)), EScheduler);
  }
  EXPECT_TRUE(none.Taken().empty());
}

TEST_F(TimedBuffer, ConsumerFailureCostsOnlyItsOwnPacket) {
  Releases releases;
  {
    TTimedBuffer buffer(16);
    buffer.SetBufferTime(10);
    releases.Attach(buffer, [](int tag) {
      if (tag == 0) throw std::runtime_error("output failed");
    });
    buffer.Put(Packet(0, 0));
    buffer.Put(Packet(1, 0));
    buffer.Put(Packet(2, 30));
    ASSERT_TRUE(releases.WaitFor(3));
  }
  EXPECT_EQ(releases.Taken()[2].tag, 2);
}

TEST_F(TimedBuffer, UnderflowMarksATimelineRestartInTheMiddleOfAStream) {
  Releases releases;
  int underflows = 0;
  TTimedBuffer buffer(16);
  buffer.SetBufferTime(100);
  releases.Attach(buffer);
  buffer.OnUnderflow = [&](TTimedBuffer&) { ++underflows; };
  size_t released = 0;
  const auto putAndDrain = [&](std::unique_ptr<TData> packet) {
    buffer.Put(std::move(packet));
    ASSERT_TRUE(releases.WaitFor(++released));
  };

  putAndDrain(Packet(0, 100));  // the first packet ever
  EXPECT_EQ(underflows, 0);
  buffer.Put(Packet(1, 200));  // the ring ran dry mid-stream
  EXPECT_EQ(underflows, 1);
  buffer.Put(Packet(2, 5));  // joins the running hold
  EXPECT_EQ(underflows, 1);
  released += 2;
  ASSERT_TRUE(releases.WaitFor(released));
  putAndDrain(Packet(3, 5000, false));  // idle Time entry
  putAndDrain(Packet(4, 300));          // first after the idle entry
  putAndDrain(Packet(5, 5000));         // after a long gap
  EXPECT_EQ(underflows, 1);
  putAndDrain(Packet(6, 4999));
  EXPECT_EQ(underflows, 2);
}

}  // namespace

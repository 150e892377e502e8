#include "protocol/timedbuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/timerservice.h"

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
    Clock::time_point due;
  };

  // `whileDelivering` runs inside OnData after the release is recorded.
  void Attach(TTimedBuffer& buffer, std::function<void(int tag)> whileDelivering = {}) {
    buffer.OnData = [this, &buffer, whileDelivering](TData& packet, Clock::time_point due) {
      const Clock::time_point at = Clock::now();
      const int tag = dynamic_cast<TaggedPacket&>(packet).Tag;
      {
        std::lock_guard lock(mutex_);
        taken_.push_back({tag, at, due});
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

// With a release lead each packet leaves that much before its instant and carries the
// instant, so the output can place it exactly.
TEST_F(TimedBuffer, HoldsTheFirstPacketThenSpacesFollowersByTheirDelta) {
  Releases releases;
  Clock::time_point put;
  {
    TTimedBuffer buffer(16);
    buffer.SetBufferTime(300);
    buffer.SetReleaseLead(200ms);
    releases.Attach(buffer);
    put = Clock::now();
    buffer.Put(Packet(0, 0));
    buffer.Put(Packet(1, 300));
    ASSERT_TRUE(releases.WaitFor(2));
  }
  const std::vector<Releases::Release> taken = releases.Taken();
  EXPECT_EQ(taken[0].tag, 0);
  EXPECT_GE(taken[0].due - put, 300ms);
  EXPECT_LT(taken[0].due - put, 1100ms);
  EXPECT_GE(taken[0].at, taken[0].due - 200ms);
  EXPECT_LT(taken[0].at, taken[0].due) << "released without its lead";
  // The follower is due its delta after the first was due, not after the first went out: it
  // keeps the sender's timeline, however late the first was delivered.
  EXPECT_EQ(taken[1].tag, 1);
  EXPECT_EQ(taken[1].due - taken[0].due, 300ms);
  EXPECT_GE(taken[1].at, taken[1].due - 200ms);
}

TEST_F(TimedBuffer, AutomaticBufferTimeGrowsOnALatePacketAndHoldsItWithTheGrownValue) {
  Releases releases;
  TTimedBuffer buffer(16);
  buffer.SetBufferTime(20);
  releases.Attach(buffer);
  EXPECT_FALSE(buffer.AutoBufferTime());
  buffer.SetAutoBufferTime(true);
  buffer.Put(Packet(0, 0));
  EXPECT_EQ(buffer.Figures().BufferTimeMs, TBufferSizer::MinBufferTimeMs);
  ASSERT_TRUE(releases.WaitFor(1));
  std::this_thread::sleep_for(100ms);
  // Played 10 ms after the first, arriving at least 100 ms after it: 90 ms late or more.
  const Clock::time_point put = Clock::now();
  buffer.Put(Packet(1, 10));
  const TTimedBuffer::TFigures grown = buffer.Figures();
  EXPECT_GE(grown.JitterMs, 90u);
  EXPECT_GE(grown.BufferTimeMs, grown.JitterMs + 3);
  EXPECT_EQ(grown.LateShare, 0.5);
  // Held the grown buffer time from when its sender played it: later than it came, so it
  // is on time, and its place on the sender's timeline is kept.
  ASSERT_TRUE(releases.WaitFor(2));
  const std::vector<Releases::Release> taken = releases.Taken();
  EXPECT_GE(taken[1].due - put, 3ms);
  EXPECT_GE(taken[1].at, taken[1].due);
  // An output that wants its packets early gets that time on top of the sized value.
  buffer.SetReleaseLead(std::chrono::microseconds(20500));
  EXPECT_EQ(buffer.Figures().BufferTimeMs, grown.BufferTimeMs + 21);

  buffer.SetAutoBufferTime(false);
  EXPECT_EQ(buffer.Figures().BufferTimeMs, 20u);
  EXPECT_EQ(buffer.BufferTime(), 20u);
}

// What a musician reads as the network's health: only entries that carry MIDI count, each
// link on its own. Entries that only carry time (chat, idle ticks), the end of a link and the
// wait for the next one are neither lag nor lateness.
TEST_F(TimedBuffer, FiguresMeasureOnlyMidiAndEachLinkAfresh) {
  std::atomic<Clock::time_point> now{Clock::time_point{}};
  Releases releases;
  TTimedBuffer buffer(16, [&] { return now.load(); });
  buffer.SetBufferTime(1);
  releases.Attach(buffer);
  size_t played = 0;
  // Puts the entry at `ms` on the fake clock, then moves the clock on until it has left, so
  // every entry finds the ring dry.
  const auto put = [&](int ms, std::unique_ptr<TData> entry) {
    now = Clock::time_point{} + std::chrono::milliseconds(ms);
    buffer.Put(std::move(entry));
    now = now.load() + 1ms;
    ASSERT_TRUE(releases.WaitFor(++played));
  };
  const auto endOfLink = [](int tag) {
    std::unique_ptr<TData> entry = Packet(tag, 0, false);
    entry->DataType = -1;  // the owner's end-of-link type: any negative one
    return entry;
  };

  put(0, Packet(0, 0, false));  // a chat
  put(3267, endOfLink(1));
  buffer.StartNewLink();
  put(5000, Packet(2, 20, false));  // a chat on the new link, stamped on the server's timeline
  TTimedBuffer::TFigures figures = buffer.Figures();
  EXPECT_EQ(figures.Measured, 0u);
  EXPECT_EQ(figures.JitterMs, 0u);
  EXPECT_EQ(figures.LateShare, 0.0);
  buffer.SetAutoBufferTime(true);
  EXPECT_EQ(buffer.Figures().BufferTimeMs, TBufferSizer::MinBufferTimeMs);
  buffer.SetAutoBufferTime(false);

  put(5100, Packet(3, 100));  // on time behind the chat
  put(5150, Packet(4, 10));   // 40 ms behind its place, so late
  figures = buffer.Figures();
  EXPECT_EQ(figures.Measured, 2u);
  EXPECT_EQ(figures.JitterMs, 40u);
  EXPECT_EQ(figures.LateShare, 0.5);

  put(8000, endOfLink(5));
  EXPECT_EQ(buffer.Figures().Measured, 0u);
  buffer.StartNewLink();
  put(10000, Packet(6, 10));  // long after the old timeline's last place: no lateness of its own
  figures = buffer.Figures();
  EXPECT_EQ(figures.Measured, 1u);
  EXPECT_EQ(figures.JitterMs, 0u);
  EXPECT_EQ(figures.LateShare, 0.0);
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

}  // namespace

#include "protocol/playoutschedule.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "platform/errors.h"

namespace {

using namespace std::chrono_literals;
using TimePoint = TPlayoutSchedule::TimePoint;

const TimePoint t0{};  // the fake clock's origin

std::unique_ptr<TData> Packet(uint8_t tag, uint16_t delta, bool withPayload = true) {
  auto packet = std::make_unique<TData>();
  packet->DataType = dtMidi;
  packet->Time = delta;
  if (withPayload) packet->AddByte(tag);
  return packet;
}

// -1 when nothing was released.
int TagOf(const std::unique_ptr<TData>& packet) { return packet ? packet->GetByte(0) : -1; }

TEST(PlayoutSchedule, HoldsTheFirstPacketThenKeepsTheSendersTimeline) {
  TPlayoutSchedule schedule(8);
  EXPECT_FALSE(schedule.NextWake());
  EXPECT_TRUE(schedule.Put(Packet(0, 0), t0, 100ms).StartedHold);
  EXPECT_FALSE(schedule.Put(Packet(1, 0), t0 + 5ms, 100ms).StartedHold);  // a chord
  schedule.Put(Packet(2, 300), t0 + 6ms, 100ms);
  schedule.Put(Packet(3, 11), t0 + 7ms, 100ms);
  schedule.Put(Packet(4, 100), t0 + 8ms, 100ms);

  EXPECT_EQ(schedule.NextWake(), t0 + 100ms);
  EXPECT_EQ(schedule.TakeDue(t0 + 99ms), nullptr);
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 100ms)), 0);
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 100ms)), 1);  // same pass
  EXPECT_EQ(schedule.TakeDue(t0 + 100ms), nullptr);
  EXPECT_EQ(schedule.NextWake(), t0 + 400ms);
  // A wake-up 50 ms late costs that packet only: the next is due on the sender's timeline, so
  // it is due already and leaves in the same pass, and the one after keeps its own time.
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 450ms)), 2);
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 450ms)), 3);
  EXPECT_EQ(schedule.TakeDue(t0 + 450ms), nullptr);
  EXPECT_EQ(schedule.NextWake(), t0 + 511ms);
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 511ms)), 4);
  EXPECT_FALSE(schedule.NextWake());

  // Once the ring has run dry, the next packet starts a hold of its own, whatever its delta.
  EXPECT_TRUE(schedule.Put(Packet(5, 65535), t0 + 2s, 100ms).StartedHold);
  EXPECT_EQ(schedule.NextWake(), t0 + 2100ms);
  schedule.Put(Packet(6, 65535), t0 + 2s, 100ms);
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 2100ms)), 5);
  EXPECT_EQ(schedule.NextWake(), t0 + 2100ms + 65535ms);
}

// The owner takes each packet ahead of its instant. The timeline stays busy until that
// instant, and a hold that starts over counts from when the sender played the packet, so
// neither a packet taken early nor one that came late moves the next off the sender's
// timeline.
TEST(PlayoutSchedule, PacketsTakenEarlyOrComingLateKeepTheSendersTimeline) {
  TPlayoutSchedule schedule(8);
  schedule.Put(Packet(0, 0), t0, 100ms);
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 100ms)), 0);  // at t0 + 80 ms, with a 20 ms lead
  EXPECT_FALSE(schedule.Put(Packet(1, 15), t0 + 90ms, 100ms).StartedHold);
  EXPECT_EQ(schedule.NextWake(), t0 + 115ms);
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 115ms)), 1);

  // After a rest the ring is dry: the first of a phrase came 30 ms later than its sender's
  // timeline has it, and is held from when it was played.
  EXPECT_TRUE(schedule.Put(Packet(2, 900), t0 + 1030ms, 100ms, 30ms).StartedHold);
  EXPECT_EQ(schedule.NextWake(), t0 + 1100ms);
}

TEST(PlayoutSchedule, FullRingRefusesUntilOneLeaves) {
  EXPECT_THROW(TPlayoutSchedule(-1), ERangeError);
  TPlayoutSchedule schedule(2);
  schedule.Put(Packet(0, 0), t0, 1ms);
  EXPECT_FALSE(schedule.Full());
  schedule.Put(Packet(1, 5000), t0, 1ms);
  EXPECT_TRUE(schedule.Full());
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 1ms)), 0);
  EXPECT_FALSE(schedule.Full());
  schedule.Put(Packet(2, 0), t0, 1ms);  // wraps around the ring
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 5001ms)), 1);
  EXPECT_EQ(TagOf(schedule.TakeDue(t0 + 5001ms)), 2);
  EXPECT_EQ(schedule.Count(), 0);
}

TEST(PlayoutSchedule, UnderflowMarksATimelineRestartInTheMiddleOfAStream) {
  TPlayoutSchedule schedule(16);
  TimePoint now = t0;
  const auto putAndDrain = [&](std::unique_ptr<TData> packet) {
    const bool underflow = schedule.Put(std::move(packet), now, 100ms).Underflow;
    now += 10s;
    while (schedule.TakeDue(now)) {
    }
    return underflow;
  };
  EXPECT_FALSE(putAndDrain(Packet(0, 100)));                        // the first packet ever
  EXPECT_TRUE(schedule.Put(Packet(1, 200), now, 100ms).Underflow);  // ran dry mid-stream
  EXPECT_FALSE(putAndDrain(Packet(2, 5)));                          // joins the running hold
  EXPECT_FALSE(putAndDrain(Packet(3, 5000, false)));                // idle Time entry
  EXPECT_FALSE(putAndDrain(Packet(4, 300)));                        // first after it
  EXPECT_FALSE(putAndDrain(Packet(5, 5000)));                       // after a long gap
  EXPECT_TRUE(putAndDrain(Packet(6, 4999)));
}

TEST(PlayoutSchedule, AKeptTimelineGoesOnAcrossADryRingUntilAPacketIsLate) {
  TPlayoutSchedule schedule(8);
  schedule.SetKeepTimeline(true);
  const auto drain = [&](TimePoint now) {
    while (schedule.TakeDue(now)) {
    }
  };
  EXPECT_TRUE(schedule.Put(Packet(0, 0), t0, 50ms).StartedHold);
  drain(t0 + 50ms);
  // 200 ms after the first on the sender's clock, arriving 20 ms early: it keeps its place.
  EXPECT_FALSE(schedule.IsLate(200, t0 + 180ms));
  EXPECT_FALSE(schedule.Put(Packet(1, 200), t0 + 180ms, 50ms).StartedHold);
  EXPECT_EQ(schedule.NextWake(), t0 + 250ms);
  drain(t0 + 250ms);
  // Due at 350 ms but put at 360: late, so it starts over, and that is an underflow.
  EXPECT_TRUE(schedule.IsLate(100, t0 + 360ms));
  const TPlayoutSchedule::TPlacement late = schedule.Put(Packet(2, 100), t0 + 360ms, 50ms);
  EXPECT_TRUE(late.StartedHold && late.Underflow);
  EXPECT_EQ(schedule.NextWake(), t0 + 410ms);
  drain(t0 + 410ms);
  // A buffer time below the running hold's starts over at the next dry ring.
  EXPECT_TRUE(schedule.Put(Packet(3, 300), t0 + 700ms, 20ms).StartedHold);
  EXPECT_EQ(schedule.NextWake(), t0 + 720ms);
  drain(t0 + 720ms);
  // So does the sender's silence, which is no underflow.
  const TPlayoutSchedule::TPlacement silence = schedule.Put(Packet(4, 5000), t0 + 5s, 20ms);
  EXPECT_TRUE(silence.StartedHold);
  EXPECT_FALSE(silence.Underflow);
  EXPECT_FALSE(schedule.IsLate(6000, t0 + 60s));
  drain(t0 + 5020ms);
  // With a release lead, a packet that comes after its release time but before its instant
  // is late too: the output could no longer place it. It starts over with the buffer in force.
  schedule.SetReleaseLead(15ms);
  EXPECT_FALSE(schedule.IsLate(100, t0 + 5104ms));
  EXPECT_TRUE(schedule.IsLate(100, t0 + 5106ms));
  const TPlayoutSchedule::TPlacement inLead = schedule.Put(Packet(5, 100), t0 + 5106ms, 40ms);
  EXPECT_TRUE(inLead.StartedHold && inLead.Underflow);
  EXPECT_EQ(schedule.NextWake(), t0 + 5146ms);
}

TEST(PlayoutSchedule, ReleasesInPutOrderExactlyWhenDue) {
  // Bursts with pauses on a millisecond clock: some packets join a running timeline, some
  // arrive after the ring has run dry and start a hold of their own.
  constexpr auto kBufferTime = 60ms;
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> delta(0, 40), burst(1, 4), pause(0, 60);
  TPlayoutSchedule schedule(256);
  std::vector<TimePoint> expectedDue;
  std::vector<TimePoint> releasedAt;
  TimePoint now = t0;
  TimePoint lastDue;
  const auto releaseDue = [&] {
    while (const std::unique_ptr<TData> packet = schedule.TakeDue(now)) {
      ASSERT_EQ(TagOf(packet), static_cast<int>(releasedAt.size() % 256))
          << "released out of put order";
      releasedAt.push_back(now);
    }
  };
  for (int tag = 0; tag < 200;) {
    for (int n = burst(random); n > 0 && tag < 200; --n, ++tag) {
      const auto d = static_cast<uint16_t>(delta(random));
      const bool joins = schedule.Count() > 0;
      lastDue = joins ? lastDue + std::chrono::milliseconds(d) : now + kBufferTime;
      expectedDue.push_back(lastDue);
      schedule.Put(Packet(static_cast<uint8_t>(tag), d), now, kBufferTime);
    }
    for (int ms = pause(random); ms > 0; --ms) {
      now += 1ms;
      releaseDue();
    }
  }
  while (schedule.Count() > 0) {
    now += 1ms;
    releaseDue();
  }
  EXPECT_EQ(releasedAt, expectedDue);
}

}  // namespace

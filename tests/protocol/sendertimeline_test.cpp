#include "protocol/sendertimeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "protocol/relaytimeline.h"

namespace {

constexpr uint32_t kBufferTimeMs = 150;

// A sender's packets: when it played each, on the receiving clock, and the delta it stamped.
struct TPlayed {
  uint32_t At;
  uint16_t Delta;
};

// Notes 20 to 120 ms apart for `seconds`, from `start`; the sender's clock runs `ppm` fast
// (negative: slow) against the receiver's.
std::vector<TPlayed> Stream(std::mt19937& random, uint32_t start, int seconds, int ppm = 0) {
  std::uniform_int_distribution<uint32_t> gap(20, 120);
  std::vector<TPlayed> played;
  int64_t senderClock = 0;
  for (uint32_t at = start; at - start < static_cast<uint32_t>(seconds) * 1000; at += gap(random)) {
    const int64_t elapsed = at - start;
    const int64_t senderNow = elapsed + elapsed * ppm / 1000000;
    played.push_back({at, static_cast<uint16_t>(played.empty() ? 0 : senderNow - senderClock)});
    senderClock = senderNow;
  }
  return played;
}

// Arrivals `base` plus up to `jitter` ms after playing, in order, as TCP delivers them.
std::vector<uint32_t> Arrivals(std::mt19937& random, const std::vector<TPlayed>& played,
                               uint32_t base, uint32_t jitter) {
  std::uniform_int_distribution<uint32_t> extra(0, jitter);
  std::vector<uint32_t> arrivals;
  for (const TPlayed& packet : played) {
    const uint32_t arrival = packet.At + base + extra(random);
    const bool overtakes = !arrivals.empty() && static_cast<int32_t>(arrival - arrivals.back()) < 0;
    arrivals.push_back(overtakes ? arrivals.back() : arrival);
  }
  return arrivals;
}

// The worst difference between the relayed stamps and the played spacing, from packet `from`.
int WorstSpacingError(const std::vector<TPlayed>& played, const std::vector<uint32_t>& arrivals,
                      size_t from) {
  TSenderTimeline timeline;
  TRelayTimeline relay(arrivals.front());
  int worst = 0;
  for (size_t i = 0; i < played.size(); ++i) {
    const uint16_t stamp =
        relay.Stamp(timeline.PlayedAt(played[i].Delta, arrivals[i], kBufferTimeMs));
    if (i == 0) continue;
    const int error = static_cast<int>(stamp) - static_cast<int>(played[i].At - played[i - 1].At);
    if (i >= from) worst = std::max(worst, std::abs(error));
  }
  return worst;
}

TEST(SenderTimeline, RandomDelayLeavesTheSendersSpacingInTheStamps) {
  std::mt19937 random(17);
  // Close below the wrap of the 32-bit clock, so the run crosses it.
  const auto played = Stream(random, 0xFFFFFFFFu - 20000, 60);
  const auto arrivals = Arrivals(random, played, 5, 40);
  // Once the least-delayed arrival has shown itself, the anchor moves by at most a tick.
  EXPECT_LE(WorstSpacingError(played, arrivals, 50), 1);
}

TEST(SenderTimeline, FollowsTheClocksDriftOverAnHour) {
  for (const int ppm : {100, -100}) {
    std::mt19937 random(ppm + 1000);
    const auto played = Stream(random, 1000, 3600, ppm);
    const auto arrivals = Arrivals(random, played, 10, 3);
    EXPECT_LE(WorstSpacingError(played, arrivals, 50), 1) << ppm << " ppm";
  }
}

TEST(SenderTimeline, StartsOverOnSilenceOnALatePacketAndOnRestart) {
  TSenderTimeline timeline;
  EXPECT_EQ(timeline.PlayedAt(0, 1000, kBufferTimeMs), 1000u);
  EXPECT_EQ(timeline.PlayedAt(100, 1130, kBufferTimeMs), 1100u);  // 30 ms late on the way
  // After a silence the sender's clock says nothing about the delay: it sits at its arrival.
  EXPECT_EQ(timeline.PlayedAt(5000, 6000, kBufferTimeMs), 6000u);
  EXPECT_EQ(timeline.PlayedAt(50, 6060, kBufferTimeMs), 6050u);
  // Later than the buffer could hold: the timeline starts at it.
  EXPECT_EQ(timeline.PlayedAt(50, 6300, kBufferTimeMs), 6300u);
  EXPECT_EQ(timeline.PlayedAt(50, 6350, kBufferTimeMs), 6350u);
  timeline.Restart();
  EXPECT_EQ(timeline.PlayedAt(50, 9000, kBufferTimeMs), 9000u);
  // The least-delayed packet of the window anchors it: an earlier arrival moves it back.
  EXPECT_EQ(timeline.PlayedAt(100, 9090, kBufferTimeMs), 9090u);
  EXPECT_EQ(timeline.PlayedAt(100, 9200, kBufferTimeMs), 9190u);
}

TEST(RelayTimeline, MergesSendersAndOwnSendsInSendOrder) {
  // A 5 ms from the server, B 30 ms; both play in turn every 40 ms, B 10 ms after A.
  TSenderTimeline fromA;
  TSenderTimeline fromB;
  struct TSend {
    uint32_t Arrival;
    bool FromA;
    uint16_t Delta;
  };
  std::vector<TSend> sends;
  for (uint32_t i = 0; i < 20; ++i) {
    sends.push_back({1005 + 40 * i, true, static_cast<uint16_t>(i == 0 ? 0 : 40)});
    sends.push_back({1040 + 40 * i, false, static_cast<uint16_t>(i == 0 ? 0 : 40)});
  }
  std::sort(sends.begin(), sends.end(),
            [](const TSend& a, const TSend& b) { return a.Arrival < b.Arrival; });
  TRelayTimeline relay(1000);
  uint32_t receiverClock = 1000;
  std::vector<uint32_t> heardA;
  std::vector<uint32_t> heardB;
  for (const TSend& send : sends) {
    TSenderTimeline& timeline = send.FromA ? fromA : fromB;
    receiverClock += relay.Stamp(timeline.PlayedAt(send.Delta, send.Arrival, kBufferTimeMs));
    (send.FromA ? heardA : heardB).push_back(receiverClock);
  }
  for (const auto* heard : {&heardA, &heardB})
    for (size_t i = 1; i < heard->size(); ++i) EXPECT_EQ((*heard)[i] - (*heard)[i - 1], 40u);
  // B's first packet sat at its arrival, 35 ms after A's; each later one follows A's in turn.
  EXPECT_EQ(heardB.front() - heardA.front(), 35u);

  // An instant before the previous send's goes out with it; the server's own send uses now.
  EXPECT_EQ(relay.Stamp(receiverClock - 20), 0u);
  EXPECT_EQ(relay.Stamp(receiverClock + 7), 7u);
  EXPECT_EQ(relay.Stamp(receiverClock + 7 + 70000), TRelayTimeline::MaxStamp);
}

}  // namespace

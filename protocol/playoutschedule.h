#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "protocol/data.h"
#include "protocol/sendertimeline.h"

// The rules of the timed playout buffer, with no thread and no clock: the caller says what
// time it is, and the schedule answers what is due and when the next wake-up is.
//
// A packet that finds the timeline idle is held for the buffer time from the instant its
// sender played it: its arrival less its lag, the delay it had beyond the least-delayed of
// its sender's packets. So a timeline that starts over after a rest keeps its place on the
// sender's timeline, however late the first packet came. The timeline is busy
// until the last packet put is due, whether or not it has been taken (the owner may take
// packets ahead of their instants). Every packet put behind
// it is due its delta after its predecessor was due: the sender's timeline, so a late wake-up
// delays one release and never the rest. Packets leave in put order; a full ring refuses.
//
// By default the timeline starts over whenever the ring has run dry. A kept timeline goes on
// across a dry ring for a packet that is not late, so spacings longer than the buffer time
// keep their value too; it starts over for a late packet, after the sender's silence, when
// the buffer time has dropped below the running hold's, and on a new link's timeline.
class TPlayoutSchedule {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // The sender's idle Time interval: a delta this long or longer follows silence.
  static constexpr uint16_t IdleIntervalMs = TSenderTimeline::SilenceMs;

  struct TPlacement {
    bool StartedHold;  // the timeline starts over: the packet is due a buffer time from now
    // The timeline starts over in the middle of a stream: a fresh hold for a packet that
    // carries MIDI, put behind one that carried MIDI too, with a delta below the idle
    // interval (and, on a kept timeline, late). The first packet of a timeline, idle Time
    // entries, the first packet after one and one after a long gap start a hold without it.
    bool Underflow;
  };

  // Throws ERangeError for a negative capacity.
  explicit TPlayoutSchedule(int32_t capacity);

  void SetKeepTimeline(bool keep) { FKeepTimeline = keep; }

  int32_t Capacity() const { return FCapacity; }
  int32_t Count() const { return FCount; }
  bool Full() const { return FCount == FCapacity; }

  // How long before its instant the owner releases each packet, so the output can place it
  // within its cycle.
  void SetReleaseLead(std::chrono::microseconds lead) { FReleaseLead = lead; }
  std::chrono::microseconds ReleaseLead() const { return FReleaseLead; }

  // True when a packet with `delta` put at `now` would be due on the running timeline before
  // it could be released: before `now` plus the release lead, so the output could no longer
  // place it at its instant. Never after the sender's silence or for the first packet of a
  // timeline.
  bool IsLate(uint16_t delta, TimePoint now) const;
  // The packets from now on follow a new timeline, a new link's, whose deltas say nothing of
  // the place of the packets put so far: the next one is never late and, finding the ring
  // dry, starts a hold as the first packet did. While the ring still holds the old
  // timeline's packets, it follows them by its delta.
  void StartNewTimeline();

  // Queues the packet; the caller checks Full first.
  TPlacement Put(std::unique_ptr<TData> packet, TimePoint now, std::chrono::milliseconds bufferTime,
                 std::chrono::milliseconds lag = std::chrono::milliseconds(0));
  // The oldest packet when it is due at `now`, else nullptr. Asked again with the same `now`,
  // it hands out everything due by then, so a chord leaves in one pass.
  std::unique_ptr<TData> TakeDue(TimePoint now);
  // When the oldest packet is due; nothing while the ring is empty.
  std::optional<TimePoint> NextWake() const;

 private:
  int32_t Advance(int32_t index) const { return index + 1 == FCapacity ? 0 : index + 1; }

  std::vector<std::unique_ptr<TData>> FItems;
  const int32_t FCapacity;
  int32_t FCount = 0;
  int32_t FWriteIndex = 0;
  int32_t FReadIndex = 0;
  TimePoint FHeadDue;  // when the oldest packet is due; meaningful while FCount > 0
  TimePoint FTailDue;  // when the newest packet put is (or was) due
  std::chrono::milliseconds FHoldBufferTime{};  // the buffer time the running timeline began with
  bool FHasTimeline = false;                    // a packet was put since the timeline began
  bool FLastPutHadPayload = false;
  bool FKeepTimeline = false;
  std::chrono::microseconds FReleaseLead{};
};

#include "protocol/playoutschedule.h"

#include <utility>

#include "platform/errors.h"

TPlayoutSchedule::TPlayoutSchedule(int32_t capacity)
    : FItems(capacity >= 0 ? static_cast<size_t>(capacity) : throw ERangeError()),
      FCapacity(capacity) {}

bool TPlayoutSchedule::IsLate(uint16_t delta, TimePoint now) const {
  return FHasTimeline && delta < IdleIntervalMs &&
         now + FReleaseLead > FTailDue + std::chrono::milliseconds(delta);
}

void TPlayoutSchedule::StartNewTimeline() {
  FHasTimeline = false;
  FLastPutHadPayload = false;
}

TPlayoutSchedule::TPlacement TPlayoutSchedule::Put(std::unique_ptr<TData> packet, TimePoint now,
                                                   std::chrono::milliseconds bufferTime,
                                                   std::chrono::milliseconds lag) {
  const bool hasPayload = packet->Count() > 0;
  const auto delta = std::chrono::milliseconds(packet->Time);
  TPlacement placement{false, false};
  // A packet released ahead of its instant still holds the timeline until that instant.
  const bool stillDue = FCount > 0 || (FHasTimeline && now < FTailDue);
  if (stillDue) {
    FTailDue += delta;
    if (FCount == 0) FHeadDue = FTailDue;
  } else {
    const bool late = IsLate(packet->Time, now);
    const bool goesOn = FKeepTimeline && FHasTimeline && packet->Time < IdleIntervalMs && !late &&
                        bufferTime >= FHoldBufferTime;
    if (goesOn) {
      FHeadDue = FTailDue + delta;
    } else {
      placement.StartedHold = true;
      const bool midStream = hasPayload && FLastPutHadPayload && packet->Time < IdleIntervalMs;
      placement.Underflow = midStream && (late || !FKeepTimeline);
      FHeadDue = now - lag + bufferTime;
      FHoldBufferTime = bufferTime;
    }
    FTailDue = FHeadDue;
  }
  FHasTimeline = true;
  FLastPutHadPayload = hasPayload;
  FItems[FWriteIndex] = std::move(packet);
  FWriteIndex = Advance(FWriteIndex);
  ++FCount;
  return placement;
}

std::unique_ptr<TData> TPlayoutSchedule::TakeDue(TimePoint now) {
  if (FCount == 0 || now < FHeadDue) return nullptr;
  std::unique_ptr<TData> packet = std::move(FItems[FReadIndex]);
  FReadIndex = Advance(FReadIndex);
  --FCount;
  if (FCount > 0) FHeadDue += std::chrono::milliseconds(FItems[FReadIndex]->Time);
  return packet;
}

std::optional<TPlayoutSchedule::TimePoint> TPlayoutSchedule::NextWake() const {
  if (FCount == 0) return std::nullopt;
  return FHeadDue;
}

#include "protocol/playoutschedule.h"

#include <utility>

#include "platform/errors.h"

TPlayoutSchedule::TPlayoutSchedule(int32_t capacity)
    : FItems(capacity >= 0 ? static_cast<size_t>(capacity) : throw ERangeError()),
      FCapacity(capacity) {}

TPlayoutSchedule::TPlacement TPlayoutSchedule::Put(std::unique_ptr<TData> packet, TimePoint now,
                                                   std::chrono::milliseconds bufferTime) {
  const bool hasPayload = packet->Count() > 0;
  TPlacement placement{FCount == 0, false};
  if (placement.StartedHold) {
    placement.Underflow = hasPayload && FLastPutHadPayload && packet->Time < IdleIntervalMs;
    FHeadDue = now + bufferTime;
  }
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

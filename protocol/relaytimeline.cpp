#include "protocol/relaytimeline.h"

uint16_t TRelayTimeline::Stamp(uint32_t instant) {
  const auto elapsed = static_cast<int32_t>(instant - FLastSend);
  if (elapsed <= 0) return 0;
  FLastSend = instant;
  return elapsed > MaxStamp ? MaxStamp : static_cast<uint16_t>(elapsed);
}

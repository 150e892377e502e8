#include "protocol/relaytimeline.h"

#include "platform/wrappingclock.h"

uint16_t TRelayTimeline::Stamp(uint32_t instant) {
  const int32_t elapsed = Span(FLastSend, instant);
  if (elapsed <= 0) return 0;
  FLastSend = instant;
  return elapsed > MaxStamp ? MaxStamp : static_cast<uint16_t>(elapsed);
}

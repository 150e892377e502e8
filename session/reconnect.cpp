#include "session/reconnect.h"

#include "platform/wrappingclock.h"

void TReconnectPolicy::Keep() {
  FState = TState::Connecting;
  FTries = 0;
}

void TReconnectPolicy::Stop() {
  FState = TState::Off;
  FTries = 0;
}

unsigned TReconnectPolicy::LinkUp() {
  const unsigned tries = FTries;
  FTries = 0;
  if (FState != TState::Off) FState = TState::Up;
  return tries;
}

std::optional<uint32_t> TReconnectPolicy::LinkLost(uint32_t now) {
  if (FState != TState::Connecting && FState != TState::Up) return std::nullopt;
  const uint32_t delay = FTries == 0 ? kFirstDelayMs : kDelayMs;
  FState = TState::Waiting;
  FDue = now + delay;
  return delay;
}

std::optional<unsigned> TReconnectPolicy::TryDue(uint32_t now) {
  if (FState != TState::Waiting || !Reached(now, FDue)) return std::nullopt;
  FState = TState::Connecting;
  return ++FTries;
}

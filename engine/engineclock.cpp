#include "engine/engineclock.h"

#include "platform/timerservice.h"

TSystemClock::TSystemClock() {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (wake_) wake_();
  });
}

uint32_t TSystemClock::Now() const { return timeGetTime(); }

void TSystemClock::WakeIn(uint32_t ms, std::function<void()> wake) {
  wake_ = std::move(wake);
  timer_.start(static_cast<int>(ms));
}

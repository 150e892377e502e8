#pragma once

// The engine's time: the milliseconds every rule of the session is given, and the one wake-up
// the session asks for. Tests put a clock of their own in its place, so the session's
// intervals (idle Time packets, silent peers, reconnect tries) pass when the test says.
// MIDI input keeps the system's own instants, so a clock of a test's own suits copies without
// MIDI input.

#include <QTimer>
#include <cstdint>
#include <functional>

class TEngineClock {
 public:
  virtual ~TEngineClock() = default;
  virtual uint32_t Now() const = 0;
  // `wake` runs once, `ms` from now, on the engine's thread; a later call replaces an earlier.
  virtual void WakeIn(uint32_t ms, std::function<void()> wake) = 0;
};

// timeGetTime's clock and a timer of the engine's event loop.
class TSystemClock final : public TEngineClock {
 public:
  TSystemClock();
  uint32_t Now() const override;
  void WakeIn(uint32_t ms, std::function<void()> wake) override;

 private:
  QTimer timer_;
  std::function<void()> wake_;
};

#pragma once

#include <functional>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP, handed to the event loop's thread: the handler only writes to a
// pipe, and `requested` runs from the loop once per wake-up. Only one object installs the
// handlers at a time; a second one stays inert.
class TTerminationSignals {
 public:
  explicit TTerminationSignals(std::function<void()> requested);
  ~TTerminationSignals();
  TTerminationSignals(const TTerminationSignals&) = delete;
  TTerminationSignals& operator=(const TTerminationSignals&) = delete;

 private:
  std::function<void()> requested_;
  QSocketNotifier* notifier_ = nullptr;
};

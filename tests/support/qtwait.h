#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <thread>

// Runs the owning thread's event loop until `done` holds or `timeout` passes; returns done().
// The bound keeps a lost notification from hanging a test.
template <class Predicate>
bool ProcessEventsUntil(Predicate done,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Lets notifications that might still come arrive.
inline void ProcessEventsFor(std::chrono::milliseconds period) {
  ProcessEventsUntil([] { return false; }, period);
}

// Waits for another thread's work while this thread's queued events stay undelivered.
template <class Predicate>
bool WaitWithoutEvents(Predicate done,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Delivers what is ready for this thread now, without waiting for more.
inline void DeliverReadyEvents() { QCoreApplication::processEvents(); }

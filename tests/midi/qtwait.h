#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>

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

// Delivers what this thread has posted so far.
inline void DeliverPostedEvents() { QCoreApplication::sendPostedEvents(); }

#pragma once

#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

class QSocketNotifier;

// A window message: its number and its two parameters.
struct TMessage {
  uint32_t Msg;
  uintptr_t WParam;
  uintptr_t LParam;
};

// The hidden window: a QObject living on the thread that creates it. Post may be called from
// any thread, including a driver's callback; the window procedure always runs on the owning
// thread's event loop, in posting order. Messages still queued when the window is destroyed
// or discarded are never delivered.
//
// Posting thread -> owning thread: the message goes into a queue under a plain mutex and an
// eventfd wakes the owner's loop. No Qt event crosses the threads, so a callback never
// allocates one, and every hand-over is ordered by a lock ThreadSanitizer can see.
class TMessageWindow : public QObject {
 public:
  using TWindowProc = std::function<void(const TMessage&)>;

  explicit TMessageWindow(TWindowProc windowProc);
  ~TMessageWindow() override;
  TMessageWindow(const TMessageWindow&) = delete;
  TMessageWindow& operator=(const TMessageWindow&) = delete;

  void Post(uint32_t msg, uintptr_t wParam, uintptr_t lParam);
  // Drops every message posted and not yet delivered. Owning thread only.
  void Discard();

 private:
  void Wake();
  std::optional<TMessage> TakeNext();
  void DeliverQueued();

  TWindowProc windowProc_;
  int wakeFd_;
  QSocketNotifier* wakeNotifier_;  // owning thread only
  std::mutex queueLock_;           // guards queue_
  std::deque<TMessage> queue_;
};

#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>

// A window message: its number and its two parameters.
struct TMessage {
  uint32_t Msg;
  uintptr_t WParam;
  uintptr_t LParam;
};

// The hidden window: a QObject living on the thread that creates it. Post may be called from
// any thread; the window procedure always runs on the owning thread, in posting order.
// Messages still queued when the window is destroyed are discarded.
class TMessageWindow : public QObject {
 public:
  using TWindowProc = std::function<void(const TMessage&)>;

  explicit TMessageWindow(TWindowProc windowProc);

  void Post(uint32_t msg, uintptr_t wParam, uintptr_t lParam);

 protected:
  void customEvent(QEvent* event) override;

 private:
  TWindowProc windowProc_;
  // Posting thread -> owning thread hand-over. Qt's queue already orders it, but with a lock
  // that ThreadSanitizer cannot see; a release in Post and an acquire before the window
  // procedure state it in the language's own terms.
  std::atomic<uint64_t> posted_{0};
};

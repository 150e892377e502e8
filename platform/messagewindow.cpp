#include "platform/messagewindow.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type kPostedMessage = static_cast<QEvent::Type>(QEvent::registerEventType());

class TPostedMessage : public QEvent {
 public:
  explicit TPostedMessage(const TMessage& message) : QEvent(kPostedMessage), Message(message) {}
  const TMessage Message;
};

}  // namespace

TMessageWindow::TMessageWindow(TWindowProc windowProc) : windowProc_(std::move(windowProc)) {}

void TMessageWindow::Post(uint32_t msg, uintptr_t wParam, uintptr_t lParam) {
  auto* event = new TPostedMessage({msg, wParam, lParam});
  posted_.fetch_add(1, std::memory_order_release);
  // postEvent is thread-safe and takes ownership of the event.
  QCoreApplication::postEvent(this, event);
}

void TMessageWindow::customEvent(QEvent* event) {
  posted_.load(std::memory_order_acquire);
  if (event->type() != kPostedMessage) return;
  if (windowProc_) {
    windowProc_(static_cast<TPostedMessage*>(event)->Message);
  }
}

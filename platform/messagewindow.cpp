#include "platform/messagewindow.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <system_error>

TMessageWindow::TMessageWindow(TWindowProc windowProc)
    : windowProc_(std::move(windowProc)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
  connect(wakeNotifier_, &QSocketNotifier::activated, this, [this] { DeliverQueued(); });
}

TMessageWindow::~TMessageWindow() {
  delete wakeNotifier_;
  ::close(wakeFd_);
}

void TMessageWindow::Post(uint32_t msg, uintptr_t wParam, uintptr_t lParam) {
  bool wasEmpty;
  {
    const std::lock_guard<std::mutex> lock(queueLock_);
    wasEmpty = queue_.empty();
    queue_.push_back({msg, wParam, lParam});
  }
  // A queue that already held messages has its wake-up set.
  if (wasEmpty) Wake();
}

void TMessageWindow::Discard() {
  const std::lock_guard<std::mutex> lock(queueLock_);
  queue_.clear();
}

void TMessageWindow::Wake() {
  const uint64_t one = 1;
  // Cannot block: the counter only saturates after 2^64 - 2 wake-ups nobody read.
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

std::optional<TMessage> TMessageWindow::TakeNext() {
  const std::lock_guard<std::mutex> lock(queueLock_);
  if (queue_.empty()) return std::nullopt;
  const TMessage message = queue_.front();
  queue_.pop_front();
  return message;
}

// One message at a time, and the wake-up stays set while messages wait: a window procedure
// that runs a nested event loop (a modal dialog) has the messages behind delivered inside it,
// in their order, and one that throws leaves them for the next pass.
void TMessageWindow::DeliverQueued() {
  // Only as many as are queued now: a thread that keeps posting must not hold the loop here.
  size_t budget;
  {
    const std::lock_guard<std::mutex> lock(queueLock_);
    budget = queue_.size();
  }
  for (; budget > 0; --budget) {
    const std::optional<TMessage> message = TakeNext();
    if (!message) break;
    if (windowProc_) windowProc_(*message);
  }
  // Cleared before the last look at the queue: a message posted in between saw it empty and
  // set the wake-up that the read may just have taken.
  uint64_t count;
  [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
  const std::lock_guard<std::mutex> lock(queueLock_);
  if (!queue_.empty()) Wake();
}

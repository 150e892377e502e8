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
  // A queue that already held messages has a wake-up on its way.
  if (wasEmpty) Wake();
}

void TMessageWindow::Discard() {
  delivering_.clear();
  const std::lock_guard<std::mutex> lock(queueLock_);
  queue_.clear();
}

void TMessageWindow::Wake() {
  const uint64_t one = 1;
  // Cannot block: the counter only saturates after 2^64 - 2 wake-ups nobody read.
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void TMessageWindow::DeliverQueued() {
  // Reset the wake-up before taking the queue, so a message posted from now on wakes us
  // again rather than waiting behind a counter we already cleared.
  uint64_t count;
  [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
  // Only what is queued now: a thread that keeps posting must not hold the loop here forever.
  {
    const std::lock_guard<std::mutex> lock(queueLock_);
    delivering_.swap(queue_);
  }
  while (!delivering_.empty()) {
    const TMessage message = delivering_.front();
    delivering_.pop_front();
    if (!windowProc_) continue;
    try {
      windowProc_(message);
    } catch (...) {
      // The exception goes on to the application's handler; the messages behind it are kept.
      {
        const std::lock_guard<std::mutex> lock(queueLock_);
        queue_.insert(queue_.begin(), delivering_.begin(), delivering_.end());
      }
      delivering_.clear();
      Wake();
      throw;
    }
  }
}

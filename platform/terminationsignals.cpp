#include "platform/terminationsignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The signal handler only writes to this pipe; the loop's thread reads it. -1 while unused.
int terminationPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const int savedErrno = errno;
  const char byte = 1;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

TTerminationSignals::TTerminationSignals(std::function<void()> requested)
    : requested_(std::move(requested)) {
  if (terminationPipe[0] != -1 || ::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier_, &QSocketNotifier::activated, [this] {
    char bytes[16];
    while (::read(terminationPipe[0], bytes, sizeof bytes) > 0) {
    }
    requested_();
  });

  struct sigaction action {};
  action.sa_handler = &OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kTerminationSignals) ::sigaction(signal, &action, nullptr);
}

TTerminationSignals::~TTerminationSignals() {
  if (notifier_ == nullptr) return;
  for (int signal : kTerminationSignals) std::signal(signal, SIG_DFL);
  delete notifier_;
  ::close(terminationPipe[0]);
  ::close(terminationPipe[1]);
  terminationPipe[0] = terminationPipe[1] = -1;
}

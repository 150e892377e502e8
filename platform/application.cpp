#include "platform/application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QWidget>
#include <cerrno>
#include <csignal>

#include "platform/messagebox.h"

namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The signal handler only writes to this pipe; the GUI thread reads it. -1 while unused.
int terminationPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const int savedErrno = errno;
  const char byte = 1;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  InstallTerminationSignals();
}

TApplication::~TApplication() {
  if (terminationNotifier_ == nullptr) return;
  for (int signal : kTerminationSignals) std::signal(signal, SIG_DFL);
  delete terminationNotifier_;
  ::close(terminationPipe[0]);
  ::close(terminationPipe[1]);
  terminationPipe[0] = terminationPipe[1] = -1;
}

void TApplication::InstallTerminationSignals() {
  if (terminationPipe[0] != -1 || ::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  terminationNotifier_ = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read);
  QObject::connect(terminationNotifier_, &QSocketNotifier::activated, [this] {
    char bytes[16];
    while (::read(terminationPipe[0], bytes, sizeof bytes) > 0) {
    }
    TerminationRequested();
  });

  struct sigaction action {};
  action.sa_handler = &OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kTerminationSignals) ::sigaction(signal, &action, nullptr);
}

void TApplication::TerminationRequested() {
  if (closing_) {
    exit(1);
    return;
  }
  closing_ = true;
  // A message box waiting for an answer would keep its window's close from finishing.
  while (QWidget* modal = activeModalWidget()) {
    if (!modal->close()) break;
  }
  closeAllWindows();
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowException(std::current_exception());
    return false;
  }
}

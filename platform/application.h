#pragma once

#include <QApplication>

#include "platform/terminationsignals.h"

// The application object. An exception that escapes an event handler is shown in the
// standard error box and the event loop goes on with the next event.
//
// SIGTERM, SIGINT and SIGHUP close the program as closing its windows would, so settings are
// saved and peers see a clean disconnect; a second such signal ends the event loop at once,
// should a window refuse to close. Only one application object installs the handlers.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  bool notify(QObject* receiver, QEvent* event) override;

 private:
  // Runs on the GUI thread, woken through the pipe the signal handler writes to.
  void TerminationRequested();

  TTerminationSignals termination_;
  bool closing_ = false;
};

#pragma once

// tessel-server as a process of its own, for the tests between separate programs.

#include <sys/prctl.h>

#include <QProcess>
#include <csignal>
#include <string>

#include "tests/support/qtwait.h"

class TServerProcess {
 public:
  explicit TServerProcess(const std::string& settingsFile) {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A server left behind by a test that crashed would hold the test runner's output open.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process_.start(TESSEL_SERVER_EXECUTABLE, {"--settings", QString::fromStdString(settingsFile)});
  }

  bool Started() { return process_.waitForStarted(); }
  // Waits until the server has printed `text`.
  bool Printed(const std::string& text) {
    return ProcessEventsUntil([&] {
      Output += process_.readAllStandardOutput().toStdString();
      return Output.find(text) != std::string::npos;
    });
  }
  // SIGTERM, and the wait for the server to end.
  bool Terminate() {
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    return ProcessEventsUntil([&] { return process_.state() == QProcess::NotRunning; });
  }
  const QProcess& Process() const { return process_; }

  std::string Output;  // what it printed so far

 private:
  QProcess process_;
};

// tessel-server: the engine without a window. It is the server, listens at start, and ends on
// SIGTERM or SIGINT as closing the window does: settings saved, held notes ended, sockets
// closed.
//   tessel-server [--settings FILE]

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "engine/engine.h"
#include "engine/globals.h"
#include "platform/terminationsignals.h"
#include "server/consoleview.h"

namespace {

// An exception that escapes an event handler is printed, and the loop goes on with the next
// event, as the window's application does with its error box.
class TServerApplication : public QCoreApplication {
 public:
  using QCoreApplication::QCoreApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QCoreApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      std::fprintf(stdout, "** ** ** %s\n", error.what());
      std::fflush(stdout);
      return false;
    }
  }
};

int Usage() {
  std::fprintf(stderr, "usage: tessel-server [--settings FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TServerApplication application(argc, argv);
  std::string settingsFile = IniFileName();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--settings") == 0 && i + 1 < argc)
      settingsFile = argv[++i];
    else
      return Usage();
  }

  TConsoleView console(stdout);
  TEngine engine(settingsFile);
  engine.SetObserver(&console);
  // A second signal ends the loop at once, should the shut-down itself hang.
  bool stopping = false;
  const TTerminationSignals termination([&] {
    if (stopping) application.exit(1);
    stopping = true;
    engine.Stop();
    application.quit();
  });
  engine.StartHeadless();
  return application.exec();
}

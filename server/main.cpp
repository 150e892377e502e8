// tessel-server: the engine without a window. It is the server, listens at start, and ends on
// SIGTERM or SIGINT as closing the window does: settings saved, held notes ended, sockets
// closed.
//   tessel-server [--settings FILE] [--set-password]
// --set-password reads the session password from standard input (one line; an empty one
// removes it), keeps only the key derived from it in the settings file, and exits.

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "admission/password.h"
#include "engine/engine.h"
#include "engine/globals.h"
#include "platform/inifile.h"
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
  std::fprintf(stderr, "usage: tessel-server [--settings FILE] [--set-password]\n");
  return 2;
}

int SetPassword(const std::string& settingsFile) {
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  try {
    TSettings settings = ReadSettingsFile(settingsFile, TSettings());
    settings.PasswordKey = password.empty() ? "" : KeySetting(DeriveKey(password, NewSalt()));
    WriteSettingsFile(settingsFile, settings);
  } catch (const EIniFileException& error) {
    std::fprintf(stderr, "%s: %s\n", error.what(), error.Reason().c_str());
    return 1;
  } catch (const EPassword& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  std::printf(password.empty() ? "The session password is removed.\n"
                               : "The session password is set.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TServerApplication application(argc, argv);
  std::string settingsFile = IniFileName();
  bool setPassword = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--settings") == 0 && i + 1 < argc)
      settingsFile = argv[++i];
    else if (std::strcmp(argv[i], "--set-password") == 0)
      setPassword = true;
    else
      return Usage();
  }
  if (setPassword) return SetPassword(settingsFile);

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

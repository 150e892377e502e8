#pragma once

#include <QApplication>

// The application object. An exception that escapes an event handler is shown in the
// standard error box and the event loop goes on with the next event.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;
};

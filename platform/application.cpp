#include "platform/application.h"

#include <QWidget>

#include "platform/messagebox.h"

TApplication::TApplication(int& argc, char** argv)
    : QApplication(argc, argv), termination_([this] { TerminationRequested(); }) {}

TApplication::~TApplication() = default;
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

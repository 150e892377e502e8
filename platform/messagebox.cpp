#include "platform/messagebox.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <cstdio>
#include <utility>

namespace {

// Both hooks are touched on the GUI thread only, so they need no lock.
TMessageBoxHook& MessageBoxHook() {
  static TMessageBoxHook hook;
  return hook;
}

TBeepHook& BeepHook() {
  static TBeepHook hook;
  return hook;
}

bool HasWidgetApplication() { return qobject_cast<QApplication*>(QCoreApplication::instance()); }

void ShowDefaultBox(const TMessageBox& box) {
  if (!HasWidgetApplication()) {
    std::fprintf(stderr, "%s: %s\n", box.Caption.c_str(), box.Text.c_str());
    return;
  }
  const QMessageBox::Icon icon =
      box.Kind == TMessageBoxKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon;
  QMessageBox dialog(icon, QString::fromStdString(box.Caption), QString::fromStdString(box.Text),
                     QMessageBox::Ok);
  dialog.exec();
}

void ShowOnGuiThread(const TMessageBox& box) {
  if (MessageBoxHook()) {
    MessageBoxHook()(box);
  } else {
    ShowDefaultBox(box);
  }
}

// Widgets live on the GUI thread only; a box asked for elsewhere is queued there.
void Show(TMessageBox box) {
  QCoreApplication* application = QCoreApplication::instance();
  if (application && QThread::currentThread() != application->thread()) {
    QMetaObject::invokeMethod(
        application, [box = std::move(box)] { ShowOnGuiThread(box); }, Qt::QueuedConnection);
    return;
  }
  ShowOnGuiThread(box);
}

std::string ApplicationCaption() {
  return QCoreApplication::instance() ? QCoreApplication::applicationName().toStdString()
                                      : std::string();
}

std::string ExceptionText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace

TMessageBoxHook SetMessageBoxHook(TMessageBoxHook hook) {
  return std::exchange(MessageBoxHook(), std::move(hook));
}

TBeepHook SetBeepHook(TBeepHook hook) { return std::exchange(BeepHook(), std::move(hook)); }

void ShowMessage(const std::string& text) {
  Show({TMessageBoxKind::Message, ApplicationCaption(), text});
}

void ShowException(std::exception_ptr error) {
  Show({TMessageBoxKind::Error, ApplicationCaption(), ExceptionText(error)});
}

void MessageBeep(uint32_t type) {
  if (BeepHook()) {
    BeepHook()(type);
  } else if (HasWidgetApplication()) {
    QApplication::beep();
  }
}

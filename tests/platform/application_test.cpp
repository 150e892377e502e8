#include "platform/application.h"

#include <gtest/gtest.h>

#include <QEvent>
#include <QCloseEvent>
#include <QTimer>
#include <QWidget>
#include <csignal>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/messagebox.h"

namespace {

// Records the boxes instead of showing them, and puts the previous hook back afterwards.
class TBoxRecorder {
 public:
  TBoxRecorder()
      : previous_(SetMessageBoxHook([this](const TMessageBox& box) {
          Boxes.push_back(box);
          Threads.push_back(std::this_thread::get_id());
        })) {}
  ~TBoxRecorder() { SetMessageBoxHook(previous_); }

  std::vector<TMessageBox> Boxes;
  std::vector<std::thread::id> Threads;

 private:
  TMessageBoxHook previous_;
};

const QEvent::Type kThrowStd = static_cast<QEvent::Type>(QEvent::User + 1);
const QEvent::Type kThrowOther = static_cast<QEvent::Type>(QEvent::User + 2);
const QEvent::Type kCount = static_cast<QEvent::Type>(QEvent::User + 3);

// An event handler that fails on demand and counts the events it handled.
class TFailingReceiver : public QObject {
 public:
  int Handled = 0;

 protected:
  bool event(QEvent* e) override {
    if (e->type() == kThrowStd) throw std::runtime_error("Invalid MIDI in device ID");
    if (e->type() == kThrowOther) throw 42;
    if (e->type() == kCount) {
      ++Handled;
      return true;
    }
    return QObject::event(e);
  }
};

TEST(ApplicationTest, ExceptionFromEventHandlerIsShownAndLaterEventsStillRun) {
  TBoxRecorder recorder;
  TFailingReceiver receiver;
  QCoreApplication::postEvent(&receiver, new QEvent(kThrowStd));
  QCoreApplication::postEvent(&receiver, new QEvent(kCount));
  QCoreApplication::postEvent(&receiver, new QEvent(kThrowOther));
  QCoreApplication::postEvent(&receiver, new QEvent(kCount));
  QCoreApplication::sendPostedEvents(&receiver);

  EXPECT_EQ(receiver.Handled, 2);
  ASSERT_EQ(recorder.Boxes.size(), 2u);
  EXPECT_EQ(recorder.Boxes[0].Kind, TMessageBoxKind::Error);
  EXPECT_EQ(recorder.Boxes[0].Text, "Invalid MIDI in device ID");
  EXPECT_EQ(recorder.Boxes[1].Kind, TMessageBoxKind::Error);
  EXPECT_EQ(recorder.Boxes[1].Text, "Unknown exception");
}

TEST(ApplicationTest, RunningEventLoopSurvivesAThrowingTimerSlot) {
  TBoxRecorder recorder;
  QTimer::singleShot(0, [] { throw std::runtime_error("Out of timer resources"); });
  bool ranAfter = false;
  QTimer::singleShot(10, [&] {
    ranAfter = true;
    QCoreApplication::quit();
  });
  // A watchdog so a broken loop fails the test instead of hanging it.
  QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });

  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_TRUE(ranAfter);
  ASSERT_EQ(recorder.Boxes.size(), 1u);
  EXPECT_EQ(recorder.Boxes[0].Text, "Out of timer resources");
}

// A window that refuses to close, as one waiting for an answer might.
class TStubbornWindow : public QWidget {
 public:
  int CloseRequests = 0;

 protected:
  void closeEvent(QCloseEvent* event) override {
    ++CloseRequests;
    event->ignore();
  }
};

TEST(ApplicationTest, TerminationSignalClosesWindowsAndASecondOneEndsTheLoop) {
  TStubbornWindow window;
  window.show();
  QTimer::singleShot(0, [] { std::raise(SIGTERM); });
  // Once the first signal has asked the window to close, with the loop still running.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (window.CloseRequests == 0) return;
    poll.stop();
    std::raise(SIGINT);
  });
  poll.start(5);
  QTimer::singleShot(10000, [] { QCoreApplication::exit(2); });

  EXPECT_EQ(QCoreApplication::exec(), 1);
  EXPECT_EQ(window.CloseRequests, 1);
}

TEST(MessageBoxTest, BoxAskedForOnAnotherThreadIsShownOnTheGuiThread) {
  TBoxRecorder recorder;
  std::thread worker([] { ShowMessage("from the worker"); });
  worker.join();
  EXPECT_TRUE(recorder.Boxes.empty());  // queued, not shown on the worker

  QCoreApplication::processEvents();
  ASSERT_EQ(recorder.Boxes.size(), 1u);
  EXPECT_EQ(recorder.Boxes[0].Kind, TMessageBoxKind::Message);
  EXPECT_EQ(recorder.Boxes[0].Text, "from the worker");
  EXPECT_EQ(recorder.Threads[0], std::this_thread::get_id());
}

TEST(MessageBoxTest, BeepGoesThroughTheHookWithItsType) {
  std::vector<uint32_t> beeps;
  TBeepHook previous = SetBeepHook([&](uint32_t type) { beeps.push_back(type); });
  MessageBeep(MB_ICONASTERISK);
  SetBeepHook(previous);
  MessageBeep(MB_ICONASTERISK);  // the default beep, not recorded
  EXPECT_EQ(beeps, std::vector<uint32_t>{MB_ICONASTERISK});
}

}  // namespace

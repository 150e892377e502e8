// Times the data monitor under heavy traffic. Lines arriving as the link delivers them: events
// queued to the window's thread by a feeder at a steady rate, painted whenever the event loop
// gets to it, so a paint shows every line that came meanwhile. Then the worst case, one
// line at a time with each painted before the next. The terminal sits in a scroll area that
// follows the cursor, as on the monitor page.
//
//   bench_vterm [lines]      (default 10000; runs on the offscreen platform unless told otherwise)
#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "bench/paintcounter.h"
#include "terminal/vterm.h"

namespace {

// A widget whose paint is one white fill: the floor under any per-line repaint.
class TFillOnly : public QWidget {
 protected:
  void paintEvent(QPaintEvent* event) override {
    QPainter(this).fillRect(event->rect(), Qt::white);
  }
};

// About 80 characters, varying so no two consecutive lines are alike.
std::string LogLine(int i) {
  char text[96];
  std::snprintf(text, sizeof text,
                "recv : Midi  time %5d  size 3  data 90 %02X %02X  (line %6d of the traffic log)",
                i % 5000, i % 128, (i * 7) % 128, i);
  return text;
}

// A scroll area of the given view size; Show puts the content in and counts its paints.
struct TView {
  QScrollArea Box;
  TPaintCounter Counter;

  explicit TView(QSize viewport) { Box.resize(viewport); }

  void Show(QWidget* content) {
    Box.setWidget(content);
    content->installEventFilter(&Counter);
    Box.show();
    QApplication::processEvents();
    Counter.Paints = 0;
  }
};

// Runs `step` once per line, then lets the last paint happen, and prints the total.
void Time(const char* name, TView& view, int lines, const std::function<void(int)>& step) {
  QElapsedTimer timer;
  timer.start();
  for (int i = 0; i < lines; ++i) step(i);
  QApplication::processEvents();
  const double ms = double(timer.nsecsElapsed()) / 1e6;
  std::printf("%-34s %6d lines  %5d paints  %8.1f ms  %6.1f us/line\n", name, lines,
              view.Counter.Paints, ms, 1000.0 * ms / lines);
}

// A terminal set up like the monitor's: Courier New of 11 pixels, 500 rows, 150 columns,
// keeping the cursor row at the bottom of the view as the window does after every output.
TVTerm* MonitorTerminal(QScrollArea& box) {
  auto* term = new TVTerm;
  QFont font(QStringLiteral("Courier New"));
  font.setPixelSize(11);
  term->SetFont(font);
  term->SetRows(500);
  term->SetCols(150);
  term->OnCursorMoved = [&box](TCustomVTerm* sender, int col, int row) {
    box.horizontalScrollBar()->setValue(
        std::max(0, col * sender->CharWidth() - box.viewport()->width()));
    box.verticalScrollBar()->setValue(
        std::max(0, (row + 1) * sender->LineHeight() - box.viewport()->height()));
  };
  return term;
}

void RunTerminal(const char* name, QSize viewport, int lines, bool paintEachLine) {
  TView view(viewport);
  TVTerm* term = MonitorTerminal(view.Box);
  view.Show(term);
  Time(name, view, lines, [&](int i) {
    term->WriteLine(LogLine(i));
    if (paintEachLine) QApplication::processEvents();
  });
}

// A feeder thread queues `rate` lines per second to the window's thread; the time runs until
// the last line has been painted.
void RunArriving(const char* name, QSize viewport, int lines, int rate) {
  TView view(viewport);
  TVTerm* term = MonitorTerminal(view.Box);
  view.Show(term);
  int written = 0;  // window's thread only
  Time(name, view, lines, [&](int i) {
    if (i > 0) return;
    std::thread feeder([&] {
      const auto start = std::chrono::steady_clock::now();
      for (int line = 0; line < lines; ++line) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * line / rate));
        const auto show = [&, line] {
          term->WriteLine(LogLine(line));
          ++written;
        };
        QMetaObject::invokeMethod(term, show, Qt::QueuedConnection);
      }
    });
    while (written < lines) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    feeder.join();
  });
}

void RunFillOnly(const char* name, QSize viewport, int lines) {
  TView view(viewport);
  auto* widget = new TFillOnly;
  widget->resize(1074, 6008);
  view.Show(widget);
  Time(name, view, lines, [&](int) {
    widget->update();
    QApplication::processEvents();
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const int lines = argc > 1 ? std::atoi(argv[1]) : 10000;

  RunArriving("arriving at 20000/s, 1100x620", QSize(1100, 620), lines, 20000);
  RunArriving("arriving at 5000/s, 1100x620", QSize(1100, 620), lines, 5000);
  RunTerminal("paint each line, 1100x620 view", QSize(1100, 620), lines, true);
  RunTerminal("paint each line, 1100x300 view", QSize(1100, 300), lines, true);
  RunTerminal("paint once at the end, 1100x620", QSize(1100, 620), lines, false);
  RunFillOnly("floor: white fill only, 1100x620", QSize(1100, 620), lines);
  return 0;
}

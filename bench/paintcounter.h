#pragma once

#include <QEvent>
#include <QObject>

// Counts the paints of the widgets it filters, so a figure that includes none shows it.
class TPaintCounter : public QObject {
 public:
  int Paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

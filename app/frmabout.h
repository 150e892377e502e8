#pragma once

#include <QDialog>

#include "engine/versioninfo.h"

// The borderless about box: the logo and the executable's ten version strings in yellow on
// black. Shown modally; any click in it, or Escape or Enter without modifiers, closes it.
class TFormAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TFormAbout(QWidget* owner = nullptr, const TVersionValues& values = VersionValues());

 protected:
  // Clicks anywhere in the box reach here: none of its parts takes the mouse.
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildLayout();
  void FormCreate(const TVersionValues& values);
  void AllClick();
  void FormKeyDown(QKeyEvent* event);
};

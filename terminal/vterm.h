#pragma once

#include <QColor>
#include <QFont>
#include <QRawFont>
#include <QWidget>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "terminal/screen.h"

class QPainter;

// Stored for layouts that set it; the control draws no border of its own.
enum class TBorderStyle { bsNone, bsSingle };

// A self-painted view of a TScreen in a fixed-pitch font, one character cell per screen cell,
// coloured from the cells' attribute bytes. Output only invalidates; drawing happens in the
// next paint, one opaque text output per run of equal attribute.
//
// Cell (r, c) lies at x = 12 + c * CharWidth, y = 4 + r * LineHeight: 12-pixel margins left
// and right, 4 at top and bottom.
//
// Lives on the GUI thread; every operation and event runs there.
class TCustomVTerm : public QWidget {
  Q_OBJECT

 public:
  using TOnCursorMoved = std::function<void(TCustomVTerm* aSender, int aCol, int aRow)>;
  using TOnDimChanged = std::function<void(TCustomVTerm* aSender, int aCol, int aRow)>;
  using TOnMarkerMoved = std::function<void(TCustomVTerm* aSender, int aRow)>;
  using TColorTable = std::array<QColor, 16>;

  static constexpr int MarginX = 12;
  static constexpr int MarginY = 4;

  explicit TCustomVTerm(QWidget* owner = nullptr);

  // Output. Bytes go through the screen's interpreter; each operation repaints what changed
  // when AutoRepaint is set and then raises OnCursorMoved.
  void Clear();
  void ClearEol();
  // Row first: the screen's GotoXY, clamped; no repaint.
  void MoveCursor(int aRow, int aCol);
  void GetCursor(int& aCol, int& aRow) const { screen_.GetCursor(aCol, aRow); }
  void Write(std::string_view s);
  // Write(s), erase to the end of the line, then CR LF: three repaints, three cursor events.
  void WriteLine(std::string_view s);
  void WriteBuffer(const void* buf, size_t count);

  // Invalidates the pixels of the screen's change record (everything once AllChanged is set).
  void RepaintChanges();
  // Width and height from Rows, Cols and the font metrics; nothing unless AutoSize.
  void AdjustSize();

  // Raised with the cursor's column and row after every output operation.
  TOnCursorMoved OnCursorMoved;
  // Raised with (Cols, Rows) after Rows, Cols or the font was set.
  TOnDimChanged OnDimChanged;
  // Nothing moves the marker, so this is never raised; layouts may still assign it.
  TOnMarkerMoved OnMarkerMoved;

  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle value) { borderStyle_ = value; }
  bool AutoRepaint() const { return autoRepaint_; }
  void SetAutoRepaint(bool value) { autoRepaint_ = value; }
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool value) { autoSize_ = value; }
  bool MonoChrome() const { return monoChrome_; }
  // Read at the next paint; invalidates nothing.
  void SetMonoChrome(bool value) { monoChrome_ = value; }

  const QFont& Font() const { return font_; }
  // Copies the font, forces fixed pitch and takes new metrics from what the system gives.
  void SetFont(const QFont& font);

  bool AutoLF() const { return screen_.AutoLF; }
  void SetAutoLF(bool value) { screen_.AutoLF = value; }
  bool AutoCR() const { return screen_.AutoCR; }
  void SetAutoCR(bool value) { screen_.AutoCR = value; }
  bool AutoWrap() const { return screen_.AutoWrap; }
  void SetAutoWrap(bool value) { screen_.AutoWrap = value; }
  int AutoWrapCol() const { return screen_.AutoWrapCol; }
  void SetAutoWrapCol(int value) { screen_.AutoWrapCol = value; }

  // A changed count clears the screen (values are brought into the screen's capacity first);
  // every call resizes or invalidates and raises OnDimChanged.
  int Rows() const { return screen_.Rows(); }
  void SetRows(int value);
  int Cols() const { return screen_.Cols(); }
  void SetCols(int value);

  int LineHeight() const { return lineHeight_; }
  int CharWidth() const { return charWidth_; }

  // The screen's current attribute; writing it changes no cell.
  uint8_t Attribute() const { return screen_.Attr; }
  void SetAttribute(uint8_t value) { screen_.Attr = value; }

  const TColorTable& ColorTable() const { return colorTable_; }
  const TScreen& Screen() const { return screen_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  // Paints the rows that `update` touches; paintEvent's work, open to any painter.
  void Paint(QPainter& painter, const QRect& update);

  void DoCursorMoved();
  void DoDimChanged();

 private:
  void UpdateMetrics();
  void AfterDimensionSet();
  void AfterOutput();
  void LoadGlyphs();
  void PaintRow(QPainter& painter, const TLine& line, int y);
  void PaintRun(QPainter& painter, const TLine& line, int y, int start, int end);
  void PaintMarker(QPainter& painter, int y);
  QColor RunBackground(uint8_t attr) const;
  QColor RunText(uint8_t attr) const;

  TScreen screen_;
  QFont font_;
  // The font's glyphs for the 256 byte values; runs are drawn as glyph runs on the cell grid
  // so every character sits in its cell whatever the font's own advances are.
  QRawFont rawFont_;
  std::array<quint32, 256> glyphOfByte_{};
  int ascent_ = 0;
  int lineHeight_ = 0;
  int charWidth_ = 0;
  TBorderStyle borderStyle_ = TBorderStyle::bsSingle;
  bool autoRepaint_ = true;
  bool autoSize_ = true;
  bool monoChrome_ = false;
  TColorTable colorTable_;
};

// The control as the window layout uses it; adds no behaviour.
class TVTerm : public TCustomVTerm {
  Q_OBJECT

 public:
  using TCustomVTerm::TCustomVTerm;
};

#include "terminal/vterm.h"

#include <QFontMetrics>
#include <QGlyphRun>
#include <QPaintEvent>
#include <QPainter>
#include <QPolygon>
#include <algorithm>

#include "platform/messagebox.h"

namespace {

// The 16 colours of the attribute nibbles: eight dark, then eight bright.
const TCustomVTerm::TColorTable kDefaultColors = {
    QColor(0, 0, 0),       QColor(128, 0, 0),   QColor(0, 128, 0),   QColor(128, 128, 0),
    QColor(0, 0, 128),     QColor(128, 0, 128), QColor(0, 128, 128), QColor(192, 192, 192),
    QColor(128, 128, 128), QColor(255, 0, 0),   QColor(0, 255, 0),   QColor(255, 255, 0),
    QColor(0, 0, 255),     QColor(255, 0, 255), QColor(0, 255, 255), QColor(255, 255, 255)};

const QColor kMonoGrey(127, 127, 127);
const QColor kMarkerOutline(0, 0, 255);
const QColor kMarkerFill(0, 255, 255);

constexpr uint8_t kBlank = 0x20;

}  // namespace

TCustomVTerm::TCustomVTerm(QWidget* owner) : QWidget(owner), colorTable_(kDefaultColors) {
  // The paint covers every pixel of its update rectangle, so nothing is erased beforehand.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::NoFocus);
  resize(250, 100);
  screen_.OnBeep = [] { MessageBeep(MB_ICONASTERISK); };

  QFont font(QStringLiteral("Terminal"));
  font.setPointSize(8);
  SetFont(font);

  screen_.GotoXY(0, 0);
  screen_.PutLine("VTerm");
}

void TCustomVTerm::Clear() {
  screen_.ClearScreen();
  AfterOutput();
}

void TCustomVTerm::ClearEol() {
  screen_.EraseEol();
  AfterOutput();
}

void TCustomVTerm::MoveCursor(int aRow, int aCol) {
  screen_.GotoXY(aCol, aRow);
  DoCursorMoved();
}

void TCustomVTerm::Write(std::string_view s) { WriteBuffer(s.data(), s.size()); }

void TCustomVTerm::WriteLine(std::string_view s) {
  Write(s);
  ClearEol();
  Write("\r\n");
}

void TCustomVTerm::WriteBuffer(const void* buf, size_t count) {
  const auto* bytes = static_cast<const uint8_t*>(buf);
  for (size_t i = 0; i < count; ++i) screen_.PutChar(bytes[i]);
  AfterOutput();
}

void TCustomVTerm::AfterOutput() {
  if (autoRepaint_) RepaintChanges();
  DoCursorMoved();
}

void TCustomVTerm::RepaintChanges() {
  if (screen_.AllChanged()) {
    update();
    return;
  }
  // The record is left as it is: it only grows. Empty, it gives an inverted rectangle,
  // which invalidates nothing.
  const TCellRect& changed = screen_.Changed();
  const int left = changed.Left * charWidth_ + MarginX;
  const int top = changed.Top * lineHeight_ + MarginY;
  const int right = (changed.Right + 1) * charWidth_ + MarginX;
  const int bottom = (changed.Bottom + 1) * lineHeight_ + MarginY;
  update(QRect(left, top, right - left, bottom - top));
}

void TCustomVTerm::AdjustSize() {
  if (!autoSize_) return;
  resize(Cols() * charWidth_ + 2 * MarginX, Rows() * lineHeight_ + 2 * MarginY);
}

void TCustomVTerm::SetFont(const QFont& font) {
  font_ = font;
  font_.setFixedPitch(true);
  font_.setStyleHint(QFont::TypeWriter);
  UpdateMetrics();
}

void TCustomVTerm::UpdateMetrics() {
  const QFontMetrics metrics(font_, this);
  lineHeight_ = std::max(1, metrics.height());
  charWidth_ = std::max(1, metrics.maxWidth());
  ascent_ = metrics.ascent();
  LoadGlyphs();

  if (autoSize_) {
    AdjustSize();
  } else {
    update();
  }
  DoDimChanged();
  update();
}

void TCustomVTerm::LoadGlyphs() {
  rawFont_ = QRawFont::fromFont(font_);
  // Cells hold bytes with no translation; they are shown as Latin-1.
  QString bytes(static_cast<qsizetype>(glyphOfByte_.size()), QChar());
  for (size_t b = 0; b < glyphOfByte_.size(); ++b) bytes[static_cast<qsizetype>(b)] = QChar(int(b));
  const QList<quint32> glyphs = rawFont_.glyphIndexesForString(bytes);
  glyphOfByte_.fill(0);
  std::copy_n(glyphs.begin(), std::min<size_t>(glyphs.size(), glyphOfByte_.size()),
              glyphOfByte_.begin());
}

void TCustomVTerm::SetRows(int value) {
  screen_.SetRows(value);
  AfterDimensionSet();
}

void TCustomVTerm::SetCols(int value) {
  screen_.SetCols(value);
  AfterDimensionSet();
}

void TCustomVTerm::AfterDimensionSet() {
  if (autoSize_) {
    AdjustSize();
  } else {
    update();
  }
  DoDimChanged();
}

void TCustomVTerm::DoCursorMoved() {
  if (!OnCursorMoved) return;
  int col = 0;
  int row = 0;
  GetCursor(col, row);
  OnCursorMoved(this, col, row);
}

void TCustomVTerm::DoDimChanged() {
  if (OnDimChanged) OnDimChanged(this, Cols(), Rows());
}

void TCustomVTerm::paintEvent(QPaintEvent* event) {
  if (event->rect().isEmpty()) return;
  // The painter ends painting when it goes out of scope, also when drawing throws.
  QPainter painter(this);
  Paint(painter, event->rect());
}

void TCustomVTerm::Paint(QPainter& painter, const QRect& update) {
  // Exclusive bottom edge, as the rectangle arithmetic below expects.
  const int bottom = update.y() + update.height();
  // The top margin belongs to no row. The control paints opaquely, so left out it would show
  // whatever the window held there before.
  if (update.y() < MarginY) {
    painter.fillRect(QRect(update.x(), update.y(), update.width(), MarginY - update.y()),
                     Qt::white);
  }
  // Start one row above the first row touched.
  int row = std::max(0, (update.y() - MarginY) / lineHeight_ - 1);
  int y = row * lineHeight_ + MarginY;
  // Rows past Rows are painted like any other: the lines exist up to the capacity.
  while (row < ScreenMaxRows) {
    PaintRow(painter, screen_.Lines(row), y);
    if (row == screen_.MarkerRow()) PaintMarker(painter, y);
    ++row;
    y += lineHeight_;
    if (y > bottom) break;
  }
  if (y < bottom) {
    painter.fillRect(QRect(update.x(), y, update.width(), bottom - y), Qt::white);
  }
}

void TCustomVTerm::PaintRow(QPainter& painter, const TLine& line, int y) {
  const int cols = Cols();
  int start = 0;
  while (start < cols) {
    int end = start + 1;
    while (end < cols &&
           line.Attrs[static_cast<size_t>(end)] == line.Attrs[static_cast<size_t>(start)]) {
      ++end;
    }
    PaintRun(painter, line, y, start, end);
    start = end;
  }
}

void TCustomVTerm::PaintRun(QPainter& painter, const TLine& line, int y, int start, int end) {
  const uint8_t attr = line.Attrs[static_cast<size_t>(start)];

  // The first run also covers the left margin, the last one the right margin.
  const int left = start == 0 ? 0 : start * charWidth_ + MarginX;
  const int right = end * charWidth_ + MarginX + (end >= Cols() ? MarginX : 0);
  painter.fillRect(QRect(left, y, right - left, lineHeight_), RunBackground(attr));

  // Blanks draw nothing over the filled background, so they are left out of the run.
  std::array<quint32, ScreenLineCells> glyphs;
  std::array<QPointF, ScreenLineCells> positions;
  int count = 0;
  for (int c = start; c < end; ++c) {
    const uint8_t ch = line.Chars[static_cast<size_t>(c)];
    if (ch == kBlank) continue;
    glyphs[static_cast<size_t>(count)] = glyphOfByte_[ch];
    positions[static_cast<size_t>(count)] = QPointF(c * charWidth_ + MarginX, y + ascent_);
    ++count;
  }
  if (count == 0) return;

  QGlyphRun run;
  run.setRawFont(rawFont_);
  run.setRawData(glyphs.data(), positions.data(), count);
  run.setUnderline(font_.underline());
  run.setStrikeOut(font_.strikeOut());
  painter.setPen(RunText(attr));
  painter.drawGlyphRun(QPointF(0, 0), run);
}

void TCustomVTerm::PaintMarker(QPainter& painter, int y) {
  const int middle = (2 * y + lineHeight_) / 2;
  const int w = width();
  painter.save();
  painter.setPen(QPen(kMarkerOutline, 1));
  painter.setBrush(kMarkerFill);
  painter.drawPolygon(
      QPolygon({QPoint(1, y + 2), QPoint(9, middle), QPoint(1, y + lineHeight_ - 2)}));
  painter.drawPolygon(
      QPolygon({QPoint(w - 1, y + 2), QPoint(w - 9, middle), QPoint(w - 1, y + lineHeight_ - 2)}));
  painter.restore();
}

QColor TCustomVTerm::RunBackground(uint8_t attr) const {
  const int index = attr >> 4;
  if (monoChrome_) return index == 0 ? QColor(Qt::white) : kMonoGrey;
  return colorTable_[static_cast<size_t>(index)];
}

QColor TCustomVTerm::RunText(uint8_t attr) const {
  const int index = attr & 0x0F;
  if (monoChrome_) return index != 0 ? QColor(Qt::black) : QColor(Qt::white);
  return colorTable_[static_cast<size_t>(index)];
}

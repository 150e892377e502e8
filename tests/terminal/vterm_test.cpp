#include "terminal/vterm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QSet>
#include <QTest>
#include <algorithm>
#include <string>
#include <vector>

#include "platform/messagebox.h"

namespace {

// Opens the protected painting step so a test can paint any update rectangle into an image.
class TPaintableVTerm : public TVTerm {
 public:
  using TCustomVTerm::Paint;
};

// The font of the main window's terminals.
QFont LayoutFont() {
  QFont font(QStringLiteral("Courier New"));
  font.setPixelSize(11);
  return font;
}

struct TDim {
  int Col;
  int Row;
  bool operator==(const TDim&) const = default;
};

std::string RowText(const TCustomVTerm& term, int row, int length) {
  const auto& chars = term.Screen().Lines(row).Chars;
  return std::string(chars.begin(), chars.begin() + length);
}

QRect CellRect(const TCustomVTerm& term, int row, int col) {
  return QRect(TCustomVTerm::MarginX + col * term.CharWidth(),
               TCustomVTerm::MarginY + row * term.LineHeight(), term.CharWidth(),
               term.LineHeight());
}

QSet<QRgb> ColoursIn(const QImage& image, const QRect& rect) {
  QSet<QRgb> colours;
  for (int y = rect.top(); y <= rect.bottom(); ++y) {
    for (int x = rect.left(); x <= rect.right(); ++x)
      colours.insert(image.pixel(x, y) | 0xFF000000);
  }
  return colours;
}

QRgb Rgb(int r, int g, int b) { return qRgb(r, g, b); }

// Glyph edges are antialiased: every channel of every pixel lies between the background's
// and the text's, and the text colour itself appears where the glyph covers whole pixels.
void ExpectTextOn(const QSet<QRgb>& colours, QRgb text, QRgb back) {
  EXPECT_TRUE(colours.contains(text)) << std::hex << text << " missing";
  for (QRgb c : colours) {
    for (int shift : {16, 8, 0}) {  // red, green, blue
      const auto channel = [shift](QRgb rgb) { return int(rgb >> shift) & 0xFF; };
      const int low = std::min(channel(text), channel(back));
      const int high = std::max(channel(text), channel(back));
      EXPECT_TRUE(channel(c) >= low && channel(c) <= high) << std::hex << c;
    }
  }
}

// Writes "M" then a blank in `attr` at the start of `row`, as the interpreter would.
void WriteSample(TCustomVTerm& term, int row, uint8_t attr) {
  term.MoveCursor(row, 0);
  term.SetAttribute(attr);
  term.Write("M ");
}

TEST(VTermTest, NewControlShowsItsNameAndSizesItselfFromTheFont) {
  TVTerm term;
  EXPECT_EQ(RowText(term, 0, 6), "VTerm ");
  int col = -1;
  int row = -1;
  term.GetCursor(col, row);
  EXPECT_EQ(col, 0);
  EXPECT_EQ(row, 1);
  EXPECT_EQ(term.Attribute(), 0xF0);

  EXPECT_EQ(term.Font().family(), "Terminal");
  EXPECT_EQ(term.Font().pointSize(), 8);
  EXPECT_TRUE(term.Font().fixedPitch());
  const QFontMetrics metrics(term.Font(), &term);
  EXPECT_EQ(term.LineHeight(), metrics.height());
  EXPECT_EQ(term.CharWidth(), metrics.maxWidth());
  EXPECT_EQ(term.size(), QSize(150 * term.CharWidth() + 24, 1500 * term.LineHeight() + 8));
  EXPECT_EQ(term.BorderStyle(), TBorderStyle::bsSingle);
}

TEST(VTermTest, RowsAndColsClearOnlyWhenChangedButAlwaysResizeAndReport) {
  TVTerm term;
  term.SetFont(LayoutFont());
  std::vector<TDim> dims;
  term.OnDimChanged = [&](TCustomVTerm* sender, int aCol, int aRow) {
    EXPECT_EQ(sender, &term);
    dims.push_back({aCol, aRow});
  };

  term.SetCols(150);
  EXPECT_EQ(RowText(term, 0, 5), "VTerm");
  term.SetRows(1500);
  EXPECT_EQ(RowText(term, 0, 5), "VTerm");

  term.SetCols(80);
  EXPECT_EQ(RowText(term, 0, 5), "     ");
  EXPECT_EQ(term.width(), 80 * term.CharWidth() + 24);
  term.SetRows(500);
  EXPECT_EQ(term.height(), 500 * term.LineHeight() + 8);

  // Beyond the screen's capacity the count is brought into range before it is used.
  term.SetCols(400);
  EXPECT_EQ(term.Cols(), 150);
  EXPECT_EQ(term.width(), 150 * term.CharWidth() + 24);
  term.SetCols(-3);
  EXPECT_EQ(term.Cols(), 1);

  const std::vector<TDim> expected = {{150, 1500}, {150, 1500}, {80, 1500},
                                      {80, 500},   {150, 500},  {1, 500}};
  EXPECT_EQ(dims, expected);
}

TEST(VTermTest, WithoutAutoSizeNothingResizesTheControl) {
  TVTerm term;
  term.SetAutoSize(false);
  term.resize(300, 200);
  term.SetRows(20);
  term.SetCols(40);
  term.SetFont(QFont(QStringLiteral("Courier New"), 20));
  EXPECT_EQ(term.size(), QSize(300, 200));
}

TEST(VTermTest, ProportionalFontKeepsNameAndSizeButBecomesFixedPitch) {
  TVTerm term;
  int dimEvents = 0;
  term.OnDimChanged = [&](TCustomVTerm*, int, int) { ++dimEvents; };
  term.SetFont(QFont(QStringLiteral("Arial"), 12));
  EXPECT_EQ(term.Font().family(), "Arial");
  EXPECT_EQ(term.Font().pointSize(), 12);
  EXPECT_TRUE(term.Font().fixedPitch());
  EXPECT_EQ(term.LineHeight(), QFontMetrics(term.Font(), &term).height());
  EXPECT_EQ(dimEvents, 1);
}

TEST(VTermTest, OutputOperationsReportTheCursorAfterEachStep) {
  TVTerm term;
  std::vector<TDim> moves;
  term.OnCursorMoved = [&](TCustomVTerm*, int aCol, int aRow) { moves.push_back({aCol, aRow}); };

  term.MoveCursor(0, 2);  // row first
  EXPECT_EQ(moves.back(), (TDim{2, 0}));
  moves.clear();

  // An empty line still erases the rest of the cursor line and ends it: three steps.
  term.WriteLine("");
  EXPECT_EQ(RowText(term, 0, 6), "VT    ");
  const std::vector<TDim> expected = {{2, 0}, {2, 0}, {0, 1}};
  EXPECT_EQ(moves, expected);

  moves.clear();
  const char bytes[] = {'a', '\0', 'b'};  // NUL is ignored by the interpreter
  term.WriteBuffer(bytes, 3);
  term.WriteBuffer(bytes, 0);
  EXPECT_EQ(RowText(term, 1, 3), "ab ");
  EXPECT_EQ(moves, (std::vector<TDim>{{2, 1}, {2, 1}}));

  term.Write("\x1b[5;10H");
  EXPECT_EQ(moves.back(), (TDim{9, 4}));

  term.Clear();
  EXPECT_EQ(moves.back(), (TDim{0, 0}));
  EXPECT_EQ(RowText(term, 1, 3), "   ");
}

TEST(VTermTest, BellBeepsThroughThePlatform) {
  std::vector<uint32_t> beeps;
  const TBeepHook previous = SetBeepHook([&](uint32_t type) { beeps.push_back(type); });
  TVTerm term;
  term.Write("\a");
  term.Write("\x1b[\a");  // ends the sequence instead of sounding
  SetBeepHook(previous);
  EXPECT_EQ(beeps, std::vector<uint32_t>{MB_ICONASTERISK});
}

TEST(VTermTest, AttributesPaintTheirColoursInColourAndMonoChrome) {
  TVTerm term;
  term.SetFont(LayoutFont());
  WriteSample(term, 1, 0x1E);
  WriteSample(term, 2, 0x00);
  WriteSample(term, 3, 0xF0);
  WriteSample(term, 4, 0x07);

  struct TExpected {
    int Row;
    QRgb Text;
    QRgb Back;
  };
  const auto check = [&](const std::vector<TExpected>& cases) {
    const QImage image = term.grab(QRect(0, 0, term.width(), 6 * term.LineHeight())).toImage();
    for (const TExpected& c : cases) {
      SCOPED_TRACE(c.Row);
      EXPECT_EQ(ColoursIn(image, CellRect(term, c.Row, 1)), QSet<QRgb>{c.Back});
      ExpectTextOn(ColoursIn(image, CellRect(term, c.Row, 0)), c.Text, c.Back);
      // The first run also paints the left margin.
      EXPECT_EQ(image.pixel(TCustomVTerm::MarginX / 2, CellRect(term, c.Row, 0).center().y()),
                c.Back);
    }
  };

  check({{1, Rgb(0, 255, 255), Rgb(128, 0, 0)},
         {2, Rgb(0, 0, 0), Rgb(0, 0, 0)},
         {3, Rgb(0, 0, 0), Rgb(255, 255, 255)},
         {4, Rgb(192, 192, 192), Rgb(0, 0, 0)}});

  term.SetMonoChrome(true);
  check({{2, Rgb(255, 255, 255), Rgb(255, 255, 255)},
         {3, Rgb(255, 255, 255), Rgb(127, 127, 127)},
         {4, Rgb(0, 0, 0), Rgb(255, 255, 255)}});
}

TEST(VTermTest, MarkerTrianglesSitInBothMarginsBesideRowZero) {
  TVTerm term;
  term.SetFont(LayoutFont());
  const int lineHeight = term.LineHeight();
  const int y = TCustomVTerm::MarginY;
  const int middle = (2 * y + lineHeight) / 2;
  const int w = term.width();
  const QImage image = term.grab(QRect(0, 0, w, 3 * lineHeight)).toImage();

  const QRgb cyan = Rgb(0, 255, 255);
  const QRgb blue = Rgb(0, 0, 255);
  EXPECT_EQ(image.pixel(1, y + 2), blue);
  EXPECT_EQ(image.pixel(3, middle), cyan);
  EXPECT_EQ(image.pixel(w - 1, y + 2), blue);
  EXPECT_EQ(image.pixel(w - 4, middle), cyan);
  // Row 1 has no marker: its margins carry the row's background.
  EXPECT_EQ(image.pixel(3, middle + lineHeight), Rgb(255, 255, 255));
  EXPECT_EQ(image.pixel(w - 4, middle + lineHeight), Rgb(255, 255, 255));
}

TEST(VTermTest, PaintStartsOneRowAboveTheUpdateAndFillsAboveTheFirstAndBelowTheLastRow) {
  TPaintableVTerm term;
  term.SetFont(LayoutFont());
  const int lineHeight = term.LineHeight();
  const QRgb untouched = Rgb(255, 0, 255);

  QImage image(term.width(), 200, QImage::Format_RGB32);
  image.fill(untouched);
  {
    QPainter painter(&image);
    term.Paint(painter, QRect(0, 50, term.width(), 20));
  }
  const int firstRow = (50 - 4) / lineHeight - 1;
  const int firstTop = firstRow * lineHeight + 4;
  EXPECT_EQ(image.pixel(20, firstTop - 1), untouched);
  EXPECT_EQ(image.pixel(20, firstTop), Rgb(255, 255, 255));
  // Painting stops with the first row that starts below the rectangle.
  int lastTop = firstTop;
  while (lastTop + lineHeight <= 70) lastTop += lineHeight;
  EXPECT_EQ(image.pixel(20, lastTop + lineHeight - 1), Rgb(255, 255, 255));
  EXPECT_EQ(image.pixel(20, lastTop + 2 * lineHeight), untouched);

  // The margin above row 0 belongs to no row; it is filled all the same.
  image.fill(untouched);
  {
    QPainter painter(&image);
    term.Paint(painter, QRect(0, 0, term.width(), 1));
  }
  EXPECT_EQ(ColoursIn(image, QRect(0, 0, term.width(), TCustomVTerm::MarginY)),
            QSet<QRgb>{Rgb(255, 255, 255)});

  // Past the last line of the screen's capacity the rectangle is filled white.
  term.Write("\x1b[1500;1H\x1b[41mX");
  const int endOfLines = 1500 * lineHeight + 4;
  image.fill(untouched);
  {
    QPainter painter(&image);
    painter.translate(0, -(endOfLines - 100));
    term.Paint(painter, QRect(0, endOfLines - 100, term.width(), 200));
  }
  EXPECT_EQ(image.pixel(5, 99 - lineHeight / 2), Rgb(255, 0, 0));  // bright bit kept
  EXPECT_EQ(image.pixel(20, 150), Rgb(255, 255, 255));
}

// Records the rectangles the control is asked to paint.
class TPaintRecorder : public QObject {
 public:
  std::vector<QRect> Rects;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) Rects.push_back(static_cast<QPaintEvent*>(event)->rect());
    return false;
  }
};

TEST(VTermTest, OutputInvalidatesOnlyTheChangedCells) {
  TVTerm term;
  term.SetAutoSize(false);
  term.resize(400, 120);
  term.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&term));
  TPaintRecorder recorder;
  term.installEventFilter(&recorder);
  QApplication::processEvents();
  recorder.Rects.clear();

  // "VTerm" marked row 0, columns 0..4; "ab" adds row 1. Both writes make one paint.
  term.Write("a");
  term.Write("b");
  QApplication::processEvents();
  const int cw = term.CharWidth();
  const int lh = term.LineHeight();
  EXPECT_EQ(recorder.Rects, std::vector<QRect>{QRect(12, 4, 5 * cw, 2 * lh)});

  recorder.Rects.clear();
  int moves = 0;
  term.OnCursorMoved = [&](TCustomVTerm*, int, int) { ++moves; };
  term.SetAutoRepaint(false);
  term.Write("cd");
  term.Clear();
  QApplication::processEvents();
  EXPECT_TRUE(recorder.Rects.empty());
  EXPECT_EQ(moves, 2);

  // Once everything changed, every later request covers the whole control.
  term.SetAutoRepaint(true);
  term.Write("e");
  QApplication::processEvents();
  EXPECT_EQ(recorder.Rects, std::vector<QRect>{term.rect()});
}

}  // namespace

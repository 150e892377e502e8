#include "terminal/screen.h"

#include <algorithm>
#include <climits>

namespace {

constexpr uint8_t Blank = 0x20;

constexpr uint8_t NUL = 0, BEL = 7, BS = 8, HT = 9, LF = 10, CR = 13, SO = 14, SI = 15, ESC = 27;

constexpr int TabWidth = 8;

bool IsOneOf(uint8_t ch, std::string_view set) {
  return set.find(static_cast<char>(ch)) != std::string_view::npos;
}

bool IsDigit(uint8_t ch) { return ch >= '0' && ch <= '9'; }

// Characters that end an escape sequence at once when they follow ESC directly.
constexpr std::string_view ShortFinals = "78<=>DEHM";
// First characters of the character-set designations; the next character ends them.
constexpr std::string_view CharsetDesignators = "()*+";

// Swaps the two 3-bit colour fields and keeps both bright bits where they are.
// Whether `ch` is the final character of a sequence that has collected `length` characters
// (`first` being the first of them). Any control byte ends a sequence this way too.
bool EndsSequence(uint8_t ch, int length, uint8_t first) {
  if (length == 0 && IsOneOf(ch, ShortFinals)) return true;
  if (length == 1 && IsOneOf(first, CharsetDesignators)) return true;
  if (ch == ' ' || IsDigit(ch) || ch == ';' || ch == '?') return false;
  if (length == 0 && (IsOneOf(ch, CharsetDesignators) || ch == '[')) return false;
  return true;
}

uint8_t Reversed(uint8_t attr) {
  return static_cast<uint8_t>(((attr << 4) & 0x70) | ((attr >> 4) & 0x07) | (attr & 0x88));
}

}  // namespace

void TLine::Blank(uint8_t attr) {
  if (blankAs_ == attr) return;
  Chars.fill(::Blank);
  Attrs.fill(attr);
  blankAs_ = attr;
}

TScreen::TScreen() : FLineStore(std::make_unique<TLine[]>(ScreenLineCount)) {
  for (size_t r = 0; r < FLines.size(); ++r) FLines[r] = &FLineStore[r];
}

// ---------------------------------------------------------------------------------------------
// Interpreter

void TScreen::PutChar(uint8_t ch) {
  if (FInEscape)
    CollectEscape(ch);
  else
    PutControlOrPrintable(ch);
}

void TScreen::PutLine(std::string_view s) {
  for (char ch : s) PutChar(static_cast<uint8_t>(ch));
  CarriageReturn();
  LineFeed();
}

void TScreen::PutControlOrPrintable(uint8_t ch) {
  switch (ch) {
    case NUL:
    case SO:
    case SI:
      break;
    case BEL:
      Beep();
      break;
    case BS:
      if (FCol >= 1) --FCol;
      break;
    case HT:
      // Stops at the overflow cell so the cursor never leaves the line.
      FCol = std::min((FCol / TabWidth + 1) * TabWidth, ScreenMaxCols);
      break;
    case LF:
      LineFeed();
      if (AutoCR) CarriageReturn();
      break;
    case CR:
      CarriageReturn();
      if (AutoLF) LineFeed();
      break;
    case ESC:
      FEscLength = 0;
      FInEscape = true;
      break;
    default:
      PutPrintable(ch);
      break;
  }
}

void TScreen::CollectEscape(uint8_t ch) {
  if (EndsSequence(ch, FEscLength, FEscBuf[0])) {
    DispatchEscape(ch);
    EndEscape();
    return;
  }
  FEscBuf[static_cast<size_t>(FEscLength++)] = ch;
  if (FEscLength == EscCapacity) {
    // Too long to be anything we know: drop it and read what follows afresh.
    EndEscape();
    Beep();
  }
}

void TScreen::EndEscape() {
  FEscLength = 0;
  FInEscape = false;
}

void TScreen::DispatchEscape(uint8_t ch) {
  if (FEscLength == 0) {
    if (ch == 'M')
      ReverseIndex();
    else if (!IsOneOf(ch, ShortFinals))
      PutPrintable(ch);
    return;
  }
  // Character-set designations and unknown sequences are consumed without effect.
  if (FEscBuf[0] == '[') DispatchControlSequence(ch);
}

void TScreen::DispatchControlSequence(uint8_t ch) {
  int p1 = 0;
  int p2 = 0;
  switch (ch) {
    case '@':
      InsertChars(CountParameter());
      break;
    case 'A':
      CursorUp(CountParameter());
      break;
    case 'B':
      CursorDown(CountParameter());
      break;
    case 'C':
      CursorForward(CountParameter());
      break;
    case 'D':
      CursorBack(CountParameter());
      break;
    case 'H':
    case 'f':
      ReadTwoParameters(p1, p2);
      GotoXY(p2 - 1, p1 - 1);
      break;
    case 'J':
      ParseNumber(2, p1);
      EraseDisplay(p1);
      break;
    case 'K':
      EraseEol();
      break;
    case 'L':
      InsertLines(CountParameter());
      break;
    case 'M':
      DeleteLines(CountParameter());
      break;
    case 'P':
      DeleteChars(CountParameter());
      break;
    case 'S':
      ScrollUp();
      break;
    case 'm':
      SetAttributes();
      break;
    case 'r':
      ReadTwoParameters(p1, p2);
      SetScrollRegion(p1, p2);
      break;
    default:
      break;
  }
}

void TScreen::Beep() {
  if (OnBeep) OnBeep();
}

// ---------------------------------------------------------------------------------------------
// Parameters

int TScreen::SkipBlanks(int pos) const {
  while (pos <= FEscLength && EscAt(pos) == ' ') ++pos;
  return pos;
}

int TScreen::ParseNumber(int pos, int& value) const {
  pos = SkipBlanks(pos);
  value = 0;
  for (; pos <= FEscLength && IsDigit(EscAt(pos)); ++pos) {
    const int digit = EscAt(pos) - '0';
    // Saturates: a peer may send more digits than 32 bits hold.
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
  }
  return pos;
}

int TScreen::CountParameter() const {
  int n = 0;
  ParseNumber(2, n);
  return n == 0 ? 1 : n;
}

void TScreen::ReadTwoParameters(int& p1, int& p2) const {
  const int pos = SkipBlanks(ParseNumber(2, p1));
  if (pos <= FEscLength && EscAt(pos) == ';')
    ParseNumber(pos + 1, p2);
  else
    p2 = 1;
}

// ---------------------------------------------------------------------------------------------
// Cursor and cells

void TScreen::GotoXY(int col, int row) {
  FCol = std::clamp(col, 0, FCols - 1);
  FRow = std::clamp(row, 0, FRows - 1);
}

void TScreen::PutPrintable(uint8_t ch) {
  bool wrapped = false;
  if (FCol >= FCols && AutoWrap) {
    FCol = 0;
    ++FRow;
    wrapped = true;
  }
  if (FRow >= FRows) {
    FRow = FRows - 1;
    ScrollUp();
  }
  TLine& line = CursorLine();
  if (wrapped && 0 < AutoWrapCol && AutoWrapCol < FCols) {
    std::fill_n(line.Chars.begin(), AutoWrapCol, ::Blank);
    std::fill_n(line.Attrs.begin(), AutoWrapCol, Attr);
    MarkChanged(FRow, 0);
    FCol = AutoWrapCol;
  }
  line.Chars[static_cast<size_t>(FCol)] = ch;
  line.Attrs[static_cast<size_t>(FCol)] = Attr;
  MarkChanged(FRow, FCol);
  // Without AutoWrap the cursor runs on through the hidden cells and stops at the last one.
  if (FCol < ScreenMaxCols) ++FCol;
}

void TScreen::CursorUp(int n) { FRow = std::max(0, FRow - n); }

void TScreen::CursorDown(int n) {
  FRow = static_cast<int>(std::min<int64_t>(int64_t{FRow} + n, FRows - 1));
}

void TScreen::CursorForward(int n) {
  // 64 bits: n and AutoWrapCol may each be anything a 32-bit value holds.
  int64_t col = int64_t{FCol} + n;
  if (col >= FCols) {
    if (AutoWrap) {
      col = col - FCols + AutoWrapCol;
      if (col >= FCols || col < 0) col = 0;
      FRow = std::min(FRow + 1, FRows - 1);
    } else {
      col = FCols - 1;
    }
  }
  FCol = static_cast<int>(col);
}

void TScreen::CursorBack(int n) { FCol = std::max(0, FCol - n); }

void TScreen::EraseEol() {
  if (FCol < FCols) {
    TLine& line = CursorLine();
    std::fill(line.Chars.begin() + FCol, line.Chars.begin() + FCols, ::Blank);
    std::fill(line.Attrs.begin() + FCol, line.Attrs.begin() + FCols, Attr);
  }
  MarkChanged(FRow, FCol);
  MarkChanged(FRow, FCols);
}

void TScreen::EraseBelow() {
  EraseEol();
  BlankLines(FRow + 1, FRows, Attr);
  if (FRow != 0) {
    MarkChanged(FRow, 0);
    MarkChanged(FRows, FCols);
  } else {
    FAllChanged = true;
  }
}

void TScreen::EraseDisplay(int mode) {
  switch (mode) {
    case 0:
      Attr = DefaultAttr;
      EraseBelow();
      break;
    case 1:
      BlankLines(0, FRow, Attr);
      MarkChanged(0, 0);
      MarkChanged(FRow, FCols);
      break;
    case 2:
      ClearScreen();
      break;
    default:
      break;
  }
}

void TScreen::ClearScreen() {
  BlankLines(0, FRows, Attr);
  FRow = 0;
  FCol = 0;
  FAllChanged = true;
}

void TScreen::InsertChars(int n) {
  if (n >= FCols - FCol) {
    EraseEol();
    return;
  }
  TLine& line = CursorLine();
  const auto shift = [&](auto& cells) {
    std::copy_backward(cells.begin() + FCol, cells.begin() + (FCols - n), cells.begin() + FCols);
  };
  shift(line.Chars);
  shift(line.Attrs);
  std::fill_n(line.Chars.begin() + FCol, n, ::Blank);
  std::fill_n(line.Attrs.begin() + FCol, n, Attr);
  MarkChanged(FRow, FCol);
  MarkChanged(FRow, FCols - 1);
}

void TScreen::DeleteChars(int n) {
  // Nothing to delete when the cursor stands in the hidden cells.
  const int k = std::max(0, std::min(n, FCols - FCol));
  if (k > 0) {
    TLine& line = CursorLine();
    const auto shift = [&](auto& cells) {
      std::copy(cells.begin() + FCol + k, cells.begin() + FCols, cells.begin() + FCol);
    };
    shift(line.Chars);
    shift(line.Attrs);
    std::fill(line.Chars.begin() + (FCols - k), line.Chars.begin() + FCols, ::Blank);
    std::fill(line.Attrs.begin() + (FCols - k), line.Attrs.begin() + FCols, DefaultAttr);
  }
  MarkChanged(FRow, FCol);
  MarkChanged(FRow, FCols);
}

void TScreen::InsertLines(int n) {
  FCol = 0;
  FAllChanged = true;
  if (n > FScrollBottom - FRow) {
    BlankLines(FRow, FScrollBottom, Attr);
    return;
  }
  const auto first = FLines.begin() + FRow;
  const auto last = FLines.begin() + FScrollBottom + 1;
  std::rotate(first, last - n, last);
  BlankLines(FRow, FRow + n - 1, Attr);
}

void TScreen::DeleteLines(int n) {
  FAllChanged = true;
  FCol = 0;
  if (n > FScrollBottom - FRow) {
    BlankLines(FRow, FScrollBottom, Attr);
    return;
  }
  BlankLines(FRow, FRow + n - 1, Attr);
  const auto first = FLines.begin() + FRow;
  std::rotate(first, first + n, FLines.begin() + FScrollBottom + 1);
}

void TScreen::SetScrollRegion(int top, int bottom) {
  // Parameters are 1-based and never negative; a region that is not
  // 0 <= top < bottom < Rows falls back to the whole screen.
  const int first = top - 1;
  const int last = bottom - 1;
  const bool valid = top != 0 && 0 <= first && first < last && last < FRows;
  FScrollTop = valid ? first : 0;
  FScrollBottom = valid ? last : FRows - 1;
}

void TScreen::SetAttributes() {
  if (FEscLength == 1) {
    ApplyRendition(0);
  } else {
    int pos = 2;
    while (pos <= FEscLength) {
      int value = 0;
      const int start = pos;
      const int next = ParseNumber(pos, value);
      ApplyRendition(value);
      pos = SkipBlanks(next);
      // A separator is consumed; so is a stray character such as '?', which reads as 0 but
      // would otherwise stop the list from advancing.
      if (pos <= FEscLength && (EscAt(pos) == ';' || next == start)) ++pos;
    }
  }
  if (FReverse) Attr = Reversed(Attr);
}

void TScreen::ApplyRendition(int p) {
  switch (p) {
    case 0:
    case 27:
      Attr = DefaultAttr;
      FReverse = false;
      break;
    case 1:
      Attr |= 0x08;
      break;
    case 5:
      Attr |= 0x80;
      break;
    case 7:
      FReverse = true;
      break;
    case 8:
      Attr = 0x00;
      break;
    case 22:
      Attr &= 0xF7;
      break;
    default:
      if (p >= 30 && p <= 37)
        Attr = static_cast<uint8_t>((Attr & 0xF8) | (p - 30));
      else if (p >= 40 && p <= 47)
        Attr = static_cast<uint8_t>((Attr & 0x8F) | ((p - 40) << 4));
      // 4 (underline), 10 and 12 (fonts) and everything else have no effect here.
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Lines and scrolling

void TScreen::LineFeed() {
  ++FRow;
  if (FRow > FScrollBottom) {
    FRow = FScrollBottom;
    ScrollUp();
  }
}

void TScreen::ReverseIndex() {
  --FRow;
  if (FRow < FScrollTop) {
    FRow = FScrollTop;
    ScrollDown();
  }
}

void TScreen::ScrollUp() {
  const auto first = FLines.begin() + FScrollTop;
  std::rotate(first, first + 1, FLines.begin() + FScrollBottom + 1);
  FLines[static_cast<size_t>(FScrollBottom)]->Blank(DefaultAttr);
  FAllChanged = true;
}

void TScreen::ScrollDown() {
  const auto last = FLines.begin() + FScrollBottom + 1;
  std::rotate(FLines.begin() + FScrollTop, last - 1, last);
  FLines[static_cast<size_t>(FScrollTop)]->Blank(DefaultAttr);
  FAllChanged = true;
}

void TScreen::BlankLines(int first, int last, uint8_t attr) {
  for (int r = first; r <= last; ++r) FLines[static_cast<size_t>(r)]->Blank(attr);
}

// ---------------------------------------------------------------------------------------------
// Size and change record

void TScreen::SetRows(int rows) {
  rows = std::clamp(rows, 1, ScreenMaxRows);
  if (rows == FRows) return;
  ClearScreen();
  FRows = rows;
  ClearScreen();
  FScrollTop = 0;
  FScrollBottom = FRows - 1;
}

void TScreen::SetCols(int cols) {
  cols = std::clamp(cols, 1, ScreenMaxCols);
  if (cols == FCols) return;
  ClearScreen();
  FCols = cols;
  ClearScreen();
}

void TScreen::ResetChanges() {
  FChanged = TCellRect{};
  FAllChanged = false;
}

void TScreen::MarkChanged(int row, int col) {
  if (FAllChanged) return;
  FChanged.Top = std::min(FChanged.Top, row);
  FChanged.Bottom = std::max(FChanged.Bottom, row);
  FChanged.Left = std::min(FChanged.Left, col);
  FChanged.Right = std::max(FChanged.Right, col);
}

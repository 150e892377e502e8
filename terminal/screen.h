#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

// Capacity of the screen. The line table and each line hold one entry more than the largest
// Rows and Cols: row index Rows is the spare row and cell 150 the overflow cell.
constexpr int ScreenMaxRows = 1500;
constexpr int ScreenMaxCols = 150;
constexpr int ScreenLineCount = ScreenMaxRows + 1;
constexpr int ScreenLineCells = ScreenMaxCols + 1;

// Low nibble foreground, high nibble background: black on bright white.
constexpr uint8_t DefaultAttr = 0xF0;

// One row of cells. Characters and attributes sit in parallel arrays so a row can be painted
// as runs of equal attribute.
class TLine {
 public:
  TLine() { Blank(DefaultAttr); }

  // Every cell becomes a blank (0x20) with attribute `attr`. A line left that way since is not
  // filled again: a peer repeating whole-screen erases would otherwise cost a full fill each.
  void Blank(uint8_t attr);
  // Must precede every other change of the cells.
  void Touch() { blankAs_ = kNotBlank; }

  std::array<uint8_t, ScreenLineCells> Chars;
  std::array<uint8_t, ScreenLineCells> Attrs;

 private:
  static constexpr int kNotBlank = -1;
  int blankAs_ = kNotBlank;  // the attribute of a line all blank since Blank, else kNotBlank
};

// Union of changed cells, in cell units (columns left/right, rows top/bottom, all inclusive).
struct TCellRect {
  int Left = 9999;
  int Top = 9999;
  int Right = -1;
  int Bottom = -1;

  bool Empty() const { return Right < Left || Bottom < Top; }
  bool operator==(const TCellRect&) const = default;
};

// Character-cell screen with an ANSI-style output interpreter. Fed one byte at a time; knows
// nothing of pixels or windows. Used from one thread only (the window's), so it has no lock.
//
// Whatever bytes arrive and whatever the caller sets, the cursor stays within 0 <= Row < Rows
// and 0 <= Col <= 150, and no operation reads or writes outside the 1501 lines of 151 cells.
class TScreen {
 public:
  TScreen();
  TScreen(const TScreen&) = delete;
  TScreen& operator=(const TScreen&) = delete;

  // Interprets one byte: control, part of an escape sequence, or a printable character.
  void PutChar(uint8_t ch);
  // PutChar for each byte, then CR and LF whatever AutoLF and AutoCR say.
  void PutLine(std::string_view s);

  // Clamped into the used area. Marks nothing.
  void GotoXY(int col, int row);
  void GetCursor(int& col, int& row) const {
    col = FCol;
    row = FRow;
  }

  // Blanks rows 0..Rows (the spare row too) with Attr and homes the cursor.
  void ClearScreen();
  // Blanks from the cursor to the end of its line with Attr.
  void EraseEol();

  // Take effect only when the (clamped) value differs: the screen is cleared, the value
  // stored and the screen cleared again; a new Rows also resets the scroll region.
  // Rows is clamped to 1..1500, Cols to 1..150.
  void SetRows(int rows);
  void SetCols(int cols);

  // The change record. MarkChanged does nothing while AllChanged is set.
  void ResetChanges();
  void MarkChanged(int row, int col);
  bool AllChanged() const { return FAllChanged; }
  const TCellRect& Changed() const { return FChanged; }

  // Screen row `row`, 0..1500 (row Rows is the spare row).
  const TLine& Lines(int row) const { return *FLines[static_cast<size_t>(row)]; }
  int Rows() const { return FRows; }
  int Cols() const { return FCols; }
  int Row() const { return FRow; }
  int Col() const { return FCol; }
  int ScrollTop() const { return FScrollTop; }
  int ScrollBottom() const { return FScrollBottom; }
  // Row beside which the control draws its marker; nothing here changes it.
  int MarkerRow() const { return FMarkerRow; }
  // Reverse video requested by SGR 7; applied to Attr at the end of each SGR sequence.
  bool Reverse() const { return FReverse; }
  bool InEscape() const { return FInEscape; }

  // Plain settings, read by the interpreter at the next byte; any value is safe.
  bool AutoLF = false;         // a CR is followed by a line feed
  bool AutoCR = false;         // a LF is followed by a carriage return
  bool AutoWrap = false;       // a character past the last column goes to the next row
  int AutoWrapCol = 0;         // continuation rows start here when 0 < AutoWrapCol < Cols
  uint8_t Attr = DefaultAttr;  // attribute of written characters and most erased cells

  // Sounded by BEL and by an escape sequence dropped for length; nothing when unset.
  std::function<void()> OnBeep;

 private:
  // Interpreter steps.
  void PutControlOrPrintable(uint8_t ch);
  void CollectEscape(uint8_t ch);
  void DispatchEscape(uint8_t ch);
  void DispatchControlSequence(uint8_t ch);
  void EndEscape();
  void Beep();

  // Parameters of the collected sequence; positions are 1-based, position 1 being the
  // first character after ESC.
  uint8_t EscAt(int pos) const { return FEscBuf[static_cast<size_t>(pos - 1)]; }
  int ParseNumber(int pos, int& value) const;
  int SkipBlanks(int pos) const;
  int CountParameter() const;
  void ReadTwoParameters(int& p1, int& p2) const;

  // Cursor and cell operations.
  void PutPrintable(uint8_t ch);
  void CursorUp(int n);
  void CursorDown(int n);
  void CursorForward(int n);
  void CursorBack(int n);
  void EraseBelow();
  void EraseDisplay(int mode);
  void InsertChars(int n);
  void DeleteChars(int n);
  void InsertLines(int n);
  void DeleteLines(int n);
  void SetScrollRegion(int top, int bottom);
  void SetAttributes();
  void ApplyRendition(int p);

  // Lines and scrolling.
  void LineFeed();
  void ReverseIndex();
  void CarriageReturn() { FCol = 0; }
  void ScrollUp();
  void ScrollDown();
  void BlankLines(int first, int last, uint8_t attr);

  // The cursor's line, about to be changed.
  TLine& CursorLine() {
    TLine& line = *FLines[static_cast<size_t>(FRow)];
    line.Touch();
    return line;
  }

  // All lines are allocated once; scrolling reorders the pointers in FLines, never the text.
  std::unique_ptr<TLine[]> FLineStore;
  std::array<TLine*, ScreenLineCount> FLines;

  int FRows = ScreenMaxRows;
  int FCols = ScreenMaxCols;
  int FRow = 0;
  int FCol = 0;
  int FScrollTop = 0;
  int FScrollBottom = ScreenMaxRows - 1;
  int FMarkerRow = 0;
  bool FReverse = false;

  // The escape sequence collected so far: the characters after ESC, without the final one.
  static constexpr int EscCapacity = 80;
  std::array<uint8_t, EscCapacity> FEscBuf{};
  int FEscLength = 0;
  bool FInEscape = false;

  bool FAllChanged = false;
  TCellRect FChanged;
};

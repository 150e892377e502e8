#include "terminal/screen.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

void Write(TScreen& screen, std::string_view bytes) {
  for (char ch : bytes) screen.PutChar(static_cast<uint8_t>(ch));
}

std::string Text(const TScreen& screen, int row, int from, int to) {
  const auto& chars = screen.Lines(row).Chars;
  return std::string(chars.begin() + from, chars.begin() + to);
}

struct Cursor {
  int Row, Col;
  bool operator==(const Cursor&) const = default;
};
Cursor At(const TScreen& s) { return {s.Row(), s.Col()}; }

// Fills rows 0..count-1 with one letter each, 'a' for row 0, from column 0.
void LetterRows(TScreen& s, int count) {
  for (int r = 0; r < count; ++r) {
    s.GotoXY(0, r);
    s.PutChar(static_cast<uint8_t>('a' + r));
  }
}

std::string FirstColumn(const TScreen& s, int rows) {
  std::string column;
  for (int r = 0; r < rows; ++r) column += static_cast<char>(s.Lines(r).Chars[0]);
  return column;
}

TEST(ScreenTest, ControlsAndPrintables) {
  TScreen s;
  int beeps = 0;
  Write(s, "A\a");  // no hook yet: silent
  s.OnBeep = [&] { ++beeps; };
  Write(s, std::string("\x00\x0e\x0f\a", 4));
  EXPECT_EQ(beeps, 1);
  EXPECT_EQ(At(s), (Cursor{0, 1}));
  Write(s, "\b\b\b\x01\x0b\x0c\xff");
  EXPECT_EQ(Text(s, 0, 0, 4), "\x01\x0b\x0c\xff");

  // HT goes to the next multiple of 8 and stops at the overflow cell.
  s.GotoXY(0, 1);
  Write(s, "\t");
  EXPECT_EQ(s.Col(), 8);
  Write(s, "\t");
  EXPECT_EQ(s.Col(), 16);
  s.GotoXY(144, 1);
  Write(s, "\t\tx");
  EXPECT_EQ(s.Col(), 150);
  EXPECT_EQ(s.Lines(1).Chars[150], 'x');

  // AutoLF and AutoCR add the other half; PutLine always ends the line.
  s.GotoXY(5, 2);
  s.AutoLF = true;
  Write(s, "\r");
  EXPECT_EQ(At(s), (Cursor{3, 0}));
  s.AutoLF = false;
  s.AutoCR = true;
  s.GotoXY(5, 3);
  Write(s, "\n");
  EXPECT_EQ(At(s), (Cursor{4, 0}));
  s.AutoCR = false;
  s.PutLine("hi");
  EXPECT_EQ(At(s), (Cursor{5, 0}));
}

TEST(ScreenTest, WritingPastTheEdges) {
  TScreen s;
  s.SetRows(500);
  s.Attr = 0x1E;
  s.GotoXY(0, 499);
  Write(s, "old\r\n");
  EXPECT_EQ(At(s), (Cursor{499, 0}));
  EXPECT_EQ(Text(s, 498, 0, 3), "old");
  EXPECT_EQ(s.Lines(499).Attrs[0], DefaultAttr);

  // Without AutoWrap the cursor runs through the hidden cells up to 150.
  s.GotoXY(0, 0);
  Write(s, std::string(149, 'a') + "bc" + std::string(48, 'd') + "z");
  EXPECT_EQ(s.Lines(0).Chars[148], 'a');
  EXPECT_EQ(s.Lines(0).Chars[149], 'b');
  EXPECT_EQ(s.Lines(0).Chars[150], 'z');
  EXPECT_EQ(s.Col(), 150);

  // With AutoWrap continuation rows start at AutoWrapCol after blanking with Attr.
  s.SetCols(10);
  s.AutoWrap = true;
  s.AutoWrapCol = 4;
  s.GotoXY(0, 0);
  Write(s, "0123456789W");
  EXPECT_EQ(Text(s, 1, 0, 5), "    W");
  EXPECT_EQ(s.Lines(1).Attrs[0], 0x1E);
  EXPECT_EQ(At(s), (Cursor{1, 5}));
  s.GotoXY(0, 499);
  Write(s, "0123456789V");
  EXPECT_EQ(Text(s, 498, 0, 10), "0123456789");
  EXPECT_EQ(Text(s, 499, 0, 5), "    V");

  // A continuation column outside 1..Cols-1 starts the row at 0.
  for (int wrapCol : {10, -7}) {
    s.AutoWrapCol = wrapCol;
    s.GotoXY(0, 0);
    Write(s, "0123456789X");
    EXPECT_EQ(At(s), (Cursor{1, 1})) << wrapCol;
  }
}

TEST(ScreenTest, EscapeCollection) {
  TScreen s;
  int beeps = 0;
  s.OnBeep = [&] { ++beeps; };
  s.GotoXY(3, 0);
  Write(s,
        "\x1b\r\x1b\x1b\x1b"
        "c\x1b[\a\x1b"
        "7\x1b(B\x1b[[");
  EXPECT_EQ(Text(s, 0, 3, 6),
            "\r\x1b"
            "c");
  EXPECT_EQ(At(s), (Cursor{0, 6}));
  EXPECT_EQ(beeps, 0);
  EXPECT_FALSE(s.InEscape());

  // 79 collected characters still make a sequence; the 80th drops it with a beep.
  s.GotoXY(0, 10);
  Write(s, "\x1b[" + std::string(77, ' ') + "2A");
  EXPECT_EQ(At(s), (Cursor{8, 0}));
  Write(s, "\x1b[" + std::string(78, ' ') + "2A");
  EXPECT_EQ(beeps, 1);
  EXPECT_EQ(s.Lines(8).Chars[0], 'A');
  EXPECT_EQ(At(s), (Cursor{8, 1}));
}

TEST(ScreenTest, CursorSequencesClampAndSaturate) {
  TScreen s;
  Write(s, "\x1b[5;10H");
  EXPECT_EQ(At(s), (Cursor{4, 9}));
  Write(s, "\x1b[ 7 ; 3 f");
  EXPECT_EQ(At(s), (Cursor{6, 2}));
  Write(s, "\x1b[9999;999H");
  EXPECT_EQ(At(s), (Cursor{1499, 149}));
  Write(s, "\x1b[H\x1b[3B\x1b[0C\x1b[C");
  EXPECT_EQ(At(s), (Cursor{3, 2}));
  Write(s, "\x1b[9A\x1b[9D");
  EXPECT_EQ(At(s), (Cursor{0, 0}));
  // Counts beyond 32 bits saturate instead of wrapping to small numbers.
  Write(s, "\x1b[99999999999999999999B\x1b[4294967297C");
  EXPECT_EQ(At(s), (Cursor{1499, 149}));
  Write(s, "\x1b[4294967297A\x1b[4294967297D");
  EXPECT_EQ(At(s), (Cursor{0, 0}));

  s.AutoWrap = true;
  s.AutoWrapCol = 2;
  s.GotoXY(148, 0);
  Write(s, "\x1b[3C");
  EXPECT_EQ(At(s), (Cursor{1, 3}));
  Write(s, "\x1b[4294967297C");
  EXPECT_EQ(At(s), (Cursor{2, 0}));
}

TEST(ScreenTest, EraseSequences) {
  TScreen s;
  s.SetRows(5);
  s.SetCols(8);
  for (int r = 0; r < 5; ++r) Write(s, "\x1b[" + std::to_string(r + 1) + "Habcdefgh");
  s.Attr = 0x12;
  Write(s, "\x1b[2;4H\x1b[K");
  EXPECT_EQ(Text(s, 1, 0, 8), "abc     ");
  EXPECT_EQ(s.Lines(1).Attrs[3], 0x12);
  EXPECT_EQ(s.Lines(1).Attrs[2], DefaultAttr);

  Write(s, "\x1b[3;5H\x1b[1J\x1b[7J");
  EXPECT_EQ(FirstColumn(s, 5), "   aa");
  EXPECT_EQ(s.Lines(2).Attrs[7], 0x12);
  Write(s, "\x1b[4;3H\x1b[J");
  EXPECT_EQ(s.Attr, DefaultAttr);
  EXPECT_EQ(Text(s, 3, 0, 8), "ab      ");
  EXPECT_EQ(s.Lines(4).Chars[0], ' ');

  s.Attr = 0x34;
  Write(s, "\x1b[2J");
  EXPECT_EQ(At(s), (Cursor{0, 0}));
  for (int r = 0; r <= 5; ++r) EXPECT_EQ(s.Lines(r).Attrs[0], 0x34) << r;
}

TEST(ScreenTest, RepeatedErasesStillBlankWhateverChangedBetweenThem) {
  TScreen s;
  s.SetRows(4);
  s.SetCols(8);
  const auto expectBlank = [&](uint8_t attr, const char* after) {
    for (int r = 0; r < 4; ++r) {
      EXPECT_EQ(Text(s, r, 0, 8), "        ") << after << ", row " << r;
      EXPECT_EQ(s.Lines(r).Attrs[5], attr) << after << ", row " << r;
    }
  };
  Write(s, "\x1b[2J\x1b[2J");
  Write(s, "\x1b[2;1Hwritten");
  Write(s, "\x1b[2J");
  expectBlank(DefaultAttr, "text");

  // A written line that scrolling has moved to another row.
  Write(s, "\x1b[4;1Hbottom\n\n");
  Write(s, "\x1b[2J");
  expectBlank(DefaultAttr, "scrolled text");

  // Changes made by inserting and deleting characters, and by erasing part of a line.
  Write(s, "\x1b[1;1Habc\x1b[1;1H\x1b[2@\x1b[3;1Hxyz\x1b[1;1H\x1b[1P");
  s.Attr = 0x12;
  Write(s, "\x1b[4;3H\x1b[K");
  Write(s, "\x1b[2J");
  expectBlank(0x12, "inserted, deleted and erased cells");

  // The same blank text in another colour, and the default colour on lines scrolled in.
  s.Attr = 0x34;
  Write(s, "\x1b[2J");
  expectBlank(0x34, "a colour change");
  Write(s, "\x1b[4;1H\n");
  EXPECT_EQ(s.Lines(3).Attrs[0], DefaultAttr);
}

TEST(ScreenTest, InsertAndDeleteCharacters) {
  TScreen s;
  std::string line;
  for (int c = 0; c < 150; ++c) line += static_cast<char>('!' + c % 90);
  Write(s, line + "\x1b[1;101H\x1b[3P");
  EXPECT_EQ(Text(s, 0, 100, 147), line.substr(103, 47));
  EXPECT_EQ(Text(s, 0, 147, 150), "   ");
  EXPECT_EQ(s.Lines(0).Attrs[149], DefaultAttr);
  Write(s, "\x1b[60P");
  EXPECT_EQ(Text(s, 0, 0, 150), line.substr(0, 100) + std::string(50, ' '));

  s.SetCols(8);
  s.Attr = 0x21;
  Write(s, "abcdefgh\x1b[1;3H\x1b[2@");
  EXPECT_EQ(Text(s, 0, 0, 8), "ab  cdef");
  EXPECT_EQ(s.Lines(0).Attrs[2], 0x21);
  Write(s, "\x1b[4294967297@");
  EXPECT_EQ(Text(s, 0, 0, 8), "ab      ");

  // In the hidden cells there is nothing to shift, and nothing outside the line is touched.
  s.AutoWrap = false;
  Write(s, "\x1b[2;1H0123456789\x1b[3P\x1b[3@\x1b[K");
  EXPECT_EQ(Text(s, 1, 0, 11), "0123456789 ");
}

TEST(ScreenTest, LinesAndScrollRegion) {
  TScreen s;
  s.SetRows(12);
  LetterRows(s, 12);
  Write(s, "\x1b[5r");
  EXPECT_EQ(s.ScrollTop(), 0);
  EXPECT_EQ(s.ScrollBottom(), 11);
  Write(s, "\x1b[3;10r\x1b[10H\n");
  EXPECT_EQ(FirstColumn(s, 12), "abdefghij kl");
  Write(s, "\x1b[12H\n");
  EXPECT_EQ(s.Row(), 9);
  EXPECT_EQ(FirstColumn(s, 12), "abefghij  kl");
  Write(s, "\x1b[3H\x1bM");
  EXPECT_EQ(FirstColumn(s, 12), "ab efghij kl");

  // Lines are inserted and deleted within Row..ScrollBottom.
  Write(s, "\x1b[4;5H\x1b[2L");
  EXPECT_EQ(s.Col(), 0);
  EXPECT_EQ(FirstColumn(s, 12), "ab   efghikl");
  Write(s, "\x1b[3M");
  EXPECT_EQ(FirstColumn(s, 12), "ab fghi   kl");
  Write(s, "\x1b[99M\x1b[2H\x1b[4294967295L");
  EXPECT_EQ(FirstColumn(s, 12), "a         kl");

  // A cursor below the region neither inserts nor deletes.
  Write(s, "\x1b[11H\x1b[L\x1b[M");
  EXPECT_EQ(FirstColumn(s, 12), "a         kl");
  for (std::string_view bad : {"\x1b[10;3r", "\x1b[0;5r", "\x1b[2;13r", "\x1b[4294967296;2r"}) {
    Write(s, "\x1b[3;10r");
    Write(s, bad);
    EXPECT_EQ(s.ScrollBottom() - s.ScrollTop(), 11) << bad.substr(1);
  }
}

TEST(ScreenTest, GraphicRendition) {
  TScreen s;
  const auto sgr = [&](std::string_view params) {
    Write(s, "\x1b[" + std::string(params) + "m");
    return s.Attr;
  };
  EXPECT_EQ(sgr("1;31"), 0xF9);
  EXPECT_EQ(sgr("22;44;5"), 0xC1);
  EXPECT_EQ(sgr(""), 0xF0);
  EXPECT_EQ(sgr("7"), 0x87);
  EXPECT_TRUE(s.Reverse());
  EXPECT_EQ(sgr("4;10;12;99"), 0xF0);  // reverse is applied again to the swapped value
  EXPECT_EQ(sgr("27"), 0xF0);
  EXPECT_FALSE(s.Reverse());
  EXPECT_EQ(sgr("8"), 0x00);
  EXPECT_EQ(sgr("0 32 ; 47"), 0xF2);
  // A stray '?' reads as 0 and the list goes on; a number past 32 bits is not 31.
  EXPECT_EQ(sgr("31?1"), 0xF8);
  EXPECT_EQ(sgr("4294967327"), 0xF8);
}

TEST(ScreenTest, ChangeRecord) {
  TScreen s;
  EXPECT_TRUE(s.Changed().Empty());
  Write(s, "\x1b[3;5Hx\x1b[5;2Hy\x1b[20;20H\t\x1b[2A");
  EXPECT_EQ(s.Changed(), (TCellRect{1, 2, 4, 4}));
  Write(s, "\x1b[K");
  EXPECT_EQ(s.Changed(), (TCellRect{1, 2, 150, 17}));
  EXPECT_FALSE(s.AllChanged());

  // Blanking for a wrapped continuation row is recorded with the character.
  s.ResetChanges();
  s.SetCols(10);
  s.ResetChanges();
  s.AutoWrap = true;
  s.AutoWrapCol = 3;
  Write(s, "\x1b[1;6H56789a");
  EXPECT_EQ(s.Changed(), (TCellRect{0, 0, 9, 1}));

  Write(s, "\x1b[S");
  EXPECT_TRUE(s.AllChanged());
  s.MarkChanged(7, 7);
  EXPECT_EQ(s.Changed(), (TCellRect{0, 0, 9, 1}));
  s.ResetChanges();
  EXPECT_TRUE(s.Changed().Empty());
  EXPECT_FALSE(s.AllChanged());
}

TEST(ScreenTest, RowsAndColsAreClampedToCapacity) {
  TScreen s;
  Write(s, "keep\x1b[");
  s.SetRows(1500);
  s.SetCols(7000);
  EXPECT_EQ(Text(s, 0, 0, 4), "keep");
  EXPECT_FALSE(s.AllChanged());
  EXPECT_EQ(s.Cols(), 150);
  EXPECT_TRUE(s.InEscape());  // the size does not touch a sequence in progress

  s.SetRows(-4);
  EXPECT_EQ(s.Rows(), 1);
  EXPECT_EQ(Text(s, 0, 0, 4), "    ");
  EXPECT_EQ(At(s), (Cursor{0, 0}));
  EXPECT_TRUE(s.InEscape());
  s.SetCols(0);
  EXPECT_EQ(s.Cols(), 1);
  Write(s, "Hab\t\x1b[99L\x1b[99M\x1bM\x1b[99@\x1b[99P\n\x1b[J");
  EXPECT_EQ(At(s), (Cursor{0, 0}));

  s.SetRows(1 << 30);
  EXPECT_EQ(s.Rows(), 1500);
  EXPECT_EQ(s.ScrollBottom(), 1499);
  s.SetRows(40);
  Write(s, "\x1b[3;9r");
  s.SetRows(30);
  EXPECT_EQ(s.ScrollTop(), 0);
  EXPECT_EQ(s.ScrollBottom(), 29);
}

}  // namespace

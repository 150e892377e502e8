// Input: a series of steps, each led by one op byte. An op below 0xF0 feeds the next op+1
// bytes through PutChar (so every byte value reaches the interpreter); ops from 0xF0 change
// what a caller may change between writes: Rows, Cols, the wrap and line-end settings, the
// attribute, the cursor. Invariants are checked after every step.
#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "terminal/screen.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

  bool Empty() const { return FPos >= FSize; }
  uint8_t Byte() { return Empty() ? 0 : FData[FPos++]; }
  int16_t Int16() { return static_cast<int16_t>(Byte() | Byte() << 8); }
  int32_t Int32() {
    const uint32_t low = static_cast<uint16_t>(Int16());
    const uint32_t high = static_cast<uint16_t>(Int16());
    return static_cast<int32_t>(low | high << 16);
  }
  std::string_view Take(size_t count) {
    if (count > FSize - FPos) count = FSize - FPos;
    const std::string_view taken(reinterpret_cast<const char*>(FData + FPos), count);
    FPos += count;
    return taken;
  }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

void CheckInvariants(const TScreen& s) {
  Check(1 <= s.Rows() && s.Rows() <= ScreenMaxRows);
  Check(1 <= s.Cols() && s.Cols() <= ScreenMaxCols);
  Check(0 <= s.Row() && s.Row() < s.Rows());
  Check(0 <= s.Col() && s.Col() <= ScreenMaxCols);
  Check(0 <= s.ScrollTop() && s.ScrollTop() <= s.ScrollBottom() && s.ScrollBottom() < s.Rows());
  const TCellRect& changed = s.Changed();
  if (!s.AllChanged() && !changed.Empty()) {
    Check(0 <= changed.Left && changed.Right <= ScreenMaxCols);
    Check(0 <= changed.Top && changed.Bottom <= ScreenMaxRows);
  }
}

// Scrolling only reorders the line objects, which sit in one block: each must still appear
// exactly once.
void CheckLinesArePermutation(const TScreen& s) {
  const TLine* first = &s.Lines(0);
  for (int r = 1; r < ScreenLineCount; ++r) first = std::min(first, &s.Lines(r));
  std::bitset<ScreenLineCount> seen;
  for (int r = 0; r < ScreenLineCount; ++r) {
    const auto index = static_cast<size_t>(&s.Lines(r) - first);
    Check(index < seen.size() && !seen[index]);
    seen[index] = true;
  }
}

void ApplySetting(TScreen& s, uint8_t op, Input& in) {
  switch (op & 0x0F) {
    case 0:
      s.SetRows(in.Int16());
      break;
    case 1:
      s.SetCols(in.Int16());
      break;
    case 2:
      s.AutoWrap = !s.AutoWrap;
      break;
    case 3:
      s.AutoWrapCol = in.Int32();
      break;
    case 4:
      s.AutoLF = !s.AutoLF;
      break;
    case 5:
      s.AutoCR = !s.AutoCR;
      break;
    case 6:
      s.Attr = in.Byte();
      break;
    case 7: {
      const int col = in.Int16();
      s.GotoXY(col, in.Int16());
      break;
    }
    case 8:
      s.PutLine(in.Take(in.Byte()));
      break;
    case 9:
      s.EraseEol();
      break;
    case 10:
      s.ClearScreen();
      break;
    case 11:
      s.ResetChanges();
      break;
    default:
      s.AutoWrapCol = static_cast<int8_t>(in.Byte());
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TScreen screen;
  screen.OnBeep = [] {};
  Input in(data, size);
  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    if (op < 0xF0) {
      for (char ch : in.Take(op + 1u)) screen.PutChar(static_cast<uint8_t>(ch));
    } else {
      ApplySetting(screen, op, in);
    }
    CheckInvariants(screen);
  }
  CheckLinesArePermutation(screen);
  return 0;
}

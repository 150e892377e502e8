// Interpreter throughput on a screen laid out as the main window's terminals (500 rows,
// 150 columns), writing lines that scroll once the bottom row is reached.
#include <benchmark/benchmark.h>

#include <string>

#include "terminal/screen.h"

namespace {

constexpr int Lines = 2000;

std::string PlainText() {
  std::string text;
  for (int i = 0; i < Lines; ++i)
    text += "recv :     12 Midi    : [90,3C,64] note on, channel 1, middle C, velocity 100\r\n";
  return text;
}

std::string ColouredText() {
  std::string text;
  for (int i = 0; i < Lines; ++i)
    text +=
        "\x1b[1;31malice\x1b[0m: \x1b[32mhello\x1b[m there, \x1b[7mreverse\x1b[27m and "
        "\x1b[44;33mcolour\x1b[0m\x1b[K\r\n";
  return text;
}

void Feed(benchmark::State& state, const std::string& text) {
  TScreen screen;
  screen.SetRows(500);
  for (auto _ : state) {
    for (char ch : text) screen.PutChar(static_cast<uint8_t>(ch));
    benchmark::DoNotOptimize(screen.Row());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}

void BM_PlainText(benchmark::State& state) { Feed(state, PlainText()); }
void BM_TextWithSgr(benchmark::State& state) { Feed(state, ColouredText()); }

BENCHMARK(BM_PlainText);
BENCHMARK(BM_TextWithSgr);

}  // namespace

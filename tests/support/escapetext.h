#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

// Terminal output as a hostile chat peer might send it: escape sequences of every kind the
// terminal knows (with small, large and absurd parameters), unknown and overlong ones, control
// characters, raw bytes and some plain text, in random order. The same seed gives the same text.
inline std::string RandomEscapeText(size_t length, unsigned seed) {
  std::mt19937 rng(seed);
  const auto pick = [&](std::string_view set) { return set[rng() % set.size()]; };
  const auto number = [&]() -> std::string {
    switch (rng() % 4) {
      case 0:
        return {};
      case 1:
        return std::to_string(rng() % 10);
      case 2:
        return std::to_string(rng() % 600);
      default:
        return std::to_string(rng());
    }
  };
  std::string text;
  text.reserve(length + 128);
  while (text.size() < length) {
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2:  // a control sequence, known final or not
        text += "\x1b[";
        if (rng() % 4 == 0) text += '?';
        text += number();
        if (rng() % 2 == 0) text += ';' + number();
        text += pick("@ABCDHfJKLMPSmrhlnqsuXZ");
        break;
      case 3:  // short sequences and character-set designations
        text += '\x1b';
        text += pick("78<=>DEHMc(");
        if (text.back() == '(') text += pick("B0A");
        break;
      case 4:  // attributes
        text += "\x1b[" + std::to_string(rng() % 48) + ';' + std::to_string(rng() % 48) + 'm';
        break;
      case 5:  // controls
        text += pick(std::string_view("\r\n\t\b\x0e\x0f\x00\x1b", 8));
        break;
      case 6:  // plain text
        text += "hello, world ";
        break;
      default:
        if (rng() % 64 == 0)
          text += "\x1b[" + std::string(100, '9');  // longer than any sequence known
        else
          text += static_cast<char>(rng() & 0xFF);
        break;
    }
  }
  text.resize(length);
  return text;
}

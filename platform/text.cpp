#include "platform/text.h"

#include <algorithm>
#include <cstdio>

std::optional<uint32_t> ParseDottedIpv4(std::string_view text) {
  uint32_t address = 0;
  const char* position = text.data();
  const char* const end = position + text.size();
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (position == end || *position != '.') return std::nullopt;
      ++position;
    }
    unsigned value = 0;
    const auto [next, error] = std::from_chars(position, end, value);
    if (error != std::errc() || next - position > 3 || value > 255) return std::nullopt;
    address = (address << 8) | value;
    position = next;
  }
  if (position != end) return std::nullopt;
  return address;
}

bool SameTextIgnoringAsciiCase(std::string_view a, std::string_view b) {
  const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatV(fmt, args);
  va_end(args);
  return text;
}

std::string FormatV(const char* fmt, va_list args) {
  va_list sizing;
  va_copy(sizing, args);
  const int size = std::vsnprintf(nullptr, 0, fmt, sizing);
  va_end(sizing);
  if (size <= 0) return {};
  std::string text(static_cast<size_t>(size), '\0');
  std::vsnprintf(text.data(), text.size() + 1, fmt, args);
  return text;
}

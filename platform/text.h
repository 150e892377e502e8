#pragma once

// Text helpers the layers share: ASCII only, no locale, no Qt.

#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The whole text as a decimal integer of type T: an optional "+" or "-", then digits. Blanks,
// "+-", other characters and values outside T give nothing.
template <typename T>
std::optional<T> ParseInteger(std::string_view text) {
  // from_chars takes a minus sign but not a plus.
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return std::nullopt;
  }
  T value{};
  const char* const last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

// Four groups of 1 to 3 decimal digits, each 0 to 255, joined by dots, nothing else; the
// address in host order. A leading zero is decimal, not octal.
std::optional<uint32_t> ParseDottedIpv4(std::string_view text);

// Equal when only the ASCII letters' case differs.
bool SameTextIgnoringAsciiCase(std::string_view a, std::string_view b);

// printf into a text of whatever length it needs; empty when the format fails.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

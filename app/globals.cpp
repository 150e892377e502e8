#include "app/globals.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

std::string IniFileBeside(const std::string& executablePath) {
  const size_t nameStart = executablePath.rfind('/') + 1;  // 0 when there is no folder
  const size_t dot = executablePath.find('.', nameStart);
  const size_t baseEnd = dot == std::string::npos ? executablePath.size() : dot;
  return executablePath.substr(0, baseEnd) + ".INI";
}

// $XDG_CONFIG_HOME, or ~/.config; a relative path there is ignored, as the XDG rules ask.
std::filesystem::path ConfigFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* user = ::getpwuid(::geteuid());
    home = user != nullptr ? user->pw_dir : "/";
  }
  return std::filesystem::path(home) / ".config";
}

}  // namespace

std::string IniFileNameFor(const std::string& executablePath) {
  const std::filesystem::path beside = IniFileBeside(executablePath);
  const std::filesystem::path folder = beside.has_parent_path() ? beside.parent_path() : ".";
  std::error_code error;
  // The effective identity decides, as it does when the file is written.
  if (std::filesystem::exists(beside, error) ||
      ::faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) == 0) {
    return beside.string();
  }
  return (ConfigFolder() / "tessel" / "tessel.INI").string();
}

const std::string& IniFileName() {
  static const std::string name = [] {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    // Without /proc the program still runs; its settings then live in the working folder.
    return IniFileNameFor(error ? std::string("tessel") : executable.string());
  }();
  return name;
}

std::string BooleanText(bool value) { return value ? "True" : "False"; }

std::string PadRight(const std::string& text, size_t length) {
  if (text.size() >= length) return text;
  return text + std::string(length - text.size(), ' ');
}

std::string FixedWidth(const std::string& text, size_t width) {
  return PadRight(text, width).substr(0, width);
}

bool IsByteText(const std::string& text) {
  const char* first = text.data();
  const char* const last = first + text.size();
  while (first != last && *first == ' ') ++first;
  // from_chars takes a minus sign but not a plus.
  if (first != last && *first == '+') ++first;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  return error == std::errc() && end == last && value >= 0 && value <= 255;
}

bool IsIpAddress(const std::string& text) {
  std::string group;
  int dots = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      group += c;
      if (group.size() > 3) return false;
    } else if (c == '.') {
      if (!IsByteText(group)) return false;
      ++dots;
      group.clear();
    } else {
      return false;
    }
  }
  return dots == 3 && IsByteText(group);
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

#include "engine/globals.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/text.h"

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
  std::string_view digits = text;
  digits.remove_prefix(std::min(digits.find_first_not_of(' '), digits.size()));
  const std::optional<int32_t> value = ParseInteger<int32_t>(digits);
  return value && *value >= 0 && *value <= 255;
}

bool IsIpAddress(const std::string& text) { return ParseDottedIpv4(text).has_value(); }

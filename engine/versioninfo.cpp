#include "engine/versioninfo.h"

#include <algorithm>
#include <cctype>

namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(
      a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

}  // namespace

std::optional<std::string> QueryVersionValue(const TVersionResource& resource,
                                             std::string_view path) {
  for (const TVersionStringTable& table : resource) {
    if (path.size() < table.Block.size() ||
        !EqualIgnoringCase(path.substr(0, table.Block.size()), table.Block)) {
      continue;
    }
    const std::string_view key = path.substr(table.Block.size());
    for (const auto& [name, value] : table.Strings) {
      if (EqualIgnoringCase(name, key)) return value;
    }
  }
  return std::nullopt;
}

TVersionValues ReadVersionInfo(const TVersionResource& resource) {
  TVersionValues values;
  for (size_t i = 0; i < VersionKeyCount; ++i) {
    const std::string path = std::string(VersionBlockPath) + std::string(VersionKeys[i]);
    values[i] = QueryVersionValue(resource, path).value_or("Unknown");
  }
  return values;
}

const TVersionValues& VersionValues() {
  static const TVersionValues values = ReadVersionInfo(ExecutableVersionResource());
  return values;
}

#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One string table of a version resource: its block path (ending in a backslash) and its
// key/value pairs.
struct TVersionStringTable {
  std::string Block;
  std::vector<std::pair<std::string, std::string>> Strings;
};
using TVersionResource = std::vector<TVersionStringTable>;

// The block the about box reads: U.S. English, code page 1252.
constexpr std::string_view VersionBlockPath = "\\StringFileInfo\\040904E4\\";

constexpr size_t VersionKeyCount = 10;
// The keys shown in the about box, in its order.
constexpr std::array<std::string_view, VersionKeyCount> VersionKeys = {
    "CompanyName",     "FileDescription",  "FileVersion", "InternalName",   "LegalCopyRight",
    "LegalTradeMarks", "OriginalFileName", "ProductName", "ProductVersion", "Comments"};
using TVersionValues = std::array<std::string, VersionKeyCount>;

// The executable's own version resource, generated at build time.
const TVersionResource& ExecutableVersionResource();

// The value at a full path (block path followed by key), matched without regard to case.
std::optional<std::string> QueryVersionValue(const TVersionResource& resource,
                                             std::string_view path);

// The value of each key under VersionBlockPath, or "Unknown" where the key is missing.
TVersionValues ReadVersionInfo(const TVersionResource& resource);

// The running executable's values, read once on first use and kept for the whole run.
const TVersionValues& VersionValues();

#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The settings file could not be written: "Unable to write to <path>", with the reason apart
// (the system's error text, or why an unreadable file was not replaced).
class EIniFileException : public std::runtime_error {
 public:
  EIniFileException(const std::string& fileName, std::string reason);
  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

// An INI file with Windows profile semantics. Section and key names compare without regard to
// ASCII case; lines the class does not understand (comments, other sections, unknown keys,
// garbage) are kept as they were. Where a section or key appears twice, the first one counts,
// as with the Windows profile functions; EraseSection removes every copy, so an older copy
// never comes back into view.
//
// The file is read once by the constructor: a missing file reads as empty, and so does one
// that cannot be read (no permission, not a regular file, larger than kMaxFileSize), which is
// then never replaced (UpdateFile refuses) so its content is not lost. The text is kept as it
// was read, byte for byte, and searched on each call, so memory stays in proportion to the
// file whatever its lines. Changes stay in memory until UpdateFile, which makes the file's
// folder when it is missing, writes a temporary file in that folder, flushes it to disk and
// renames it over the old one: a failed or interrupted save leaves the old file as it was, and
// the next save removes the temporary file that a killed one left behind.
class TIniFile {
 public:
  // A settings file is a few hundred bytes; a far larger file is something else.
  static constexpr size_t kMaxFileSize = 16 << 20;

  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  // Values are trimmed of blanks and tabs, and one pair of matching quotes around them is
  // removed, as the Windows profile functions do.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  // A signed 32-bit decimal number, optionally with a sign and surrounding blanks. Anything
  // else, trailing characters or a number out of range included, gives the default.
  int32_t ReadInteger(const std::string& section, const std::string& key,
                      int32_t defaultValue) const;
  // True for any integer other than 0; the default when the value is not an integer.
  bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

  // Line breaks in a value become blanks (they would start a new line in the file); a value
  // with outer blanks or outer quotes is written in quotes so it reads back unchanged.
  // Section and key names must be non-empty, without outer blanks or line breaks; a key may
  // not contain "=" nor a section "]" (std::invalid_argument).
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  // Written as "1" or "0".
  void WriteBool(const std::string& section, const std::string& key, bool value);

  void EraseSection(const std::string& section);
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  // The section's key names in file order.
  std::vector<std::string> ReadSection(const std::string& section) const;

  // Throws EIniFileException when the file cannot be written.
  void UpdateFile() const;

 private:
  size_t ContentStart() const;
  std::optional<std::string> FindValue(const std::string& section, const std::string& key) const;
  void InsertLine(size_t position, const std::string& line);

  std::string fileName_;
  std::string text_;       // the whole file as it will be written, byte-order mark included
  std::string readError_;  // why the file could not be read; empty when it could
  std::string lineEnd_ = "\n";
};

#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The settings file could not be written: "Unable to write to <path>".
class EIniFileException : public std::runtime_error {
 public:
  explicit EIniFileException(const std::string& fileName);
};

// An INI file with Windows profile semantics. Section and key names compare without regard to
// ASCII case; lines the class does not understand (comments, other sections, unknown keys,
// garbage) are kept as they were. Where a section or key appears twice, the first one counts,
// as with the Windows profile functions; EraseSection removes every copy, so an older copy
// never comes back into view.
//
// The file is read once by the constructor: a missing file reads as empty, and so does one
// that cannot be read, which is then never replaced (UpdateFile refuses) so its content is
// not lost. Changes stay in memory until UpdateFile, which writes a temporary file in the same
// folder, flushes it to disk and renames it over the old one: a failed or interrupted save
// leaves the old file as it was.
class TIniFile {
 public:
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
  struct TLine {
    std::string Text;  // as in the file, without its line end
    std::string Key;   // empty for lines that are not "key=value"
  };
  struct TSection {
    std::string Name;    // empty for the lines before the first section
    std::string Header;  // the "[Name]" line as in the file
    std::vector<TLine> Lines;
  };

  void Load();
  void Parse(std::string_view content);
  void AddLine(std::string_view line);
  std::string Serialize() const;
  size_t SectionIndex(const std::string& name) const;
  const TSection* FindSection(const std::string& name) const;
  TSection& SectionForWriting(const std::string& name);
  std::optional<std::string> FindValue(const std::string& section, const std::string& key) const;

  std::string fileName_;
  std::vector<TSection> sections_;  // sections_[0] holds the lines before the first section
  bool unreadable_ = false;
  bool byteOrderMark_ = false;
  std::string lineEnd_ = "\n";
};

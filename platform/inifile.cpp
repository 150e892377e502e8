#include "platform/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";
constexpr mode_t kNewFileMode = 0644;

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool IsQuoted(std::string_view text) {
  return text.size() >= 2 && text.front() == text.back() &&
         (text.front() == '"' || text.front() == '\'');
}

bool SameText(std::string_view a, std::string_view b) {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

// The key of a "key=value" line; empty for section headers, comments and anything else.
std::string_view KeyOf(std::string_view line) {
  const std::string_view text = Trim(line);
  if (text.empty() || text.front() == ';' || text.front() == '#' || text.front() == '[') return {};
  const size_t equals = text.find('=');
  return equals == std::string_view::npos ? std::string_view{} : Trim(text.substr(0, equals));
}

std::string ValueOf(std::string_view line) {
  std::string_view value = Trim(line.substr(line.find('=') + 1));
  if (IsQuoted(value)) value = value.substr(1, value.size() - 2);
  return std::string(value);
}

std::string EncodedValue(std::string value) {
  std::replace_if(
      value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  if (Trim(value).size() != value.size() || IsQuoted(value)) return '"' + value + '"';
  return value;
}

bool IsValidName(std::string_view name, std::string_view forbidden) {
  return !name.empty() && Trim(name).size() == name.size() &&
         name.find_first_of(forbidden) == std::string_view::npos;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// Writes a temporary file beside the target, flushes it to disk and renames it over the
// target, so the target is at every moment either the old file or the complete new one.
bool ReplaceFile(const std::string& fileName, std::string_view content) {
  namespace fs = std::filesystem;
  std::error_code error;
  // Through a symbolic link the file it points to is replaced, not the link.
  fs::path target = fs::weakly_canonical(fileName, error);
  if (error) target = fileName;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  struct stat old {};
  const mode_t mode = ::stat(target.c_str(), &old) == 0 ? old.st_mode & 07777 : kNewFileMode;
  bool written = ::fchmod(fd, mode) == 0 && WriteAll(fd, content) && ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Makes the rename itself durable; the file is already complete either way.
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  return true;
}

}  // namespace

EIniFileException::EIniFileException(const std::string& fileName)
    : std::runtime_error("Unable to write to " + fileName) {}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) { Load(); }

void TIniFile::Load() {
  std::string content;
  // Non-blocking so a FIFO in the file's place cannot hang the start-up.
  const int fd = ::open(fileName_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    unreadable_ = errno != ENOENT;
  } else {
    struct stat status {};
    unreadable_ = ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode);
    char block[65536];
    while (!unreadable_) {
      const ssize_t count = ::read(fd, block, sizeof block);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) {
        unreadable_ = count < 0;
        break;
      }
      content.append(block, static_cast<size_t>(count));
    }
    ::close(fd);
  }
  Parse(unreadable_ ? std::string_view{} : std::string_view(content));
}

void TIniFile::Parse(std::string_view content) {
  sections_.assign(1, TSection{});
  if (content.starts_with(kByteOrderMark)) {
    byteOrderMark_ = true;
    content.remove_prefix(kByteOrderMark.size());
  }
  const size_t firstBreak = content.find('\n');
  if (firstBreak != std::string_view::npos && firstBreak > 0 && content[firstBreak - 1] == '\r') {
    lineEnd_ = "\r\n";
  }
  while (!content.empty()) {
    const size_t lineBreak = std::min(content.find('\n'), content.size());
    std::string_view line = content.substr(0, lineBreak);
    if (line.ends_with('\r')) line.remove_suffix(1);
    AddLine(line);
    content.remove_prefix(std::min(lineBreak + 1, content.size()));
  }
}

void TIniFile::AddLine(std::string_view line) {
  const std::string_view text = Trim(line);
  const size_t close = text.find(']');
  if (text.starts_with('[') && close != std::string_view::npos) {
    const std::string_view name = Trim(text.substr(1, close - 1));
    if (!name.empty()) {
      sections_.push_back({std::string(name), std::string(line), {}});
      return;
    }
  }
  sections_.back().Lines.push_back({std::string(line), std::string(KeyOf(line))});
}

std::string TIniFile::Serialize() const {
  std::string text(byteOrderMark_ ? kByteOrderMark : "");
  for (const TSection& section : sections_) {
    if (!section.Name.empty()) text += section.Header + lineEnd_;
    for (const TLine& line : section.Lines) text += line.Text + lineEnd_;
  }
  return text;
}

size_t TIniFile::SectionIndex(const std::string& name) const {
  // Index 0 holds the lines before the first header and has no name.
  for (size_t index = 1; index < sections_.size(); ++index) {
    if (SameText(sections_[index].Name, name)) return index;
  }
  return sections_.size();
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& name) const {
  const size_t index = SectionIndex(name);
  return index < sections_.size() ? &sections_[index] : nullptr;
}

TIniFile::TSection& TIniFile::SectionForWriting(const std::string& name) {
  const size_t index = SectionIndex(name);
  if (index < sections_.size()) return sections_[index];
  return sections_.emplace_back(TSection{name, "[" + name + "]", {}});
}

std::optional<std::string> TIniFile::FindValue(const std::string& section,
                                               const std::string& key) const {
  const TSection* found = FindSection(section);
  if (!found || key.empty()) return std::nullopt;
  for (const TLine& line : found->Lines) {
    if (SameText(line.Key, key)) return ValueOf(line.Text);
  }
  return std::nullopt;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  return FindValue(section, key).value_or(defaultValue);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t defaultValue) const {
  const std::optional<std::string> value = FindValue(section, key);
  if (!value) return defaultValue;
  std::string_view digits = *value;
  if (digits.size() > 1 && digits.front() == '+' && digits[1] != '-') digits.remove_prefix(1);
  int32_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return defaultValue;
  return number;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key,
                        bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  if (!IsValidName(section, "\r\n]") || !IsValidName(key, "\r\n=") ||
      std::string_view(";#[").find(key.front()) != std::string_view::npos) {
    throw std::invalid_argument("invalid INI section or key name: [" + section + "] " + key);
  }
  const std::string encoded = EncodedValue(value);
  TSection& target = SectionForWriting(section);
  for (TLine& line : target.Lines) {
    if (SameText(line.Key, key)) {
      line.Text = line.Key + "=" + encoded;  // the key keeps the spelling the file has
      return;
    }
  }
  // After the section's last non-blank line, so blank lines keep separating the sections.
  auto position = target.Lines.end();
  while (position != target.Lines.begin() && Trim((position - 1)->Text).empty()) --position;
  target.Lines.insert(position, {key + "=" + encoded, key});
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section) {
  // Every copy goes, so an older duplicate cannot come back into view.
  std::erase_if(sections_,
                [&](const TSection& s) { return !s.Name.empty() && SameText(s.Name, section); });
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FindValue(section, key).has_value();
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  if (const TSection* found = FindSection(section)) {
    for (const TLine& line : found->Lines) {
      if (!line.Key.empty()) keys.push_back(line.Key);
    }
  }
  return keys;
}

void TIniFile::UpdateFile() const {
  // A file that could not be read is not replaced: its content would be lost.
  if (unreadable_ || !ReplaceFile(fileName_, Serialize())) throw EIniFileException(fileName_);
}

#include "platform/inifile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/text.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";
constexpr mode_t kNewFileMode = 0644;
// Names the temporary files of saves, between the file's name and mkstemp's six characters.
constexpr std::string_view kTemporaryInfix = ".saving.";
constexpr size_t kTemporaryUniquePart = 6;

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool IsQuoted(std::string_view text) {
  return text.size() >= 2 && text.front() == text.back() &&
         (text.front() == '"' || text.front() == '\'');
}

// The key of a "key=value" line; empty for section headers, comments and anything else.
std::string_view KeyOf(std::string_view line) {
  const std::string_view text = Trim(line);
  if (text.empty() || text.front() == ';' || text.front() == '#' || text.front() == '[') return {};
  const size_t equals = text.find('=');
  return equals == std::string_view::npos ? std::string_view{} : Trim(text.substr(0, equals));
}

// The name of a "[name]" line; empty for every other line.
std::string_view SectionNameOf(std::string_view line) {
  const std::string_view text = Trim(line);
  if (!text.starts_with('[')) return {};
  const size_t close = text.find(']');
  return close == std::string_view::npos ? std::string_view{} : Trim(text.substr(1, close - 1));
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

// A line of the text: [Begin, End) without its line end; the next line starts at Next.
struct TLine {
  size_t Begin;
  size_t End;
  size_t Next;
};

TLine LineAt(std::string_view text, size_t begin) {
  const size_t lineBreak = std::min(text.find('\n', begin), text.size());
  const size_t end = lineBreak > begin && text[lineBreak - 1] == '\r' ? lineBreak - 1 : lineBreak;
  return {begin, end, std::min(lineBreak + 1, text.size())};
}

std::string_view TextOf(std::string_view text, const TLine& line) {
  return text.substr(line.Begin, line.End - line.Begin);
}

// Calls visit with each line that starts in [begin, end) until visit returns false.
template <typename Visit>
void ForEachLine(std::string_view text, size_t begin, size_t end, Visit visit) {
  for (size_t position = begin; position < end;) {
    const TLine line = LineAt(text, position);
    if (!visit(line)) return;
    position = line.Next;
  }
}

// The lines of the first copy of a section: from the line after its header to the next header.
struct TSectionRange {
  size_t Body;
  size_t End;
};

std::optional<TSectionRange> FindSection(std::string_view text, size_t start,
                                         std::string_view name) {
  std::optional<TSectionRange> found;
  ForEachLine(text, start, text.size(), [&](const TLine& line) {
    const std::string_view header = SectionNameOf(TextOf(text, line));
    if (header.empty()) return true;
    if (found) {
      found->End = line.Begin;
      return false;
    }
    if (SameTextIgnoringAsciiCase(header, name)) found = TSectionRange{line.Next, text.size()};
    return true;
  });
  return found;
}

std::optional<TLine> FindKeyLine(std::string_view text, const TSectionRange& section,
                                 std::string_view key) {
  std::optional<TLine> found;
  if (key.empty()) return found;  // lines without a key have an empty one
  ForEachLine(text, section.Body, section.End, [&](const TLine& line) {
    if (SameTextIgnoringAsciiCase(KeyOf(TextOf(text, line)), key)) found = line;
    return !found;
  });
  return found;
}

std::error_code LastError() { return {errno, std::generic_category()}; }

std::error_code Check(bool succeeded) { return succeeded ? std::error_code() : LastError(); }

// Owns a file descriptor and closes it.
class TDescriptor {
 public:
  explicit TDescriptor(int fd) : fd_(fd) {}
  ~TDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// The whole file into `text`, or why it cannot be read. A missing file reads as empty.
std::string ReadText(const std::string& fileName, std::string& text) {
  static const std::string tooLarge =
      "larger than " + std::to_string(TIniFile::kMaxFileSize >> 20) + " MiB";
  // Non-blocking so a FIFO in the file's place cannot hang the start-up.
  const TDescriptor file(::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.Get() < 0) return errno == ENOENT ? std::string() : LastError().message();
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) return LastError().message();
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  if (static_cast<uintmax_t>(status.st_size) > TIniFile::kMaxFileSize) return tooLarge;
  text.reserve(static_cast<size_t>(status.st_size));
  char block[65536];
  for (;;) {
    const ssize_t count = ::read(file.Get(), block, sizeof block);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return LastError().message();
    if (count == 0) return {};
    // The file may have grown since fstat.
    if (text.size() + static_cast<size_t>(count) > TIniFile::kMaxFileSize) return tooLarge;
    text.append(block, static_cast<size_t>(count));
  }
}

std::error_code WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return LastError();
    if (written == 0) return std::make_error_code(std::errc::no_space_on_device);
    data.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

// Removes the temporary files that killed saves left behind. A save in progress holds a lock on
// its temporary file until it is renamed, so only abandoned ones are taken.
void RemoveStaleTemporaries(const std::filesystem::path& folder, const std::string& prefix) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (!name.starts_with(prefix) || name.size() != prefix.size() + kTemporaryUniquePart) continue;
    const char* path = entry->path().c_str();
    const TDescriptor file(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {
    }, named{};
    // The name must still be the locked file: a save may have renamed it meanwhile.
    if (file.Get() >= 0 && ::flock(file.Get(), LOCK_EX | LOCK_NB) == 0 &&
        ::fstat(file.Get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
        ::lstat(path, &named) == 0 && named.st_ino == opened.st_ino &&
        named.st_dev == opened.st_dev) {
      ::unlink(path);
    }
  }
}

// A missing folder, and any missing above it, is made for its owner alone, as the XDG rules ask
// of a configuration folder.
std::error_code MakeFolder(const std::filesystem::path& folder) {
  std::error_code error;
  if (folder.empty() || std::filesystem::is_directory(folder, error)) return {};
  if ((error = MakeFolder(folder.parent_path()))) return error;
  return Check(::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST);
}

void SyncFolder(const std::filesystem::path& folder) {
  const TDescriptor handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle.Get() >= 0) ::fsync(handle.Get());
}

// Writes a temporary file beside the target, flushes it to disk and renames it over the
// target, so the target is at every moment either the old file or the complete new one.
std::error_code ReplaceFile(const std::string& fileName, std::string_view content) {
  namespace fs = std::filesystem;
  std::error_code error;
  // Through a symbolic link the file it points to is replaced, not the link.
  fs::path target = fs::weakly_canonical(fileName, error);
  if (error) target = fileName;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string prefix = "." + target.filename().string() + std::string(kTemporaryInfix);
  if ((error = MakeFolder(folder))) return error;
  RemoveStaleTemporaries(folder, prefix);
  std::string temporary = (folder / (prefix + std::string(kTemporaryUniquePart, 'X'))).string();
  const TDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (file.Get() < 0) return LastError();
  // Held until after the rename so that no other save takes this file for a leftover. Where
  // the file system has no locks, leftovers are merely not removed.
  ::flock(file.Get(), LOCK_EX);
  struct stat old {};
  const mode_t mode = ::stat(target.c_str(), &old) == 0 ? old.st_mode & 07777 : kNewFileMode;
  error = Check(::fchmod(file.Get(), mode) == 0);
  if (!error) error = WriteAll(file.Get(), content);
  if (!error) error = Check(::fsync(file.Get()) == 0);
  if (!error) error = Check(::rename(temporary.c_str(), target.c_str()) == 0);
  if (error) {
    ::unlink(temporary.c_str());
    return error;
  }
  // Makes the rename itself durable; the file is already complete either way.
  SyncFolder(folder);
  return {};
}

}  // namespace

EIniFileException::EIniFileException(const std::string& fileName, std::string reason)
    : std::runtime_error("Unable to write to " + fileName), reason_(std::move(reason)) {}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {
  readError_ = ReadText(fileName_, text_);
  if (!readError_.empty()) text_ = std::string();
  const std::string_view content = std::string_view(text_).substr(ContentStart());
  const size_t firstBreak = content.find('\n');
  if (firstBreak != std::string_view::npos && firstBreak > 0 && content[firstBreak - 1] == '\r') {
    lineEnd_ = "\r\n";
  }
}

size_t TIniFile::ContentStart() const {
  return std::string_view(text_).starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
}

void TIniFile::InsertLine(size_t position, const std::string& line) {
  // A last line without a line end gets one, so that the new line does not run on from it.
  const bool runsOn = position > ContentStart() && text_[position - 1] != '\n';
  text_.insert(position, (runsOn ? lineEnd_ : std::string()) + line + lineEnd_);
}

std::optional<std::string> TIniFile::FindValue(const std::string& section,
                                               const std::string& key) const {
  const std::optional<TSectionRange> range = FindSection(text_, ContentStart(), section);
  if (!range) return std::nullopt;
  const std::optional<TLine> line = FindKeyLine(text_, *range, key);
  if (!line) return std::nullopt;
  return ValueOf(TextOf(text_, *line));
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  return FindValue(section, key).value_or(defaultValue);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t defaultValue) const {
  const std::optional<std::string> value = FindValue(section, key);
  if (!value) return defaultValue;
  return ParseInteger<int32_t>(*value).value_or(defaultValue);
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
  const std::optional<TSectionRange> range = FindSection(text_, ContentStart(), section);
  if (!range) {
    InsertLine(text_.size(), "[" + section + "]");
    InsertLine(text_.size(), key + "=" + encoded);
    return;
  }
  if (const std::optional<TLine> line = FindKeyLine(text_, *range, key)) {
    // The key keeps the spelling the file has.
    const std::string fileKey(KeyOf(TextOf(text_, *line)));
    text_.replace(line->Begin, line->End - line->Begin, fileKey + "=" + encoded);
    return;
  }
  // After the section's last non-blank line, so blank lines keep separating the sections.
  size_t position = range->Body;
  ForEachLine(text_, range->Body, range->End, [&](const TLine& line) {
    if (!Trim(TextOf(text_, line)).empty()) position = line.Next;
    return true;
  });
  InsertLine(position, key + "=" + encoded);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section) {
  // Every copy goes, so an older duplicate cannot come back into view.
  const size_t start = ContentStart();
  std::string kept = text_.substr(0, start);
  kept.reserve(text_.size());
  bool erasing = false;
  ForEachLine(text_, start, text_.size(), [&](const TLine& line) {
    const std::string_view header = SectionNameOf(TextOf(text_, line));
    if (!header.empty()) erasing = SameTextIgnoringAsciiCase(header, section);
    if (!erasing) kept.append(text_, line.Begin, line.Next - line.Begin);
    return true;
  });
  text_ = std::move(kept);
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FindSection(text_, ContentStart(), section).has_value();
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FindValue(section, key).has_value();
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  if (const std::optional<TSectionRange> range = FindSection(text_, ContentStart(), section)) {
    ForEachLine(text_, range->Body, range->End, [&](const TLine& line) {
      const std::string_view key = KeyOf(TextOf(text_, line));
      if (!key.empty()) keys.emplace_back(key);
      return true;
    });
  }
  return keys;
}

void TIniFile::UpdateFile() const {
  // A file that could not be read is not replaced: its content would be lost.
  if (!readError_.empty()) {
    throw EIniFileException(fileName_,
                            "it could not be read (" + readError_ + ") and is kept as it is");
  }
  if (const std::error_code error = ReplaceFile(fileName_, text_)) {
    throw EIniFileException(fileName_, error.message());
  }
}

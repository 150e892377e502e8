#include "platform/inifile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/unprivileged.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Runs `body` in a child process and returns its wait status. The child never returns into the
// test framework.
int StatusOfChild(const std::function<void()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    // The child must never return into the test runner, not even by an exception.
    try {
      body();
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

// Why UpdateFile refused; a save that reports success fails the test.
std::string ReasonSaveFails(const TIniFile& ini) {
  try {
    ini.UpdateFile();
  } catch (const EIniFileException& error) {
    return error.Reason();
  }
  ADD_FAILURE() << "the save of " << ini.FileName() << " reported success";
  return {};
}

std::string SettingsWithName(const std::string& name) {
  return "[Settings]\nPort=1\nYourName=" + name + "\n";
}

// Bytes of every value, with the characters that give an INI file its shape made common.
std::string RandomBytes(uint32_t seed, size_t size) {
  static constexpr char kShape[] = "[]=\r\n ;\"";
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    const uint32_t pick = random() % 512;
    byte = static_cast<char>(pick < 256 ? pick : kShape[pick % (sizeof kShape - 1)]);
  }
  return bytes;
}

// The processor time that `work` takes on this thread: unlike wall time, other load on the
// machine hardly changes it.
std::chrono::nanoseconds ThreadTime(const std::function<void()>& work) {
  const auto now = [] {
    timespec time{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
  };
  const auto start = now();
  work();
  return now() - start;
}

long StatusField(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1)) * 1024;
  }
  return -1;
}

// How far the process's peak resident memory rises during `work`; nothing where the peak cannot
// be reset.
std::optional<long> PeakMemoryGrowth(const std::function<void()>& work) {
  if (!(std::ofstream("/proc/self/clear_refs") << "5").flush()) return std::nullopt;
  const long before = StatusField("VmHWM");
  work();
  const long after = StatusField("VmHWM");
  if (before < 0 || after < 0) return std::nullopt;
  return after - before;
}

class IniFileTest : public testing::Test {
 protected:
  IniFileTest() {
    // Open to the unprivileged user that some tests become.
    fs::permissions(Folder(),
                    fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    fs::perm_options::add);
  }
  ~IniFileTest() override {
    fs::permissions(Folder(), fs::perms::owner_all, fs::perm_options::add);
  }

  fs::path Path(const std::string& name) const {
    return fs::path(folder_.path().toStdString()) / name;
  }
  std::string Folder() const { return folder_.path().toStdString(); }
  size_t FilesInFolder() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder_.path().toStdString()),
                                             fs::directory_iterator()));
  }

  QTemporaryDir folder_;
};

TEST_F(IniFileTest, ValuesRoundTripWhateverTheirCase) {
  const std::string path = Path("tessel.INI");
  {
    TIniFile ini(path);
    ini.WriteString("Settings", "YourName", "  Quiet Orchard  ");
    ini.WriteString("Settings", "ServerName", "\"quoted\"");
    ini.WriteString("Settings", "MidiIn", "Port\r\n[Injected]\nKey=1");
    ini.WriteString("Settings", "MidiOut", "");
    ini.WriteInteger("Settings", "Left", -8);
    ini.WriteInteger("Settings", "BufferTime", INT32_MAX);
    ini.WriteInteger("Settings", "Top", INT32_MIN);
    ini.WriteBool("Settings", "AutoStart", true);
    ini.WriteBool("Settings", "DisableNagle", false);
    ini.WriteInteger("SETTINGS", "left", 33);  // the same key, not a second one
    ini.UpdateFile();
  }
  const TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("settings", "YOURNAME", "x"), "  Quiet Orchard  ");
  EXPECT_EQ(ini.ReadString("Settings", "ServerName", "x"), "\"quoted\"");
  // A line break in a value cannot start a section or a key of its own.
  EXPECT_EQ(ini.ReadString("Settings", "MidiIn", "x"), "Port  [Injected] Key=1");
  EXPECT_FALSE(ini.SectionExists("Injected"));
  EXPECT_EQ(ini.ReadString("Settings", "MidiOut", "x"), "");
  EXPECT_EQ(ini.ReadInteger("Settings", "Left", 0), 33);
  EXPECT_EQ(ini.ReadInteger("Settings", "BufferTime", 0), INT32_MAX);
  EXPECT_EQ(ini.ReadInteger("Settings", "Top", 0), INT32_MIN);
  EXPECT_TRUE(ini.ReadBool("Settings", "AutoStart", false));
  EXPECT_FALSE(ini.ReadBool("Settings", "DisableNagle", true));
  EXPECT_EQ(ini.ReadSection("Settings"),
            (std::vector<std::string>{"YourName", "ServerName", "MidiIn", "MidiOut", "Left",
                                      "BufferTime", "Top", "AutoStart", "DisableNagle"}));
  EXPECT_TRUE(ini.ValueExists("SETTINGS", "midiout"));
  EXPECT_FALSE(ini.ValueExists("Settings", "IsServer"));
  EXPECT_EQ(ini.ReadString("Settings", "IsServer", "absent"), "absent");
  EXPECT_FALSE(ini.SectionExists("Other"));

  TIniFile writable(path);
  EXPECT_THROW(writable.WriteString("", "Key", "v"), std::invalid_argument);
  EXPECT_THROW(writable.WriteString("Settings", "A=B", "v"), std::invalid_argument);
  EXPECT_THROW(writable.WriteString("Set]tings", "Key", "v"), std::invalid_argument);
  EXPECT_THROW(writable.WriteString("Settings", ";Key", "v"), std::invalid_argument);
}

TEST_F(IniFileTest, NumbersThatDoNotReadAsIntegersGiveTheDefault) {
  const std::string path = Path("numbers.ini");
  WriteFile(path,
            "[N]\nplain= 42 \nplus=+7\nnegative=-0\nquoted=\"12\"\ntrailing=12abc\nempty=\n"
            "over=2147483648\nunder=-2147483649\nhex=0x10\nexponent=1e3\ndouble=--1\n"
            "mixed=+-1\nblank=   \nflag=2\noff=0\nword=yes\n");
  const TIniFile ini(path);
  EXPECT_EQ(ini.ReadInteger("N", "plain", 5), 42);
  EXPECT_EQ(ini.ReadInteger("N", "plus", 5), 7);
  EXPECT_EQ(ini.ReadInteger("N", "negative", 5), 0);
  EXPECT_EQ(ini.ReadInteger("N", "quoted", 5), 12);
  for (const char* key :
       {"trailing", "empty", "over", "under", "hex", "exponent", "double", "mixed", "blank"}) {
    EXPECT_EQ(ini.ReadInteger("N", key, 5), 5) << key;
  }
  EXPECT_TRUE(ini.ReadBool("N", "flag", false));
  EXPECT_FALSE(ini.ReadBool("N", "off", true));
  EXPECT_TRUE(ini.ReadBool("N", "word", true));
  EXPECT_FALSE(ini.ReadBool("N", "word", false));
}

TEST_F(IniFileTest, EverythingElseInTheFileIsKept) {
  const std::string path = Path("tessel.INI");
  WriteFile(path,
            "; written by hand\r\n"
            "[Other]\r\n"
            "Colour = blue ; not a comment\r\n"
            "\r\n"
            "[Settings]\r\n"
            "; a note\r\n"
            "Port=1024\r\n"
            "Unknown=kept?\r\n"
            "Port=9999\r\n"
            "\r\n"
            "[ settings ]\r\n"
            "Port=7777\r\n"
            "Stale=1\r\n");
  TIniFile ini(path);
  // The first section and the first key of a name count.
  EXPECT_EQ(ini.ReadInteger("Settings", "Port", 0), 1024);
  EXPECT_FALSE(ini.ValueExists("Settings", "Stale"));
  EXPECT_EQ(ini.ReadString("other", "colour", ""), "blue ; not a comment");

  // Erasing removes every copy, so none of the old keys comes back.
  ini.EraseSection("SETTINGS");
  EXPECT_FALSE(ini.SectionExists("Settings"));
  ini.WriteInteger("Settings", "Port", 2048);
  ini.WriteString("Other", "Shape", "round");
  ini.UpdateFile();
  EXPECT_EQ(ReadFile(path),
            "; written by hand\r\n"
            "[Other]\r\n"
            "Colour = blue ; not a comment\r\n"
            "Shape=round\r\n"
            "\r\n"
            "[Settings]\r\n"
            "Port=2048\r\n");
}

TEST_F(IniFileTest, GarbageReadsSafelyAndIsWrittenBackUnchanged) {
  const std::string path = Path("garbage.ini");
  std::string garbage("\xEF\xBB\xBF\x01\x02\xFF\xFE\0\0[\n]\r\r=\n=novalue\n[]\n", 28);
  garbage += std::string(1 << 20, 'x') + "=" + std::string(1000, 'y') + "\n";
  garbage += "[Settings\n\xC3\x28 broken utf-8\n";
  const std::string content = garbage + std::string("[Settings]\nPort=5\nName=a\0b\n", 27);
  WriteFile(path, content);

  TIniFile ini(path);
  EXPECT_EQ(ini.ReadInteger("Settings", "Port", 0), 5);
  EXPECT_EQ(ini.ReadString("Settings", "Name", ""), std::string("a\0b", 3));
  EXPECT_EQ(ini.ReadString(std::string(1, '\0'), "x", "default"), "default");
  EXPECT_EQ(ini.ReadString("Settings", std::string(1 << 20, 'x'), "d"), "d");
  ini.WriteInteger("Settings", "Port", 6);
  ini.UpdateFile();
  const std::string saved = ReadFile(path);
  EXPECT_EQ(saved.substr(0, garbage.size()), garbage);
  EXPECT_EQ(TIniFile(path).ReadInteger("Settings", "Port", 0), 6);
}

TEST_F(IniFileTest, SaveReplacesTheFileKeepingItsModeAndLink) {
  const fs::path target = Path("real.ini");
  const fs::path link = Path("link.ini");
  WriteFile(target, "[Settings]\nPort=1\n");
  ::chmod(target.c_str(), 0600);
  fs::create_symlink(target, link);
  TIniFile ini(link.string());
  ini.WriteInteger("Settings", "Port", 2);
  ini.UpdateFile();
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(target), "[Settings]\nPort=2\n");
  struct stat status {};
  ::stat(target.c_str(), &status);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_EQ(FilesInFolder(), 2u);
}

TEST_F(IniFileTest, FailedSaveReportsItAndLeavesTheOldFileIntact) {
  const fs::path path = Path("tessel.INI");
  const std::string old = "[Settings]\nPort=1024\n";
  WriteFile(path, old);
  TIniFile ini(path.string());
  ini.WriteString("Settings", "YourName", std::string(100'000, 'n'));

  // The disk fills up half-way through the new file.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = saved;
  tight.rlim_cur = 1000;
  ::setrlimit(RLIMIT_FSIZE, &tight);
  std::string message;
  std::string reason;
  try {
    ini.UpdateFile();
  } catch (const EIniFileException& error) {
    message = error.what();
    reason = error.Reason();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(message, "Unable to write to " + path.string());
  EXPECT_EQ(reason, std::make_error_code(std::errc::file_too_large).message());
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(FilesInFolder(), 1u);  // no temporary file left behind

  // Missing folders are made, for the user alone.
  TIniFile fresh(Path("config/tessel/tessel.INI").string());
  fresh.WriteInteger("Settings", "Port", 1);
  fresh.UpdateFile();
  EXPECT_EQ(ReadFile(Path("config/tessel/tessel.INI")), "[Settings]\nPort=1\n");
  EXPECT_EQ(fs::status(Path("config")).permissions(), fs::perms::owner_all);
  fs::remove_all(Path("config"));

  // A read-only folder: the file can be read but not replaced.
  fs::permissions(Folder(), fs::perms::owner_write, fs::perm_options::remove);
  const TUnprivileged user;
  if (!TUnprivileged::PermissionsApply()) GTEST_SKIP() << "cannot give up the super-user's rights";
  TIniFile readable(path.string());
  EXPECT_EQ(readable.ReadInteger("Settings", "Port", 0), 1024);
  readable.WriteInteger("Settings", "Port", 1);
  EXPECT_EQ(ReasonSaveFails(readable),
            std::make_error_code(std::errc::permission_denied).message());
  EXPECT_EQ(ReadFile(path), old);
  TIniFile unmade(Path("config/tessel.INI").string());
  unmade.WriteInteger("Settings", "Port", 1);
  EXPECT_EQ(ReasonSaveFails(unmade), std::make_error_code(std::errc::permission_denied).message());
  EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(IniFileTest, UnreadableFileReadsAsEmptyAndIsNeverReplaced) {
  const std::string settings = "[Settings]\nPort=5\n";
  struct TCase {
    std::string Name;
    std::function<void(const fs::path&)> Make;
    std::string Reason;
  };
  const std::vector<TCase> cases = {
      {"folder",
       [](const fs::path& path) {
         fs::create_directory(path);
         WriteFile(path / "inside", "keep");
       },
       "not a regular file"},
      // Opening a FIFO without a writer must not hang.
      {"fifo", [](const fs::path& path) { ::mkfifo(path.c_str(), 0644); }, "not a regular file"},
      {"device", [](const fs::path& path) { fs::create_symlink("/dev/zero", path); },
       "not a regular file"},
      {"too large",
       [&](const fs::path& path) {
         WriteFile(path, settings);
         fs::resize_file(path, TIniFile::kMaxFileSize + 1);
       },
       "larger than 16 MiB"},
      {"no permission",
       [&](const fs::path& path) {
         WriteFile(path, settings);
         fs::permissions(path, fs::perms::none);
       },
       std::make_error_code(std::errc::permission_denied).message()},
  };
  for (const TCase& unreadable : cases) {
    SCOPED_TRACE(unreadable.Name);
    const fs::path path = Path(unreadable.Name + ".ini");
    unreadable.Make(path);
    const size_t files = FilesInFolder();
    {
      const TUnprivileged user;
      if (!TUnprivileged::PermissionsApply() && unreadable.Name == "no permission") {
        GTEST_SKIP() << "cannot give up the super-user's rights";
      }
      TIniFile ini(path.string());
      EXPECT_FALSE(ini.SectionExists("Settings"));
      EXPECT_EQ(ini.ReadInteger("Settings", "Port", 17), 17);
      ini.WriteInteger("Settings", "Port", 1);
      const std::string reason = ReasonSaveFails(ini);
      EXPECT_NE(reason.find(unreadable.Reason), std::string::npos) << reason;
    }
    EXPECT_EQ(FilesInFolder(), files);
  }
  EXPECT_EQ(ReadFile(Path("folder.ini") / "inside"), "keep");
  EXPECT_EQ(fs::file_size(Path("too large.ini")), TIniFile::kMaxFileSize + 1);
  fs::permissions(Path("no permission.ini"), fs::perms::owner_read);
  EXPECT_EQ(ReadFile(Path("no permission.ini")), settings);

  // The largest file that is still read.
  const fs::path largest = Path("largest.ini");
  WriteFile(largest, settings);
  fs::resize_file(largest, TIniFile::kMaxFileSize);
  EXPECT_EQ(TIniFile(largest.string()).ReadInteger("Settings", "Port", 17), 5);
}

TEST_F(IniFileTest, RandomBytesReadSafelyAndSurviveASave) {
  const fs::path path = Path("tessel.INI");
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    const std::string garbage = RandomBytes(seed, 64 * 1024);
    WriteFile(path, garbage);
    EXPECT_EQ(TIniFile(path.string()).ReadInteger("Settings", "Port", 17), 17);

    WriteFile(path, garbage + "\n[Settings]\nPort=5\nYourName=Ada\n");
    TIniFile ini(path.string());
    EXPECT_EQ(ini.ReadInteger("Settings", "Port", 17), 5);
    EXPECT_EQ(ini.ReadString("Settings", "YourName", ""), "Ada");
    ini.EraseSection("Settings");
    ini.WriteInteger("Settings", "Port", 6);
    ini.UpdateFile();
    const std::string saved = ReadFile(path);
    EXPECT_EQ(saved.substr(0, garbage.size()), garbage);
    const TIniFile reread(path.string());
    EXPECT_EQ(reread.ReadInteger("Settings", "Port", 17), 6);
    EXPECT_FALSE(reread.ValueExists("Settings", "YourName"));
  }
}

TEST_F(IniFileTest, SaveKilledAtTheWriteLeavesTheOldFileAndTheNextSaveClearsUp) {
  const fs::path path = Path("tessel.INI");
  const std::string old = SettingsWithName("old");
  WriteFile(path, old);
  const std::string name(200'000, 'n');
  // The kernel ends the save inside write() when the file reaches the size limit. The
  // signal's default action kills at once: a handler could run late, after the write failed.
  const int status = StatusOfChild([&] {
    ::signal(SIGXFSZ, SIG_DFL);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    TIniFile ini(path.string());
    ini.WriteString("Settings", "YourName", name);
    ini.UpdateFile();
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(FilesInFolder(), 2u);  // the killed save's temporary file

  TIniFile ini(path.string());
  ini.WriteString("Settings", "YourName", name);
  ini.UpdateFile();
  EXPECT_EQ(ReadFile(path), SettingsWithName(name));
  EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(IniFileTest, SavesKilledAtRandomMomentsLeaveAWholeFile) {
  const fs::path path = Path("tessel.INI");
  const std::string names[] = {std::string(256 * 1024, 'a'), std::string(256 * 1024, 'b')};
  WriteFile(path, SettingsWithName(names[0]));
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const pid_t child = ::fork();
    if (child == 0) {
      for (size_t save = 0;; ++save) {
        TIniFile ini(path.string());
        ini.WriteString("Settings", "YourName", names[save % 2]);
        ini.UpdateFile();
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20'000));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string saved = ReadFile(path);
    EXPECT_TRUE(saved == SettingsWithName(names[0]) || saved == SettingsWithName(names[1]))
        << saved.size() << " bytes";
    EXPECT_LE(FilesInFolder(), 2u);  // at most the temporary file of the save just killed
  }
  TIniFile(path.string()).UpdateFile();
  EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(IniFileTest, LongLinesAndManyLinesCostLinearTimeAndMemory) {
  const fs::path path = Path("tessel.INI");
  // A long header-like line, a long key line and a long comment before the section.
  const auto fileWithLinesOf = [&](size_t length) {
    WriteFile(path, "[" + std::string(length, 's') + "\n" + std::string(length / 2, 'k') + "=" +
                        std::string(length / 2, 'v') + "\n;" + std::string(length, ' ') +
                        "\n[Settings]\nPort=5\n");
  };
  const auto fastestLoad = [&] {
    std::chrono::nanoseconds fastest = std::chrono::hours(1);
    for (int run = 0; run < 3; ++run) {
      fastest = std::min(fastest, ThreadTime([&] {
                           const TIniFile ini(path.string());
                           for (int key = 0; key < 15; ++key)
                             EXPECT_EQ(ini.ReadInteger("Settings", "Port", 0), 5);
                         }));
    }
    return fastest;
  };
  constexpr size_t kLine = 512 * 1024;
  fileWithLinesOf(kLine);
  const auto shortTime = fastestLoad();
  fileWithLinesOf(8 * kLine);
  const auto longTime = fastestLoad();
  // Eight times the text: linear work takes about eight times as long, quadratic 64 times.
  EXPECT_LT(longTime.count(), 24 * std::max<int64_t>(shortTime.count(), 1));

#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's shadow of every byte outweighs the reader's own memory";
#endif
  // Lines of one byte each: the memory the file takes stays near its size.
  constexpr size_t kBlankLines = 8 << 20;
  WriteFile(path, std::string(kBlankLines, '\n') + "[Settings]\nPort=5\n");
  const std::optional<long> growth = PeakMemoryGrowth([&] {
    const TIniFile ini(path.string());
    EXPECT_EQ(ini.ReadInteger("Settings", "Port", 0), 5);
  });
  if (!growth) GTEST_SKIP() << "the peak memory of the process cannot be reset here";
  EXPECT_LT(*growth, static_cast<long>(3 * kBlankLines));
}

}  // namespace

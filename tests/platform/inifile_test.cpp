#include "platform/inifile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

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

class IniFileTest : public testing::Test {
 protected:
  fs::path Path(const std::string& name) const {
    return fs::path(folder_.path().toStdString()) / name;
  }
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
  try {
    ini.UpdateFile();
  } catch (const EIniFileException& error) {
    message = error.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(message, "Unable to write to " + path.string());
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(FilesInFolder(), 1u);  // no temporary file left behind

  if (::geteuid() != 0) {  // permissions do not hold the super-user back
    ::chmod(folder_.path().toLocal8Bit().constData(), 0555);
    EXPECT_THROW(ini.UpdateFile(), EIniFileException);
    ::chmod(folder_.path().toLocal8Bit().constData(), 0755);
    EXPECT_EQ(ReadFile(path), old);
  }

  TIniFile nowhere(Path("missing/tessel.INI").string());
  nowhere.WriteInteger("Settings", "Port", 1);
  EXPECT_THROW(nowhere.UpdateFile(), EIniFileException);
}

TEST_F(IniFileTest, UnreadableFileReadsAsEmptyAndIsNeverReplaced) {
  const fs::path path = Path("tessel.INI");
  fs::create_directory(path);
  WriteFile(path / "inside", "keep");
  TIniFile ini(path.string());
  EXPECT_FALSE(ini.SectionExists("Settings"));
  EXPECT_EQ(ini.ReadInteger("Settings", "Port", 17), 17);
  ini.WriteInteger("Settings", "Port", 1);
  EXPECT_THROW(ini.UpdateFile(), EIniFileException);
  EXPECT_EQ(ReadFile(path / "inside"), "keep");
  EXPECT_EQ(FilesInFolder(), 1u);
}

}  // namespace

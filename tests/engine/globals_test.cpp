#include "engine/globals.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "tests/support/unprivileged.h"

namespace fs = std::filesystem;

namespace {

// A folder that nobody may write while this lives: an installed program's folder.
class TReadOnlyFolder {
 public:
  explicit TReadOnlyFolder(fs::path folder) : folder_(std::move(folder)) {
    fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
  }
  // Writable again, so the temporary folder can be removed.
  ~TReadOnlyFolder() { fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add); }
  TReadOnlyFolder(const TReadOnlyFolder&) = delete;
  TReadOnlyFolder& operator=(const TReadOnlyFolder&) = delete;

 private:
  fs::path folder_;
};

TEST(Globals, IniFileSitsBesideTheExecutableWhereItCanBeWritten) {
  const QTemporaryDir temporary;
  const fs::path root = temporary.path().toStdString();
  // Dots in the folder are not the file name's.
  const fs::path folder = root / "a.b";
  fs::create_directory(folder);
  EXPECT_EQ(IniFileNameFor(folder / "my.app.exe"), folder / "my.INI");
  EXPECT_EQ(IniFileNameFor(folder / "tessel"), folder / "tessel.INI");
  const fs::path self = fs::read_symlink("/proc/self/exe");
  // The test executable's name has no dot, and its build folder is writable.
  EXPECT_EQ(IniFileName(), self.string() + ".INI");
  EXPECT_EQ(&IniFileName(), &IniFileName());

  // An installed copy: a folder the user cannot write, with one settings file already there.
  std::ofstream(folder / "kept.INI") << "[Settings]\n";
  fs::permissions(root, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  const TReadOnlyFolder installed(folder);
  const TUnprivileged user;
  if (!TUnprivileged::PermissionsApply()) GTEST_SKIP() << "cannot give up the super-user's rights";
  EXPECT_EQ(IniFileNameFor(folder / "kept"), folder / "kept.INI");
  // Nothing else in this program reads them.
  ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  ::setenv("HOME", (root / "home").c_str(), 1);
  EXPECT_EQ(IniFileNameFor(folder / "tessel"), root / "config/tessel/tessel.INI");
  EXPECT_FALSE(fs::exists(root / "config"));  // made when the file is saved, not before
  // Relative or empty, the variable is ignored.
  for (const char* ignored : {"config", ""}) {
    ::setenv("XDG_CONFIG_HOME", ignored, 1);
    EXPECT_EQ(IniFileNameFor(folder / "tessel"), root / "home/.config/tessel/tessel.INI");
  }
}

TEST(Globals, FormatsTexts) {
  EXPECT_EQ(BooleanText(false), "False");
  EXPECT_EQ(BooleanText(true), "True");
  EXPECT_EQ(PadRight("ab", 4), "ab  ");
  EXPECT_EQ(PadRight("abcdef", 4), "abcdef");
  EXPECT_EQ(FixedWidth("Midi", 7), "Midi   ");
  EXPECT_EQ(FixedWidth("Unknown12", 7), "Unknown");
  EXPECT_EQ(FixedWidth("", 0), "");
}

TEST(Globals, ReadsByteTexts) {
  for (const char* text : {"0", "255", "007", " 12", "+3", "-0"})
    EXPECT_TRUE(IsByteText(text)) << text;
  for (const char* text : {"", "256", "-1", "1a", "12 ", " ", "99999999999", "0x1"})
    EXPECT_FALSE(IsByteText(text)) << text;
}

TEST(Globals, RecognisesDottedAddresses) {
  for (const char* text : {"192.168.0.1", "0.0.0.0", "255.255.255.255", "010.000.001.255"})
    EXPECT_TRUE(IsIpAddress(text)) << text;
  for (const char* text :
       {"", "256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.4.", ".1.2.3", "1234.1.1.1",
        "1.2.3.0256", " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.2.3.256", "localhost", "example.com"})
    EXPECT_FALSE(IsIpAddress(text)) << text;
}

}  // namespace

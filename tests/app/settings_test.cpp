#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTcpServer>
#include <QTcpSocket>
#include <filesystem>
#include <random>

#include "admission/password.h"
#include "app/frmclientserver.h"
#include "platform/inifile.h"
#include "tests/support/linktestsupport.h"
#include "tests/support/unprivileged.h"

using namespace std::chrono_literals;

namespace {

void WriteFile(const std::string& path, const std::string& content) {
  QFile file(QString::fromStdString(path));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(content.data(), static_cast<qint64>(content.size()));
}

std::string ReadFile(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll().toStdString();
}

uint16_t FreePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

class SettingsTest : public ::testing::Test {
 protected:
  // Tests take rights away from the folder; it must be removable afterwards.
  ~SettingsTest() override {
    std::filesystem::permissions(settings.Folder(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
  }

  static void SetUpTestSuite() { UseLoopbackDevices(); }

  static bool GroupChanged(QPushButton* apply, QPushButton* undo) {
    EXPECT_EQ(apply->isEnabled(), undo->isEnabled());
    return apply->isEnabled();
  }
  bool ChatChanged() const { return GroupChanged(form->BitBtnApplyChat, form->BitBtnCancelChat); }
  bool IpChanged() const { return GroupChanged(form->BitBtnApplyIp, form->BitBtnCancelIp); }
  bool MidiChanged() const { return GroupChanged(form->BitBtnApplyMidi, form->BitBtnCancelMidi); }

  // Shows the window, which loads the settings and leaves every group unchanged.
  void Start() {
    form = std::make_unique<TFormServerMain>(settings.Path());
    form->show();
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->isVisible(); }));
  }

  TTempSettings settings;
  TMessageRecorder messages;
  std::unique_ptr<TFormServerMain> form;
};

TEST_F(SettingsTest, SavedSettingsComeBackAndTheSectionHoldsExactlyItsKeysWithoutThePassword) {
  Start();
  form->SetMidiIn(LoopbackName(2));
  form->SetMidiOut(LoopbackName(3));
  form->SetBufferTime(250);
  form->SetBufferResolution(7);
  form->SetPort(4321);
  form->SetIsServer(true);
  form->SetServerName("tessel.example");
  form->SetMonitoring(true);
  form->SetYourName("Ada");
  form->SetDisableNagle(false);
  form->SetAutoBufferTime(true);
  // Who may connect, through the page's own controls, which first show the values above.
  form->UndoIpSettings();
  form->ComboBoxWhoMayConnect->setCurrentIndex(2);
  form->CheckBoxPassword->setChecked(true);
  form->EditPassword->setText("stage door");
  form->ApplyIpSettings();
  form->EditAllowedPeer->setText(" drums.local ");
  form->SpeedButtonAllowPeer->click();
  form->move(40, 60);
  form->resize(400, 500);
  const QPoint pos = form->pos();
  const QSize size = form->size();
  form->SaveSettings();

  const TIniFile ini(settings.Path());
  EXPECT_EQ(ini.ReadSection("Settings"),
            (std::vector<std::string>{
                "Left",          "Top",          "Width",        "Height",
                "MidiIn",        "MidiOut",      "BufferTime",   "BufferResolution",
                "Port",          "IsSever",      "ServerName",   "Monitoring",
                "YourName",      "AutoStart",    "DisableNagle", "AutoBufferTime",
                "WhoMayConnect", "AllowedPeers", "PasswordKey",  "ServerPasswordKey",
                "RtpMidi"}));
  EXPECT_EQ(ini.ReadString("Settings", "WhoMayConnect", ""), "Listed");
  EXPECT_EQ(ini.ReadString("Settings", "AllowedPeers", ""), "drums.local");
  EXPECT_TRUE(ParseKeySetting(ini.ReadString("Settings", "PasswordKey", "")));
  EXPECT_EQ(ReadFile(settings.Path()).find("stage door"), std::string::npos);
  form.reset();

  Start();
  EXPECT_EQ(form->MidiInName(), LoopbackName(2));
  EXPECT_EQ(form->MidiOutName(), LoopbackName(3));
  EXPECT_EQ(form->BufferTime(), 250u);
  EXPECT_EQ(form->BufferResolution(), 7u);
  EXPECT_EQ(form->Port(), 4321);
  EXPECT_TRUE(form->IsServer());
  EXPECT_EQ(form->ServerName(), "tessel.example");
  EXPECT_TRUE(form->Monitoring());
  EXPECT_EQ(form->YourName(), "Ada");
  EXPECT_FALSE(form->AutoStart());
  EXPECT_FALSE(form->DisableNagle());
  EXPECT_TRUE(form->AutoBufferTime());
  EXPECT_TRUE(form->EditBufferTime->isReadOnly()) << "it shows the value in force";
  EXPECT_EQ(form->pos(), pos);
  EXPECT_EQ(form->size(), size);
  EXPECT_EQ(form->EditIpPort->text(), "4321");
  EXPECT_EQ(form->ComboBoxWhoMayConnect->currentText(), "Only listed");
  EXPECT_TRUE(form->CheckBoxPassword->isChecked());
  EXPECT_TRUE(form->EditPassword->text().isEmpty()) << "the password is never shown";
  ASSERT_EQ(form->ListBoxAllowedPeers->count(), 1);
  EXPECT_EQ(form->ListBoxAllowedPeers->item(0)->text(), "drums.local");
  EXPECT_TRUE(messages.Boxes.empty());
}

TEST_F(SettingsTest, UnusableValuesInTheFileFallBackToTheStartValues) {
  const QSize display = QGuiApplication::primaryScreen()->size();
  const std::string file =
      "[Settings]\nIsServer=1\nBufferTime=-5\nBufferResolution=abc\n"
      "Port=12x\nLeft=-8\nTop=-9\nWidth=" +
      std::to_string(display.width() + 17) + "\n";
  WriteFile(settings.Path(), file);
  Start();
  EXPECT_FALSE(form->IsServer());  // the role key is spelled "IsSever"
  EXPECT_FALSE(form->AutoBufferTime()) << "a file without the key keeps its fixed buffer time";
  EXPECT_EQ(form->BufferTime(), 1000u);
  EXPECT_EQ(form->BufferResolution(), 5u);
  EXPECT_EQ(form->Port(), 0);
  EXPECT_EQ(form->EditYourName->text(), "");
  EXPECT_EQ(form->x(), -8);
  EXPECT_EQ(form->y(), 0);
  // Too wide becomes 20, which the window then raises to what its contents need.
  EXPECT_EQ(form->width(), std::max(20, form->minimumSizeHint().width()));
}

TEST_F(SettingsTest, DamagedFilesGiveWhatCanBeReadAndKeepTheRestOnSave) {
  std::mt19937 random(11);
  std::string garbage(64 * 1024, '\0');
  for (char& byte : garbage) byte = static_cast<char>(random());
  const std::string longName(1 << 20, 'n');
  struct TCase {
    std::string Name;
    std::string File;
    int32_t Port;
    std::string YourName;
    std::string Kept;  // what the save must leave as it was
  };
  const std::vector<TCase> cases = {
      {"garbage only", garbage, 0, "", garbage},
      {"garbage before the section", garbage + "\n[Settings]\nPort=4321\nYourName=Ada\n", 4321,
       "Ada", garbage},
      {"lines of 1 MB",
       ";" + longName + "\n[Settings]\nYourName=" + longName + "\nServerName=" + longName +
           "\nPort=4321\n",
       4321, longName, ";" + longName + "\n"},
      {"duplicates",
       "[Settings]\nPort=4321\nport=1\nYourName=Ada\n[Other]\nKeep=1\n[SETTINGS]\nPort=2\n"
       "Monitoring=1\n",
       4321, "Ada", "[Other]\nKeep=1\n"},
  };
  for (const TCase& damaged : cases) {
    SCOPED_TRACE(damaged.Name);
    WriteFile(settings.Path(), damaged.File);
    Start();
    EXPECT_EQ(form->Port(), damaged.Port);
    EXPECT_EQ(form->YourName(), damaged.YourName);
    EXPECT_FALSE(form->Monitoring());
    EXPECT_FALSE(form->IsServer());
    EXPECT_EQ(form->BufferTime(), 1000u);
    EXPECT_TRUE(form->DisableNagle());
    form->SaveSettings();
    form.reset();

    const std::string saved = ReadFile(settings.Path());
    EXPECT_NE(saved.find(damaged.Kept), std::string::npos);
    // One section with its twenty keys: the older copies went with the erase.
    const TIniFile ini(settings.Path());
    EXPECT_EQ(ini.ReadSection("Settings").size(), 21u);
    EXPECT_EQ(ini.ReadString("Settings", "YourName", "?"), damaged.YourName);
    EXPECT_EQ(saved.find("Port=2\n"), std::string::npos);
  }
  EXPECT_TRUE(messages.Boxes.empty());
}

TEST_F(SettingsTest, UnreadableFileGivesTheStartValuesAndIsKeptOnClose) {
  const std::string path = settings.Path();
  const std::string file = "[Settings]\nPort=4321\nYourName=Ada\n";
  std::filesystem::permissions(settings.Folder(), std::filesystem::perms::all);  // for "nobody"
  WriteFile(path, file);
  std::filesystem::permissions(path, std::filesystem::perms::none);
  {
    const TUnprivileged user;
    if (!TUnprivileged::PermissionsApply())
      GTEST_SKIP() << "cannot give up the super-user's rights";
    Start();
    EXPECT_EQ(form->Port(), 0);
    EXPECT_EQ(form->YourName(), "");
    form->SaveSettings();
  }
  ASSERT_EQ(messages.Boxes.size(), 1u);
  EXPECT_TRUE(messages.Boxes[0].Text.starts_with("Unable to write to " + path + ": "));
  EXPECT_NE(
      messages.Boxes[0].Text.find(std::make_error_code(std::errc::permission_denied).message()),
      std::string::npos)
      << messages.Boxes[0].Text;
  std::filesystem::permissions(path, std::filesystem::perms::owner_read);
  EXPECT_EQ(ReadFile(path), file);
}

TEST_F(SettingsTest, UnwritableFolderIsReportedAndTheOldFileKept) {
  Start();
  // A folder path that runs through a plain file cannot be written, even by root.
  const std::string blocker = settings.Folder() + "/blocker";
  WriteFile(blocker, "");
  const std::string path = blocker + "/tessel.INI";
  TFormServerMain unwritable(path);
  unwritable.SaveSettings();
  ASSERT_EQ(messages.Boxes.size(), 1u);
  EXPECT_TRUE(messages.Boxes[0].Text.starts_with("Unable to write to " + path + ": "))
      << messages.Boxes[0].Text;
  form.reset();
  messages.Boxes.clear();

  // A read-only folder: the file is read, but the window cannot write it on close.
  const std::string file = "[Settings]\nPort=4321\n";
  WriteFile(settings.Path(), file);
  namespace fs = std::filesystem;
  fs::permissions(settings.Folder(), fs::perms::owner_write, fs::perm_options::remove);
  fs::permissions(settings.Folder(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  const TUnprivileged user;
  if (!TUnprivileged::PermissionsApply()) GTEST_SKIP() << "cannot give up the super-user's rights";
  Start();
  EXPECT_EQ(form->Port(), 4321);
  form->SaveSettings();
  ASSERT_EQ(messages.Boxes.size(), 1u);
  EXPECT_EQ(messages.Boxes[0].Text,
            "Unable to write to " + settings.Path() + ": " +
                std::make_error_code(std::errc::permission_denied).message());
  EXPECT_EQ(ReadFile(settings.Path()), file);
  // The blocker and the settings file: no temporary file was left.
  EXPECT_EQ(std::distance(fs::directory_iterator(settings.Folder()), fs::directory_iterator()), 2);
}

TEST_F(SettingsTest, ChatGroupAppliesAndUndoes) {
  Start();
  EXPECT_FALSE(ChatChanged());
  form->EditYourName->setText("Bob");
  EXPECT_TRUE(ChatChanged());
  form->BitBtnCancelChat->click();
  EXPECT_EQ(form->EditYourName->text(), "");
  EXPECT_FALSE(ChatChanged());

  form->EditYourName->setText("Bob");
  form->BitBtnApplyChat->click();
  EXPECT_EQ(form->YourName(), "Bob");
  EXPECT_FALSE(ChatChanged());
}

TEST_F(SettingsTest, IpGroupRefusesBadPortsAndHidesTheServerNameForAServer) {
  Start();
  form->CheckBoxIsServer->setChecked(true);
  EXPECT_TRUE(IpChanged());
  EXPECT_TRUE(form->EditServerName->isHidden());
  EXPECT_TRUE(form->LabelServerName->isHidden());
  form->BitBtnCancelIp->click();
  EXPECT_FALSE(form->CheckBoxIsServer->isChecked());
  EXPECT_FALSE(form->EditServerName->isHidden());
  EXPECT_FALSE(IpChanged());

  for (const char* bad : {"abc", "70000", "-1", "65536"}) {
    form->EditIpPort->setText(bad);
    form->BitBtnApplyIp->click();
    EXPECT_EQ(form->Port(), 0) << bad;
    EXPECT_TRUE(IpChanged()) << bad;
    EXPECT_EQ(form->focusWidget(), form->EditIpPort) << bad;
  }
}

TEST_F(SettingsTest, IpApplyWithAutoStartStartsAStoppedLink) {
  Start();
  const uint16_t port = FreePort();
  form->EditIpPort->setText(QString::number(port));
  form->CheckBoxIsServer->setChecked(true);
  form->CheckBoxAutoStart->setChecked(true);
  form->BitBtnApplyIp->click();
  EXPECT_FALSE(IpChanged());
  EXPECT_EQ(form->Port(), port);
  EXPECT_TRUE(form->IsServer());
  EXPECT_TRUE(form->AutoStart());
  EXPECT_TRUE(ProcessEventsUntil([&] { return form->Active(); }));
}

TEST_F(SettingsTest, IpApplyWhileConnectedMovesTheClientToTheNewServer) {
  QTcpServer oldServer, newServer;
  ASSERT_TRUE(oldServer.listen(QHostAddress::LocalHost, 0));
  ASSERT_TRUE(newServer.listen(QHostAddress::LocalHost, 0));
  Start();
  form->EditServerName->setText("127.0.0.1");
  form->EditIpPort->setText(QString::number(oldServer.serverPort()));
  form->BitBtnApplyIp->click();
  form->SpeedButtonConnect->click();
  ASSERT_TRUE(ProcessEventsUntil([&] { return oldServer.hasPendingConnections(); }));
  std::unique_ptr<QTcpSocket> oldPeer(oldServer.nextPendingConnection());
  ASSERT_TRUE(ProcessEventsUntil([&] { return form->Active(); }));

  form->EditIpPort->setText(QString::number(newServer.serverPort()));
  form->BitBtnApplyIp->click();
  EXPECT_FALSE(IpChanged());
  EXPECT_EQ(form->Port(), newServer.serverPort());
  // The old connection is closed, not left behind, and the link comes up at the new address.
  EXPECT_TRUE(
      ProcessEventsUntil([&] { return oldPeer->state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_TRUE(ProcessEventsUntil([&] { return newServer.hasPendingConnections(); }));
  EXPECT_TRUE(ProcessEventsUntil([&] { return form->Active(); }));
  EXPECT_FALSE(oldServer.hasPendingConnections());
}

TEST_F(SettingsTest, MidiGroupRefusesUnstorableBuffersAndSelectsPorts) {
  Start();
  EXPECT_EQ(form->ComboBoxOutputs->count(), static_cast<int>(kLoopbackDevices) + 1);
  EXPECT_EQ(form->ComboBoxInputs->currentIndex(), -1);  // no port in use

  // A selection from the program does not count as an edit; the user's does.
  form->ComboBoxInputs->setCurrentIndex(2);
  EXPECT_FALSE(MidiChanged());
  emit form->ComboBoxInputs->activated(2);
  EXPECT_TRUE(MidiChanged());

  form->EditBufferTime->setText("abc");
  form->BitBtnApplyMidi->click();
  EXPECT_EQ(form->focusWidget(), form->EditBufferTime);
  form->EditBufferResolution->setFocus();
  for (const char* unstorable : {"2147483648", "4294967296", "-1"}) {
    form->EditBufferTime->setText(unstorable);
    form->BitBtnApplyMidi->click();
    EXPECT_EQ(form->BufferTime(), 1000u) << unstorable;
    EXPECT_TRUE(MidiChanged()) << unstorable;
    EXPECT_EQ(form->focusWidget(), form->EditBufferResolution) << unstorable;
  }
  EXPECT_FALSE(form->MidiInOpen());

  form->EditBufferTime->setText("2147483647");
  form->EditBufferResolution->setText("7");
  form->BitBtnApplyMidi->click();
  EXPECT_FALSE(MidiChanged());
  EXPECT_EQ(form->BufferTime(), 2147483647u);
  EXPECT_EQ(form->BufferResolution(), 7u);
  EXPECT_EQ(form->MidiInName(), LoopbackName(2));
  EXPECT_TRUE(form->MidiInOpen());
  EXPECT_FALSE(form->MidiOutOpen());

  form->ComboBoxInputs->setCurrentIndex(-1);
  form->EditBufferTime->setText("1");
  form->BitBtnCancelMidi->click();
  EXPECT_EQ(form->ComboBoxInputs->currentText().toStdString(), LoopbackName(2));
  EXPECT_EQ(form->EditBufferTime->text(), "2147483647");
  EXPECT_FALSE(MidiChanged());

  // An input name that matches no device is reported as an output's would be; the open
  // port it replaced stays closed and its name is kept.
  EXPECT_TRUE(messages.Boxes.empty());
  form->SetMidiIn("loopback 1");
  ASSERT_EQ(messages.Boxes.size(), 1u);
  EXPECT_EQ(messages.Boxes[0].Text.rfind("Could not open midi in port : ", 0), 0u);
  EXPECT_EQ(form->MidiInName(), LoopbackName(2));
  EXPECT_FALSE(form->MidiInOpen());
}

}  // namespace

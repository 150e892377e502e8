#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <memory>

#include "app/frmclientserver.h"
#include "platform/inifile.h"
#include "terminal/screen.h"
#include "terminal/vterm.h"
#include "tests/support/linktestsupport.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

std::string RowText(const TVTerm& term, int row) {
  const TLine& line = term.Screen().Lines(row);
  std::string text(reinterpret_cast<const char*>(line.Chars.data()), term.Cols());
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

class LinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UseLoopbackDevices(); }

  std::unique_ptr<TFormServerMain> StartWindow(const TTempSettings& file, bool server,
                                               const std::string& name) {
    TIniFile ini(file.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteBool("Settings", "IsSever", server);
    ini.WriteString("Settings", "ServerName", "127.0.0.1");
    ini.WriteBool("Settings", "AutoStart", true);
    ini.WriteString("Settings", "YourName", name);
    ini.WriteBool("Settings", "Monitoring", true);
    ini.UpdateFile();
    auto window = std::make_unique<TFormServerMain>(file.Path());
    window->show();
    return window;
  }

  std::unique_ptr<TFormServerMain> StartServer() {
    auto server = StartWindow(serverFile, true, "S");
    EXPECT_TRUE(ProcessEventsUntil([&] { return server->Active(); }));
    return server;
  }

  const uint16_t port = FreeTcpPort();
  TTempSettings serverFile, clientAFile, clientBFile;
  TMessageRecorder messages;
};

TEST_F(LinkTest, WelcomeAndChatReachEveryViewOnceEach) {
  const auto server = StartServer();
  const auto clientA = StartWindow(clientAFile, false, "A");
  ASSERT_TRUE(ProcessEventsUntil([&] { return RowText(*clientA->VTermChat, 0) != ""; }));
  const std::string welcome = "Welcome to S, you are connected now.";
  EXPECT_EQ(RowText(*clientA->VTermChat, 0), welcome);
  EXPECT_EQ(RowText(*server->VTermChat, 0), welcome);

  // Each join greets everybody already there.
  const auto clientB = StartWindow(clientBFile, false, "B");
  ASSERT_TRUE(ProcessEventsUntil([&] { return RowText(*clientB->VTermChat, 0) != ""; }));
  ASSERT_TRUE(ProcessEventsUntil([&] { return RowText(*clientA->VTermChat, 1) != ""; }));
  EXPECT_EQ(RowText(*clientA->VTermChat, 1), welcome);
  EXPECT_EQ(RowText(*server->VTermChat, 1), welcome);

  clientA->MemoChatSend->setPlainText("hello\nworld");
  clientA->SendChatInput();
  EXPECT_TRUE(clientA->MemoChatSend->toPlainText().isEmpty());
  // An empty box sends nothing; the line after it marks when everything before has come.
  clientA->SendChatInput();
  clientA->Engine().SendChatText("A : end\r\n");
  // "A : hello" CR LF "world" CR LF, then the blank line the view adds, each shown once.
  for (const auto* window : {server.get(), clientA.get(), clientB.get()}) {
    const int first = window == clientB.get() ? 1 : 2;
    ASSERT_TRUE(ProcessEventsUntil([&] { return RowText(*window->VTermChat, first + 3) != ""; }));
    EXPECT_EQ(RowText(*window->VTermChat, first), "A : hello");
    EXPECT_EQ(RowText(*window->VTermChat, first + 1), "world");
    EXPECT_EQ(RowText(*window->VTermChat, first + 2), "");
    EXPECT_EQ(RowText(*window->VTermChat, first + 3), "A : end");
  }
  EXPECT_TRUE(messages.Boxes.empty());
}

TEST_F(LinkTest, DisconnectSelectedAndStoppingTheServerEmptyTheList) {
  const auto server = StartServer();
  TRawPeer first(port), second(port), third(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server->Engine().Connections().size() == 3; }));
  QListWidget* list = server->ListBoxConnections;
  ASSERT_EQ(list->count(), 3);

  int rebuilds = 0;
  QObject::connect(list->model(), &QAbstractItemModel::modelReset, [&] { ++rebuilds; });
  list->item(0)->setSelected(true);
  list->item(2)->setSelected(true);
  server->SpeedButtonDisconnect->click();
  EXPECT_EQ(rebuilds, 1);
  EXPECT_EQ(list->count(), 1);
  EXPECT_EQ(server->Engine().Connections().size(), 1);
  ASSERT_TRUE(ProcessEventsUntil([&] {
    return int(first.Connected()) + int(second.Connected()) + int(third.Connected()) == 1;
  }));

  server->ActivateLink(false);
  EXPECT_FALSE(server->Active());
  EXPECT_TRUE(server->Engine().Connections().empty());
  EXPECT_EQ(list->count(), 0);
  EXPECT_TRUE(ProcessEventsUntil(
      [&] { return !first.Connected() && !second.Connected() && !third.Connected(); }));
}

// "Ask me" in the window: the question shows above the pages with the peer's address, and
// Always allow lets it in and remembers it on the settings page.
TEST_F(LinkTest, AskMeShowsTheQuestionAndAlwaysAllowRemembersThePeer) {
  {
    TIniFile ini(serverFile.Path());
    ini.WriteString("Settings", "WhoMayConnect", "Ask");
    ini.UpdateFile();
  }
  const auto server = StartServer();
  EXPECT_TRUE(server->PanelAdmission->isHidden());
  TRawPeer peer(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server->PanelAdmission->isVisible(); }));
  EXPECT_NE(server->LabelAdmission->text().indexOf("127.0.0.1"), -1);
  EXPECT_TRUE(server->ListBoxConnections->count() == 0) << "not in the list until let in";
  server->SpeedButtonAlwaysAllow->click();
  EXPECT_TRUE(server->PanelAdmission->isHidden());
  ASSERT_TRUE(ProcessEventsUntil([&] { return peer.CountOf(dtChat) == 1; }));  // the welcome
  EXPECT_EQ(server->ListBoxConnections->count(), 1);
  ASSERT_EQ(server->ListBoxAllowedPeers->count(), 1);
  EXPECT_EQ(server->ListBoxAllowedPeers->item(0)->text(), "127.0.0.1");
  EXPECT_TRUE(messages.Boxes.empty());
}

}  // namespace

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <memory>

#include "app/frmclientserver.h"
#include "platform/inifile.h"
#include "protocol/data.h"
#include "terminal/screen.h"
#include "terminal/vterm.h"
#include "tests/app/formtestsupport.h"
#include "tests/support/rawframe.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

std::string RowText(const TVTerm& term, int row) {
  const TLine& line = term.Screen().Lines(row);
  std::string text(reinterpret_cast<const char*>(line.Chars.data()), term.Cols());
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

// A peer that speaks raw TCP and collects the packets that reach it.
class TRawPeer {
 public:
  explicit TRawPeer(uint16_t port) {
    decoder_.OnPacket = [this](TData& packet) { Received.push_back(packet); };
    QObject::connect(&socket_, &QTcpSocket::readyRead, [this] {
      const QByteArray bytes = socket_.readAll();
      decoder_.AddData(static_cast<uint16_t>(bytes.size()),
                       reinterpret_cast<const uint8_t*>(bytes.data()));
    });
    socket_.connectToHost(QHostAddress::LocalHost, port);
  }

  bool Connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
  void Write(const Bytes& bytes) {
    socket_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
    socket_.flush();
  }
  size_t CountOf(int8_t type) const {
    return static_cast<size_t>(std::count_if(
        Received.begin(), Received.end(), [type](const TData& p) { return p.DataType == type; }));
  }

  std::vector<TData> Received;

 private:
  QTcpSocket socket_;
  TDecoder decoder_{256};
};

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
  // "A : hello" CR LF "world" CR LF, then the blank line the view adds.
  for (const auto* window : {server.get(), clientA.get(), clientB.get()}) {
    const int first = window == clientB.get() ? 1 : 2;
    ASSERT_TRUE(ProcessEventsUntil([&] { return RowText(*window->VTermChat, first) != ""; }));
    ProcessEventsFor(50ms);
    EXPECT_EQ(RowText(*window->VTermChat, first), "A : hello");
    EXPECT_EQ(RowText(*window->VTermChat, first + 1), "world");
    EXPECT_EQ(RowText(*window->VTermChat, first + 2), "");
    EXPECT_EQ(RowText(*window->VTermChat, first + 3), "") << "shown more than once";
  }

  // An empty box sends nothing.
  clientA->SendChatInput();
  ProcessEventsFor(100ms);
  EXPECT_EQ(RowText(*server->VTermChat, 5), "");
  EXPECT_TRUE(messages.Boxes.empty());
}

TEST_F(LinkTest, ServerSurvivesAHostilePeerAndRelaysOnlyMidiAndChat) {
  const auto server = StartServer();
  TRawPeer hostile(port), listener(port);
  ASSERT_TRUE(ProcessEventsUntil([&] {
    return hostile.Connected() && listener.Connected() && server->ConnectionList().size() == 2;
  }));
  ProcessEventsFor(100ms);
  const size_t welcomes = listener.CountOf(dtChat);

  // One Midi frame with a stuffed byte, fed one byte per write.
  for (uint8_t b : Frame(dtMidi, 0x1010, {0x90, 0x10, 0x64})) {
    hostile.Write({b});
    ProcessEventsFor(2ms);
  }
  // Garbage, then a Chat, a Time, a None, an Audio and an unknown frame in one write.
  Bytes burst = {0x41, 0x10, 0x10, 0x02, 0x03};
  for (const Bytes& frame : {Frame(dtChat, 1, {'h', 'i'}), Frame(dtTime, 5000, {}),
                             Frame(dtNone, 2, {1}), Frame(dtAudio, 3, {2}), Frame(200, 4, {3})})
    burst.insert(burst.end(), frame.begin(), frame.end());
  hostile.Write(burst);
  // An oversize frame, then a good Midi frame that must still get through.
  Bytes oversize = Frame(dtMidi, 0, Bytes(40000, 0x55));
  const Bytes after = Frame(dtMidi, 0, {0x80, 0x3C, 0x00});
  oversize.insert(oversize.end(), after.begin(), after.end());
  hostile.Write(oversize);

  ASSERT_TRUE(ProcessEventsUntil([&] { return listener.CountOf(dtMidi) >= 2; }));
  ProcessEventsFor(200ms);
  EXPECT_EQ(listener.CountOf(dtMidi), 2u);
  EXPECT_EQ(listener.CountOf(dtChat), welcomes + 1);
  EXPECT_EQ(listener.Received.size(), welcomes + 3) << "only Midi and Chat are relayed";
  const auto midi = std::find_if(listener.Received.begin(), listener.Received.end(),
                                 [](const TData& p) { return p.DataType == dtMidi; });
  EXPECT_EQ(PayloadOf(*midi), (Bytes{0x90, 0x10, 0x64}));
  // The sender gets its own packets back.
  EXPECT_EQ(hostile.CountOf(dtMidi), 2u);
  EXPECT_TRUE(server->Active());
  EXPECT_EQ(server->ConnectionList().size(), 2);
  EXPECT_TRUE(messages.Boxes.empty()) << "an oversize frame is no error box";
}

TEST_F(LinkTest, DisconnectSelectedAndStoppingTheServerEmptyTheList) {
  const auto server = StartServer();
  TRawPeer first(port), second(port), third(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server->ConnectionList().size() == 3; }));
  QListWidget* list = server->ListBoxConnections;
  ASSERT_EQ(list->count(), 3);

  int rebuilds = 0;
  QObject::connect(list->model(), &QAbstractItemModel::modelReset, [&] { ++rebuilds; });
  list->item(0)->setSelected(true);
  list->item(2)->setSelected(true);
  server->SpeedButtonDisconnect->click();
  EXPECT_EQ(rebuilds, 1);
  EXPECT_EQ(list->count(), 1);
  EXPECT_EQ(server->ConnectionList().size(), 1);
  ASSERT_TRUE(ProcessEventsUntil([&] {
    return int(first.Connected()) + int(second.Connected()) + int(third.Connected()) == 1;
  }));

  server->ActivateLink(false);
  EXPECT_FALSE(server->Active());
  EXPECT_TRUE(server->ConnectionList().isEmpty());
  EXPECT_EQ(list->count(), 0);
  EXPECT_TRUE(ProcessEventsUntil(
      [&] { return !first.Connected() && !second.Connected() && !third.Connected(); }));
}

TEST_F(LinkTest, IdleClientSendsTimePacketsThatTheServerKeepsToItself) {
  const auto server = StartServer();
  TRawPeer listener(port);
  const auto client = StartWindow(clientAFile, false, "A");
  ASSERT_TRUE(ProcessEventsUntil([&] { return client->Active() && listener.Connected(); }));
  client->TimerMidi->setInterval(200);
  client->TimerMidi->start();
  ProcessEventsFor(700ms);
  // The server's own idle timer still runs at its 5 s interval, so any Time packet the
  // listener got would be a relayed one.
  EXPECT_EQ(listener.CountOf(dtTime), 0u);
  bool sawTime = false;
  for (int row = 0; row < 100; ++row)
    sawTime |= RowText(*server->VTermMonitor, row).rfind("recv : ", 0) == 0 &&
               RowText(*server->VTermMonitor, row).find("Time") != std::string::npos;
  EXPECT_TRUE(sawTime) << "the client's Time packets reach the server";
}

}  // namespace

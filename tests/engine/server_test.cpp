#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <sys/prctl.h>

#include <csignal>

#include "engine/engine.h"
#include "platform/inifile.h"
#include "tests/support/linktestsupport.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

// The server without a window as its own process, with a client engine in this one that
// plays on loopback output 1, and a raw peer that plays a held note into the session.
TEST(ServerProcessTest, RelaysLogsToStandardOutputAndOnSigtermSavesAndLeavesNoNoteHanging) {
  UseLoopbackDevices();
  const uint16_t port = FreeTcpPort();
  TTempSettings serverFile, clientFile;
  {
    TIniFile ini(serverFile.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "YourName", "Hub");
    ini.UpdateFile();
  }
  QProcess server;
  server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  // A server left behind by a test that crashed would hold the test runner's output open.
  server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
  server.start(TESSEL_SERVER_EXECUTABLE, {"--settings", QString::fromStdString(serverFile.Path())});
  ASSERT_TRUE(server.waitForStarted());
  std::string output;
  const auto printed = [&](const std::string& text) {
    return ProcessEventsUntil([&] {
      output += server.readAllStandardOutput().toStdString();
      return output.find(text) != std::string::npos;
    });
  };
  ASSERT_TRUE(printed("Server : Starts Listening ...")) << output;

  {
    TIniFile ini(clientFile.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "ServerName", "127.0.0.1");
    ini.WriteBool("Settings", "AutoStart", true);
    ini.WriteString("Settings", "MidiOut", LoopbackName(1));
    ini.WriteInteger("Settings", "BufferTime", 50);
    ini.UpdateFile();
  }
  TMidiObserver atClient(1);
  TEngine client(clientFile.Path());
  client.Start();
  TRawPeer player(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return client.Active() && player.Connected(); }));
  ASSERT_TRUE(printed("Client connect")) << output;
  // Once both are in the relay, the player's note reaches the client.
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.CountOf(dtChat) >= 1; }));
  player.Write({0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x3C, 0x64, 0x10, 0x03});
  ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.Received.size() == 1; }));
  EXPECT_TRUE(printed("recv : ")) << output;

  ::kill(static_cast<pid_t>(server.processId()), SIGTERM);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.state() == QProcess::NotRunning; }));
  EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(server.exitCode(), 0);
  // The client's link ended with the server, and its output ended the held note.
  ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.Received.size() == 2; }));
  EXPECT_EQ(atClient.Received[1].Bytes, (Bytes{0x80, 0x3C, 0x00}));
  const TIniFile saved(serverFile.Path());
  EXPECT_TRUE(saved.ReadBool("Settings", "IsSever", false));
  EXPECT_EQ(saved.ReadString("Settings", "YourName", ""), "Hub");
}

}  // namespace

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

#include "engine/engine.h"
#include "platform/inifile.h"
#include "tests/support/linktestsupport.h"
#include "tests/support/serverprocess.h"

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
  TServerProcess server(serverFile.Path());
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.Printed("Server : Starts Listening ...")) << server.Output;

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
  ASSERT_TRUE(server.Printed("Client connect")) << server.Output;
  // Once both are in the relay, the player's note reaches the client.
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.CountOf(dtChat) >= 1; }));
  player.Write({0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x3C, 0x64, 0x10, 0x03});
  ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.Received.size() == 1; }));
  EXPECT_TRUE(server.Printed("recv : ")) << server.Output;

  ASSERT_TRUE(server.Terminate());
  EXPECT_EQ(server.Process().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(server.Process().exitCode(), 0);
  // The client's link ended with the server, and its output ended the held note.
  ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.Received.size() == 2; }));
  EXPECT_EQ(atClient.Received[1].Bytes, (Bytes{0x80, 0x3C, 0x00}));
  const TIniFile saved(serverFile.Path());
  EXPECT_TRUE(saved.ReadBool("Settings", "IsSever", false));
  EXPECT_EQ(saved.ReadString("Settings", "YourName", ""), "Hub");
}

}  // namespace

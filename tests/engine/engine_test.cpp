#include <gtest/gtest.h>

#include <algorithm>

#include "engine/engine.h"
#include "midi/midiout.h"
#include "platform/inifile.h"
#include "tests/support/enginetestsupport.h"
#include "tests/support/linktestsupport.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

// A running copy as the window or the server without one has it.
struct TCopy {
  explicit TCopy(const std::string& settingsFile) : Engine(settingsFile) {
    Engine.SetObserver(&View);
  }
  TRecordingView View;
  TEngine Engine;
};

// One server and two clients over TCP on 127.0.0.1. Client A reads input 0; the copies play
// on outputs 1 (A), 2 (server) and 3 (B), where the test listens.
class EngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UseLoopbackDevices(); }

  std::unique_ptr<TCopy> StartCopy(const TTempSettings& file, bool isServer,
                                   const std::string& midiIn, unsigned midiOut) {
    TIniFile ini(file.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteBool("Settings", "IsSever", isServer);
    ini.WriteString("Settings", "ServerName", "127.0.0.1");
    ini.WriteBool("Settings", "AutoStart", true);
    ini.WriteString("Settings", "MidiIn", midiIn);
    ini.WriteString("Settings", "MidiOut", LoopbackName(midiOut));
    ini.WriteInteger("Settings", "BufferTime", kBufferTimeMs);
    ini.UpdateFile();
    auto copy = std::make_unique<TCopy>(file.Path());
    copy->Engine.Start();
    return copy;
  }

  // The server, then both clients, connected.
  void StartSession() {
    server = StartCopy(serverFile, true, "", 2);
    ASSERT_TRUE(ProcessEventsUntil([&] { return server->Engine.Active(); }));
    clientA = StartCopy(clientAFile, false, LoopbackName(0), 1);
    clientB = StartCopy(clientBFile, false, "", 3);
    ASSERT_TRUE(ProcessEventsUntil([&] {
      return clientA->Engine.Active() && clientB->Engine.Active() &&
             server->Engine.Connections().size() == 2;
    }));
  }

  static constexpr int kBufferTimeMs = 150;
  const uint16_t port = FreeTcpPort();
  TTempSettings serverFile, clientAFile, clientBFile;
  std::unique_ptr<TCopy> server, clientA, clientB;
};

TEST_F(EngineTest, NotesFromOneClientReachEveryOutputAfterTheBufferTimeWithTheirSpacing) {
  TMidiObserver atClientA(1), atServer(2), atClientB(3);
  ASSERT_NO_FATAL_FAILURE(StartSession());
  ASSERT_TRUE(clientA->Engine.MidiInOpen());

  TMidiOutput keyboard;
  keyboard.SetProductName(LoopbackName(0));
  keyboard.Open();
  const auto pressed = std::chrono::steady_clock::now();
  keyboard.SendShort(0x90, 0x3C, 0x64);
  ProcessEventsFor(100ms);
  keyboard.SendShort(0x80, 0x3C, 0x00);

  std::vector<TMidiObserver*> outputs = {&atClientA, &atServer, &atClientB};
  ASSERT_TRUE(ProcessEventsUntil([&] {
    return std::all_of(outputs.begin(), outputs.end(),
                       [](const TMidiObserver* o) { return o->Received.size() >= 2; });
  }));
  for (const TMidiObserver* output : outputs) {
    ASSERT_EQ(output->Received.size(), 2u);
    EXPECT_EQ(output->Received[0].Bytes, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(output->Received[1].Bytes, (Bytes{0x80, 0x3C, 0x00}));
    EXPECT_GE(output->Received[0].At - pressed, std::chrono::milliseconds(kBufferTimeMs - 20));
    // Sent 100 ms apart and released 10 ms early; wide bounds for a loaded machine.
    const auto spacing = output->Received[1].At - output->Received[0].At;
    EXPECT_GE(spacing, 60ms);
    EXPECT_LE(spacing, 400ms);
  }
  for (const TCopy* copy : {server.get(), clientA.get(), clientB.get()})
    EXPECT_TRUE(copy->View.Messages.empty());
}

TEST_F(EngineTest, ChatKeepsTheSpacingAndAStoppedServerLeavesNoNoteSoundingAndComesBack) {
  TMidiObserver atClientA(1), atServer(2), atClientB(3);
  ASSERT_NO_FATAL_FAILURE(StartSession());
  TMidiOutput keyboard;
  keyboard.SetProductName(LoopbackName(0));
  keyboard.Open();

  // Two held notes 120 ms apart, inside the buffer time, with a chat line from B between
  // them: every receiver must count the chat's delta, or the second note comes 100 ms early.
  keyboard.SendShort(0x90, 0x3C, 0x64);
  ProcessEventsFor(100ms);
  clientB->Engine.SendChatText("between the notes\r\n");
  ProcessEventsFor(20ms);
  keyboard.SendShort(0x90, 0x3E, 0x64);
  std::vector<TMidiObserver*> outputs = {&atClientA, &atServer, &atClientB};
  const auto allHave = [&](size_t count) {
    return ProcessEventsUntil([&] {
      return std::all_of(outputs.begin(), outputs.end(),
                         [count](const TMidiObserver* o) { return o->Received.size() >= count; });
    });
  };
  ASSERT_TRUE(allHave(2));
  for (const TMidiObserver* output : outputs)
    EXPECT_GE(output->Received[1].At - output->Received[0].At, 70ms);
  EXPECT_EQ(server->View.Chat.back(), "between the notes\r\n");

  // Stopping the server ends both notes everywhere: the server from its own timeline, each
  // client at its output once its link is gone.
  server->Engine.ActivateLink(false);
  ASSERT_TRUE(allHave(4));
  ProcessEventsFor(std::chrono::milliseconds(2 * kBufferTimeMs));
  for (const TMidiObserver* output : outputs) {
    ASSERT_EQ(output->Received.size(), 4u);
    EXPECT_EQ(output->Received[2].Bytes, (Bytes{0x80, 0x3C, 0x00}));
    EXPECT_EQ(output->Received[3].Bytes, (Bytes{0x80, 0x3E, 0x00}));
  }

  // With Auto start IP both clients find the server again once it listens.
  server->Engine.ActivateLink(true);
  EXPECT_TRUE(ProcessEventsUntil(
      [&] {
        return clientA->Engine.Active() && clientB->Engine.Active() &&
               server->Engine.Connections().size() == 2;
      },
      10s));
  for (const TCopy* copy : {server.get(), clientA.get(), clientB.get()})
    EXPECT_TRUE(copy->View.Messages.empty());
}

// The session's intervals on the engine's clock: a silent peer hears an idle Time packet
// 5 s after the last send and is dropped once nothing came from it for more than 15 s.
TEST(EngineClockTest, IdleTimePacketsAndTheSilentPeerRuleFollowTheEnginesClock) {
  TTempSettings file;
  const uint16_t port = FreeTcpPort();
  {
    TIniFile ini(file.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteBool("Settings", "IsSever", true);
    ini.WriteBool("Settings", "AutoStart", true);
    ini.UpdateFile();
  }
  TFakeClock clock;
  TEngine server(file.Path(), &clock);
  server.Start();
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.Active(); }));
  TRawPeer peer(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.Connections().size() == 1; }));
  ASSERT_TRUE(ProcessEventsUntil([&] { return peer.CountOf(dtChat) == 1; }));  // the welcome

  clock.Advance(4999);
  ProcessEventsFor(50ms);
  EXPECT_EQ(peer.CountOf(dtTime), 0u);
  clock.Advance(1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return peer.CountOf(dtTime) == 1; }));

  for (int second = 5; second < 15; ++second) clock.Advance(1000);
  ProcessEventsFor(50ms);
  EXPECT_EQ(server.Connections().size(), 1u) << "silent for exactly 15 s";
  clock.Advance(1);
  EXPECT_TRUE(server.Connections().empty());
  EXPECT_TRUE(ProcessEventsUntil([&] { return !peer.Connected(); }));
}

}  // namespace

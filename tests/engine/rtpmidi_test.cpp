#include <gtest/gtest.h>

#include <QTcpServer>
#include <QUdpSocket>

#include "engine/engine.h"
#include "platform/inifile.h"
#include "tests/rtpmidi/peer/rtpmidipeer.h"
#include "tests/support/linktestsupport.h"
#include "tests/support/serverprocess.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

// The rtpmidi package sends from its control socket to even ports only, and the system
// hands out odd ones: the port after a free one, when it is free for TCP and the UDP pair.
uint16_t FreeEvenPort() {
  for (;;) {
    const auto port = static_cast<uint16_t>(FreeTcpPort() + 1);
    QTcpServer tcp;
    QUdpSocket control, data;
    if (port % 2 == 0 && tcp.listen(QHostAddress::Any, port) &&
        control.bind(QHostAddress::AnyIPv4, port) && data.bind(QHostAddress::AnyIPv4, port + 1))
      return port;
  }
}

std::vector<Bytes> BytesOf(const std::vector<TPeerMidi>& received) {
  std::vector<Bytes> bytes;
  for (const TPeerMidi& midi : received) bytes.push_back(midi.Bytes);
  return bytes;
}

// Two sessions of an RTP-MIDI implementation Tessel did not write invite the server without a
// window; a Tessel client plays on loopback output 1 and a raw peer plays into the session.
// Each hears what the others play, never its own, and what a departing session held ends.
TEST(RtpMidiBetweenProgramsTest, SessionsJoinPlayHearAndLeaveLikeClients) {
  if (const std::string why = TRtpMidiPeer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  UseLoopbackDevices();
  const uint16_t port = FreeEvenPort();
  TTempSettings serverFile, clientFile;
  {
    TIniFile ini(serverFile.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "YourName", "Hub");
    ini.UpdateFile();
  }
  TServerProcess server(serverFile.Path());
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.Printed("RTP-MIDI : listening on UDP ports " + std::to_string(port)))
      << server.Output;
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
  ASSERT_TRUE(ProcessEventsUntil([&] { return client.Active() && player.CountOf(dtChat) >= 1; }));

  TRtpMidiPeer keys("Keys"), pad("Pad");
  keys.Invite(port);
  pad.Invite(port);
  // The package drops what it sends before its first clock sync.
  for (TRtpMidiPeer* session : {&keys, &pad}) {
    ASSERT_TRUE(session->WaitFor("joined", 10s)) << server.Output;
    ASSERT_TRUE(session->WaitFor("synced", 10s)) << server.Output;
  }
  ASSERT_TRUE(server.Printed("Pad (RTP-MIDI), 127.0.0.1 : " + std::to_string(pad.ControlPort())))
      << server.Output;

  const Bytes noteOn = {0x90, 0x3C, 0x64}, noteOff = {0x80, 0x3C, 0x00};
  keys.Send(noteOn);
  ASSERT_TRUE(pad.WaitForMidi(1, 5s));
  ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.Received.size() == 1; }));
  EXPECT_EQ(atClient.Received[0].Bytes, noteOn);
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.MidiPackets().size() == 1; }));

  player.Write({0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x3E, 0x64, 0x10, 0x03});
  ASSERT_TRUE(keys.WaitForMidi(1, 5s));
  ASSERT_TRUE(pad.WaitForMidi(2, 5s));
  EXPECT_EQ(BytesOf(keys.Received()), (std::vector<Bytes>{{0x90, 0x3E, 0x64}}));
  EXPECT_EQ(BytesOf(pad.Received()), (std::vector<Bytes>{noteOn, {0x90, 0x3E, 0x64}}));

  // Keys leaves holding its note: it ends at the other session and at the client.
  keys.End();
  ASSERT_TRUE(keys.WaitForExit(5s));
  ASSERT_TRUE(pad.WaitForMidi(3, 5s)) << server.Output;
  EXPECT_EQ(pad.Received()[2].Bytes, noteOff);
  ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.Received.size() >= 3; }));
  EXPECT_EQ(atClient.Received[2].Bytes, noteOff);
  EXPECT_TRUE(server.Printed("Keys (RTP-MIDI), 127.0.0.1 : " + std::to_string(keys.ControlPort()) +
                             " ended"))
      << server.Output;

  // A server that stops says goodbye.
  ASSERT_TRUE(server.Terminate());
  EXPECT_TRUE(pad.WaitFor("left", 5s));
}

// Who may connect holds for sessions too: one that is not listed is refused at once.
TEST(RtpMidiBetweenProgramsTest, AnUnlistedSessionIsRefused) {
  if (const std::string why = TRtpMidiPeer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  const uint16_t port = FreeEvenPort();
  TTempSettings serverFile;
  {
    TIniFile ini(serverFile.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "WhoMayConnect", "Listed");
    ini.WriteString("Settings", "AllowedPeers", "127.0.0.2");
    ini.UpdateFile();
  }
  TServerProcess server(serverFile.Path());
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.Printed("RTP-MIDI : listening")) << server.Output;
  TRtpMidiPeer keys("Keys");
  keys.Invite(port);
  EXPECT_TRUE(
      server.Printed("Refused Keys (RTP-MIDI), 127.0.0.1: not on the list of allowed peers"))
      << server.Output;
  EXPECT_FALSE(keys.WaitFor("joined", 1s));
}

}  // namespace

#include <gtest/gtest.h>

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QUdpSocket>

#include "engine/engine.h"
#include "engine/engineobserver.h"
#include "platform/inifile.h"
#include "rtpmidi/journal.h"
#include "rtpmidi/midilist.h"
#include "rtpmidi/sessionpacket.h"
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

// A listening server in this process; its monitor lines are kept.
class TInProcessServer final : public TEngineObserver {
 public:
  explicit TInProcessServer(uint16_t port, const std::string& whoMayConnect = "Anyone") {
    TIniFile ini(file_.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "WhoMayConnect", whoMayConnect);
    ini.WriteBool("Settings", "IsSever", true);
    ini.WriteBool("Settings", "AutoStart", true);
    ini.WriteBool("Settings", "Monitoring", true);
    ini.UpdateFile();
    engine_ = std::make_unique<TEngine>(file_.Path());
    engine_->SetObserver(this);
    engine_->Start();
  }
  TEngine& Engine() { return *engine_; }
  bool Logged(const std::string& part) const {
    return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }
  void MonitorLine(const std::string& line) override { lines_.push_back(line); }

 private:
  TTempSettings file_;
  std::vector<std::string> lines_;
  std::unique_ptr<TEngine> engine_;
};

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
  ASSERT_TRUE(server.Printed("Pad (RTP-MIDI), 127.0.0.1 : " + std::to_string(pad.ControlPort()) +
                             " synced, round trip "))
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

// With "Ask me" a session's invitation waits for the user's answer, and its next one gets it.
TEST(RtpMidiBetweenProgramsTest, TheUserIsAskedAboutASession) {
  if (const std::string why = TRtpMidiPeer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  const uint16_t port = FreeEvenPort();
  TInProcessServer server(port, "Ask");
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.Engine().Active(); }));
  TEngine& engine = server.Engine();
  for (const TUserAnswer answer : {TUserAnswer::Refuse, TUserAnswer::Allow}) {
    TRtpMidiPeer session(answer == TUserAnswer::Allow ? "Pad" : "Keys");
    session.Invite(port);
    ASSERT_TRUE(ProcessEventsUntil([&] { return engine.AdmissionQuestion() != nullptr; }));
    EXPECT_EQ(engine.AdmissionQuestion()->Address, "127.0.0.1");
    engine.AnswerAdmission(answer);
    // The session invites again every 1.5 s.
    const bool joined =
        ProcessEventsUntil([&] { return session.WaitFor("joined", 5ms).has_value(); },
                           answer == TUserAnswer::Allow ? 10s : 2s);
    EXPECT_EQ(joined, answer == TUserAnswer::Allow);
  }
  EXPECT_TRUE(server.Logged("Waiting for the user to let in Keys (RTP-MIDI), 127.0.0.1"));
  EXPECT_TRUE(server.Logged("Refused Keys (RTP-MIDI), 127.0.0.1: refused by the user"));
  EXPECT_EQ(engine.Connections().size(), 1u);
}

// The server invites a session it sees: the session joins, plays into the star and hears it,
// and the server's stop ends it.
TEST(RtpMidiBetweenProgramsTest, TheServerInvitesASessionThatThenPlaysAndHears) {
  if (const std::string why = TRtpMidiPeer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  const uint16_t port = FreeEvenPort();
  TInProcessServer server(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.Engine().Active(); }));
  TRawPeer player(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.CountOf(dtChat) >= 1; }));

  TRtpMidiPeer drums("Drums");
  ASSERT_TRUE(server.Engine().InviteSession({"Drums", "127.0.0.1", drums.ControlPort()}));
  // This process answers the session, so it runs its events while it waits for the reports.
  const auto reported = [&](const char* event) {
    return ProcessEventsUntil([&] { return drums.WaitFor(event, 5ms).has_value(); }, 10s);
  };
  ASSERT_TRUE(reported("joined"));
  ASSERT_TRUE(reported("synced"));
  const std::string line = "Drums (RTP-MIDI), 127.0.0.1 : " + std::to_string(drums.ControlPort());
  const std::vector<std::string>& connections = server.Engine().Connections();
  EXPECT_NE(std::find(connections.begin(), connections.end(), line), connections.end());
  EXPECT_TRUE(
      server.Logged("RTP-MIDI : inviting 127.0.0.1 : " + std::to_string(drums.ControlPort())));

  drums.Send({0x99, 0x24, 0x70});
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.MidiPackets().size() == 1; }));
  player.Write({0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x3E, 0x64, 0x10, 0x03});
  ASSERT_TRUE(ProcessEventsUntil([&] { return drums.WaitForMidi(1, 5ms); }));
  EXPECT_EQ(BytesOf(drums.Received()), (std::vector<Bytes>{{0x90, 0x3E, 0x64}}));
  // A sysex of one packet's length arrives whole (the package cannot join segments).
  Bytes sysex(1000);
  for (size_t i = 0; i < sysex.size(); ++i) sysex[i] = static_cast<uint8_t>(i % 0x80);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  TData frame = MidiPacket(sysex, 0);
  frame.Encode();
  player.Write(PayloadOf(frame));
  ASSERT_TRUE(ProcessEventsUntil([&] { return drums.WaitForMidi(2, 5ms); }));
  EXPECT_EQ(drums.Received()[1].Bytes, sysex);

  // Inviting it again while it takes part is refused with a reason.
  EXPECT_FALSE(server.Engine().InviteSession({"Drums", "127.0.0.1", drums.ControlPort()}));
  server.Engine().Stop();
  EXPECT_TRUE(drums.WaitFor("left", 5s));
}

// A session of raw datagrams, as a hostile or lossy network would deliver them: what lost
// packets carried is mended from the journal, garbage and floods change nothing that takes
// part, a sysex too long for the star is counted, and the session still plays afterwards.
TEST(RtpMidiServerTest, LossIsMendedAndHostileDatagramsChangeNothing) {
  const uint16_t port = FreeEvenPort();
  TInProcessServer server(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.Engine().Active(); }));
  TRawPeer player(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.CountOf(dtChat) >= 1; }));

  constexpr uint32_t kSsrc = 0x5E55104E;
  QUdpSocket control, data;
  ASSERT_TRUE(control.bind(QHostAddress::LocalHost, 0));
  ASSERT_TRUE(data.bind(QHostAddress::LocalHost, 0));
  const auto send = [](QUdpSocket& socket, uint16_t to, const Bytes& bytes) {
    socket.writeDatagram(reinterpret_cast<const char*>(bytes.data()),
                         static_cast<qint64>(bytes.size()), QHostAddress::LocalHost, to);
  };
  // The answers that came to `socket`, decoded.
  const auto answers = [](QUdpSocket& socket) {
    std::vector<TSessionPacket> packets;
    while (socket.hasPendingDatagrams()) {
      const QByteArray bytes = socket.receiveDatagram().data();
      if (auto packet = DecodeSessionPacket(reinterpret_cast<const uint8_t*>(bytes.data()),
                                            static_cast<size_t>(bytes.size())))
        packets.push_back(*packet);
    }
    return packets;
  };
  TSessionPacket invitation;
  invitation.Token = 7;
  invitation.Ssrc = kSsrc;
  invitation.Name = "Raw";
  for (QUdpSocket* socket : {&control, &data}) {
    send(*socket, socket == &control ? port : port + 1, EncodeSessionPacket(invitation));
    ASSERT_TRUE(ProcessEventsUntil([&] { return socket->hasPendingDatagrams(); }));
    ASSERT_EQ(answers(*socket).at(0).Command, TSessionCommand::Accepted);
  }
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.Engine().Connections().size() == 2; }));

  // Packets as the session's sender builds them, one per message, with its journal; `dropped`
  // ones never leave.
  TMidiListWriter writer;
  TJournalBuilder journal;
  uint16_t sequence = 0;
  const auto play = [&](const std::vector<Bytes>& messages, bool dropped = false) {
    for (const Bytes& message : messages) {
      const uint8_t* at = message.data();
      size_t left = message.size();
      while (left > 0) {
        const size_t taken = writer.Add(0, at, left);
        const uint16_t number = sequence++;
        Bytes datagram;
        EncodeRtpHeader({TRtpHeader::MidiPayloadType, false, number, 1000u * number, kSsrc},
                        datagram);
        writer.Take(datagram, true);
        journal.Build(datagram);
        if (taken == left) journal.Record(number, message.data(), message.size());
        if (!dropped) send(data, port + 1, datagram);
        at += taken;
        left -= taken;
      }
    }
  };
  const auto heard = [&](size_t count) {
    return ProcessEventsUntil([&] { return player.MidiPackets().size() >= count; });
  };
  play({{0x90, 0x3C, 0x64}, {0xB0, 0x07, 0x0A}});
  ASSERT_TRUE(heard(2));
  play({{0xB0, 0x07, 0x64}, {0xB0, 0x40, 0x7F}}, true);
  play({{0x80, 0x3C, 0x00}}, true);
  play({{0x90, 0x3E, 0x64}});
  ASSERT_TRUE(heard(6));
  ProcessEventsFor(20ms);  // nothing more may come
  ASSERT_EQ(player.MidiPackets().size(), 6u);
  std::vector<Bytes> midi;
  for (const TData& packet : player.MidiPackets())
    midi.emplace_back(packet.Bytes(), packet.Bytes() + packet.Count());
  const std::vector<Bytes> mended(midi.begin() + 2, midi.end() - 1);
  EXPECT_EQ(midi.back(), (Bytes{0x90, 0x3E, 0x64}));
  const auto has = [&](const Bytes& message) {
    return std::find(mended.begin(), mended.end(), message) != mended.end();
  };
  EXPECT_TRUE(std::any_of(mended.begin(), mended.end(), [](const Bytes& message) {
    return message.size() == 3 && (message[0] == 0x80 || (message[0] == 0x90 && message[2] == 0)) &&
           message[1] == 0x3C;
  })) << "the note lost its end";
  EXPECT_TRUE(has({0xB0, 0x07, 0x64}));
  EXPECT_TRUE(has({0xB0, 0x40, 0x7F}));

  // Garbage on both ports, from the session's own address and from another.
  QUdpSocket stranger;
  ASSERT_TRUE(stranger.bind(QHostAddress::LocalHost, 0));
  const std::vector<Bytes> garbage = {
      {}, {0xFF, 0xFF, 'I', 'N'}, {0xFF, 0xFF, 'C', 'K', 0, 0, 0, 1, 2}, Bytes(1500, 0xA5)};
  for (const Bytes& bytes : garbage) {
    send(data, port + 1, bytes);
    send(stranger, port, bytes);
    send(stranger, port + 1, bytes);
  }
  // The session's next packet, its command list cut short: it is not taken, so its number is.
  Bytes cut;
  EncodeRtpHeader({TRtpHeader::MidiPayloadType, false, sequence, 9000, kSsrc}, cut);
  cut.insert(cut.end(), {0x03, 0x90, 0x3C});
  send(data, port + 1, cut);
  // A flood of invitations: they take the free places and no more.
  for (uint32_t flood = 1; flood <= 20; ++flood) {
    invitation.Ssrc = kSsrc + flood;
    send(stranger, port, EncodeSessionPacket(invitation));
  }
  std::vector<TSessionPacket> floodAnswers;
  ASSERT_TRUE(ProcessEventsUntil([&] {
    for (const TSessionPacket& answer : answers(stranger)) floodAnswers.push_back(answer);
    return floodAnswers.size() >= 20;
  }));
  const auto answered = [&](TSessionCommand command) {
    return std::count_if(
        floodAnswers.begin(), floodAnswers.end(),
        [command](const TSessionPacket& answer) { return answer.Command == command; });
  };
  EXPECT_EQ(answered(TSessionCommand::Accepted), 15);
  EXPECT_EQ(answered(TSessionCommand::Rejected), 5);
  EXPECT_TRUE(server.Logged("16 sessions take part already"));

  // A sysex that cannot fit one frame of the star, in segments; then a note that must arrive.
  Bytes sysex(20000, 0x10);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  const size_t before = player.MidiPackets().size();
  play({sysex, {0x90, 0x40, 0x64}});
  ASSERT_TRUE(heard(before + 1));
  EXPECT_EQ(player.MidiPackets().back().GetByte(1), 0x40);
  ASSERT_TRUE(ProcessEventsUntil([&] {
    return server.Engine().Losses().find("1 RTP-MIDI messages too large to pass on") !=
           std::string::npos;
  }));
  EXPECT_NE(server.Engine().Losses().find("3 RTP-MIDI packets lost on the way"), std::string::npos)
      << server.Engine().Losses();
  EXPECT_NE(server.Engine().Losses().find("RTP-MIDI packets that could not be read"),
            std::string::npos);
  EXPECT_TRUE(player.Connected());
  EXPECT_EQ(server.Engine().Connections().size(), 2u);

  // The star's MIDI reaches the session; each packet's journal covers the packets before it,
  // never its own commands, which a receiver mending a loss would play twice. An empty packet
  // follows with the journal of both, should the last one be lost.
  player.Write({0x10, 0x02, 0x02, 0x00, 0x00, 0x90, 0x3E, 0x64, 0x10, 0x03});
  player.Write({0x10, 0x02, 0x02, 0x00, 0x00, 0x80, 0x3E, 0x00, 0x10, 0x03});
  TMidiListReader reader;
  std::vector<TMidiEvent> events;
  std::vector<std::optional<TJournalContents>> journals;
  ASSERT_TRUE(ProcessEventsUntil([&] {
    while (data.hasPendingDatagrams()) {
      const QByteArray bytes = data.receiveDatagram().data();
      if (const auto received = reader.Receive(reinterpret_cast<const uint8_t*>(bytes.data()),
                                               static_cast<size_t>(bytes.size()), events))
        journals.push_back(ParseJournal(received->Journal, received->JournalLength));
    }
    return journals.size() == 3;
  }));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Bytes, (Bytes{0x90, 0x3E, 0x64}));
  ASSERT_TRUE(journals[0] && journals[1] && journals[2]);
  EXPECT_TRUE(journals[0]->Channels.empty());
  EXPECT_EQ(journals[1]->Channels.size(), 1u);
  EXPECT_EQ(journals[2]->Channels.size(), 1u);

  // A sysex longer than a packet leaves in segments, which join again.
  Bytes segmented(3000, 0x10);
  segmented.front() = 0xF0;
  segmented.back() = 0xF7;
  TData frame = MidiPacket(segmented, 0);
  frame.Encode();
  player.Write(PayloadOf(frame));
  ASSERT_TRUE(ProcessEventsUntil([&] {
    while (data.hasPendingDatagrams()) {
      const QByteArray bytes = data.receiveDatagram().data();
      reader.Receive(reinterpret_cast<const uint8_t*>(bytes.data()),
                     static_cast<size_t>(bytes.size()), events);
    }
    return events.size() == 3;
  }));
  EXPECT_EQ(events[2].Bytes, segmented);
}

}  // namespace

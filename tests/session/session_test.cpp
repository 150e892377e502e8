#include "session/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "protocol/data.h"
#include "tests/support/rawframe.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct TSent {
  int8_t Type;
  uint16_t Time;
  Bytes Payload;
  bool operator==(const TSent&) const = default;
};

// The program around the session, recording what comes out. Closing a connection reports
// its end at once, as the sockets do.
class TFakeHost final : public TSessionHost {
 public:
  TSession Session{*this};
  uint32_t Now = 0;
  std::map<TPeerId, std::vector<TSent>> Frames;
  std::vector<TSent> Played;  // Type dtNone marks the end of the link
  std::vector<std::string> Lines;
  std::vector<TPeerId> Refusing;
  std::string OpenFailure;
  int Opens = 0;
  uint32_t Wake = 0;

  void Feed(TPeerId peer, const Bytes& bytes) {
    Session.Receive(peer, bytes.data(), bytes.size(), Now);
  }
  bool Logged(const std::string& line) const {
    return std::find(Lines.begin(), Lines.end(), line) != Lines.end();
  }

  bool Write(TPeerId peer, const uint8_t* frame, int length) override {
    if (std::find(Refusing.begin(), Refusing.end(), peer) != Refusing.end()) return false;
    TDecoder decoder(256);
    decoder.OnPacket = [&](TData& p) {
      Frames[peer].push_back({p.DataType, p.Time, Bytes(p.Bytes(), p.Bytes() + p.Count())});
    };
    decoder.AddData(static_cast<uint16_t>(length), frame);
    return true;
  }
  void Close(TPeerId peer) override {
    Session.Disconnected(peer, Now);
    if (!Session.IsServer()) {
      Session.SetActive(false, Now);
      Session.LinkLost(Now);
    }
  }
  std::string OpenLink() override {
    ++Opens;
    return OpenFailure;
  }
  std::string Describe(TPeerId peer) const override { return "peer " + std::to_string(peer); }
  void ShowChat(const TData& packet) override {
    Lines.push_back("chat " + std::string(packet.Bytes(), packet.Bytes() + packet.Count()));
  }
  void ReceiveOther(TPeerId, const TData&) override {}
  void Play(std::unique_ptr<TData> e) override {
    Played.push_back({e->DataType, e->Time, Bytes(e->Bytes(), e->Bytes() + e->Count())});
  }
  void PlayEndOfLink() override { Played.push_back({dtNone, 0, {}}); }
  void Log(const std::string& line) override { Lines.push_back(line); }
  void LogPacket(const char*, const TData&) override {}
  void Flash(TLamp) override {}
  void WakeIn(uint32_t ms) override { Wake = ms; }
};

TEST(SessionTest, TheServerRelaysMidiAndChatOnItsOwnClockAndEndsWhatADepartedPeerLeftSounding) {
  TFakeHost host;
  host.Session.SetIsServer(true);
  host.Session.StartClock(0);
  host.Session.SetActive(true, 0);
  host.Session.Connected(1, 0);
  host.Session.Connected(2, 0);

  // Fed one byte at a time: the decoder keeps its state between blocks.
  host.Now = 100;
  for (uint8_t b : Frame(dtMidi, 7, {0x90, 0x3C, 0x64})) host.Feed(1, {b});
  host.Now = 130;
  host.Feed(1, Frame(dtTime, 30, {}));
  host.Now = 150;
  host.Feed(1, Frame(dtChat, 20, {'h', 'i'}));

  // Relayed to everyone, the sender too, stamped with the server's own time; Time stays.
  const std::vector<TSent> relayed = {{dtMidi, 100, {0x90, 0x3C, 0x64}}, {dtChat, 50, {'h', 'i'}}};
  EXPECT_EQ(host.Frames[1], relayed);
  EXPECT_EQ(host.Frames[2], relayed);
  EXPECT_TRUE(host.Logged("chat hi"));
  // The server's own output plays what it relays, on the stamps its clients get.
  EXPECT_EQ(host.Played, (std::vector<TSent>{{dtMidi, 100, {0x90, 0x3C, 0x64}}, {dtMidi, 50, {}}}));

  // Peer 3 comes up after the note began (peer 1 back on a new connection, say): it never
  // heard the note, so it gets no note-off for it.
  host.Session.Connected(3, 200);

  // Peer 1 leaves with its note sounding: the note ends everywhere else, once.
  host.Now = 400;
  host.Refusing = {2};
  host.Close(1);
  EXPECT_EQ(host.Frames[1].size(), 2u);
  EXPECT_TRUE(host.Logged("Ended what peer 1 left sounding : 1 messages"));
  EXPECT_EQ(host.Played.back(), (TSent{dtMidi, 250, {0x80, 0x3C, 0x00}}));
  EXPECT_EQ(host.Session.Drops().SendsRefused, 1u) << "peer 2 refused the note-off";
  EXPECT_TRUE(host.Frames[3].empty());
  EXPECT_EQ(host.Session.PeerCount(), 2u);
  EXPECT_FALSE(host.Session.Receive(1, nullptr, 0, 400)) << "a gone peer's bytes are dropped";

  TData huge(40000, Bytes(40000, 0x55).data());
  huge.DataType = dtMidi;
  host.Session.SendOwn(huge, 400, 400);
  EXPECT_EQ(host.Session.Drops().FramesTooLarge, 1u);
}

TEST(SessionTest, RelayedStampsKeepTheSendersSpacingWhateverTheFirstHopDelayed) {
  TFakeHost host;
  host.Session.SetIsServer(true);
  host.Session.SetMaxLag(150);
  host.Session.StartClock(0);
  host.Session.SetActive(true, 0);
  host.Session.Connected(1, 0);
  host.Session.Connected(2, 0);
  // Played every 50 ms; each arrives 5 ms plus up to 40 ms late, in order.
  const std::vector<uint32_t> delays = {5, 45, 12, 30, 5, 41, 22, 8, 37, 19};
  uint32_t previous = 0;
  for (size_t i = 0; i < delays.size(); ++i) {
    const uint32_t played = 1000 + 50 * static_cast<uint32_t>(i);
    host.Now = std::max(previous, played + delays[i]);
    previous = host.Now;
    host.Feed(1, Frame(dtMidi, i == 0 ? 1000 : 50, {0x90, static_cast<uint8_t>(i), 0x40}));
  }
  // The first packet is least delayed: the rest keep their 50 ms, at the other client and at
  // the server's own output alike.
  ASSERT_EQ(host.Frames[2].size(), delays.size());
  for (size_t i = 1; i < delays.size(); ++i) {
    EXPECT_EQ(host.Frames[2][i].Time, 50) << i;
    EXPECT_EQ(host.Played[i].Time, 50) << i;
  }
  // A chat of the server's own goes out at its real instant: after the last relayed packet
  // was played, the gap it closes counts from there.
  host.Now = 2000;
  TData chat(2, Bytes{'o', 'k'}.data());
  chat.DataType = dtChat;
  host.Session.SendOwn(chat, 2000, 2000);
  EXPECT_EQ(host.Frames[2].back().Time, 2000 - (1000 + 50 * 9 + 5));
}

TEST(SessionTest, StampsCountFromThePreviousSendAcrossTheClocksWrapAndStopAt65535) {
  TFakeHost host;
  host.Session.StartClock(0xFFFFFFF0u);
  EXPECT_EQ(host.Session.TimeSinceLastSend(0x10u), 0x20);
  EXPECT_EQ(host.Session.TimeSinceLastSend(0x10u + 70000), 65535);
  EXPECT_EQ(host.Session.TimeSinceLastSend(0x10u + 70000 + 5), 5);
}

TEST(SessionTest, IdleTimePacketsDeadPeersAndReconnectTriesComeAtTheirTimes) {
  TFakeHost host;
  host.Session.SetAutoStart(true);
  host.Session.SetTarget("tessel.local", 5401);
  host.Session.StartClock(0);
  host.Session.KeepLink();
  host.Session.SetActive(true, 0);
  host.Session.Connected(1, 0);
  EXPECT_EQ(host.Wake, 5000u);

  // Any send restarts the idle interval; after 5 s of nothing a Time packet goes.
  TData note(3, Bytes{0x90, 0x40, 0x40}.data());
  note.DataType = dtMidi;
  host.Session.SendOwn(note, 3000, 3000);
  EXPECT_EQ(host.Wake, 5000u);
  host.Session.Tick(7999);
  EXPECT_EQ(host.Frames[1].size(), 1u);
  host.Session.Tick(8000);
  EXPECT_EQ(host.Frames[1].back(), (TSent{dtTime, 5000, {}}));

  // The server heard last at 0: the link is dropped once more than 15 s have passed.
  host.Now = 15000;
  host.Session.Tick(15000);
  EXPECT_EQ(host.Session.PeerCount(), 1u);
  host.Now = 15001;
  host.Session.Tick(15001);
  EXPECT_TRUE(host.Logged("** ** ** Nothing heard for 15 s, connection dropped : peer 1"));
  EXPECT_EQ(host.Played.back().Type, dtNone) << "the output ends what the link left sounding";
  EXPECT_TRUE(host.Logged("Reconnect : next try in 1 s"));
  EXPECT_EQ(host.Wake, 1000u);

  // Tries after 1 s, then every 2 s, until the link stands.
  host.OpenFailure = "no route";
  host.Session.Tick(16000);
  EXPECT_EQ(host.Opens, 0);
  host.Session.Tick(16001);
  EXPECT_TRUE(host.Logged("Reconnect : try 1 to tessel.local port 5401"));
  EXPECT_TRUE(host.Logged("Reconnect : no route"));
  EXPECT_EQ(host.Wake, 2000u);
  host.OpenFailure.clear();
  host.Session.Tick(18001);
  EXPECT_EQ(host.Opens, 2);
  host.Session.LinkFailed(18500);
  host.Session.Tick(20500);
  EXPECT_EQ(host.Opens, 3);
  host.Session.SetActive(true, 20600);
  host.Session.Connected(1, 20600);
  EXPECT_TRUE(host.Logged("Reconnect : connected at try 3"));
  EXPECT_EQ(host.Session.Reconnect().State(), TReconnectPolicy::TState::Up);

  // Once the user takes over, a lost link stays down.
  host.Session.StopReconnecting();
  host.Now = 21000;
  host.Close(1);
  host.Session.Tick(40000);
  EXPECT_EQ(host.Opens, 3);
}

}  // namespace

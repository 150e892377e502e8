#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <algorithm>
#include <functional>
#include <memory>

#include "admission/password.h"
#include "engine/engine.h"
#include "platform/inifile.h"
#include "session/session.h"
#include "tests/support/enginetestsupport.h"
#include "tests/support/linktestsupport.h"
#include "tests/support/serverprocess.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(int8_t type, const Bytes& payload) {
  TData packet(static_cast<uint16_t>(payload.size()), payload.data());
  packet.DataType = type;
  packet.Encode();
  return {packet.Bytes(), packet.Bytes() + packet.Count()};
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::string> ChatOf(const TRawPeer& peer) {
  std::vector<std::string> texts;
  for (const TData& packet : peer.Received)
    if (packet.DataType == dtChat)
      texts.emplace_back(packet.Bytes(), packet.Bytes() + packet.Count());
  return texts;
}

// The answer a copy that knows `password` gives to the challenge the peer got.
Bytes AnswerFor(const TRawPeer& peer, const std::string& password) {
  for (const TData& packet : peer.Received) {
    if (packet.DataType != dtChallenge) continue;
    const auto challenge = DecodeChallenge({packet.Bytes(), packet.Count()});
    if (!challenge) break;
    const TPasswordKey key =
        DeriveKey(password, challenge->Salt, challenge->OpsLimit, challenge->MemLimit);
    const TAnswer answer = Answer(key.Key, challenge->Nonce);
    return Frame(dtAnswer, {answer.begin(), answer.end()});
  }
  ADD_FAILURE() << "no challenge came";
  return {};
}

// A client copy in this process that gives `password` and plays on loopback output `midiOut`.
struct TClientCopy {
  TClientCopy(uint16_t port, const std::string& password, unsigned midiOut) {
    TIniFile ini(File.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "ServerName", "127.0.0.1");
    ini.WriteString("Settings", "MidiOut", LoopbackName(midiOut));
    ini.WriteInteger("Settings", "BufferTime", 50);
    ini.UpdateFile();
    Engine = std::make_unique<TEngine>(File.Path());
    Engine->SetObserver(&View);
    Engine->Start();
    // Linked only now, so its first connection already gives the password.
    TIpSettings ip = Engine->IpSettings();
    ip.AutoStart = true;
    ip.Password = true;
    ip.NewPassword = password;
    Engine->ApplyIpSettings(ip);
  }
  TTempSettings File;
  TRecordingView View;
  std::unique_ptr<TEngine> Engine;
};

// tessel-server with "Only listed" and a session password set from its command line: a peer
// from an address not on the list is refused at once; of the listed ones, only those that give
// the right password join, and nothing the others sent reaches anyone.
TEST(AdmissionBetweenProgramsTest, OnlyListedPeersWithThePasswordJoinAndNothingElseIsRelayed) {
  UseLoopbackDevices();
  const uint16_t port = FreeTcpPort();
  TTempSettings serverFile;
  {
    TIniFile ini(serverFile.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "YourName", "Hub");
    ini.WriteString("Settings", "WhoMayConnect", "Listed");
    ini.WriteString("Settings", "AllowedPeers", "127.0.0.1");
    ini.UpdateFile();
  }
  QProcess setPassword;
  setPassword.start(TESSEL_SERVER_EXECUTABLE,
                    {"--settings", QString::fromStdString(serverFile.Path()), "--set-password"});
  setPassword.write("stage door\n");
  setPassword.closeWriteChannel();
  ASSERT_TRUE(setPassword.waitForFinished(30000));
  EXPECT_EQ(setPassword.exitCode(), 0);
  EXPECT_EQ(setPassword.readAllStandardOutput().toStdString(), "The session password is set.\n");

  TServerProcess server(serverFile.Path());
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.Printed("Server : Starts Listening ...")) << server.Output;

  TMidiObserver atListener(1);
  TClientCopy listener(port, "stage door", 1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !listener.View.Chat.empty(); }, 10s));
  EXPECT_EQ(listener.View.Chat[0], "Welcome to Hub, you are connected now.");

  TRawPeer stranger(port, QHostAddress("127.0.0.2"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return stranger.Connected() || stranger.Closed; }));
  stranger.Write(Frame(dtMidi, {0x90, 0x3C, 0x64}));
  ASSERT_TRUE(ProcessEventsUntil([&] { return stranger.Closed; })) << server.Output;
  EXPECT_TRUE(server.Printed(", 127.0.0.2 : ")) << server.Output;
  EXPECT_TRUE(server.Printed("not on the list")) << server.Output;

  // Listed, but it knows nothing of passwords: it plays at once.
  TRawPeer mute(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return mute.CountOf(dtChallenge) == 1; }));
  mute.Write(Frame(dtMidi, {0x90, 0x3D, 0x64}));
  // The answer and a note in one write: the note is kept for when it joins.
  TRawPeer player(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.CountOf(dtChallenge) == 1; }));
  player.Write(AnswerFor(player, "stage door") + Frame(dtMidi, {0x90, 0x3E, 0x64}));
  ASSERT_TRUE(ProcessEventsUntil([&] { return atListener.Received.size() == 1; }, 10s));
  EXPECT_EQ(atListener.Received[0].Bytes, (Bytes{0x90, 0x3E, 0x64}));

  // A wrong password is told, and the copy does not try again on its own.
  TClientCopy wrong(port, "stage dor", 3);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !wrong.View.Chat.empty(); }, 10s));
  EXPECT_EQ(wrong.View.Chat, std::vector<std::string>{"Wrong password"});
  ASSERT_TRUE(ProcessEventsUntil([&] { return !wrong.Engine->Active(); }));
  ProcessEventsFor(1500ms);  // past the first reconnect try
  EXPECT_FALSE(wrong.Engine->Active());
  ASSERT_TRUE(server.Printed("Wrong password (2 refused so far)")) << server.Output;

  ProcessEventsFor(200ms);
  EXPECT_EQ(atListener.Received.size(), 1u) << "nothing of the refused or the mute came";
  EXPECT_FALSE(mute.Closed);
  ASSERT_TRUE(server.Terminate());
}

// "Ask me" on a copy with a window: each connection waits for the answer, gets nothing but
// keep-alives and gives nothing meanwhile; what it sent arrives in order once allowed. An
// unanswered question is refused after a minute, and with a password set, a peer that does
// not answer the challenge is told so after 10 s.
TEST(AdmissionTest, AskMeHoldsEachConnectionUntilAnsweredAndRefusesTheUnansweredInTime) {
  TTempSettings file;
  const uint16_t port = FreeTcpPort();
  {
    TIniFile ini(file.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteBool("Settings", "IsSever", true);
    ini.WriteBool("Settings", "AutoStart", true);
    ini.WriteString("Settings", "WhoMayConnect", "Ask");
    ini.UpdateFile();
  }
  TFakeClock clock;
  TRecordingView view;
  TEngine server(file.Path(), &clock);
  server.SetObserver(&view);
  server.Start();
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.Active(); }));

  TRawPeer listener(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.AdmissionQuestion() != nullptr; }));
  EXPECT_EQ(server.AdmissionQuestion()->Address, "127.0.0.1");
  server.AnswerAdmission(TUserAnswer::Allow);
  ASSERT_TRUE(ProcessEventsUntil([&] { return listener.CountOf(dtChat) == 1; }));

  TRawPeer player(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.AdmissionQuestion() != nullptr; }));
  player.Write(Frame(dtMidi, {0x90, 0x3C, 0x64}) + Frame(dtMidi, {0x90, 0x3D, 0x64}));
  player.Write(Frame(dtMidi, {0x80, 0x3C, 0x00}));
  ProcessEventsFor(100ms);
  EXPECT_TRUE(listener.MidiPackets().empty());
  EXPECT_EQ(player.CountOf(dtChat), 0u) << "no welcome before it is let in";
  clock.Advance(TSession::kIdleIntervalMs);
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.CountOf(dtTime) == 1; })) << "keep-alive";
  server.AnswerAdmission(TUserAnswer::Allow);
  ASSERT_TRUE(ProcessEventsUntil([&] { return listener.MidiPackets().size() == 3; }));
  const std::vector<TData> relayed = listener.MidiPackets();
  EXPECT_EQ(PayloadOf(relayed[0]), (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(PayloadOf(relayed[1]), (Bytes{0x90, 0x3D, 0x64}));
  EXPECT_EQ(PayloadOf(relayed[2]), (Bytes{0x80, 0x3C, 0x00}));
  EXPECT_EQ(server.Connections().size(), 2u);

  TRawPeer late(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.AdmissionQuestion() != nullptr; }));
  clock.Advance(TAdmissionPolicy::kAnswerTimeMs - 1);
  ProcessEventsFor(50ms);
  EXPECT_FALSE(late.Closed);
  clock.Advance(1);
  ASSERT_TRUE(ProcessEventsUntil([&] { return late.Closed; }));
  EXPECT_EQ(server.AdmissionQuestion(), nullptr);
  EXPECT_EQ(server.RefusedConnections(), 1u);

  TIpSettings ip = server.IpSettings();
  ip.Password = true;
  ip.NewPassword = "stage door";
  server.ApplyIpSettings(ip);
  ASSERT_TRUE(ProcessEventsUntil([&] { return server.Active(); }));
  TRawPeer mute(port);
  ASSERT_TRUE(ProcessEventsUntil([&] { return mute.CountOf(dtChallenge) == 1; }));
  EXPECT_EQ(server.AdmissionQuestion(), nullptr) << "the password comes before the question";
  clock.Advance(TPasswordCheck::kAnswerTimeMs);
  ASSERT_TRUE(ProcessEventsUntil([&] { return mute.Closed; }));
  EXPECT_EQ(ChatOf(mute), std::vector<std::string>{"This server needs a password"});
  EXPECT_GE(view.QuestionChanges, 6);
}

// Connections of a plain socket each, which the test never serves: they only write.
class TMutePeers {
 public:
  // `accepted` waits until the server has taken the latest; a burst would pass the few
  // connections the system queues for it, and each one dropped would wait a second.
  TMutePeers(uint16_t port, int count, const Bytes& first,
             const std::function<bool(int)>& accepted) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      if (fd < 0) break;
      fds_.push_back(fd);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 ||
          ::send(fd, first.data(), first.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(first.size()))
        break;
      if (!accepted(++Connected)) break;
    }
  }
  ~TMutePeers() {
    for (const int fd : fds_) ::close(fd);
  }
  TMutePeers(const TMutePeers&) = delete;
  TMutePeers& operator=(const TMutePeers&) = delete;

  int Connected = 0;

 private:
  std::vector<int> fds_;
};

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A thousand connections that never answer the challenge, each playing and chatting before it
// would: the server goes on admitting and relaying between the two that did answer, and
// nothing of the others reaches them.
TEST(AdmissionBetweenProgramsTest, AThousandUnansweredConnectionsReachNobodyAndStopNothing) {
  TTempSettings file;
  const uint16_t port = FreeTcpPort();
  {
    TIniFile ini(file.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteString("Settings", "PasswordKey",
                    KeySetting(DeriveKey("stage door", NewSalt())));
    ini.UpdateFile();
  }
  TServerProcess server(file.Path());
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.Printed("Server : Starts Listening ...")) << server.Output;

  size_t asked = 0, scanned = 0;
  const auto serverAsked = [&](int count) {
    return ProcessEventsUntil([&] {
      server.Printed("");
      for (size_t at = server.Output.find("Password asked of", scanned); at != std::string::npos;
           at = server.Output.find("Password asked of", scanned)) {
        ++asked;
        scanned = at + 1;
      }
      return asked >= static_cast<size_t>(count);
    });
  };
  const TMutePeers hostile(port, 1000, Frame(dtMidi, {0x90, 0x40, 0x7F}) + Frame(dtChat, {'x'}),
                           serverAsked);
  ASSERT_EQ(hostile.Connected, 1000);
  TRawPeer listener(port), player(port);
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return listener.CountOf(dtChallenge) == 1 && player.CountOf(dtChallenge) == 1; }, 30s));
  listener.Write(AnswerFor(listener, "stage door"));
  player.Write(AnswerFor(player, "stage door"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return player.CountOf(dtChat) == 1; }));  // the welcome
  player.Write(Frame(dtMidi, {0x90, 0x3C, 0x64}));
  ASSERT_TRUE(ProcessEventsUntil([&] { return listener.MidiPackets().size() == 1; }));
  ASSERT_TRUE(server.Printed("Password given by")) << server.Output;
  ProcessEventsFor(100ms);
  const std::vector<TData> relayed = listener.MidiPackets();
  ASSERT_EQ(relayed.size(), 1u);
  EXPECT_EQ(PayloadOf(relayed[0]), (Bytes{0x90, 0x3C, 0x64}));
  for (const std::string& text : ChatOf(listener)) EXPECT_NE(text, "x");
  // Every one of them was asked, and refused once its time was up.
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return server.Printed("(1000 refused so far)"); }, 30s)) << Occurrences(server.Output, "Password asked of");
  EXPECT_EQ(Occurrences(server.Output, "Password asked of"), 1002u);
  ASSERT_TRUE(server.Terminate());
}

}  // namespace

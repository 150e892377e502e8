// A server copy and a client window on a network of the test's own (mdns-netns.sh): two
// network namespaces joined by one veth pair, each with its own avahi-daemon. The server is
// the built program as a separate process in the server namespace, playing on JACK; the
// client is a window of this process in the client namespace, on loopback MIDI.

#include <gtest/gtest.h>

#include <QAction>
#include <QCompleter>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/frmclientserver.h"
#include "midi/midiout.h"
#include "platform/inifile.h"
#include "tests/support/linktestsupport.h"
#include "tests/jack/jackpeer.h"
#include "tests/process/tesselprocess.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char kServerName[] = "Stage Left";
constexpr auto kSeenWithin = 3s;
constexpr auto kPatience = 10s;

std::string Required(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? value : "";
}

long Ms(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// The port a process listens on over TCP, from its own network namespace's table; 0 for none.
uint16_t ListeningPortOf(pid_t pid) {
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A")
      return static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
  }
  return 0;
}

// What a client we did not write sees: avahi-browse's resolved lines for the service type.
std::vector<std::string> AvahiBrowse(const std::string& type = "_tessel._tcp") {
  std::vector<std::string> resolved;
  // Bounded: a browse that never ended would hold the test for good, with the GUI thread
  // stopped here; the callers ask again.
  const std::string command = "timeout 10 avahi-browse -rpt " + type + " 2>/dev/null";
  FILE* browse = ::popen(command.c_str(), "r");
  if (!browse) return resolved;
  char line[1024];
  while (std::fgets(line, sizeof line, browse))
    if (line[0] == '=') resolved.emplace_back(line, std::strcspn(line, "\n"));
  ::pclose(browse);
  return resolved;
}

// The server copy, started in the server namespace: its program is a script that enters it.
class TServerCopy {
 public:
  explicit TServerCopy(const std::string& folder) : copy_(folder) {
    const std::filesystem::path program = copy_.Folder() / "tessel";
    std::filesystem::rename(program, copy_.Folder() / "tessel.bin");
    std::ofstream(program) << "#!/bin/sh\nexec " << Required("TESSEL_SERVER_NS") << " '"
                           << (copy_.Folder() / "tessel.bin").string() << "'\n";
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    copy_.WriteSettings({{"Port", "0"},
                         {"IsSever", "1"},
                         {"AutoStart", "1"},
                         {"YourName", kServerName},
                         {"MidiIn", "Tessel MIDI In"},
                         {"MidiOut", "Tessel MIDI Out"},
                         {"BufferTime", "50"}});
  }

  // Starts it and waits until it listens; the moment it was first seen listening.
  Clock::time_point StartListening() {
    copy_.Start();
    const auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
      port_ = ListeningPortOf(copy_.Pid());
      if (port_ != 0) return Clock::now();
      std::this_thread::sleep_for(2ms);
    }
    ADD_FAILURE() << "the server did not listen:\n" << copy_.Log();
    return Clock::now();
  }
  void Stop() { EXPECT_EQ(copy_.Stop(5s), 0) << copy_.Log(); }
  uint16_t Port() const { return port_; }

 private:
  TTesselProcess copy_;
  uint16_t port_ = 0;
};

class DiscoveryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UseLoopbackDevices(); }

  void SetUp() override {
    if (Required("TESSEL_SERVER_NS").empty())
      GTEST_SKIP() << "needs the network of its own that mdns-netns.sh makes";
  }

  // A client window reading loopback input 0 and playing on output 1, monitoring.
  std::unique_ptr<TFormServerMain> StartClient() {
    TIniFile ini(clientFile.Path());
    ini.WriteBool("Settings", "IsSever", false);
    ini.WriteBool("Settings", "Monitoring", true);
    ini.WriteString("Settings", "MidiIn", LoopbackName(0));
    ini.WriteString("Settings", "MidiOut", LoopbackName(1));
    ini.WriteInteger("Settings", "BufferTime", 50);
    ini.UpdateFile();
    auto window = std::make_unique<TFormServerMain>(clientFile.Path());
    window->show();
    return window;
  }

  static QAction* EntryFor(const TFormServerMain& window, const QString& name) {
    const auto* menu = window.findChild<QMenu*>("MenuItemConnectTo");
    for (QAction* entry : menu->actions())
      if (entry->text() == name) return entry;
    return nullptr;
  }

  static bool Offered(const TFormServerMain& window, const QString& name) {
    const QAbstractItemModel* names = window.EditServerName->completer()->model();
    bool inField = false;
    for (int row = 0; row < names->rowCount(); ++row)
      inField |= names->index(row, 0).data().toString() == name;
    return inField && EntryFor(window, name);
  }

  // Waits with the event loop until the server is offered, or no longer; when it happened.
  static Clock::time_point WaitUntilOffered(const TFormServerMain& window, bool offered,
                                            std::chrono::milliseconds timeout) {
    EXPECT_TRUE(
        ProcessEventsUntil([&] { return Offered(window, kServerName) == offered; }, timeout))
        << kServerName << (offered ? " not offered" : " still offered");
    return Clock::now();
  }

  // Sorts the figures and prints them.
  static void Report(const char* what, std::vector<long>& ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%s: min %ld ms, median %ld ms, max %ld ms over %zu runs\n", what, ms.front(),
                ms[ms.size() / 2], ms.back(), ms.size());
  }

  QTemporaryDir folder{QDir::tempPath() + "/tessel-discovery-XXXXXX"};
  TTempSettings clientFile;
  TMessageRecorder messages;
};

TEST_F(DiscoveryTest, ChosenServerIsJoinedWithoutTypingAndAnotherBrowserSeesIt) {
  std::string why;
  if (!TJackPeer::ServerRunning(&why)) GTEST_SKIP() << why;
  TJackPeer ear("DiscoveryEar");
  const auto outputsBefore = ear.FindPorts("^Tessel[^:]*:MIDI Out$", false);
  std::unique_ptr<TFormServerMain> client = StartClient();
  TServerCopy server(folder.filePath("server").toStdString());
  const Clock::time_point listening = server.StartListening();
  const Clock::time_point seen = WaitUntilOffered(*client, true, kSeenWithin + 2s);
  EXPECT_LE(seen - listening, kSeenWithin);

  const auto resolved = AvahiBrowse();
  ASSERT_EQ(resolved.size(), 1u);
  // =;interface;IPv4;name;type;domain;host;address;port;"txt" "txt"
  EXPECT_NE(resolved[0].find(";IPv4;Stage\\032Left;_tessel._tcp;local;"), std::string::npos);
  EXPECT_NE(resolved[0].find(";10.213.0.1;" + std::to_string(server.Port()) + ";"),
            std::string::npos)
      << resolved[0];
  EXPECT_NE(resolved[0].find("\"txtvers=1\""), std::string::npos) << resolved[0];
  EXPECT_NE(resolved[0].find("\"version="), std::string::npos) << resolved[0];

  std::vector<std::string> outputs;
  ASSERT_TRUE(WaitWithoutEvents([&] {
    outputs = ear.FindPorts("^Tessel[^:]*:MIDI Out$", false);
    return outputs.size() > outputsBefore.size();
  }));
  std::erase_if(outputs, [&](const std::string& port) {
    return std::find(outputsBefore.begin(), outputsBefore.end(), port) != outputsBefore.end();
  });
  ASSERT_TRUE(ear.Connect(outputs.front(), ear.InputPort()));
  ASSERT_TRUE(ear.WaitUntilInputConnected(5s));

  const Clock::time_point chosen = Clock::now();
  EntryFor(*client, kServerName)->trigger();
  ASSERT_TRUE(ProcessEventsUntil([&] { return client->Active(); }, kPatience));
  std::printf("choosing the entry to connected: %ld ms\n", Ms(Clock::now() - chosen));
  EXPECT_EQ(client->EditServerName->text(), kServerName);
  EXPECT_EQ(client->Port(), server.Port());

  TMidiOutput keyboard;
  keyboard.SetProductName(LoopbackName(0));
  keyboard.Open();
  keyboard.SendShort(0x90, 0x3C, 0x64);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !ear.Received().empty(); }, kPatience));
  EXPECT_EQ(ear.Received().front().Bytes, (std::vector<uint8_t>{0x90, 0x3C, 0x64}));
  keyboard.SendShort(0x80, 0x3C, 0x00);
  ProcessEventsFor(200ms);

  const Clock::time_point stopped = Clock::now();
  server.Stop();
  WaitUntilOffered(*client, false, kPatience);
  std::printf("server stopped to entry gone: %ld ms\n", Ms(Clock::now() - stopped));
  EXPECT_TRUE(messages.Boxes.empty());
}

TEST_F(DiscoveryTest, ServersThatComeAndGoAreListedWithinThreeSecondsAndLeaveTheList) {
  std::unique_ptr<TFormServerMain> client = StartClient();
  TServerCopy server(folder.filePath("server").toStdString());
  std::vector<long> toSeen, toGone;
  for (int run = 0; run < 10; ++run) {
    const Clock::time_point listening = server.StartListening();
    toSeen.push_back(Ms(WaitUntilOffered(*client, true, kSeenWithin + 2s) - listening));
    EXPECT_LE(toSeen.back(), Ms(kSeenWithin)) << "run " << run;
    const Clock::time_point stopped = Clock::now();
    server.Stop();
    toGone.push_back(Ms(WaitUntilOffered(*client, false, kPatience) - stopped));
  }
  Report("server listening to listed", toSeen);
  Report("server stopped to entry gone", toGone);
}

// A second server of the same name, in the client namespace, is told apart as DNS-SD does it,
// and its announcements (Tessel's and RTP-MIDI's) follow its chat name and show the ports it
// really listens on.
TEST_F(DiscoveryTest, SecondServerOfOneNameIsRenamedAndFollowsItsChatName) {
  // avahi-browse's line for an instance (it writes a space as \032, "(" as \040), or nothing.
  const auto browsed = [](const std::string& instance, const char* type = "_tessel._tcp") {
    for (const std::string& line : AvahiBrowse(type))
      if (line.find(";IPv4;" + instance + ";" + type + ";") != std::string::npos) return line;
    return std::string();
  };
  const auto announced = [&](const std::string& instance, const char* type = "_tessel._tcp") {
    return !browsed(instance, type).empty();
  };
  TServerCopy first(folder.filePath("server").toStdString());
  first.StartListening();
  // The first holds the name before the second asks for it.
  ASSERT_TRUE(ProcessEventsUntil([&] { return announced("Stage\\032Left"); }, kPatience));
  TIniFile ini(clientFile.Path());
  ini.WriteBool("Settings", "IsSever", true);
  ini.WriteBool("Settings", "AutoStart", true);
  ini.WriteString("Settings", "YourName", kServerName);
  ini.UpdateFile();
  TFormServerMain second(clientFile.Path());
  second.show();
  ASSERT_TRUE(ProcessEventsUntil([&] { return second.Active(); }));
  const uint16_t port = ListeningPortOf(::getpid());
  const auto* portLabel = second.findChild<QLabel*>("LabelListeningPort");
  // Nothing else listens in the namespace, so the UDP pair takes the TCP port's number.
  EXPECT_EQ(
      portLabel->text(),
      QString("Listening on port %1, RTP-MIDI on UDP ports %1 and %2").arg(port).arg(port + 1));
  const std::string renamed = "Stage\\032Left\\032\\0402\\041";
  EXPECT_TRUE(ProcessEventsUntil([&] { return announced(renamed); }, kPatience));
  EXPECT_NE(browsed(renamed).find(";" + std::to_string(port) + ";"), std::string::npos);
  EXPECT_TRUE(
      ProcessEventsUntil([&] { return announced(renamed, "_apple-midi._udp"); }, kPatience));
  EXPECT_NE(browsed(renamed, "_apple-midi._udp").find(";" + std::to_string(port) + ";"),
            std::string::npos);
  EXPECT_TRUE(announced("Stage\\032Left"));

  second.EditYourName->setText("Stage Right");
  second.ApplyChatSettings();
  EXPECT_TRUE(ProcessEventsUntil([&] { return announced("Stage\\032Right"); }, kPatience));
  EXPECT_TRUE(ProcessEventsUntil([&] { return announced("Stage\\032Right", "_apple-midi._udp"); },
                                 kPatience));
  // The old name's goodbye takes a second to clear from caches.
  EXPECT_TRUE(
      ProcessEventsUntil([&] { return !announced("Stage\\032Left\\032\\0402\\041"); }, kPatience));
  first.Stop();
  EXPECT_TRUE(messages.Boxes.empty());
}

// A listening server offers the RTP-MIDI sessions it sees, and one chosen joins its star.
TEST_F(DiscoveryTest, AListeningServerInvitesASessionItSees) {
  TServerCopy first(folder.filePath("server").toStdString());
  first.StartListening();
  TIniFile ini(clientFile.Path());
  ini.WriteBool("Settings", "IsSever", true);
  ini.WriteBool("Settings", "AutoStart", true);
  ini.WriteString("Settings", "YourName", "Stage Right");
  ini.UpdateFile();
  TFormServerMain second(clientFile.Path());
  second.show();
  const auto* invite = second.findChild<QMenu*>("MenuItemInviteSession");
  QAction* entry = nullptr;
  // An earlier server of that name may linger in the daemon's cache for a while.
  ASSERT_TRUE(ProcessEventsUntil(
      [&] {
        const std::vector<TAnnouncedServer>& seen = second.Engine().SessionsSeen();
        return second.Active() && std::any_of(seen.begin(), seen.end(), [&](const auto& session) {
                 return session.Name == kServerName && session.Port == first.Port();
               });
      },
      kPatience));
  for (QAction* action : invite->actions())
    if (action->text() == kServerName) entry = action;
  ASSERT_NE(entry, nullptr);
  EXPECT_TRUE(invite->menuAction()->isEnabled());
  entry->trigger();
  const std::string invited =
      std::string(kServerName) + " (RTP-MIDI), 10.213.0.1 : " + std::to_string(first.Port());
  EXPECT_TRUE(ProcessEventsUntil([&] {
    const std::vector<std::string>& connections = second.Engine().Connections();
    return std::find(connections.begin(), connections.end(), invited) != connections.end();
  })) << invited;
  first.Stop();
  EXPECT_TRUE(messages.Boxes.empty());
}

// The server's daemon goes away and comes back: the entry goes and comes back by itself.
TEST_F(DiscoveryTest, ServerAnnouncesAgainWhenItsDaemonComesBack) {
  std::unique_ptr<TFormServerMain> client = StartClient();
  TServerCopy server(folder.filePath("server").toStdString());
  server.StartListening();
  WaitUntilOffered(*client, true, kSeenWithin + 2s);
  const std::string avahi = Required("TESSEL_SERVER_NS_AVAHI");
  ASSERT_EQ(std::system((avahi + " stop").c_str()), 0);
  WaitUntilOffered(*client, false, kPatience);
  const Clock::time_point back = Clock::now();
  ASSERT_EQ(std::system((avahi + " start").c_str()), 0);
  WaitUntilOffered(*client, true, kPatience);
  std::printf("server's daemon back to listed again: %ld ms\n", Ms(Clock::now() - back));
  server.Stop();
  EXPECT_TRUE(messages.Boxes.empty());
}

// Start-up with no daemon to reach is as quick as with one: a server copy in the client
// namespace, once on the namespace's bus and once on a bus that is not there.
TEST_F(DiscoveryTest, StartsAsQuicklyWithoutADaemon) {
  std::vector<long> present, absent;
  for (int run = 0; run < 10; ++run) {
    TTesselProcess copy(folder.filePath("alone").toStdString());
    copy.WriteSettings({{"Port", "0"}, {"IsSever", "1"}, {"AutoStart", "1"}});
    if (run % 2) copy.SetEnvironment("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    const Clock::time_point started = Clock::now();
    copy.Start();
    ASSERT_TRUE(WaitWithoutEvents([&] { return ListeningPortOf(copy.Pid()) != 0; }, kPatience))
        << copy.Log();
    (run % 2 ? absent : present).push_back(Ms(Clock::now() - started));
    EXPECT_EQ(copy.Stop(5s), 0) << copy.Log();
  }
  Report("start to listening, avahi-daemon present", present);
  Report("start to listening, no avahi-daemon", absent);
  EXPECT_LE(absent[absent.size() / 2], present[present.size() / 2] + 100);
}

}  // namespace

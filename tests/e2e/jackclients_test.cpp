// Copies of the program as a patchbay sees them on a JACK server: one client each, named in
// the order they started, and what a copy killed with SIGKILL costs the others.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/jack/jackpeer.h"
#include "tests/jack/ownjackserver.h"
#include "tests/process/tesselprocess.h"
#include "tests/support/serverprocess.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Names = std::vector<std::string>;

constexpr auto kPatience = 20s;
// The client timeout of the fixture's servers (jackd -t 5000).
constexpr auto kClientTimeout = 5s;
// What one dead client may cost: jackd2 waits up to ten client timeouts for a client that
// does not end its cycle (in some runs; in others the server drops it at once).
constexpr auto kDeadClientStall = 10 * kClientTimeout;

class JackClientsTest : public ::testing::Test {
 protected:
  // Copies still running are closed as a user closes them: killed ones would stall the server.
  void TearDown() override {
    for (const auto& copy : copies_) {
      if (copy->Running()) copy->Stop(kPatience);
    }
  }

  // Copies that only open their own MIDI ports: no link, so each stands alone.
  TTesselProcess& NewCopy(const char* name) {
    auto& copy = copies_.emplace_back(
        std::make_unique<TTesselProcess>(folder_.filePath(name).toStdString()));
    copy->WriteSettings({{"MidiIn", "Tessel MIDI In"},
                         {"MidiOut", "Tessel MIDI Out"},
                         {"IsSever", "1"},
                         {"AutoStart", "0"}});
    return *copy;
  }

  // Starts the copy and waits until the client `name` has both ports.
  void StartAs(TTesselProcess& copy, const std::string& name) {
    copy.Start();
    const Names expected = {name + ":MIDI In", name + ":MIDI Out"};
    const auto deadline = Clock::now() + kPatience;
    while (PortsOf(name) != expected && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(PortsOf(name), expected) << copy.Log();
  }

  Names PortsOf(const std::string& client) const {
    Names ports = peer_->FindPorts("^" + client + ":", true);
    const Names outputs = peer_->FindPorts("^" + client + ":", false);
    ports.insert(ports.end(), outputs.begin(), outputs.end());
    std::sort(ports.begin(), ports.end());
    return ports;
  }

  QTemporaryDir folder_;
  std::unique_ptr<TJackPeer> peer_;  // the patchbay
  std::vector<std::unique_ptr<TTesselProcess>> copies_;
};

TEST_F(JackClientsTest, EachCopyIsOneClientNamedByItsPlaceInTheStartOrder) {
  std::string why;
  if (!TJackPeer::ServerRunning(&why)) GTEST_SKIP() << why;
  peer_ = std::make_unique<TJackPeer>("Patchbay");
  TTesselProcess& first = NewCopy("first");
  TTesselProcess& second = NewCopy("second");
  for (int run = 0; run < 2; ++run) {
    ASSERT_NO_FATAL_FAILURE(StartAs(first, "Tessel"));
    ASSERT_NO_FATAL_FAILURE(StartAs(second, "Tessel 2"));
    std::this_thread::sleep_for(300ms);  // room for a stray client to show
    EXPECT_EQ(peer_->NewClients(), (Names{"Tessel", "Tessel 2"})) << "run " << run;
    ASSERT_EQ(second.Stop(kPatience), 0) << second.Log();
    ASSERT_EQ(first.Stop(kPatience), 0) << first.Log();
  }
}

// A cycle the JACK server could not finish drops its MIDI for every client, so the server
// says how many it missed, beside its own losses.
TEST_F(JackClientsTest, CyclesTheMidiSystemMissedAreShownBesideTheLosses) {
  std::string why;
  if (!TJackPeer::ServerRunning(&why)) GTEST_SKIP() << why;
  peer_ = std::make_unique<TJackPeer>("Patchbay");
  int argc = 0;
  QCoreApplication application(argc, nullptr);
  TTesselProcess& copy = NewCopy("server");
  copy.WriteSettings({{"Port", std::to_string(FreeLoopbackPort())},
                      {"MidiIn", "Tessel MIDI In"},
                      {"MidiOut", "Tessel MIDI Out"}});
  TServerProcess server(copy.SettingsFile().string());
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.Printed("Server : Starts Listening ...")) << server.Output;

  const size_t before = peer_->Xruns();
  peer_->StallNextCycle(200ms);
  const auto deadline = Clock::now() + kPatience;
  while (peer_->Xruns() == before && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  ASSERT_GT(peer_->Xruns(), before) << "the stalled cycle was not reported as missed";
  EXPECT_TRUE(server.Printed("Nothing lost; the MIDI system missed ")) << server.Output;
  EXPECT_TRUE(server.Terminate());
}

// On a server of its own that waits for every client in each cycle (jackd --sync), so that
// what a dead client costs shows: jackd2 waits ten client timeouts for a client that died
// inside its cycle, and drops one that died between cycles at once. A copy built with
// AddressSanitizer spends longer in its cycle, so it is killed there more often. A server
// that dies after a longer stall is jackd's own failure, and the test skips then. A longer
// stall it survives fails, with jackd's log: the log cannot tell jackd's failure from the
// program's, for jackd logs the same ("ClientKill ... cannot be removed from the graph") when
// a live copy stops running its cycles beside the dead one.
TEST_F(JackClientsTest, AKilledCopyStallsTheServerAtMostOnceForItsOneClient) {
  const TOwnJackServer server(OwnJackServerName("kill"), TESSEL_JACK_STATE);
  if (!server.Running()) GTEST_SKIP() << "cannot start JACK server " << server.Name();
  setenv("JACK_DEFAULT_SERVER", server.Name().c_str(), 1);  // for the patchbay and the copies
  peer_ = std::make_unique<TJackPeer>("Patchbay");
  TTesselProcess& victim = NewCopy("victim");
  TTesselProcess& survivor = NewCopy("survivor");
  ASSERT_NO_FATAL_FAILURE(StartAs(victim, "Tessel"));
  ASSERT_NO_FATAL_FAILURE(StartAs(survivor, "Tessel 2"));
  // The patchbay plays into itself and asks the server for a connection, so a stalled graph
  // or a stalled server shows as a step that is late.
  ASSERT_TRUE(peer_->Connect(peer_->OutputPort(), peer_->InputPort()));
  ASSERT_TRUE(peer_->WaitUntilInputConnected(kPatience));
  peer_->Send({0xB0, 0x01, 0x00});
  ASSERT_TRUE(peer_->WaitForMessages(1, kPatience));

  victim.Kill();
  constexpr auto kAllowed = kDeadClientStall + 2s;  // one dead client's stall
  Clock::duration worstWait{};
  size_t sent = 1;
  const auto killed = Clock::now();
  while (Clock::now() - killed < 2 * kClientTimeout) {
    const auto before = Clock::now();
    const bool connected = peer_->Connect(peer_->OutputPort(), peer_->InputPort());
    peer_->Send({0xB0, 0x01, static_cast<uint8_t>(++sent % 128)});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        kAllowed - (Clock::now() - before));
    if (!connected || !peer_->WaitForMessages(sent, left)) {
      // A jackd that cannot recover was seen to stop answering and die within two stalls.
      while (server.Alive() && Clock::now() - before < 2 * kDeadClientStall + 5s)
        std::this_thread::sleep_for(500ms);
      if (!server.Alive()) GTEST_SKIP() << "jackd died; its log:\n" << server.Log();
      FAIL() << "the server stays stalled for longer than one dead client; jackd's log:\n"
             << server.Log();
    }
    worstWait = std::max(worstWait, Clock::now() - before);
    std::this_thread::sleep_for(50ms);
  }
  std::printf("longest wait after the kill: %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(worstWait).count()));
  EXPECT_EQ(PortsOf("Tessel"), Names{}) << "the killed copy's client is still there";
  EXPECT_EQ(survivor.Stop(kPatience), 0) << survivor.Log();
}

}  // namespace

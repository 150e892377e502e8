// The MIDI ports end to end through a real JACK server: a test client plays into TMidiInput
// and records what TMidiOutput plays.

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <QThread>
#include <memory>
#include <string>
#include <vector>

#include "midi/midibackend.h"
#include "midi/midiin.h"
#include "midi/midiout.h"
#include "tests/jack/jackpeer.h"
#include "tests/support/qtwait.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr auto kPatience = 5s;

Bytes SysexOf(size_t length) {
  Bytes bytes(length);
  bytes.front() = 0xF0;
  for (size_t i = 1; i + 1 < length; ++i) bytes[i] = static_cast<uint8_t>((i * 7) % 0x80);
  bytes.back() = 0xF7;
  return bytes;
}

class MidiPortsJackTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!TJackPeer::ServerRunning(&why)) {
      GTEST_SKIP() << why << ": the jackd fixture could not start a server here";
    }
    // Before any port of ours, so the test holds the server to itself.
    peer = std::make_unique<TJackPeer>();
    ASSERT_EQ(mmsystem::ActiveMidiSystem(), mmsystem::MidiSystem::Jack);
  }

  std::unique_ptr<TJackPeer> peer;
};

TEST_F(MidiPortsJackTest, InputDeliversShortAndLongMessagesOnTheOwningThread) {
  TMidiInput input;
  const std::string name = mmsystem::FitProductName(peer->OutputPort());
  input.SetProductName(name);
  ASSERT_EQ(input.ProductName(), name);
  std::vector<Bytes> events;
  bool offThread = false;
  input.OnMidiInput = [&](TMidiInput& sender) {
    offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
    const auto event = sender.ReadEvent();
    if (event->SysexData) {
      events.emplace_back(event->SysexData.get(), event->SysexData.get() + event->SysexLength);
    } else {
      events.push_back({event->Status, event->Data1, event->Data2});
    }
  };
  input.Open();
  ASSERT_EQ(input.State(), TMidiInput::TState::Open) << TMidiInput::ErrorText(input.Error());
  input.Start();

  const Bytes sysex = SysexOf(10000);
  peer->Send({0x90, 0x3C, 0x64});
  peer->Send({0xF8});  // timing clock never reaches the handler
  peer->Send({0xC5, 0x07});
  peer->Send(sysex);
  peer->Send({0xF2, 0x10, 0x20});
  ASSERT_TRUE(ProcessEventsUntil([&] { return events.size() >= 6; }, kPatience))
      << events.size() << " events arrived";
  ProcessEventsFor(50ms);  // room for a stray event to show

  const std::vector<Bytes> expected = {{0x90, 0x3C, 0x64},
                                       {0xC5, 0x07, 0x00},
                                       Bytes(sysex.begin(), sysex.begin() + 4096),
                                       Bytes(sysex.begin() + 4096, sysex.begin() + 8192),
                                       Bytes(sysex.begin() + 8192, sysex.end()),
                                       {0xF2, 0x10, 0x20}};
  EXPECT_EQ(events, expected);
  EXPECT_FALSE(offThread);
  input.Stop();
  input.Close();
}

// The server's period in whole milliseconds, rounded up.
DWORD PeriodMs() {
  jack_client_t* client = jack_client_open("TesselPeriod", JackNoStartServer, nullptr);
  EXPECT_NE(client, nullptr);
  if (client == nullptr) return 0;
  const DWORD period = (1000 * jack_get_buffer_size(client) + jack_get_sample_rate(client) - 1) /
                       jack_get_sample_rate(client);
  jack_client_close(client);
  return period;
}

// An event carries when JACK got it, on timeGetTime's clock: a window thread that was busy
// for a while still learns when each note was played, and their spacing.
TEST_F(MidiPortsJackTest, EventsCarryTheirJackTimeOnTheMillisecondClock) {
  const DWORD period = PeriodMs();
  TMidiInput input;
  input.SetProductName(mmsystem::FitProductName(peer->OutputPort()));
  std::vector<uint32_t> instants;
  input.OnMidiInput = [&](TMidiInput& sender) { instants.push_back(sender.ReadEvent()->Instant); };
  input.Open();
  ASSERT_EQ(input.State(), TMidiInput::TState::Open) << TMidiInput::ErrorText(input.Error());
  input.Start();
  peer->Send({0x90, 0x3C, 0x64});  // played once the ports are cabled, so not timed
  ASSERT_TRUE(ProcessEventsUntil([&] { return instants.size() == 1; }, kPatience));

  // When the peer's cycle had played each.
  std::vector<DWORD> played;
  for (int i = 0; i < 3; ++i) {
    peer->Send({0x80, static_cast<uint8_t>(0x3C + i), 0x00});
    ASSERT_TRUE(peer->WaitUntilSent(kPatience));
    played.push_back(timeGetTime());
    QThread::msleep(40);  // the window thread is busy: nothing is read yet
  }
  ASSERT_TRUE(ProcessEventsUntil([&] { return instants.size() == 4; }, kPatience));
  // The stamp is the start of the cycle that played it: no later than a period after the peer
  // had played it, never when the window thread got to it, and never going back. A cycle
  // that runs late (as under a sanitizer) may have started before the event was even queued.
  const auto slack = static_cast<int32_t>(period + 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_LE(static_cast<int32_t>(instants[i + 1] - played[i]), slack) << "event " << i;
    EXPECT_GE(static_cast<int32_t>(instants[i + 1] - instants[i]), 0) << "event " << i;
  }
  input.Stop();
  input.Close();
}

TEST_F(MidiPortsJackTest, OutputPlaysEveryByteOfShortAndLongMessages) {
  TMidiOutput output;
  int done = 0;
  output.Onmidioutput = [&done](TMidiOutput&) { ++done; };
  output.SetProductName(mmsystem::FitProductName(peer->InputPort()));
  output.Open();
  ASSERT_TRUE(peer->WaitUntilInputConnected(kPatience));

  const Bytes sysex = SysexOf(10000);
  output.SendShort(0x90, 0x3C, 0x64);
  output.SendShort(0xC5, 0x07, 0x00);
  output.SendLong(sysex.data(), static_cast<uint16_t>(sysex.size()));
  // A short message in a long buffer, as a received Midi packet is played.
  TMyMidiEvent noteOff;
  const Bytes noteOffBytes = {0x80, 0x3C, 0x00};
  noteOff.SetSysexData(noteOffBytes.data(), 3);
  output.SendEvent(noteOff);

  const std::vector<Bytes> expected = {{0x90, 0x3C, 0x64}, {0xC5, 0x07}, sysex, noteOffBytes};
  ASSERT_TRUE(peer->WaitForMessages(expected.size(), kPatience));
  std::vector<Bytes> received;
  for (const auto& message : peer->Received()) received.push_back(message.Bytes);
  EXPECT_EQ(received, expected);
  EXPECT_TRUE(ProcessEventsUntil([&done] { return done == 2; }, kPatience)) << done;
  output.Close();
}

}  // namespace

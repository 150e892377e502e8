#include <gtest/gtest.h>

#include <QTimer>
#include <numeric>

#include "engine/engine.h"
#include "midi/midiin.h"
#include "midi/midiout.h"
#include "platform/inifile.h"
#include "tests/support/linktestsupport.h"

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

class RoutingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UseLoopbackDevices(); }

  // The copy reads input 0 and plays on output 1; the test feeds output 0 and listens on
  // input 1.
  void OpenCopyInput() {
    copy.SetMidiIn(LoopbackName(0));
    copy.SetMidiInOpen(true);
    feeder.SetProductName(LoopbackName(0));
    feeder.Open();
  }
  void SelectCopyOutput() { copy.SetMidiOut(LoopbackName(1)); }

  // The copy listens as a server with one raw peer, which gets what the input sends.
  void ListenWithPeer() {
    TIniFile ini(settings.Path());
    ini.WriteInteger("Settings", "Port", port);
    ini.WriteBool("Settings", "IsSever", true);
    ini.WriteBool("Settings", "AutoStart", true);
    ini.UpdateFile();
    copy.Start();
    ASSERT_TRUE(ProcessEventsUntil([&] { return copy.Active(); }));
    peer = std::make_unique<TRawPeer>(port);
    ASSERT_TRUE(ProcessEventsUntil([&] { return copy.Connections().size() == 1; }));
  }

  size_t ReceivedMidiBytes() const {
    const std::vector<TData> midi = peer->MidiPackets();
    return std::accumulate(midi.begin(), midi.end(), size_t{0},
                           [](size_t sum, const TData& p) { return sum + p.Count(); });
  }

  TTempSettings settings;
  TEngine copy{settings.Path()};
  TMidiOutput feeder;
  const uint16_t port = FreeTcpPort();
  std::unique_ptr<TRawPeer> peer;
};

TEST_F(RoutingTest, AnInputThatCannotOpenRaisesAndDoesNotCountAsOpen) {
  TMidiInput squatter;  // holds the device the copy asks for
  squatter.SetProductName(LoopbackName(0));
  squatter.Open();
  ASSERT_EQ(squatter.State(), TMidiInput::TState::Open);
  copy.SetMidiIn(LoopbackName(0));
  EXPECT_THROW(copy.SetMidiInOpen(true), EMidiInputError);
  EXPECT_FALSE(copy.MidiInOpen());
}

TEST_F(RoutingTest, ShortMessagesBecomePacketsAsLongAsTheirStatusSays) {
  ASSERT_NO_FATAL_FAILURE(ListenWithPeer());
  OpenCopyInput();
  feeder.SendShort(0x90, 0x3C, 0x64);
  feeder.SendShort(0xC5, 0x07, 0);
  feeder.SendShort(0xF1, 0x20, 0);  // quarter frame: no packet
  feeder.SendShort(0xF2, 0x10, 0x20);
  feeder.SendShort(0xF3, 0x05, 0);
  feeder.SendShort(0xFA, 0, 0);
  feeder.SendShort(0xFC, 0, 0);  // the last: everything before it has arrived with it

  const std::vector<Bytes> expected = {{0x90, 0x3C, 0x64}, {0xC5, 0x07}, {0xF2, 0x10, 0x20},
                                       {0xF3, 0x05},       {0xFA},       {0xFC}};
  ASSERT_TRUE(ProcessEventsUntil([&] {
    const std::vector<TData> midi = peer->MidiPackets();
    return !midi.empty() && PayloadOf(midi.back()) == expected.back();
  }));
  const std::vector<TData> midi = peer->MidiPackets();
  ASSERT_EQ(midi.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(PayloadOf(midi[i]), expected[i]) << i;
}

TEST_F(RoutingTest, LongSysexTravelsAsOnePacketPerInputBuffer) {
  ASSERT_NO_FATAL_FAILURE(ListenWithPeer());
  OpenCopyInput();
  Bytes sysex(10000);
  for (size_t i = 0; i < sysex.size(); ++i) sysex[i] = static_cast<uint8_t>(i % 0x80);
  sysex.front() = 0xF0;
  sysex.back() = 0xF7;
  feeder.SendLong(sysex.data(), static_cast<uint16_t>(sysex.size()));
  ASSERT_TRUE(ProcessEventsUntil([&] { return ReceivedMidiBytes() >= sysex.size(); }));

  std::vector<size_t> sizes;
  Bytes joined;
  for (const TData& packet : peer->MidiPackets()) {
    sizes.push_back(packet.Count());
    const Bytes payload = PayloadOf(packet);
    joined.insert(joined.end(), payload.begin(), payload.end());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{4096, 4096, 1808}));
  EXPECT_EQ(joined, sysex);
}

TEST_F(RoutingTest, ReleasedPacketsPlayWithTheirSpacingAndTimeEntriesPlayNothing) {
  SelectCopyOutput();
  copy.SetMidiOutOpen(true);
  copy.SetBufferTime(30);
  TMidiObserver observer(1);

  // A refused hold timer leaves the entry queued; it must neither escape nor stop the play.
  mmsystem::RefuseTimersForTesting(1);
  EXPECT_NO_THROW(copy.QueueMidiPacket(MidiPacket({0x90, 0x3C, 0x64}, 0)));
  TData tick;
  tick.DataType = dtTime;
  tick.Time = 40;
  copy.QueueTimePacket(tick);
  // Running status would turn three zero bytes from the Time entry into a note-on.
  copy.QueueMidiPacket(MidiPacket({0x80, 0x3C, 0x00}, 40));

  ASSERT_TRUE(ProcessEventsUntil([&] { return observer.Received.size() >= 2; }));
  ProcessEventsFor(150ms);
  ASSERT_EQ(observer.Received.size(), 2u);
  EXPECT_EQ(observer.Received[0].Bytes, (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(observer.Received[1].Bytes, (Bytes{0x80, 0x3C, 0x00}));
  // Two steps of (40 - 10) ms; generous bounds for a loaded machine.
  const auto spacing = observer.Received[1].At - observer.Received[0].At;
  EXPECT_GE(spacing, 45ms);
  EXPECT_LE(spacing, 500ms);
}

TEST_F(RoutingTest, ClosedOutputDropsReleasedPacketsAndSurvivesTogglingWhilePlaying) {
  SelectCopyOutput();
  copy.SetBufferTime(10);
  TMidiObserver observer(1);

  copy.QueueMidiPacket(MidiPacket({0x90, 0x3C, 0x64}, 0));
  ProcessEventsFor(200ms);  // released while closed: dropped, not kept for later
  copy.SetMidiOutOpen(true);
  copy.QueueMidiPacket(MidiPacket({0x90, 0x3E, 0x64}, 0));
  ASSERT_TRUE(ProcessEventsUntil([&] { return !observer.Received.empty(); }));
  ProcessEventsFor(100ms);
  ASSERT_EQ(observer.Received.size(), 1u);
  EXPECT_EQ(observer.Received[0].Bytes, (Bytes{0x90, 0x3E, 0x64}));

  // The worker plays while this thread closes and reopens the port.
  for (int i = 0; i < 200; ++i) {
    copy.QueueMidiPacket(MidiPacket({0x90, static_cast<uint8_t>(i % 0x80), 0x40}, 0));
    copy.SetMidiOutOpen(i % 2 == 0);
  }
  copy.SetMidiOutOpen(true);
  copy.QueueMidiPacket(MidiPacket({0x80, 0x7F, 0x00}, 0));
  EXPECT_TRUE(ProcessEventsUntil([&] {
    return observer.Received.back().Bytes == Bytes{0x80, 0x7F, 0x00};
  }));
}

}  // namespace

#include "midi/midiin.h"

#include <gtest/gtest.h>

#include <QThread>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "loopbackmidi.h"
#include "midi/midiout.h"
#include "tests/support/qtwait.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What a port delivered: each event's bytes (short ones as Status, Data1, Data2).
struct Received {
  std::vector<Bytes> events;
  std::vector<uint8_t> statuses;
  std::vector<uint32_t> instants;  // on timeGetTime's clock
  std::vector<uint32_t> origins;   // instant less time since the start
  int overflows = 0;
  bool offThread = false;
};

Bytes SysexOf(size_t length) {
  Bytes bytes(length);
  bytes.front() = 0xF0;
  for (size_t i = 1; i + 1 < length; ++i) bytes[i] = static_cast<uint8_t>(i % 0x7F);
  bytes.back() = 0xF7;
  return bytes;
}

class MidiInputTest : public testing::Test {
 protected:
  static constexpr unsigned kDevices = 3;
  TLoopbackMidi loopback{kDevices};

  // Input and the output that feeds it, both on loopback device `device`, input started.
  void OpenPair(UINT device = 1) {
    input->SetDeviceID(device);
    input->Open();
    ASSERT_EQ(input->State(), TMidiInput::TState::Open) << TMidiInput::ErrorText(input->Error());
    input->Start();
    output.SetDeviceID(device);
    output.Open();
  }

  // Reads one event per notification, as the main window does.
  void RecordEvents() {
    input->OnMidiInput = [this](TMidiInput& sender) {
      got.offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
      std::unique_ptr<TMyMidiEvent> event = sender.ReadEvent();
      ASSERT_NE(event, nullptr);
      got.statuses.push_back(event->Status);
      got.instants.push_back(event->Instant);
      got.origins.push_back(event->Instant - event->TimeStamp);
      if (event->SysexData) {
        got.events.emplace_back(event->SysexData.get(),
                                event->SysexData.get() + event->SysexLength);
      } else {
        got.events.push_back({event->Status, event->Data1, event->Data2});
      }
    };
    input->OnOverflow = [this](TMidiInput&) { ++got.overflows; };
  }

  bool WaitForEvents(size_t count) {
    return ProcessEventsUntil([&] { return got.events.size() >= count; });
  }

  void SendSysex(const Bytes& bytes) {
    output.SendLong(bytes.data(), static_cast<uint16_t>(bytes.size()));
  }

  std::unique_ptr<TMidiInput> input = std::make_unique<TMidiInput>();
  TMidiOutput output;
  Received got;
};

TEST_F(MidiInputTest, SelectsDevicesByIdAndByExactName) {
  EXPECT_EQ(input->DeviceID(), 0u);
  EXPECT_EQ(input->ProductName(), "Loopback 0");

  input->SetProductName("Loopback 2");
  EXPECT_EQ(input->DeviceID(), 2u);
  EXPECT_EQ(input->ProductName(), "Loopback 2");
  for (const char* name : {"loopback 1", "Loopback", "No such port", ""}) {
    EXPECT_NO_THROW(input->SetProductName(name)) << name;
    EXPECT_EQ(input->DeviceID(), 2u) << name;
    EXPECT_EQ(input->ProductName(), "Loopback 2") << name;
  }
  input->SetDeviceID(1);
  EXPECT_EQ(input->ProductName(), "Loopback 1");
  try {
    input->SetDeviceID(kDevices);
    FAIL() << "an id past the last device was accepted";
  } catch (const EMidiInputError& e) {
    EXPECT_STREQ(e.what(), "Invalid MIDI in device ID");
  }
  EXPECT_EQ(input->DeviceID(), 1u);

  // Asking again for the selected name after its device went away is refused.
  input->SetProductName("Loopback 2");
  mmsystem::UseLoopbackMidi(2);
  EXPECT_THROW(input->SetProductName("Loopback 2"), EMidiInputError);
}

TEST_F(MidiInputTest, WithoutDevicesNothingIsSelectedAndOpenFailsQuietly) {
  mmsystem::UseLoopbackMidi(0);
  input = std::make_unique<TMidiInput>();
  EXPECT_EQ(input->ProductName(), "");
  EXPECT_NO_THROW(input->SetDeviceID(5));
  EXPECT_EQ(input->DeviceID(), 0u);
  EXPECT_NO_THROW(input->Open());
  EXPECT_EQ(input->State(), TMidiInput::TState::Closed);
  EXPECT_NE(input->Error(), 0);
  EXPECT_EQ(input->PendingCount(), 0);
  EXPECT_EQ(input->ReadEvent(), nullptr);
}

TEST_F(MidiInputTest, SettingsThatShapeTheSessionAreRefusedWhileOpen) {
  input->SetDeviceID(1);
  input->Open();
  ASSERT_EQ(input->State(), TMidiInput::TState::Open);
  auto expectRefused = [](const auto& change, const char* message) {
    try {
      change();
      ADD_FAILURE() << "accepted while open: " << message;
    } catch (const EMidiInputError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  };
  expectRefused([&] { input->SetProductName("Loopback 2"); },
                "Change to ProductName while MIDI in device was open");
  expectRefused([&] { input->SetDeviceID(2); }, "Change to DeviceID while MIDI in device was open");
  expectRefused([&] { input->SetSysexBufferSize(100); },
                "Change to SysexBufferSize while MIDI in device was open");
  expectRefused([&] { input->SetSysexBufferCount(2); },
                "Change to SysexBuffercount while MIDI in device was open");
  EXPECT_EQ(input->DeviceID(), 1u);
  EXPECT_EQ(input->ProductName(), "Loopback 1");
  EXPECT_EQ(input->SysexBufferSize(), 4096);
  EXPECT_EQ(input->SysexBufferCount(), 16);
  EXPECT_NO_THROW(input->SetSysexOnly(true));

  input->Close();
  EXPECT_NO_THROW(input->SetSysexBufferCount(2));
  EXPECT_NO_THROW(input->SetDeviceID(2));
}

TEST_F(MidiInputTest, RingsThatCannotBeMadeLeaveThePortClosed) {
  for (uint16_t capacity : {uint16_t{5462}, uint16_t{0}}) {
    input->SetCapacity(capacity);
    input->Open();
    EXPECT_EQ(input->State(), TMidiInput::TState::Closed) << capacity;
    EXPECT_EQ(input->PendingCount(), 0);
  }
  input->SetCapacity(5461);
  input->Open();
  EXPECT_EQ(input->State(), TMidiInput::TState::Open);
}

TEST_F(MidiInputTest, AnOpenThatFailsAfterOpeningTheDeviceGivesTheDeviceBack) {
  input->SetDeviceID(1);
  input->SetSysexBufferSize(777);
  RefuseSharedAllocForTesting(777);  // the first system-exclusive buffer cannot be had
  input->Open();
  RefuseSharedAllocForTesting(0);
  EXPECT_EQ(input->State(), TMidiInput::TState::Closed);
  EXPECT_EQ(input->Error(), MMSYSERR_NOERROR) << "the device itself had opened";

  TMidiInput other;
  other.SetDeviceID(1);
  other.Open();
  EXPECT_EQ(other.State(), TMidiInput::TState::Open) << TMidiInput::ErrorText(other.Error());
  other.Close();
  input->Open();
  EXPECT_EQ(input->State(), TMidiInput::TState::Open);
}

TEST_F(MidiInputTest, DeliversShortMessagesOnceEachOnTheOwningThread) {
  RecordEvents();
  const DWORD opened = timeGetTime();
  OpenPair();
  output.SendShort(0x90, 0x3C, 0x64);
  output.SendShort(0xF8, 0, 0);  // timing clock: dropped by the callback
  output.SendShort(0xC5, 0x07, 0);
  output.SendShort(0xFE, 0, 0);  // active sensing: dropped
  output.SendShort(0xFA, 0, 0);
  output.SendShort(0xF2, 0x10, 0x20);
  ASSERT_TRUE(WaitForEvents(4));
  ProcessEventsFor(std::chrono::milliseconds(100));
  const std::vector<Bytes> expected = {
      {0x90, 0x3C, 0x64}, {0xC5, 0x07, 0}, {0xFA, 0, 0}, {0xF2, 0x10, 0x20}};
  EXPECT_EQ(got.events, expected);
  EXPECT_FALSE(got.offThread);
  // When each was sent, in order, and its time since the start from one origin.
  EXPECT_TRUE(std::is_sorted(got.instants.begin(), got.instants.end()));
  EXPECT_GE(got.instants.front(), opened);
  EXPECT_LE(got.instants.back(), timeGetTime());
  EXPECT_EQ(std::count(got.origins.begin(), got.origins.end(), got.origins.front()), 4);
  EXPECT_EQ(input->ReadEvent(), nullptr);
  EXPECT_EQ(input->PendingCount(), 0);
}

TEST_F(MidiInputTest, LongMessagesArriveBufferByBufferAndBuffersKeepCirculating) {
  RecordEvents();
  OpenPair();
  const Bytes sysex = SysexOf(10000);
  SendSysex(sysex);
  ASSERT_TRUE(WaitForEvents(3));
  ASSERT_EQ(got.events.size(), 3u);
  EXPECT_EQ(got.events[0], Bytes(sysex.begin(), sysex.begin() + 4096));
  EXPECT_EQ(got.events[1], Bytes(sysex.begin() + 4096, sysex.begin() + 8192));
  EXPECT_EQ(got.events[2], Bytes(sysex.begin() + 8192, sysex.end()));
  EXPECT_EQ(got.statuses, Bytes(3, 0xF0));

  // Far more buffers than the 16 queued: each must have gone back to the driver.
  got = {};
  const Bytes small = SysexOf(100);
  for (size_t i = 1; i <= 40; ++i) {
    SendSysex(small);
    ASSERT_TRUE(WaitForEvents(i));
  }
  for (const Bytes& event : got.events) EXPECT_EQ(event, small);
}

TEST_F(MidiInputTest, SysexOnlyTakesEffectWhileOpen) {
  RecordEvents();
  OpenPair();
  input->SetSysexOnly(true);
  output.SendShort(0x90, 0x3C, 0x64);
  SendSysex(SysexOf(20));
  ASSERT_TRUE(WaitForEvents(1));
  input->SetSysexOnly(false);
  output.SendShort(0x80, 0x3C, 0);
  ASSERT_TRUE(WaitForEvents(2));
  EXPECT_EQ(got.events[0], SysexOf(20));
  EXPECT_EQ(got.events[1], (Bytes{0x80, 0x3C, 0}));
}

TEST_F(MidiInputTest, WithoutSysexBuffersOnlyShortMessagesArrive) {
  for (auto configure : {+[](TMidiInput& in) { in.SetSysexBufferCount(0); },
                         +[](TMidiInput& in) { in.SetSysexBufferSize(0); }}) {
    got = {};
    input = std::make_unique<TMidiInput>();
    configure(*input);
    RecordEvents();
    OpenPair();
    SendSysex(SysexOf(50));
    output.SendShort(0xC0, 0x05, 0);
    ASSERT_TRUE(WaitForEvents(1));
    ProcessEventsFor(std::chrono::milliseconds(100));
    EXPECT_EQ(got.events, (std::vector<Bytes>{{0xC0, 0x05, 0}}));
    output.Close();
  }
}

TEST_F(MidiInputTest, EventsThatFindTheRingFullAreCountedAndTheirBuffersReused) {
  input->SetCapacity(1);
  input->SetSysexBufferCount(2);
  input->SetSysexBufferSize(8);
  input->OnMidiInput = [](TMidiInput&) {};  // leave events waiting, so the ring stays full
  input->OnOverflow = [this](TMidiInput&) { ++got.overflows; };
  OpenPair();
  output.SendShort(0x90, 0x3C, 0x64);
  output.SendShort(0x90, 0x3D, 0x64);
  SendSysex(SysexOf(16));  // both buffers come back full and find no room
  ASSERT_TRUE(ProcessEventsUntil([&] { return got.overflows == 3; }));
  EXPECT_EQ(input->PendingCount(), 1);
  EXPECT_EQ(input->LostEvents(), 3u);

  RecordEvents();
  auto first = input->ReadEvent();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Data1, 0x3C);
  // Had the dropped buffers not gone back to the driver, no long data could arrive now.
  SendSysex(SysexOf(6));
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(got.events[0], SysexOf(6));
}

TEST_F(MidiInputTest, NoticesOfAClosedSessionNeverReachTheNextOne) {
  int notices = 0;
  input->OnMidiInput = [&notices](TMidiInput&) { ++notices; };  // reads nothing
  OpenPair();
  output.SendShort(0x90, 0x3C, 0x64);
  output.SendShort(0x80, 0x3C, 0x00);
  // Their notices stay queued: the event loop does not run while waiting.
  ASSERT_TRUE(WaitWithoutEvents([&] { return input->PendingCount() == 2; }));
  input->Close();
  EXPECT_EQ(input->State(), TMidiInput::TState::Closed);
  EXPECT_EQ(input->PendingCount(), 0);
  EXPECT_EQ(input->ReadEvent(), nullptr);

  input->Open();
  input->Start();
  output.SendShort(0x90, 0x3E, 0x64);
  ASSERT_TRUE(WaitWithoutEvents([&] { return input->PendingCount() == 1; }));
  ProcessEventsFor(std::chrono::milliseconds(100));
  EXPECT_EQ(notices, 1) << "a notice of the closed session was taken for the new event";
}

}  // namespace

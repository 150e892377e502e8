#include "midi/midiout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "loopbackmidi.h"
#include "midi/midiin.h"
#include "tests/support/qtwait.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

std::string MapperName() {
  MIDIOUTCAPSA caps{};
  EXPECT_EQ(midiOutGetDevCapsA(MIDI_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  return ProductNameText(caps.szPname);
}

template <class Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const EmidioutputError& e) {
    return e.what();
  }
  return "(no error)";
}

class MidiOutputTest : public testing::Test {
 protected:
  void SetUp() override {
    output.Onmidioutput = [this](TMidiOutput&) { ++done; };
  }

  // Opens the output on `device` with an input that records what the output plays.
  void OpenWithListener(UINT device = 1) {
    listener.SetDeviceID(device);
    listener.OnMidiInput = [this](TMidiInput& sender) {
      auto event = sender.ReadEvent();
      if (event->SysexData) {
        heard.emplace_back(event->SysexData.get(), event->SysexData.get() + event->SysexLength);
      } else {
        heard.push_back({event->Status, event->Data1, event->Data2});
      }
    };
    listener.Open();
    listener.Start();
    output.SetDeviceID(device);
    output.Open();
  }

  TMyMidiEvent LongEvent(const Bytes& bytes) {
    TMyMidiEvent event;
    event.SetSysexData(bytes.data(), static_cast<uint16_t>(bytes.size()));
    return event;
  }

  TLoopbackMidi loopback{3};
  TMidiInput listener;
  TMidiOutput output;
  std::vector<Bytes> heard;
  int done = 0;
};

TEST_F(MidiOutputTest, SelectsDevicesAndTheMapperByIdAndName) {
  EXPECT_EQ(output.ProductName(), "");
  output.SetDeviceID(MIDI_MAPPER);
  EXPECT_EQ(output.ProductName(), MapperName());
  EXPECT_EQ(ErrorOf([&] { output.SetDeviceID(3); }), "Invalid MIDI out device ID");
  EXPECT_EQ(output.DeviceID(), MIDI_MAPPER);

  output.SetProductName("Loopback 1");
  EXPECT_EQ(output.DeviceID(), 1u);
  output.SetProductName(MapperName());
  EXPECT_EQ(output.DeviceID(), MIDI_MAPPER);
  EXPECT_EQ(ErrorOf([&] { output.SetProductName("loopback 1"); }),
            "MIDI out device \"loopback 1\" is not installed");
  EXPECT_EQ(output.DeviceID(), MIDI_MAPPER);

  // The selected device going away must not quietly turn into the mapper.
  output.SetProductName("Loopback 2");
  mmsystem::UseLoopbackMidi(2);
  EXPECT_EQ(ErrorOf([&] { output.SetProductName("Loopback 2"); }),
            "MIDI out device \"Loopback 2\" is not installed");

  mmsystem::UseLoopbackMidi(0);
  EXPECT_EQ(ErrorOf([&] { output.SetDeviceID(0); }), "Invalid MIDI out device ID");
  EXPECT_NO_THROW(output.SetDeviceID(MIDI_MAPPER));
}

TEST_F(MidiOutputTest, OpenFailureLeavesItClosedAndSelectionIsRefusedWhileOpen) {
  output.SetDeviceID(2);
  mmsystem::UseLoopbackMidi(2);
  EXPECT_THROW(output.Open(), EmidioutputError);
  EXPECT_EQ(output.State(), TMidiOutput::TState::Closed);
  EXPECT_NE(output.Error(), 0);

  output.SetDeviceID(1);
  output.Open();
  output.Open();
  EXPECT_EQ(output.State(), TMidiOutput::TState::Open);
  EXPECT_EQ(ErrorOf([&] { output.SetDeviceID(0); }),
            "Change to MIDI out Device ID while device was open");
  EXPECT_EQ(ErrorOf([&] { output.SetProductName("Loopback 0"); }),
            "Change to ProductName while MIDI out device was open");
  EXPECT_EQ(output.DeviceID(), 1u);
  output.Close();
  output.Close();
  EXPECT_EQ(output.State(), TMidiOutput::TState::Closed);
}

TEST_F(MidiOutputTest, AClosedPortSendsNothing) {
  EXPECT_EQ(ErrorOf([&] { output.SendEvent(TMyMidiEvent{}); }), "MIDI Output device not open");
  EXPECT_EQ(ErrorOf([&] { output.SendShort(0x90, 0x3C, 0x64); }),
            TMidiOutput::ErrorText(MMSYSERR_INVALHANDLE));
  EXPECT_EQ(output.Error(), MMSYSERR_INVALHANDLE);
  const Bytes sysex = {0xF0, 0x01, 0xF7};
  EXPECT_THROW(output.SendLong(sysex.data(), 3), EmidioutputError);
  EXPECT_NO_THROW(output.SendLong(sysex.data(), 0));

  OpenWithListener();
  output.SendLong(sysex.data(), 0);
  ProcessEventsFor(100ms);
  EXPECT_EQ(done, 0);
  EXPECT_TRUE(heard.empty());
}

TEST_F(MidiOutputTest, PlaysShortAndLongMessagesAndReportsEachLongOneDone) {
  OpenWithListener();
  output.SendShort(0x90, 0x3C, 0x64);
  TMyMidiEvent noteOff;
  noteOff.Status = 0x80;
  noteOff.Data1 = 0x3C;
  output.SendEvent(noteOff);
  const Bytes sysex = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0xF7};
  for (int i = 0; i < 5; ++i) output.SendEvent(LongEvent(sysex));
  ASSERT_TRUE(ProcessEventsUntil([&] { return heard.size() == 7 && done == 5; }));
  EXPECT_EQ(heard[0], (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(heard[1], (Bytes{0x80, 0x3C, 0x00}));
  for (size_t i = 2; i < heard.size(); ++i) EXPECT_EQ(heard[i], sysex);
}

TEST_F(MidiOutputTest, CloseDropsTheDoneNoticesOfItsSession) {
  OpenWithListener();
  const Bytes sysex = {0xF0, 0x7D, 0x01, 0xF7};
  for (int i = 0; i < 3; ++i) output.SendEvent(LongEvent(sysex));
  output.Close();
  output.Open();
  output.SendEvent(LongEvent(sysex));
  ProcessEventsFor(200ms);
  EXPECT_EQ(done, 1);
}

// The timed buffer's worker sends while the owning thread closes and reopens the port:
// every send either goes out or fails as "not open", and none touches a closed device.
TEST_F(MidiOutputTest, SendsFromAnotherThreadSurviveCloseAndReopen) {
  OpenWithListener();
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::atomic<int> refused{0};
  std::vector<std::string> otherErrors;
  std::thread worker([&] {
    TMyMidiEvent note;
    note.Status = 0x90;
    note.Data1 = 0x40;
    note.Data2 = 0x01;
    const TMyMidiEvent sysex = LongEvent({0xF0, 0x7D, 0x02, 0xF7});
    for (int i = 0; !stop; ++i) {
      try {
        output.SendEvent(i % 2 == 0 ? note : sysex);
        ++sent;
      } catch (const EmidioutputError& e) {
        if (std::string(e.what()) == "MIDI Output device not open") {
          ++refused;
        } else {
          otherErrors.emplace_back(e.what());
        }
      }
    }
  });
  // Each phase lasts until the worker has met it, so both meet every transition.
  bool workerKeptUp = true;
  for (int i = 0; i < 100 && workerKeptUp; ++i) {
    const int refusedBefore = refused;
    output.Close();
    workerKeptUp = WaitWithoutEvents([&] { return refused > refusedBefore; });
    const int sentBefore = sent;
    output.Open();
    workerKeptUp = workerKeptUp && WaitWithoutEvents([&] { return sent > sentBefore; });
    ProcessEventsFor(1ms);
  }
  stop = true;
  worker.join();
  EXPECT_TRUE(workerKeptUp);
  EXPECT_TRUE(otherErrors.empty()) << otherErrors.front();
}

}  // namespace

// The MIDI operations of the multimedia service end to end through a real JACK server: a
// test client plays into Tessel's inputs and records what Tessel's outputs play.

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "midi/jackbackend.h"
#include "midi/midibackend.h"
#include "midi/mmsystem.h"
#include "tests/jack/jackpeer.h"
#include "tests/midi/callbackrecorder.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 5s;
constexpr size_t kSysexLength = 10000;

// The id of the device whose product name is `name`, or -1.
template <typename Caps, typename Count, typename GetCaps>
int DeviceNamed(const std::string& name, Count count, GetCaps getCaps) {
  for (UINT id = 0; id < count(); ++id) {
    Caps caps{};
    if (getCaps(id, &caps, sizeof caps) == MMSYSERR_NOERROR && name == caps.szPname) {
      return static_cast<int>(id);
    }
  }
  return -1;
}

int InputNamed(const std::string& portName) {
  return DeviceNamed<MIDIINCAPSA>(mmsystem::FitProductName(portName), midiInGetNumDevs,
                                  midiInGetDevCapsA);
}

int OutputNamed(const std::string& portName) {
  return DeviceNamed<MIDIOUTCAPSA>(mmsystem::FitProductName(portName), midiOutGetNumDevs,
                                   midiOutGetDevCapsA);
}

std::vector<std::vector<uint8_t>> BytesOf(const std::vector<TJackPeer::TMessage>& messages) {
  std::vector<std::vector<uint8_t>> bytes;
  for (const auto& message : messages) bytes.push_back(message.Bytes);
  return bytes;
}

class MmsystemJackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!TJackPeer::ServerRunning(&why)) {
      GTEST_SKIP() << why << ": the jackd fixture could not start a server here";
    }
    peer_ = std::make_unique<TJackPeer>();
    ASSERT_EQ(mmsystem::ActiveMidiSystem(), mmsystem::MidiSystem::Jack);
  }

  void TearDown() override {
    if (input_ != nullptr) {
      EXPECT_EQ(midiInReset(input_), MMSYSERR_NOERROR);
      EXPECT_EQ(midiInClose(input_), MMSYSERR_NOERROR);
    }
    if (output_ != nullptr) {
      EXPECT_EQ(midiOutClose(output_), MMSYSERR_NOERROR);
    }
  }

  void OpenInput(int id) {
    ASSERT_GE(id, 0);
    ASSERT_EQ(midiInOpen(&input_, static_cast<UINT>(id), &CallbackRecorder::Callback,
                         received_.Instance(), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    for (SysexBuffer& buffer : buffers_) QueueBuffer(buffer);
    ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);
  }

  void QueueBuffer(SysexBuffer& buffer) {
    ASSERT_EQ(midiInPrepareHeader(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
  }

  void OpenOutput(UINT id) {
    ASSERT_EQ(
        midiOutOpen(&output_, id, &CallbackRecorder::Callback, sent_.Instance(), CALLBACK_FUNCTION),
        MMSYSERR_NOERROR);
  }

  MMRESULT SendLong(const std::vector<uint8_t>& bytes) {
    std::vector<char> data(bytes.begin(), bytes.end());
    MIDIHDR header{};
    header.lpData = data.data();
    header.dwBufferLength = static_cast<DWORD>(data.size());
    EXPECT_EQ(midiOutPrepareHeader(output_, &header, sizeof header), MMSYSERR_NOERROR);
    const MMRESULT result = midiOutLongMsg(output_, &header, sizeof header);
    EXPECT_EQ(midiOutUnprepareHeader(output_, &header, sizeof header), MMSYSERR_NOERROR);
    return result;
  }

  // Plays a note, a long message and a program change from the peer and checks that they
  // arrive whole and in order: the long one in the three queued buffers.
  void ExpectPeerMessagesArrive(size_t maxEventBytes) {
    const auto sysex = SysexMessage(kSysexLength);
    const size_t before = received_.Calls().size();
    peer_->Send({0x90, 0x3C, 0x64});
    peer_->Send(sysex, maxEventBytes);
    peer_->Send({0xC0, 0x05});
    ASSERT_TRUE(received_.WaitFor(before + 5, kPatience));
    const auto calls = received_.Calls();
    ASSERT_EQ(calls.size(), before + 5);
    EXPECT_EQ(calls[before].message, MIM_DATA);
    EXPECT_EQ(calls[before].param1, 0x643C90u);
    const size_t sizes[3] = {4096, 4096, 1808};
    size_t offset = 0;
    for (size_t i = 0; i < 3; ++i) {
      const auto& call = calls[before + 1 + i];
      EXPECT_EQ(call.message, MIM_LONGDATA);
      EXPECT_EQ(call.param1, reinterpret_cast<DWORD_PTR>(&buffers_[i].header));
      EXPECT_EQ(call.recorded, Slice(sysex, offset, sizes[i])) << "buffer " << i;
      offset += sizes[i];
    }
    EXPECT_EQ(calls[before + 4].message, MIM_DATA);
    EXPECT_EQ(calls[before + 4].param1, 0x05C0u);
    for (size_t i = before; i < calls.size(); ++i) {
      EXPECT_NE(calls[i].thread, std::this_thread::get_id());
    }
  }

  std::unique_ptr<TJackPeer> peer_;
  CallbackRecorder received_;
  CallbackRecorder sent_;
  SysexBuffer buffers_[3] = {SysexBuffer(4096), SysexBuffer(4096), SysexBuffer(4096)};
  HMIDIIN input_ = nullptr;
  HMIDIOUT output_ = nullptr;
};

TEST_F(MmsystemJackTest, InputFoundByNameReadsShortAndSystemExclusiveMessages) {
  OpenInput(InputNamed(peer_->OutputPort()));
  ExpectPeerMessagesArrive(0);
  // Again with the long message in many small events, the buffers handed back first.
  for (SysexBuffer& buffer : buffers_) QueueBuffer(buffer);
  ExpectPeerMessagesArrive(1000);
}

TEST_F(MmsystemJackTest, VirtualInputPortReadsWhatOtherClientsSend) {
  OpenInput(0);
  HMIDIIN second = nullptr;
  EXPECT_EQ(midiInOpen(&second, 0, nullptr, 0, 0), MMSYSERR_ALLOCATED);
  const auto ports = peer_->FindPorts("^Tessel[^:]*:MIDI In$", true);
  ASSERT_EQ(ports.size(), 1u);
  ASSERT_TRUE(peer_->Connect(peer_->OutputPort(), ports[0]));
  ExpectPeerMessagesArrive(0);
}

TEST_F(MmsystemJackTest, OutputFoundByNamePlaysWholeMessagesAndResetEndsNotes) {
  const int id = OutputNamed(peer_->InputPort());
  ASSERT_GE(id, 0);
  OpenOutput(static_cast<UINT>(id));
  ASSERT_TRUE(peer_->WaitUntilInputConnected(kPatience));
  const auto sysex = SysexMessage(kSysexLength);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00643C90), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x0000643E), MMSYSERR_NOERROR);  // running status
  ASSERT_EQ(SendLong(sysex), MMSYSERR_NOERROR);
  ASSERT_EQ(SendLong({0x90, 0x40, 0x7F, 0x41, 0x7F}), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutReset(output_), MMSYSERR_NOERROR);

  const std::vector<std::vector<uint8_t>> expected = {
      {0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x64}, sysex,
      {0x90, 0x40, 0x7F}, {0x90, 0x41, 0x7F}, {0x80, 0x3C, 0x00},
      {0x80, 0x3E, 0x00}, {0x80, 0x40, 0x00}, {0x80, 0x41, 0x00}};
  ASSERT_TRUE(peer_->WaitForMessages(expected.size(), kPatience));
  EXPECT_EQ(BytesOf(peer_->Received()), expected);
  const auto done = sent_.Calls();
  ASSERT_EQ(done.size(), 2u);
  for (const auto& call : done) EXPECT_EQ(call.message, MOM_DONE);
}

// More than a JACK cycle's buffer takes (some 2,700 short messages on jackd2, fewer on other
// servers), sent at once: the rest goes out in the following cycles.
TEST_F(MmsystemJackTest, OutputBeyondOneCycleArrivesWholeAndInOrder) {
  OpenOutput(static_cast<UINT>(OutputNamed(peer_->InputPort())));
  ASSERT_TRUE(peer_->WaitUntilInputConnected(kPatience));
  std::vector<std::vector<uint8_t>> sent;
  for (DWORD i = 0; i < 6000; ++i) {
    const DWORD message = 0xB0 | (i % 16) | (i / 16 % 120) << 8 | (i % 128) << 16;
    ASSERT_EQ(midiOutShortMsg(output_, message), MMSYSERR_NOERROR) << "message " << i;
    sent.push_back({static_cast<uint8_t>(message), static_cast<uint8_t>(message >> 8),
                    static_cast<uint8_t>(message >> 16)});
  }
  ASSERT_TRUE(peer_->WaitForMessages(sent.size(), kPatience)) << peer_->Received().size();
  EXPECT_EQ(BytesOf(peer_->Received()), sent);
}

TEST_F(MmsystemJackTest, MapperPlaysOnTheVirtualOutputPort) {
  MIDIOUTCAPSA caps{};
  ASSERT_EQ(midiOutGetDevCapsA(MIDI_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, mmsystem::kVirtualOutputName);
  OpenOutput(MIDI_MAPPER);
  const auto ports = peer_->FindPorts("^Tessel[^:]*:MIDI Out$", false);
  ASSERT_EQ(ports.size(), 1u);
  ASSERT_TRUE(peer_->Connect(ports[0], peer_->InputPort()));
  ASSERT_TRUE(peer_->WaitUntilInputConnected(kPatience));
  ASSERT_EQ(midiOutShortMsg(output_, 0x00643C90), MMSYSERR_NOERROR);
  ASSERT_TRUE(peer_->WaitForMessages(1, kPatience));
  EXPECT_EQ(peer_->Received()[0].Bytes, (std::vector<uint8_t>{0x90, 0x3C, 0x64}));
}

TEST_F(MmsystemJackTest, LongPortNamesStayApartAndFindTheirPorts) {
  const std::string prefix = "TesselPeerWithAClientNameFarTooLongToFit";
  TJackPeer first(prefix + "-A");
  TJackPeer second(prefix + "-B");
  const int firstId = OutputNamed(first.InputPort());
  const int secondId = OutputNamed(second.InputPort());
  ASSERT_GE(firstId, 0);
  ASSERT_GE(secondId, 0);
  ASSERT_NE(firstId, secondId);
  EXPECT_GE(InputNamed(first.OutputPort()), 0);

  // One output at a time: Tessel has one output port, cabled to the device that is open.
  const DWORD notes[2] = {0x00403C90, 0x00403E90};
  TJackPeer* peers[2] = {&first, &second};
  for (int i = 0; i < 2; ++i) {
    OpenOutput(static_cast<UINT>(i == 0 ? firstId : secondId));
    HMIDIOUT another = nullptr;
    EXPECT_EQ(midiOutOpen(&another, MIDI_MAPPER, nullptr, 0, 0), MMSYSERR_ALLOCATED);
    ASSERT_TRUE(peers[i]->WaitUntilInputConnected(kPatience));
    ASSERT_EQ(midiOutShortMsg(output_, notes[i]), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutClose(output_), MMSYSERR_NOERROR);
    output_ = nullptr;
  }
  ASSERT_TRUE(first.WaitForMessages(1, kPatience));
  ASSERT_TRUE(second.WaitForMessages(1, kPatience));
  std::this_thread::sleep_for(50ms);  // room for a stray message to show
  EXPECT_EQ(BytesOf(first.Received()), (std::vector<std::vector<uint8_t>>{{0x90, 0x3C, 0x40}}));
  EXPECT_EQ(BytesOf(second.Received()), (std::vector<std::vector<uint8_t>>{{0x90, 0x3E, 0x40}}));
}

// libjack's errors reach standard error, but looking for a server that does not run is an
// answer, not an error, and prints nothing.
TEST_F(MmsystemJackTest, LibjackErrorsReachStandardErrorButAMissingServerIsQuiet) {
  const std::string server = std::getenv("JACK_DEFAULT_SERVER");
  setenv("JACK_DEFAULT_SERVER", "tessel-no-such-server", 1);
  testing::internal::CaptureStderr();
  const bool found = mmsystem::JackBackend::Create() != nullptr;
  const std::string saidWithoutServer = testing::internal::GetCapturedStderr();
  setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
  EXPECT_FALSE(found);
  EXPECT_EQ(saidWithoutServer, "");

  jack_client_t* client = jack_client_open("TesselErrors", JackNoStartServer, nullptr);
  ASSERT_NE(client, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(jack_port_register(client, std::string(400, 'x').c_str(), JACK_DEFAULT_MIDI_TYPE,
                               JackPortIsInput, 0),
            nullptr);
  const std::string said = testing::internal::GetCapturedStderr();
  jack_client_close(client);
  EXPECT_NE(said.find("JACK: "), std::string::npos) << said;
}

TEST_F(MmsystemJackTest, NoCallbackRunsAfterCloseReturns) {
  const int id = InputNamed(peer_->OutputPort());
  ASSERT_GE(id, 0);
  const RepeatInBackground player([&] { peer_->Send({0x90, 0x3C, 0x40}); }, 1ms);
  ExpectNoCallbackAfterClose(static_cast<UINT>(id), 10);
}

}  // namespace

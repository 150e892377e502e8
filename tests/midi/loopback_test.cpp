// The MIDI operations of the multimedia service over the in-process loopback, where output N
// is cabled to input N: what arrives, in which buffers, on which thread, and when it stops.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "midi/mmsystem.h"
#include "tests/midi/callbackrecorder.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 5s;

class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override { mmsystem::UseLoopbackMidi(3); }

  void TearDown() override {
    if (output_ != nullptr) {
      EXPECT_EQ(midiOutClose(output_), MMSYSERR_NOERROR);
    }
    if (input_ != nullptr) {
      EXPECT_EQ(midiInReset(input_), MMSYSERR_NOERROR);
      EXPECT_EQ(midiInClose(input_), MMSYSERR_NOERROR);
    }
  }

  void OpenPair(UINT inputId, UINT outputId) {
    ASSERT_EQ(midiInOpen(&input_, inputId, &CallbackRecorder::Callback, received_.Instance(),
                         CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutOpen(&output_, outputId, &CallbackRecorder::Callback, sent_.Instance(),
                          CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
  }

  void QueueBuffer(SysexBuffer& buffer) {
    ASSERT_EQ(midiInPrepareHeader(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
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

  CallbackRecorder received_;
  CallbackRecorder sent_;
  HMIDIIN input_ = nullptr;
  HMIDIOUT output_ = nullptr;
};

TEST_F(LoopbackTest, ShortMessagesReachTheCabledInputOnTheBackendThread) {
  OpenPair(1, 1);
  // Deliveries keep their order across outputs, so a message that reached input 2 tells
  // that everything sent before it has been delivered too.
  CallbackRecorder other;
  HMIDIIN otherInput = nullptr;
  HMIDIOUT otherOutput = nullptr;
  ASSERT_EQ(
      midiInOpen(&otherInput, 2, &CallbackRecorder::Callback, other.Instance(), CALLBACK_FUNCTION),
      MMSYSERR_NOERROR);
  ASSERT_EQ(midiInStart(otherInput), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutOpen(&otherOutput, 2, nullptr, 0, 0), MMSYSERR_NOERROR);

  ASSERT_EQ(midiOutShortMsg(output_, 0x00403C90), MMSYSERR_NOERROR);  // before start: dropped
  ASSERT_EQ(midiOutShortMsg(otherOutput, 0x00403E90), MMSYSERR_NOERROR);
  ASSERT_TRUE(other.WaitFor(1));
  const DWORD started = timeGetTime();
  ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00643C90), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00000045), MMSYSERR_NOERROR);  // running status: 90 45
  ASSERT_EQ(midiOutShortMsg(output_, 0x000000F8), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x000005C3), MMSYSERR_NOERROR);

  ASSERT_TRUE(received_.WaitFor(4));
  const DWORD arrived = timeGetTime();
  EXPECT_EQ(received_.ShortMessages(), (std::vector<DWORD_PTR>{0x643C90, 0x4590, 0xF8, 0x05C3}));
  // Each event's record holds its bytes and when it was sent, on timeGetTime's clock and
  // measured from the start, in order.
  DWORD previous = started;
  for (const auto& call : received_.Calls()) {
    EXPECT_NE(call.thread, std::this_thread::get_id());
    const DWORD packed = call.event.bData[0] | (DWORD{call.event.bData[1]} << 8) |
                         (DWORD{call.event.bData[2]} << 16);
    EXPECT_EQ(packed, call.param1);
    EXPECT_EQ(call.event.cbData, call.param1 == 0xF8 ? 1 : call.param1 == 0x05C3 ? 2 : 3);
    EXPECT_GE(call.event.dwTime, previous);
    EXPECT_LE(call.event.dwTime, arrived);
    const DWORD origin = call.event.dwTime - call.event.dwTimeStamp;  // the device's start
    EXPECT_GE(origin, started);
    EXPECT_EQ(origin, received_.Calls()[0].event.dwTime - received_.Calls()[0].event.dwTimeStamp);
    previous = call.event.dwTime;
  }

  ASSERT_EQ(midiInStop(input_), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00403C80), MMSYSERR_NOERROR);  // after stop: dropped
  ASSERT_EQ(midiOutShortMsg(otherOutput, 0x00403E80), MMSYSERR_NOERROR);
  ASSERT_TRUE(other.WaitFor(2));
  EXPECT_EQ(received_.Calls().size(), 4u);
  EXPECT_EQ(other.Calls().size(), 2u);
  EXPECT_EQ(midiOutClose(otherOutput), MMSYSERR_NOERROR);
  EXPECT_EQ(midiInClose(otherInput), MMSYSERR_NOERROR);
}

TEST_F(LoopbackTest, ShortMessagesThatCannotBeSentAreRefused) {
  OpenPair(0, 0);
  EXPECT_EQ(midiOutShortMsg(output_, 0x3C), MMSYSERR_INVALPARAM);  // no running status yet
  EXPECT_EQ(midiOutShortMsg(output_, 0xF0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(midiOutShortMsg(output_, 0xF7), MMSYSERR_INVALPARAM);
  EXPECT_EQ(midiOutShortMsg(output_, 0x00803C90), MMSYSERR_INVALPARAM);  // data byte 0x80
  ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00007FC0), MMSYSERR_NOERROR);  // program change
  ASSERT_TRUE(received_.WaitFor(1));
  EXPECT_EQ(received_.ShortMessages(), std::vector<DWORD_PTR>{0x7FC0});
}

TEST_F(LoopbackTest, LongMessagesArriveAsTheMessagesTheyHold) {
  OpenPair(0, MIDI_MAPPER);  // the mapper is cabled to input 0
  ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);

  ASSERT_EQ(SendLong({0x90, 0x3C, 0x40, 0x3E, 0xF8, 0x41, 0xB0, 0x07}), MMSYSERR_NOERROR);
  ASSERT_EQ(SendLong({0x64}), MMSYSERR_NOERROR);  // completes the control change

  ASSERT_TRUE(received_.WaitFor(4));
  EXPECT_EQ(received_.ShortMessages(),
            (std::vector<DWORD_PTR>{0x403C90, 0xF8, 0x413E90, 0x6407B0}));
  const auto done = sent_.Calls();
  ASSERT_EQ(done.size(), 2u);
  for (const auto& call : done) EXPECT_EQ(call.message, MOM_DONE);
}

TEST_F(LoopbackTest, SystemExclusiveFillsTheQueuedBuffersInOrder) {
  OpenPair(2, 2);
  SysexBuffer buffers[3] = {SysexBuffer(4096), SysexBuffer(4096), SysexBuffer(4096)};
  for (SysexBuffer& buffer : buffers) QueueBuffer(buffer);
  ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);

  const std::vector<uint8_t> message = SysexMessage(10000);
  std::vector<char> data(message.begin(), message.end());
  MIDIHDR header{};
  header.lpData = data.data();
  header.dwBufferLength = static_cast<DWORD>(data.size());
  ASSERT_EQ(midiOutPrepareHeader(output_, &header, sizeof header), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutLongMsg(output_, &header, sizeof header), MMSYSERR_NOERROR);
  const auto done = sent_.Calls();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].message, MOM_DONE);
  EXPECT_EQ(done[0].param1, reinterpret_cast<DWORD_PTR>(&header));
  EXPECT_EQ(header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  ASSERT_EQ(midiOutUnprepareHeader(output_, &header, sizeof header), MMSYSERR_NOERROR);

  ASSERT_TRUE(received_.WaitFor(3));
  const auto calls = received_.Calls();
  ASSERT_EQ(calls.size(), 3u);
  size_t offset = 0;
  const size_t sizes[3] = {4096, 4096, 1808};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(calls[i].message, MIM_LONGDATA);
    EXPECT_EQ(calls[i].param1, reinterpret_cast<DWORD_PTR>(&buffers[i].header));
    EXPECT_EQ(calls[i].recorded, Slice(message, offset, sizes[i])) << "buffer " << i;
    EXPECT_EQ(buffers[i].header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
    offset += sizes[i];
  }
}

TEST_F(LoopbackTest, SystemExclusiveSentInPiecesIsJoinedIntoTheBuffers) {
  // As a peer relays a long message: one piece per packet, only the first with F0.
  OpenPair(1, 1);
  SysexBuffer buffers[3] = {SysexBuffer(4096), SysexBuffer(4096), SysexBuffer(4096)};
  for (SysexBuffer& buffer : buffers) QueueBuffer(buffer);
  ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);

  const std::vector<uint8_t> message = SysexMessage(10000);
  ASSERT_EQ(SendLong(Slice(message, 0, 3000)), MMSYSERR_NOERROR);
  ASSERT_EQ(SendLong(Slice(message, 3000, 5000)), MMSYSERR_NOERROR);
  ASSERT_EQ(SendLong(Slice(message, 8000, 2000)), MMSYSERR_NOERROR);

  ASSERT_TRUE(received_.WaitFor(3));
  const auto calls = received_.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].recorded, Slice(message, 0, 4096));
  EXPECT_EQ(calls[1].recorded, Slice(message, 4096, 4096));
  EXPECT_EQ(calls[2].recorded, Slice(message, 8192, 1808));
}

TEST_F(LoopbackTest, SystemExclusiveWithoutBuffersIsLostButShortMessagesStillFlow) {
  OpenPair(0, 0);
  ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);
  ASSERT_EQ(SendLong(SysexMessage(100)), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00403C90), MMSYSERR_NOERROR);
  ASSERT_TRUE(received_.WaitFor(1));

  SysexBuffer buffer(64);
  QueueBuffer(buffer);
  const std::vector<uint8_t> message = SysexMessage(40);
  ASSERT_EQ(SendLong(message), MMSYSERR_NOERROR);
  ASSERT_TRUE(received_.WaitFor(2));
  const auto calls = received_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].message, MIM_DATA);
  EXPECT_EQ(calls[1].message, MIM_LONGDATA);
  EXPECT_EQ(calls[1].recorded, message);
}

TEST_F(LoopbackTest, StopAndResetReturnBuffers) {
  OpenPair(0, 0);
  SysexBuffer buffers[3] = {SysexBuffer(256), SysexBuffer(256), SysexBuffer(256)};
  for (SysexBuffer& buffer : buffers) QueueBuffer(buffer);
  ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);

  // An unfinished message keeps its buffer until stop returns it with what came.
  const std::vector<uint8_t> message = SysexMessage(100);
  ASSERT_EQ(SendLong(Slice(message, 0, 60)), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0xF8), MMSYSERR_NOERROR);  // marks the delivery done
  ASSERT_TRUE(received_.WaitFor(1));
  EXPECT_EQ(received_.Calls()[0].message, MIM_DATA);
  ASSERT_EQ(midiInStop(input_), MMSYSERR_NOERROR);
  auto calls = received_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].message, MIM_LONGDATA);
  EXPECT_EQ(calls[1].recorded, Slice(message, 0, 60));

  EXPECT_EQ(midiInClose(input_), MIDIERR_STILLPLAYING);  // two buffers are still queued
  ASSERT_EQ(midiInReset(input_), MMSYSERR_NOERROR);
  calls = received_.Calls();
  ASSERT_EQ(calls.size(), 4u);
  for (int i = 1; i < 3; ++i) {
    EXPECT_EQ(calls[i + 1].message, MIM_LONGDATA);
    EXPECT_EQ(calls[i + 1].param1, reinterpret_cast<DWORD_PTR>(&buffers[i].header));
    EXPECT_TRUE(calls[i + 1].recorded.empty());
  }
  ASSERT_EQ(midiInReset(input_), MMSYSERR_NOERROR);  // nothing left to return
  EXPECT_EQ(received_.Calls().size(), 4u);
}

TEST_F(LoopbackTest, HeadersFollowThePreparationRules) {
  OpenPair(0, 0);
  SysexBuffer buffer(16);
  EXPECT_EQ(midiInAddBuffer(input_, &buffer.header, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
  EXPECT_EQ(midiOutLongMsg(output_, &buffer.header, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
  EXPECT_EQ(midiInPrepareHeader(input_, &buffer.header, sizeof(MIDIHDR) - 1), MMSYSERR_INVALPARAM);
  EXPECT_EQ(midiInPrepareHeader(input_, nullptr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);

  ASSERT_EQ(midiInPrepareHeader(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
  EXPECT_TRUE(buffer.header.dwFlags & MHDR_PREPARED);
  EXPECT_EQ(midiInPrepareHeader(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
  ASSERT_EQ(midiInAddBuffer(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
  EXPECT_TRUE(buffer.header.dwFlags & MHDR_INQUEUE);
  EXPECT_EQ(midiInAddBuffer(input_, &buffer.header, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);
  EXPECT_EQ(midiInUnprepareHeader(input_, &buffer.header, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);
  EXPECT_TRUE(buffer.header.dwFlags & MHDR_PREPARED);

  ASSERT_EQ(midiInReset(input_), MMSYSERR_NOERROR);
  EXPECT_EQ(buffer.header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  ASSERT_EQ(midiInUnprepareHeader(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
  EXPECT_FALSE(buffer.header.dwFlags & MHDR_PREPARED);
  EXPECT_EQ(midiInUnprepareHeader(input_, &buffer.header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
}

TEST_F(LoopbackTest, ClosedHandlesAreRefused) {
  OpenPair(0, 0);
  const HMIDIIN input = input_;
  const HMIDIOUT output = output_;
  ASSERT_EQ(midiInClose(input_), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutClose(output_), MMSYSERR_NOERROR);
  input_ = nullptr;
  output_ = nullptr;
  EXPECT_EQ(midiInStart(input), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiInClose(input), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiOutShortMsg(output, 0x403C90), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiOutClose(output), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiInStart(nullptr), MMSYSERR_INVALHANDLE);
}

TEST_F(LoopbackTest, OpeningChecksIdsFlagsAndUse) {
  HMIDIIN input = nullptr;
  EXPECT_EQ(midiInOpen(&input, 3, nullptr, 0, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(midiInOpen(&input, 0, nullptr, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
  EXPECT_EQ(midiInOpen(&input, 0, &CallbackRecorder::Callback, 0, 0x50000), MMSYSERR_INVALFLAG);
  EXPECT_EQ(input, nullptr);
  ASSERT_EQ(midiInOpen(&input, 0, nullptr, 0, 0), MMSYSERR_NOERROR);
  HMIDIIN again = nullptr;
  EXPECT_EQ(midiInOpen(&again, 0, nullptr, 0, 0), MMSYSERR_ALLOCATED);
  EXPECT_EQ(midiInClose(input), MMSYSERR_NOERROR);

  HMIDIOUT output = nullptr;
  EXPECT_EQ(midiOutOpen(&output, 3, nullptr, 0, 0), MMSYSERR_BADDEVICEID);
  MIDIOUTCAPSA caps{};
  EXPECT_EQ(midiOutGetDevCapsA(3, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
  ASSERT_EQ(midiOutGetDevCapsA(2, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "Loopback 2");
  MIDIINCAPSA inputCaps{};
  ASSERT_EQ(midiInGetDevCapsA(1, &inputCaps, sizeof inputCaps), MMSYSERR_NOERROR);
  EXPECT_STREQ(inputCaps.szPname, "Loopback 1");
}

TEST(LoopbackWithoutDevices, OffersOnlyTheMapper) {
  mmsystem::UseLoopbackMidi(0);
  EXPECT_EQ(mmsystem::ActiveMidiSystem(), mmsystem::MidiSystem::Loopback);
  EXPECT_EQ(midiInGetNumDevs(), 0u);
  EXPECT_EQ(midiOutGetNumDevs(), 0u);
  HMIDIIN input = nullptr;
  EXPECT_EQ(midiInOpen(&input, 0, nullptr, 0, 0), MMSYSERR_BADDEVICEID);
  MIDIINCAPSA inputCaps{};
  EXPECT_EQ(midiInGetDevCapsA(0, &inputCaps, sizeof inputCaps), MMSYSERR_BADDEVICEID);

  MIDIOUTCAPSA caps{};
  ASSERT_EQ(midiOutGetDevCapsA(MIDI_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "Loopback Mapper");
  HMIDIOUT output = nullptr;
  ASSERT_EQ(midiOutOpen(&output, MIDI_MAPPER, nullptr, 0, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(midiOutShortMsg(output, 0x403C90), MMSYSERR_NOERROR);  // into no input
  EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

TEST_F(LoopbackTest, ResetEndsWhatIsSoundingAndAnOpenMessage) {
  OpenPair(0, 0);
  SysexBuffer buffer(64);
  QueueBuffer(buffer);
  ASSERT_EQ(midiInStart(input_), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00403C90), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00403E90), MMSYSERR_NOERROR);
  ASSERT_EQ(midiOutShortMsg(output_, 0x00003E80), MMSYSERR_NOERROR);  // this one ended
  ASSERT_EQ(midiOutShortMsg(output_, 0x007F40B1), MMSYSERR_NOERROR);  // pedal down, channel 2
  ASSERT_EQ(SendLong({0xF0, 0x01, 0x02}), MMSYSERR_NOERROR);          // left open
  ASSERT_TRUE(received_.WaitFor(4));

  ASSERT_EQ(midiOutReset(output_), MMSYSERR_NOERROR);
  ASSERT_TRUE(received_.WaitFor(7));
  auto calls = received_.Calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[4].message, MIM_LONGDATA);
  EXPECT_EQ(calls[4].recorded, (std::vector<uint8_t>{0xF0, 0x01, 0x02, 0xF7}));
  const std::vector<DWORD_PTR> shorts = received_.ShortMessages();
  EXPECT_EQ(std::vector<DWORD_PTR>(shorts.begin() + 4, shorts.end()),
            (std::vector<DWORD_PTR>{0x3C80, 0x40B1}));

  ASSERT_EQ(midiOutReset(output_), MMSYSERR_NOERROR);  // nothing left to end
  ASSERT_EQ(midiOutShortMsg(output_, 0xF8), MMSYSERR_NOERROR);
  ASSERT_TRUE(received_.WaitFor(8));
  EXPECT_EQ(received_.Calls().back().param1, 0xF8u);
}

TEST_F(LoopbackTest, NoCallbackRunsAfterCloseReturns) {
  HMIDIOUT output = nullptr;
  ASSERT_EQ(midiOutOpen(&output, 0, nullptr, 0, 0), MMSYSERR_NOERROR);
  {
    const RepeatInBackground sender([&] { midiOutShortMsg(output, 0x00403C90); }, 20us);
    ExpectNoCallbackAfterClose(0, 200);
  }
  EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

TEST(MidiErrorText, KnownCodesHaveTextsAndUnknownOnesAreRefused) {
  char text[MAXERRORLENGTH];
  for (const MMRESULT code :
       {MMSYSERR_NOERROR, MMSYSERR_ERROR, MMSYSERR_BADDEVICEID, MMSYSERR_ALLOCATED,
        MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER, MMSYSERR_NOMEM, MMSYSERR_INVALFLAG,
        MMSYSERR_INVALPARAM, MIDIERR_UNPREPARED, MIDIERR_STILLPLAYING, MIDIERR_NOTREADY,
        MIDIERR_NODEVICE, MIDIERR_INVALIDSETUP}) {
    ASSERT_EQ(midiInGetErrorTextA(code, text, sizeof text), MMSYSERR_NOERROR) << code;
    EXPECT_GT(std::strlen(text), 5u) << code;
    const std::string inputText = text;
    ASSERT_EQ(midiOutGetErrorTextA(code, text, sizeof text), MMSYSERR_NOERROR) << code;
    EXPECT_EQ(text, inputText);
  }
  EXPECT_NE(midiInGetErrorTextA(9999, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_NE(midiOutGetErrorTextA(TIMERR_NOCANDO, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_NE(midiOutGetErrorTextA(MMSYSERR_ERROR, nullptr, 128), MMSYSERR_NOERROR);

  char small[8];
  std::memset(small, 'x', sizeof small);
  ASSERT_EQ(midiInGetErrorTextA(MMSYSERR_INVALHANDLE, small, sizeof small), MMSYSERR_NOERROR);
  EXPECT_EQ(std::strlen(small), sizeof small - 1);
}

}  // namespace

#include "engine/midiplayer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "loopbackmidi.h"
#include "midi/midibackend.h"
#include "protocol/data.h"
#include "tests/support/qtwait.h"

namespace {

using namespace std::chrono_literals;

// One output whose sends, while `roomless`, find no room, as JACK's do while the server plays
// nothing: a send waits until interrupted, after which there is room again. With `refusing`
// set, every send fails at once instead.
class RoomlessBackend final : public mmsystem::MidiBackend {
 public:
  std::atomic<bool> roomless = true;
  std::atomic<bool> refusing = false;
  std::atomic<bool> sendWaiting = false;

  mmsystem::MidiSystem System() const override { return mmsystem::MidiSystem::Loopback; }
  UINT InputCount() override { return 0; }
  UINT OutputCount() override { return 1; }
  MMRESULT InputName(UINT, std::string&) override { return MMSYSERR_BADDEVICEID; }
  MMRESULT OutputName(UINT, std::string& name) override {
    name = "Roomless";
    return MMSYSERR_NOERROR;
  }
  MMRESULT OpenInput(UINT, mmsystem::MidiInputSink&,
                     std::unique_ptr<mmsystem::MidiInputConnection>&) override {
    return MMSYSERR_BADDEVICEID;
  }
  MMRESULT OpenOutput(UINT, std::unique_ptr<mmsystem::MidiOutputConnection>& output) override {
    output = std::make_unique<Output>(*this);
    return MMSYSERR_NOERROR;
  }

 private:
  class Output final : public mmsystem::MidiOutputConnection {
   public:
    explicit Output(RoomlessBackend& backend) : backend_(backend) {}
    MMRESULT Send(const uint8_t*, size_t, mmsystem::PlayTimeUs) override {
      if (backend_.refusing) return MMSYSERR_ERROR;
      std::unique_lock guard(lock_);
      if (!backend_.roomless) return MMSYSERR_NOERROR;
      backend_.sendWaiting = true;
      const bool interrupted = changed_.wait_for(guard, 10s, [this] { return interrupted_; });
      backend_.sendWaiting = false;
      backend_.roomless = false;
      return interrupted ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
    }
    void Interrupt(bool interrupted) override {
      std::lock_guard guard(lock_);
      interrupted_ = interrupted;
      changed_.notify_all();
    }

   private:
    RoomlessBackend& backend_;
    std::mutex lock_;  // guards interrupted_
    std::condition_variable changed_;
    bool interrupted_ = false;
  };
};

TData NoteOn() {
  const uint8_t bytes[] = {0x90, 0x3C, 0x64};
  TData packet(sizeof bytes, bytes);
  packet.DataType = dtMidi;
  return packet;
}

class MidiPlayerTest : public testing::Test {
 protected:
  void SetUp() override { mmsystem::UseMidiBackend(backend); }
  // The other tests of this program expect the loopback.
  void TearDown() override { mmsystem::UseLoopbackMidi(2); }

  std::shared_ptr<RoomlessBackend> backend = std::make_shared<RoomlessBackend>();
};

// The window thread closes the port while the worker waits for room: the close interrupts
// that send rather than wait behind it, and done notices and the port's state never wait.
TEST_F(MidiPlayerTest, ClosingNeverWaitsBehindASendThatWaitsForRoom) {
  TMidiPlayer player;
  player.Port().Open();
  ASSERT_TRUE(player.IsOpen());
  std::thread worker([&] {
    TData packet = NoteOn();
    player.PlayMidiPacket(packet, mmsystem::kPlayAtOnce);
  });
  ASSERT_TRUE(ProcessEventsUntil([&] { return backend->sendWaiting.load(); }));
  EXPECT_TRUE(player.IsOpen());
  const auto closing = std::chrono::steady_clock::now();
  player.Port().Close();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 1s);
  worker.join();
  EXPECT_FALSE(player.IsOpen());
  EXPECT_EQ(player.FailedPackets(), 1u);
}

// Only what an open port fails on counts as lost; a closed port plays nothing by choice. The
// end-of-link entry is told by its type, which cannot go on the wire.
TEST_F(MidiPlayerTest, CountsThePacketsThatTheOpenPortRefuses) {
  backend->roomless = false;
  TMidiPlayer player;
  TData packet = NoteOn();
  player.PlayMidiPacket(packet, mmsystem::kPlayAtOnce);
  EXPECT_EQ(player.FailedPackets(), 0u);

  backend->refusing = true;
  player.Port().Open();
  player.PlayMidiPacket(packet, mmsystem::kPlayAtOnce);
  player.PlayMidiPacket(packet, mmsystem::kPlayAtOnce);
  EXPECT_EQ(player.FailedPackets(), 2u);

  backend->refusing = false;
  const std::unique_ptr<TData> end = TMidiPlayer::EndOfLinkEntry();
  EXPECT_EQ(end->Count(), 0);
  EXPECT_THROW(end->Encode(), ERangeError);
  player.PlayMidiPacket(*end, mmsystem::kPlayAtOnce);
  EXPECT_EQ(player.FailedPackets(), 2u);
}

}  // namespace

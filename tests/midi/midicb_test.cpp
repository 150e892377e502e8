#include "midi/midicb.h"

#include <gtest/gtest.h>

#include <atomic>
#include <utility>
#include <vector>

#include "tests/support/qtwait.h"

namespace {

class MidiCallbackTest : public testing::Test {
 protected:
  void SetUp() override {
    ring = RingCreate(3);
    ASSERT_NE(ring, nullptr);
    info.Ring = ring;
    info.Window = &window;
  }
  void TearDown() override { RingDestroy(ring); }

  // A short message as the device reports it: packed and as bytes, at `time`.
  void DeliverShort(std::vector<uint8_t> bytes, DWORD time = 0) {
    MIDIINEVENT event{time - 1000, time, {}, static_cast<uint8_t>(bytes.size())};
    DWORD packed = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
      event.bData[i] = bytes[i];
      packed |= DWORD{bytes[i]} << (8 * i);
    }
    Deliver(MIM_DATA, packed, &event);
  }
  void DeliverBuffer(UINT msg, DWORD time = 0) {
    MIDIINEVENT event{time - 1000, time, {}, 0};
    Deliver(msg, headerParam, &event);
  }
  void Deliver(UINT msg, DWORD_PTR param1, const MIDIINEVENT* event = nullptr) {
    MidiCallback(nullptr, msg, reinterpret_cast<DWORD_PTR>(&info), param1,
                 reinterpret_cast<DWORD_PTR>(event));
  }
  std::vector<TMessage> Posted() {
    DeliverReadyEvents();
    return std::exchange(received, {});
  }
  TRingItem Take() {
    TRingItem item{};
    EXPECT_TRUE(RingPeek(ring, item));
    RingDrop(ring);
    return item;
  }

  std::vector<TMessage> received;
  TMessageWindow window{[this](const TMessage& message) { received.push_back(message); }};
  TEventRing* ring = nullptr;
  TMidiCallbackInfo info;
  MIDIHDR header{};
  const DWORD_PTR headerParam = reinterpret_cast<DWORD_PTR>(&header);
};

bool IsNotice(const TMessage& m, UINT msg, uintptr_t lParam = 0) {
  return m.Msg == msg && m.WParam == 0 && m.LParam == lParam;
}

std::vector<uint8_t> BytesOf(const TRingItem& item) {
  return std::vector<uint8_t>(item.Bytes, item.Bytes + item.Length);
}

TEST_F(MidiCallbackTest, StoresShortMessagesButNotClockOrSensing) {
  DeliverShort({0xF8}, 1001);
  DeliverShort({0xFE}, 1002);
  EXPECT_TRUE(Posted().empty());
  EXPECT_EQ(ring->EventCount.load(), 0);

  DeliverShort({0xFA}, 1003);
  DeliverShort({0x90, 0x3C, 0x64}, 1004);
  const auto posted = Posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_TRUE(IsNotice(posted[0], MIM_DATA));
  EXPECT_TRUE(IsNotice(posted[1], MIM_DATA));
  const TRingItem start = Take();
  EXPECT_EQ(BytesOf(start), std::vector<uint8_t>{0xFA});
  EXPECT_EQ(start.TimeStamp, 3u);
  EXPECT_EQ(start.Instant, 1003u);
  const TRingItem noteOn = Take();
  EXPECT_EQ(BytesOf(noteOn), (std::vector<uint8_t>{0x90, 0x3C, 0x64}));
  EXPECT_EQ(noteOn.Instant, 1004u);
  EXPECT_EQ(noteOn.Header, nullptr);
}

TEST_F(MidiCallbackTest, SysexOnlyDropsShortMessagesAndKeepsLongBuffers) {
  info.SysexOnly = true;
  DeliverShort({0x90, 0x3C, 0x64});
  EXPECT_TRUE(Posted().empty());
  DeliverBuffer(MIM_LONGDATA, 1010);
  DeliverBuffer(MIM_LONGERROR, 1011);
  EXPECT_EQ(Posted().size(), 2u);
  for (uint32_t stamp : {10u, 11u}) {
    const TRingItem item = Take();
    EXPECT_EQ(item.Header, &header);
    EXPECT_EQ(item.Length, 0u);
    EXPECT_EQ(item.TimeStamp, stamp);
    EXPECT_EQ(item.Instant, 1000 + stamp);
  }
}

TEST_F(MidiCallbackTest, FullRingCountsAndReportsTheLossAndNamesADroppedBuffer) {
  std::atomic<uint64_t> lost = 0;
  info.Lost = &lost;
  for (int i = 0; i < 3; ++i) DeliverShort({0x90, 0x3C, 0x64});
  Posted();
  DeliverShort({0x80, 0x3C, 0x00});
  DeliverBuffer(MIM_LONGDATA);
  const auto posted = Posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_TRUE(IsNotice(posted[0], WM_USER, 0));
  EXPECT_TRUE(IsNotice(posted[1], WM_USER, headerParam));
  EXPECT_EQ(ring->EventCount.load(), 3);
  EXPECT_EQ(lost.load(), 2u);

  Take();
  DeliverShort({0xB0, 0x07, 0x64});
  EXPECT_TRUE(IsNotice(Posted().at(0), MIM_DATA));
  EXPECT_EQ(lost.load(), 2u);
}

TEST_F(MidiCallbackTest, ForwardsDoneBuffersAndIgnoresEverythingElse) {
  Deliver(MOM_DONE, headerParam);
  const auto posted = Posted();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_TRUE(IsNotice(posted[0], MOM_DONE, headerParam));

  for (UINT msg : {MIM_OPEN, MIM_CLOSE, MIM_ERROR, MOM_OPEN, MOM_CLOSE}) Deliver(msg, 0x90);
  MIDIINEVENT noteOn{0, 0, {0x90, 0x3C, 0x64}, 3};
  MidiCallback(nullptr, MIM_DATA, 0, 0x643C90, reinterpret_cast<DWORD_PTR>(&noteOn));
  Deliver(MIM_DATA, 0x643C90);  // no event record
  info.Ring = nullptr;          // an output port's record
  DeliverShort({0x90, 0x3C, 0x64});
  EXPECT_TRUE(Posted().empty());
  EXPECT_EQ(ring->EventCount.load(), 0);
}

}  // namespace

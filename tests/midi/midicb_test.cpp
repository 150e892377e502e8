#include "midi/midicb.h"

#include <gtest/gtest.h>

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

  void Deliver(UINT msg, DWORD_PTR param1, DWORD_PTR param2 = 0) {
    MidiCallback(nullptr, msg, reinterpret_cast<DWORD_PTR>(&info), param1, param2);
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

TEST_F(MidiCallbackTest, StoresShortMessagesButNotClockOrSensing) {
  Deliver(MIM_DATA, 0xF8, 1);
  Deliver(MIM_DATA, 0xFE, 2);
  EXPECT_TRUE(Posted().empty());
  EXPECT_EQ(ring->EventCount.load(), 0);

  Deliver(MIM_DATA, 0xFA, 3);
  Deliver(MIM_DATA, 0x643C90, 4);
  const auto posted = Posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_TRUE(IsNotice(posted[0], MIM_DATA));
  EXPECT_TRUE(IsNotice(posted[1], MIM_DATA));
  const TRingItem start = Take();
  EXPECT_EQ(start.ShortMessage, 0xFAu);
  EXPECT_EQ(start.TimeStamp, 3u);
  const TRingItem noteOn = Take();
  EXPECT_EQ(noteOn.ShortMessage, 0x643C90u);
  EXPECT_EQ(noteOn.Header, nullptr);
}

TEST_F(MidiCallbackTest, SysexOnlyDropsShortMessagesAndKeepsLongBuffers) {
  info.SysexOnly = true;
  Deliver(MIM_DATA, 0x643C90);
  EXPECT_TRUE(Posted().empty());
  Deliver(MIM_LONGDATA, headerParam, 10);
  Deliver(MIM_LONGERROR, headerParam, 11);
  EXPECT_EQ(Posted().size(), 2u);
  for (uint32_t stamp : {10u, 11u}) {
    const TRingItem item = Take();
    EXPECT_EQ(item.Header, &header);
    EXPECT_EQ(item.ShortMessage, 0u);
    EXPECT_EQ(item.TimeStamp, stamp);
  }
}

TEST_F(MidiCallbackTest, FullRingReportsTheLossAndNamesADroppedBuffer) {
  for (int i = 0; i < 3; ++i) Deliver(MIM_DATA, 0x90);
  Posted();
  Deliver(MIM_DATA, 0x80);
  Deliver(MIM_LONGDATA, headerParam);
  const auto posted = Posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_TRUE(IsNotice(posted[0], WM_USER, 0));
  EXPECT_TRUE(IsNotice(posted[1], WM_USER, headerParam));
  EXPECT_EQ(ring->EventCount.load(), 3);

  Take();
  Deliver(MIM_DATA, 0xB0);
  EXPECT_TRUE(IsNotice(Posted().at(0), MIM_DATA));
}

TEST_F(MidiCallbackTest, ForwardsDoneBuffersAndIgnoresEverythingElse) {
  Deliver(MOM_DONE, headerParam);
  const auto posted = Posted();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_TRUE(IsNotice(posted[0], MOM_DONE, headerParam));

  for (UINT msg : {MIM_OPEN, MIM_CLOSE, MIM_ERROR, MOM_OPEN, MOM_CLOSE}) Deliver(msg, 0x90);
  MidiCallback(nullptr, MIM_DATA, 0, 0x90, 0);
  info.Ring = nullptr;  // an output port's record
  Deliver(MIM_DATA, 0x90);
  EXPECT_TRUE(Posted().empty());
  EXPECT_EQ(ring->EventCount.load(), 0);
}

}  // namespace

#include "platform/messagewindow.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/messagebox.h"
#include "tests/support/qtwait.h"

namespace {

TEST(MessageWindowTest, MessagesFromManyThreadsArriveOnceEachInTheirOrderOnTheOwner) {
  constexpr uint32_t kThreads = 4;
  constexpr uintptr_t kPerThread = 5000;
  std::vector<std::vector<uintptr_t>> arrived(kThreads);
  bool onOwner = true;
  const std::thread::id owner = std::this_thread::get_id();
  TMessageWindow window([&](const TMessage& m) {
    onOwner &= std::this_thread::get_id() == owner;
    arrived.at(m.Msg).push_back(m.WParam);
  });
  std::vector<std::thread> posters;
  for (uint32_t t = 0; t < kThreads; ++t)
    posters.emplace_back([&window, t] {
      for (uintptr_t i = 0; i < kPerThread; ++i) window.Post(t, i, 0);
    });
  // The owner delivers while the posters are still at work.
  const auto total = [&] {
    size_t n = 0;
    for (const auto& a : arrived) n += a.size();
    return n;
  };
  EXPECT_TRUE(ProcessEventsUntil([&] { return total() == kThreads * kPerThread; }));
  for (auto& poster : posters) poster.join();
  ProcessEventsFor(std::chrono::milliseconds(20));
  EXPECT_TRUE(onOwner);
  for (const auto& a : arrived) {
    ASSERT_EQ(a.size(), kPerThread);
    for (uintptr_t i = 0; i < kPerThread; ++i) ASSERT_EQ(a[i], i);
  }
}

TEST(MessageWindowTest, DiscardedMessagesNeverArriveAndLaterOnesDo) {
  std::vector<uint32_t> arrived;
  TMessageWindow window([&](const TMessage& m) { arrived.push_back(m.Msg); });
  window.Post(1, 0, 0);
  window.Post(2, 0, 0);
  window.Discard();
  ProcessEventsFor(std::chrono::milliseconds(20));
  EXPECT_TRUE(arrived.empty());
  window.Post(3, 0, 0);
  EXPECT_TRUE(ProcessEventsUntil([&] { return !arrived.empty(); }));
  EXPECT_EQ(arrived, std::vector<uint32_t>{3});
}

TEST(MessageWindowTest, AThrowingWindowProcIsReportedAndTheMessagesBehindItStillArrive) {
  std::vector<TMessageBox> boxes;
  const TMessageBoxHook previous =
      SetMessageBoxHook([&](const TMessageBox& box) { boxes.push_back(box); });
  std::vector<uint32_t> arrived;
  TMessageWindow window([&](const TMessage& m) {
    arrived.push_back(m.Msg);
    if (m.Msg == 2) throw std::runtime_error("MIDI out device is busy");
  });
  for (uint32_t msg : {1u, 2u, 3u, 4u}) window.Post(msg, 0, 0);
  EXPECT_TRUE(ProcessEventsUntil([&] { return arrived.size() == 4; }));
  SetMessageBoxHook(previous);
  EXPECT_EQ(arrived, (std::vector<uint32_t>{1, 2, 3, 4}));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "MIDI out device is busy");
}

// A window procedure that opens a modal dialog runs a nested event loop, which goes on
// delivering. Nothing may overtake or be left behind, then or after.
TEST(MessageWindowTest, ANestedEventLoopGoesOnDeliveringInOrder) {
  std::vector<uint32_t> arrived;
  TMessageWindow* self = nullptr;
  TMessageWindow window([&](const TMessage& m) {
    arrived.push_back(m.Msg);
    if (m.Msg != 1) return;
    self->Post(5, 0, 0);
    ProcessEventsUntil([&] { return arrived.size() == 5; });
  });
  self = &window;
  for (uint32_t msg : {1u, 2u, 3u, 4u}) window.Post(msg, 0, 0);
  EXPECT_TRUE(ProcessEventsUntil([&] { return arrived.size() == 5; }));
  window.Post(6, 0, 0);
  EXPECT_TRUE(ProcessEventsUntil([&] { return arrived.size() == 6; }));
  EXPECT_EQ(arrived, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
}

}  // namespace

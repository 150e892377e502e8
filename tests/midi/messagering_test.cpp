#include "midi/messagering.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using mmsystem::MessageRing;

// Message `n`: a length from 1 to 300 bytes and contents that tell it apart.
std::vector<uint8_t> MessageNumber(int n) {
  std::vector<uint8_t> bytes(1 + (n * 37) % 300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(n + i);
  return bytes;
}

TEST(MessageRingTest, TakesAMessageOnlyWhenItFitsWhole) {
  MessageRing ring(16);  // each message also takes 4 bytes for its length
  const std::vector<uint8_t> bytes(12, 0x42);
  EXPECT_TRUE(ring.Write(bytes.data(), 8));
  EXPECT_FALSE(ring.Write(bytes.data(), 1));
  ASSERT_EQ(ring.FrontSize(), 8u);
  ring.Pop();
  EXPECT_TRUE(ring.Empty());
  EXPECT_TRUE(ring.Write(bytes.data(), 12));  // the whole ring, across its end
  ASSERT_EQ(ring.FrontSize(), 12u);
  std::vector<uint8_t> read(12);
  ring.Copy(0, read.data(), read.size());
  EXPECT_EQ(read, bytes);
}

// Two threads, as the JACK process thread and the program's: every message arrives whole and
// in order while the ring wraps many times, and read in two parts as a long message is.
TEST(MessageRingTest, HandsMessagesOverWholeAndInOrderBetweenThreads) {
  constexpr int kMessages = 20000;
  MessageRing ring(1024);
  std::thread producer([&] {
    for (int n = 0; n < kMessages; ++n) {
      const std::vector<uint8_t> message = MessageNumber(n);
      while (!ring.Write(message.data(), message.size())) std::this_thread::yield();
    }
  });
  for (int n = 0; n < kMessages; ++n) {
    size_t size = 0;
    while ((size = ring.FrontSize()) == 0) std::this_thread::yield();
    std::vector<uint8_t> read(size);
    const size_t half = size / 2;
    ring.Copy(0, read.data(), half);
    ring.Copy(half, read.data() + half, size - half);
    ring.Pop();
    ASSERT_EQ(read, MessageNumber(n)) << "message " << n;
  }
  producer.join();
  EXPECT_TRUE(ring.Empty());
}

}  // namespace

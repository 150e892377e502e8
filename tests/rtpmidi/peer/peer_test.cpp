#include <gtest/gtest.h>

#include "tests/rtpmidi/peer/rtpmidipeer.h"

namespace {

using namespace std::chrono_literals;

// The harness alone: two sessions of the package on loopback, one inviting the other.
TEST(RtpMidiPeerTest, TwoPeersJoinPassMidiBothWaysAndPartWithBy) {
  if (const std::string reason = TRtpMidiPeer::Unavailable(); !reason.empty())
    GTEST_SKIP() << reason;
  TRtpMidiPeer host("host");
  TRtpMidiPeer guest("guest");
  guest.Invite(host.ControlPort());
  EXPECT_EQ(host.WaitFor("joined", 10s), "guest");
  EXPECT_EQ(guest.WaitFor("joined", 10s), "host");
  // Each side drops what it sends until its own clock sync is done.
  ASSERT_TRUE(guest.WaitFor("synced", 10s));
  ASSERT_TRUE(host.WaitFor("synced", 10s));

  guest.Send({0x90, 0x3c, 0x64});
  host.Send({0xb1, 0x07, 0x50});
  ASSERT_TRUE(host.WaitForMidi(1, 5s));
  ASSERT_TRUE(guest.WaitForMidi(1, 5s));
  EXPECT_EQ(host.Received()[0].Bytes, (std::vector<uint8_t>{0x90, 0x3c, 0x64}));
  EXPECT_EQ(guest.Received()[0].Bytes, (std::vector<uint8_t>{0xb1, 0x07, 0x50}));

  guest.End();
  EXPECT_EQ(host.WaitFor("left", 5s), "guest");
  EXPECT_EQ(guest.WaitForExit(5s), 0);
}

}  // namespace

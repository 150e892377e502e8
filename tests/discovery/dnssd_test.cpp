// DNS-SD with no system bus to reach the daemon through: the program must neither wait nor
// complain more than once, and keep what it was asked to announce for when the daemon comes.

#include "discovery/dnssd.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/qtwait.h"

namespace {

using namespace std::chrono_literals;

TEST(AlternativeServiceName, CountsOnAsDnsSdDoesAndFitsOneLabel) {
  EXPECT_EQ(AlternativeServiceName("Stage Left"), "Stage Left (2)");
  EXPECT_EQ(AlternativeServiceName("Stage Left (2)"), "Stage Left (3)");
  EXPECT_EQ(AlternativeServiceName("Stage Left (9)"), "Stage Left (10)");
  // Not a counter of ours: counted on from there.
  EXPECT_EQ(AlternativeServiceName("Room (east)"), "Room (east) (2)");
  EXPECT_EQ(AlternativeServiceName("Room ()"), "Room () (2)");

  const std::string full(63, 'a');
  EXPECT_EQ(AlternativeServiceName(full), std::string(59, 'a') + " (2)");
  // 58 bytes of ASCII, then a three-byte character that the cut at 59 would split.
  const std::string wide = std::string(58, 'a') + "\xE2\x99\xAA" + "bb";
  EXPECT_EQ(AlternativeServiceName(wide), std::string(58, 'a') + " (2)");
}

TEST(DnsSdWithoutDaemon, NeverWaitsSaysSoOnceAndKeepsTheAnnouncement) {
  // A bus that is not there, so the machine's own daemon is never reached.
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tessel-test-bus");
  std::vector<std::string> lines;
  const auto begin = std::chrono::steady_clock::now();
  TDnsSd dnsSd("_tessel._tcp");
  dnsSd.OnLog = [&lines](const std::string& line) { lines.push_back(line); };
  dnsSd.Announce("Stage Left", 5401, {"txtvers=1"});
  ASSERT_TRUE(ProcessEventsUntil([&] { return !lines.empty(); }, 1s));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 200ms);
  EXPECT_EQ(lines.front().rfind("Discovery : off until avahi-daemon runs", 0), 0u) << lines.front();
  EXPECT_EQ(dnsSd.AnnouncedName(), "Stage Left");
  EXPECT_TRUE(dnsSd.Servers().empty());
  EXPECT_EQ(dnsSd.Find("Stage Left"), nullptr);

  // Looking again (every 5 s) stays quiet.
  ProcessEventsFor(5500ms);
  EXPECT_EQ(lines.size(), 1u);
}

}  // namespace

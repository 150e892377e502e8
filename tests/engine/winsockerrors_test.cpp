#include "engine/winsockerrors.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(WinSockErrors, TableIsCompleteAndAscending) {
  EXPECT_EQ(SocketErrors.size(), 95u);
  const auto outOfOrder =
      std::adjacent_find(SocketErrors.begin(), SocketErrors.end(),
                         [](const auto& a, const auto& b) { return a.Code >= b.Code; });
  EXPECT_EQ(outOfOrder, SocketErrors.end());
  EXPECT_EQ(SocketErrors.front().Code, 6);
  EXPECT_EQ(SocketErrors.back().Code, 11031);
  for (const TSocketErrorInfo& entry : SocketErrors) {
    EXPECT_FALSE(entry.Text.empty()) << entry.Code;
    EXPECT_EQ(entry.Text.back(), '.') << entry.Code;
  }
}

TEST(WinSockErrors, LooksUpTextsAndFallsBackToTheNumber) {
  EXPECT_EQ(WinSockErrorText(10061), "Connection refused.");
  EXPECT_EQ(WinSockErrorText(10102), "No more results.");
  EXPECT_EQ(WinSockErrorText(10110), "No more results.");
  EXPECT_EQ(WinSockErrorText(6), "Specified event object handle is invalid.");
  EXPECT_EQ(WinSockErrorText(11031), "Reserved policy QOS element type.");
  EXPECT_EQ(WinSockErrorText(0), "0");
  EXPECT_EQ(WinSockErrorText(12345), "12345");
  EXPECT_EQ(WinSockErrorText(-10061), "-10061");
}

}  // namespace

#include "admission/policy.h"

#include <gtest/gtest.h>

namespace {

TArrival Peer(uint64_t id, std::string address, std::string hostName = "") {
  return {id, std::move(address), std::move(hostName)};
}

}  // namespace

TEST(AdmissionPolicyTest, SettingsReadBackAndTheListMatchesAddressesExactlyAndNamesIgnoringCase) {
  EXPECT_EQ(ParseWhoMayConnect("Ask"), TWhoMayConnect::Ask);
  EXPECT_EQ(ParseWhoMayConnect("Listed"), TWhoMayConnect::Listed);
  EXPECT_EQ(ParseWhoMayConnect(""), TWhoMayConnect::Anyone);
  EXPECT_EQ(ParseWhoMayConnect("listed"), TWhoMayConnect::Anyone);
  for (auto mode : {TWhoMayConnect::Anyone, TWhoMayConnect::Ask, TWhoMayConnect::Listed})
    EXPECT_EQ(ParseWhoMayConnect(WhoMayConnectText(mode)), mode);

  TAllowedPeers peers(" 10.0.0.7 ,Studio.local,,studio.LOCAL, 10.0.0.007,fe80::1 ,");
  EXPECT_EQ(peers.Setting(), "10.0.0.7,Studio.local,fe80::1");
  EXPECT_EQ(TAllowedPeers(peers.Setting()).Entries(), peers.Entries());

  EXPECT_TRUE(peers.Match("10.0.0.7", ""));
  EXPECT_TRUE(peers.Match("::ffff:10.0.0.7", ""));  // a dual-stack server's view of it
  EXPECT_TRUE(peers.Match("10.0.0.9", "STUDIO.local"));
  EXPECT_TRUE(peers.Match("FE80::1", ""));
  EXPECT_FALSE(peers.Match("10.0.0.70", ""));
  EXPECT_FALSE(peers.Match("10.0.0.9", "studio.local.evil"));
  EXPECT_FALSE(peers.Match("10.0.0.9", "10.0.0.7"));  // an address entry is no host name

  EXPECT_FALSE(peers.Add("STUDIO.LOCAL"));
  EXPECT_FALSE(peers.Add("a,b"));
  EXPECT_FALSE(peers.Add("a b"));
  EXPECT_FALSE(peers.Add(""));
  EXPECT_TRUE(peers.Add("10.0.0.8"));
  EXPECT_TRUE(peers.Remove("studio.local"));
  EXPECT_FALSE(peers.Remove("studio.local"));
  EXPECT_EQ(peers.Setting(), "10.0.0.7,fe80::1,10.0.0.8");
}

TEST(AdmissionPolicyTest, EachModeDecidesAndThePasswordComesBeforeTheQuestion) {
  TAdmissionPolicy policy(true);
  policy.Allowed().Add("10.0.0.7");
  const TArrival listed = Peer(1, "10.0.0.7");
  const TArrival stranger = Peer(2, "10.0.0.9", "guest.local");

  EXPECT_EQ(policy.Arrive(stranger, false, 0).Action, TAdmit::Now);
  EXPECT_EQ(policy.Arrive(stranger, true, 0).Action, TAdmit::Challenge);

  policy.SetMode(TWhoMayConnect::Listed);
  EXPECT_EQ(policy.Arrive(listed, false, 0).Action, TAdmit::Now);
  EXPECT_EQ(policy.Arrive(listed, true, 0).Action, TAdmit::Challenge);
  const TDecision refused = policy.Arrive(stranger, true, 0);
  EXPECT_EQ(refused.Action, TAdmit::Refuse);
  EXPECT_EQ(refused.Refusal, TRefusal::NotListed);

  policy.SetMode(TWhoMayConnect::Ask);
  EXPECT_EQ(policy.Arrive(listed, false, 0).Action, TAdmit::Now);
  EXPECT_EQ(policy.Arrive(stranger, true, 0).Action, TAdmit::Challenge);
  EXPECT_EQ(policy.Waiting(), 0u);
  EXPECT_EQ(policy.Arrive(stranger, false, 0).Action, TAdmit::Ask);
  EXPECT_EQ(policy.Waiting(), 1u);

  // Without a window no one can be asked: only the list counts.
  TAdmissionPolicy headless(false);
  headless.SetMode(TWhoMayConnect::Ask);
  EXPECT_EQ(headless.Arrive(stranger, false, 0).Action, TAdmit::Refuse);
  EXPECT_EQ(headless.Waiting(), 0u);
}

TEST(AdmissionPolicyTest, WaitingConnectionsAreAskedInTurnTimeOutAndAreBounded) {
  TAdmissionPolicy policy(true);
  policy.SetMode(TWhoMayConnect::Ask);
  EXPECT_EQ(policy.Question(), nullptr);
  EXPECT_FALSE(policy.NextWake(0));

  // Arrivals over the wrap of the millisecond clock.
  const uint32_t start = 0xFFFFF000u;
  for (uint64_t id = 1; id <= TAdmissionPolicy::kMaxWaiting; ++id) {
    const TArrival peer = Peer(id, "10.0.0." + std::to_string(id));
    EXPECT_EQ(policy.Arrive(peer, false, start + static_cast<uint32_t>(id) * 1000).Action,
              TAdmit::Ask);
  }
  const TDecision full = policy.Arrive(Peer(99, "10.0.0.99"), false, start + 9000);
  EXPECT_EQ(full.Action, TAdmit::Refuse);
  EXPECT_EQ(full.Refusal, TRefusal::TooManyWaiting);

  ASSERT_NE(policy.Question(), nullptr);
  EXPECT_EQ(policy.Question()->Id, 1u);
  ASSERT_EQ(policy.Answer(TUserAnswer::Allow).size(), 1u);
  EXPECT_EQ(policy.Question()->Id, 2u);
  const auto refused = policy.Answer(TUserAnswer::Refuse);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].Id, 2u);
  EXPECT_FALSE(refused[0].Admitted);

  // The one shown goes away: the next is asked. One further back goes quietly.
  policy.Leave(3);
  policy.Leave(5);
  EXPECT_EQ(policy.Question()->Id, 4u);

  // Each waits a minute from its arrival.
  EXPECT_EQ(policy.NextWake(start + 10000), 54000u);
  EXPECT_TRUE(policy.Tick(start + 63999).empty());
  EXPECT_EQ(policy.Tick(start + 65000), (std::vector<uint64_t>{4}));
  EXPECT_EQ(policy.Question()->Id, 6u);
  EXPECT_EQ(policy.NextWake(start + 67000), 0u);
  EXPECT_EQ(policy.Tick(start + 67000), (std::vector<uint64_t>{6, 7}));
  EXPECT_EQ(policy.Waiting(), 1u);
}

TEST(AdmissionPolicyTest, AlwaysAllowRemembersTheAddressAndAdmitsItsOtherWaitingConnections) {
  TAdmissionPolicy policy(true);
  policy.SetMode(TWhoMayConnect::Ask);
  policy.Arrive(Peer(1, "::ffff:10.0.0.7", "studio.local"), false, 0);
  policy.Arrive(Peer(2, "10.0.0.9"), false, 0);
  policy.Arrive(Peer(3, "10.0.0.7"), false, 0);

  const auto settled = policy.Answer(TUserAnswer::AlwaysAllow);
  ASSERT_EQ(settled.size(), 2u);
  EXPECT_EQ(settled[0].Id, 1u);
  EXPECT_EQ(settled[1].Id, 3u);
  EXPECT_TRUE(settled[0].Admitted && settled[1].Admitted);
  EXPECT_EQ(policy.Allowed().Setting(), "10.0.0.7");
  EXPECT_EQ(policy.Question()->Id, 2u);
  EXPECT_EQ(policy.Arrive(Peer(4, "10.0.0.7"), false, 0).Action, TAdmit::Now);
}

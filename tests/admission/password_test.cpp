#include "admission/password.h"

#include <gtest/gtest.h>

namespace {

// Argon2id's smallest limits keep the exchanges quick; the stored default is pinned below.
constexpr uint32_t kOps = 1;
constexpr uint32_t kMem = 8192;
constexpr TSalt kSalt = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

}  // namespace

TEST(PasswordTest, TheKeyDependsOnPasswordAndSaltAloneAndSurvivesTheSettings) {
  const TPasswordKey key = DeriveKey("correct horse", kSalt);
  EXPECT_EQ(KeySetting(key),
            "2:67108864:0102030405060708090a0b0c0d0e0f10:"
            "1aa059cee5958c478f6c3aed0ab130c16dcdb8e7127db41924b27f5730e149bb");
  EXPECT_EQ(DeriveKey("correct horse", kSalt, kOps, kMem).Key,
            DeriveKey("correct horse", kSalt, kOps, kMem).Key);
  EXPECT_NE(DeriveKey("correct horsf", kSalt, kOps, kMem).Key,
            DeriveKey("correct horse", kSalt, kOps, kMem).Key);
  EXPECT_NE(DeriveKey("correct horse", NewSalt(), kOps, kMem).Key,
            DeriveKey("correct horse", kSalt, kOps, kMem).Key);
  EXPECT_NE(NewSalt(), NewSalt());

  const auto back = ParseKeySetting(KeySetting(key));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Salt, key.Salt);
  EXPECT_EQ(back->Key, key.Key);
  EXPECT_EQ(back->OpsLimit, key.OpsLimit);
  EXPECT_EQ(back->MemLimit, key.MemLimit);
  const std::string text = KeySetting(key);
  for (const std::string& bad : {text.substr(0, text.size() - 1), text + "0", text + ":",
                                 "9:67108864" + text.substr(text.find(':', 2)),
                                 text.substr(0, text.size() - 1) + "g", std::string()})
    EXPECT_FALSE(ParseKeySetting(bad)) << bad;
}

TEST(PasswordTest, DecodersTakeExactlyOneWellFormedPayload) {
  const TChallenge challenge{kSalt, kOps, kMem, {9, 8, 7}};
  const std::vector<uint8_t> payload = EncodeChallenge(challenge);
  ASSERT_EQ(payload.size(), 57u);
  EXPECT_EQ(payload[0], 2);  // Argon2id v1.3
  EXPECT_EQ(std::vector<uint8_t>(payload.begin() + 1, payload.begin() + 9),
            (std::vector<uint8_t>{1, 0, 0, 0, 0, 0x20, 0, 0}));
  const auto back = DecodeChallenge(payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(EncodeChallenge(*back), payload);

  EXPECT_FALSE(DecodeChallenge(std::span(payload).first(payload.size() - 1)));
  auto longer = payload;
  longer.push_back(0);
  EXPECT_FALSE(DecodeChallenge(longer));
  auto otherAlgorithm = payload;
  otherAlgorithm[0] = 1;
  EXPECT_FALSE(DecodeChallenge(otherAlgorithm));
  EXPECT_FALSE(DecodeChallenge(EncodeChallenge({kSalt, kOps, 1u << 30, {}})));  // 1 GiB a client
  EXPECT_FALSE(DecodeChallenge(EncodeChallenge({kSalt, 0, kMem, {}})));

  const TAnswer answer{};
  EXPECT_TRUE(DecodeAnswer(answer));
  EXPECT_FALSE(DecodeAnswer(std::span(answer).first(31)));
  EXPECT_FALSE(DecodeAnswer(std::vector<uint8_t>(33)));
}

TEST(PasswordTest, OnlyTheRightPasswordForThisChallengeInTimeLetsAClientIn) {
  const TPasswordKey key = DeriveKey("correct horse", kSalt, kOps, kMem);
  const auto answerWith = [](const char* password, const TPasswordCheck& check) {
    TPasswordAnswerer client(password);
    const auto reply = client.Receive(check.ChallengePayload());
    EXPECT_TRUE(reply && !reply->Refusal);
    // One challenge per connection: a second would only make the client work again.
    EXPECT_FALSE(client.Receive(check.ChallengePayload()));
    return reply ? reply->Answer : std::vector<uint8_t>();
  };

  TPasswordCheck right(key, 0xFFFFFFF0u);
  const std::vector<uint8_t> answer = answerWith("correct horse", right);
  EXPECT_EQ(right.Receive(answer, 100), TPasswordCheck::TState::Passed);
  EXPECT_FALSE(right.Tick(right.Due()));

  TPasswordCheck wrong(key, 0);
  EXPECT_EQ(wrong.Receive(answerWith("Correct horse", wrong), 100),
            TPasswordCheck::TState::Refused);
  EXPECT_STREQ(wrong.RefusalText(), "Wrong password");
  // Only the first answer counts.
  EXPECT_EQ(wrong.Receive(answerWith("correct horse", wrong), 200),
            TPasswordCheck::TState::Refused);

  TPasswordCheck replayed(key, 0);
  ASSERT_NE(replayed.ChallengePayload(), right.ChallengePayload());
  EXPECT_EQ(replayed.Receive(answer, 100), TPasswordCheck::TState::Refused);
  EXPECT_STREQ(replayed.RefusalText(), "Wrong password");

  TPasswordCheck truncated(key, 0);
  const std::vector<uint8_t> full = answerWith("correct horse", truncated);
  EXPECT_EQ(truncated.Receive(std::span(full).first(31), 100), TPasswordCheck::TState::Refused);

  // A client that never answers (one that knows nothing of passwords, or has none).
  TPasswordCheck silent(key, 1000);
  EXPECT_FALSE(silent.Tick(10999));
  EXPECT_TRUE(silent.Tick(11000));
  EXPECT_FALSE(silent.Tick(11001));
  EXPECT_STREQ(silent.RefusalText(), "This server needs a password");
  TPasswordCheck late(key, 0);
  EXPECT_EQ(late.Receive(answerWith("correct horse", late), late.Due()),
            TPasswordCheck::TState::Refused);
  EXPECT_STREQ(late.RefusalText(), "This server needs a password");

  TPasswordAnswerer none("");
  const auto reply = none.Receive(right.ChallengePayload());
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->Answer.empty());
  EXPECT_STREQ(reply->Refusal, "This server needs a password");
  EXPECT_FALSE(TPasswordAnswerer("x").Receive(std::vector<uint8_t>{2, 1}));

  // A key kept from the first derivation answers later challenges under the same salt alone.
  TPasswordCheck first(key, 0), later(key, 0);
  const auto derived = TPasswordAnswerer("correct horse").Receive(first.ChallengePayload());
  ASSERT_TRUE(derived && derived->Derived);
  const auto kept = TPasswordAnswerer("", derived->Derived).Receive(later.ChallengePayload());
  ASSERT_TRUE(kept && !kept->Derived);
  EXPECT_EQ(later.Receive(kept->Answer, 100), TPasswordCheck::TState::Passed);
  TPasswordKey otherSalt = *derived->Derived;
  otherSalt.Salt[0] ^= 1;
  const auto stale = TPasswordAnswerer("", otherSalt).Receive(later.ChallengePayload());
  ASSERT_TRUE(stale);
  EXPECT_STREQ(stale->Refusal, "This server needs a password");
}

#include "admission/password.h"

#include <sodium.h>

#include <algorithm>

#include "platform/text.h"
#include "platform/wrappingclock.h"

static_assert(std::tuple_size_v<TSalt> == crypto_pwhash_argon2id_SALTBYTES);
static_assert(std::tuple_size_v<TKey> == crypto_auth_hmacsha512256_KEYBYTES);
static_assert(std::tuple_size_v<TAnswer> == crypto_auth_hmacsha512256_BYTES);
static_assert(kOpsLimitInteractive == crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE);
static_assert(kMemLimitInteractive == crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE);

namespace {

constexpr size_t kChallengeSize = 1 + 4 + 4 + std::tuple_size_v<TSalt> + std::tuple_size_v<TNonce>;

void StartSodium() {
  // Safe to call from any thread, any number of times.
  if (sodium_init() < 0) throw EPassword("libsodium could not start");
}

bool AffordableLimits(uint32_t opsLimit, uint32_t memLimit) {
  return opsLimit >= crypto_pwhash_argon2id_OPSLIMIT_MIN &&
         opsLimit <= crypto_pwhash_argon2id_OPSLIMIT_MODERATE &&
         memLimit >= crypto_pwhash_argon2id_MEMLIMIT_MIN &&
         memLimit <= crypto_pwhash_argon2id_MEMLIMIT_MODERATE;
}

void PutUint32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetUint32(const uint8_t* in) {
  return in[0] | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes) {
  std::string hex(2 * N + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes.data(), N);
  hex.pop_back();
  return hex;
}

template <size_t N>
bool ParseHex(std::string_view hex, std::array<uint8_t, N>& bytes) {
  size_t length = 0;
  const char* end = nullptr;
  return hex.size() == 2 * N &&
         sodium_hex2bin(bytes.data(), N, hex.data(), hex.size(), nullptr, &length, &end) == 0 &&
         length == N && end == hex.data() + hex.size();
}

}  // namespace

TSalt NewSalt() {
  StartSodium();
  TSalt salt;
  randombytes_buf(salt.data(), salt.size());
  return salt;
}

TPasswordKey DeriveKey(std::string_view password, const TSalt& salt, uint32_t opsLimit,
                       uint32_t memLimit) {
  StartSodium();
  TPasswordKey key{salt, opsLimit, memLimit, {}};
  if (crypto_pwhash(key.Key.data(), key.Key.size(), password.data(), password.size(), salt.data(),
                    opsLimit, memLimit, crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw EPassword("Not enough memory to derive the password's key");
  return key;
}

std::string KeySetting(const TPasswordKey& key) {
  return Format("%u:%u:", key.OpsLimit, key.MemLimit) + Hex(key.Salt) + ":" + Hex(key.Key);
}

std::optional<TPasswordKey> ParseKeySetting(std::string_view text) {
  std::array<std::string_view, 4> fields;
  for (size_t i = 0; i < fields.size(); ++i) {
    const size_t colon = i + 1 < fields.size() ? text.find(':') : text.size();
    if (colon == std::string_view::npos) return std::nullopt;
    fields[i] = text.substr(0, colon);
    text.remove_prefix(std::min(colon + 1, text.size()));
  }
  TPasswordKey key;
  const auto opsLimit = ParseInteger<uint32_t>(fields[0]);
  const auto memLimit = ParseInteger<uint32_t>(fields[1]);
  if (!opsLimit || !memLimit || !AffordableLimits(*opsLimit, *memLimit) ||
      !ParseHex(fields[2], key.Salt) || !ParseHex(fields[3], key.Key))
    return std::nullopt;
  key.OpsLimit = *opsLimit;
  key.MemLimit = *memLimit;
  return key;
}

std::vector<uint8_t> EncodeChallenge(const TChallenge& challenge) {
  std::vector<uint8_t> payload;
  payload.reserve(kChallengeSize);
  payload.push_back(crypto_pwhash_ALG_ARGON2ID13);
  PutUint32(payload, challenge.OpsLimit);
  PutUint32(payload, challenge.MemLimit);
  payload.insert(payload.end(), challenge.Salt.begin(), challenge.Salt.end());
  payload.insert(payload.end(), challenge.Nonce.begin(), challenge.Nonce.end());
  return payload;
}

std::optional<TChallenge> DecodeChallenge(std::span<const uint8_t> payload) {
  if (payload.size() != kChallengeSize || payload[0] != crypto_pwhash_ALG_ARGON2ID13)
    return std::nullopt;
  TChallenge challenge;
  challenge.OpsLimit = GetUint32(&payload[1]);
  challenge.MemLimit = GetUint32(&payload[5]);
  if (!AffordableLimits(challenge.OpsLimit, challenge.MemLimit)) return std::nullopt;
  const auto salt = payload.subspan(9, challenge.Salt.size());
  std::copy(salt.begin(), salt.end(), challenge.Salt.begin());
  const auto nonce = payload.subspan(9 + challenge.Salt.size());
  std::copy(nonce.begin(), nonce.end(), challenge.Nonce.begin());
  return challenge;
}

std::optional<TAnswer> DecodeAnswer(std::span<const uint8_t> payload) {
  TAnswer answer;
  if (payload.size() != answer.size()) return std::nullopt;
  std::copy(payload.begin(), payload.end(), answer.begin());
  return answer;
}

TAnswer Answer(const TKey& key, const TNonce& nonce) {
  TAnswer answer;
  crypto_auth(answer.data(), nonce.data(), nonce.size(), key.data());
  return answer;
}

bool Verify(const TKey& key, const TNonce& nonce, const TAnswer& answer) {
  return crypto_auth_verify(answer.data(), nonce.data(), nonce.size(), key.data()) == 0;
}

TPasswordCheck::TPasswordCheck(const TPasswordKey& key, uint32_t now)
    : FKey(key.Key), FDue(now + kAnswerTimeMs) {
  StartSodium();
  randombytes_buf(FNonce.data(), FNonce.size());
  FPayload = EncodeChallenge({key.Salt, key.OpsLimit, key.MemLimit, FNonce});
}

TPasswordCheck::~TPasswordCheck() { sodium_memzero(FKey.data(), FKey.size()); }

TPasswordCheck::TState TPasswordCheck::Receive(std::span<const uint8_t> payload, uint32_t now) {
  if (FState != TState::Challenged) return FState;
  if (Reached(now, FDue)) {
    Refuse(kNeedsPasswordText);
  } else {
    const auto answer = DecodeAnswer(payload);
    if (answer && Verify(FKey, FNonce, *answer))
      FState = TState::Passed;
    else
      Refuse(kWrongPasswordText);
  }
  return FState;
}

bool TPasswordCheck::Tick(uint32_t now) {
  if (FState != TState::Challenged || !Reached(now, FDue)) return false;
  Refuse(kNeedsPasswordText);
  return true;
}

void TPasswordCheck::Refuse(const char* text) {
  FState = TState::Refused;
  FRefusal = text;
}

TPasswordAnswerer::TPasswordAnswerer(std::string password, std::optional<TPasswordKey> known)
    : FPassword(std::move(password)), FKnown(std::move(known)) {}

TPasswordAnswerer::~TPasswordAnswerer() {
  sodium_memzero(FPassword.data(), FPassword.size());
  if (FKnown) sodium_memzero(FKnown->Key.data(), FKnown->Key.size());
}

std::optional<TPasswordAnswerer::TReply> TPasswordAnswerer::Receive(
    std::span<const uint8_t> payload) {
  const auto challenge = DecodeChallenge(payload);
  if (!challenge || FAnswered) return std::nullopt;
  FAnswered = true;
  TReply reply;
  if (!FPassword.empty()) {
    reply.Derived = DeriveKey(FPassword, challenge->Salt, challenge->OpsLimit, challenge->MemLimit);
  } else if (!FKnown || FKnown->Salt != challenge->Salt ||
             FKnown->OpsLimit != challenge->OpsLimit || FKnown->MemLimit != challenge->MemLimit) {
    reply.Refusal = kNeedsPasswordText;
    return reply;
  }
  const TAnswer answer = Answer((reply.Derived ? *reply.Derived : *FKnown).Key, challenge->Nonce);
  reply.Answer.assign(answer.begin(), answer.end());
  return reply;
}

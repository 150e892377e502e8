#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The session password. The server keeps only a key derived from it with a salt (Argon2id);
// a client joins by answering a fresh random challenge with a keyed hash under that key
// (HMAC-SHA512-256), so the password never travels and is never stored.
//
// The exchange, in frames of the usual format with the type codes after Chat's:
//   server -> client  dtChallenge: algorithm (1 byte, 2 = Argon2id v1.3), opslimit and
//                     memlimit in bytes (4 bytes each, low byte first), salt (16), challenge (32)
//   client -> server  dtAnswer: the keyed hash of the challenge (32)
// There is no verdict packet: a refused client is told why in a Chat packet, which a client
// that knows nothing of passwords also shows, and the link is closed; an admitted one simply
// starts to get traffic.
constexpr int8_t dtChallenge = 5;
constexpr int8_t dtAnswer = 6;

// What the user of a refused client reads.
inline constexpr char kNeedsPasswordText[] = "This server needs a password";
inline constexpr char kWrongPasswordText[] = "Wrong password";

// libsodium could not start, or could not get the memory a derivation needs.
class EPassword : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using TSalt = std::array<uint8_t, 16>;
using TKey = std::array<uint8_t, 32>;
using TNonce = std::array<uint8_t, 32>;
using TAnswer = std::array<uint8_t, 32>;

// Argon2id's "interactive" limits (2 passes over 64 MiB): a fraction of a second, paid by a
// client once per connection and by the server only when the password is set.
constexpr uint32_t kOpsLimitInteractive = 2;
constexpr uint32_t kMemLimitInteractive = 64u << 20;

struct TPasswordKey {
  TSalt Salt{};
  uint32_t OpsLimit = 0;
  uint32_t MemLimit = 0;  // bytes
  TKey Key{};
};

TSalt NewSalt();
// The same password, salt and limits always give the same key.
TPasswordKey DeriveKey(std::string_view password, const TSalt& salt,
                       uint32_t opsLimit = kOpsLimitInteractive,
                       uint32_t memLimit = kMemLimitInteractive);

// The settings' form of a key: "opslimit:memlimit:salt:key", the last two in hex.
std::string KeySetting(const TPasswordKey& key);
std::optional<TPasswordKey> ParseKeySetting(std::string_view text);

struct TChallenge {
  TSalt Salt{};
  uint32_t OpsLimit = 0;
  uint32_t MemLimit = 0;
  TNonce Nonce{};
};

std::vector<uint8_t> EncodeChallenge(const TChallenge& challenge);
// Nothing unless the payload is exactly one challenge whose limits a client can afford:
// at most Argon2id's "moderate" ones, so a server cannot make a client exhaust its memory.
std::optional<TChallenge> DecodeChallenge(std::span<const uint8_t> payload);
// Nothing unless the payload is exactly one answer.
std::optional<TAnswer> DecodeAnswer(std::span<const uint8_t> payload);

TAnswer Answer(const TKey& key, const TNonce& nonce);
// Compared in constant time.
bool Verify(const TKey& key, const TNonce& nonce, const TAnswer& answer);

// The server's side of the exchange with one client. Pure: it is told the time and the bytes.
class TPasswordCheck {
 public:
  static constexpr uint32_t kAnswerTimeMs = 10000;

  enum class TState : uint8_t { Challenged, Passed, Refused };

  // Draws a fresh challenge; send ChallengePayload() as a dtChallenge packet.
  TPasswordCheck(const TPasswordKey& key, uint32_t now);
  ~TPasswordCheck();
  TPasswordCheck(const TPasswordCheck&) = delete;
  TPasswordCheck& operator=(const TPasswordCheck&) = delete;

  const std::vector<uint8_t>& ChallengePayload() const { return FPayload; }
  TState State() const { return FState; }
  uint32_t Due() const { return FDue; }
  // While Refused: the Chat text that tells the client why.
  const char* RefusalText() const { return FRefusal; }

  // A dtAnswer payload. Only the first counts; a late one finds the client refused as one
  // that never answered.
  TState Receive(std::span<const uint8_t> payload, uint32_t now);
  // True when `now` is the moment the answer has come too late.
  bool Tick(uint32_t now);

 private:
  void Refuse(const char* text);

  TKey FKey;
  TNonce FNonce{};
  std::vector<uint8_t> FPayload;
  uint32_t FDue;
  TState FState = TState::Challenged;
  const char* FRefusal = nullptr;
};

// A client's side: answers the first challenge of its connection, with the password typed or
// else with a key kept from an earlier derivation under the same salt and limits.
class TPasswordAnswerer {
 public:
  // An empty password and no key: this copy has none to give.
  explicit TPasswordAnswerer(std::string password, std::optional<TPasswordKey> known = {});
  ~TPasswordAnswerer();
  TPasswordAnswerer(const TPasswordAnswerer&) = delete;
  TPasswordAnswerer& operator=(const TPasswordAnswerer&) = delete;

  struct TReply {
    std::vector<uint8_t> Answer;    // a dtAnswer payload to send, or empty when refused
    const char* Refusal = nullptr;  // the text to show instead
    // The key derived from the password for this server's salt, for the caller to keep.
    std::optional<TPasswordKey> Derived;
  };
  // A dtChallenge payload. Nothing for a malformed challenge or for any after the first, so
  // a server cannot make a client derive keys over and over.
  std::optional<TReply> Receive(std::span<const uint8_t> payload);
  bool Answered() const { return FAnswered; }

 private:
  std::string FPassword;
  std::optional<TPasswordKey> FKnown;
  bool FAnswered = false;
};

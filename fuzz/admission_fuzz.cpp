// Input: a payload as a peer would send it, offered both as a challenge and as an answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "admission/password.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> payload(data, size);

  // A challenge taken is exactly the bytes it encodes to.
  const auto challenge = DecodeChallenge(payload);
  if (challenge) {
    const auto encoded = EncodeChallenge(*challenge);
    Check(encoded.size() == size && std::memcmp(encoded.data(), data, size) == 0);
  }
  // A client without a password answers a well-formed challenge with the text alone, and
  // ignores anything else.
  TPasswordAnswerer client("");
  const auto reply = client.Receive(payload);
  Check(reply.has_value() == challenge.has_value());
  Check(!reply || (reply->Answer.empty() && reply->Refusal == kNeedsPasswordText));

  // No guessed answer passes a fresh challenge.
  const TPasswordKey key{{}, 1, 8192, {}};
  TPasswordCheck check(key, 0);
  Check(DecodeAnswer(payload).has_value() == (size == sizeof(TAnswer)));
  Check(check.Receive(payload, 1) == TPasswordCheck::TState::Refused);
  Check(check.RefusalText() == kWrongPasswordText);
  return 0;
}

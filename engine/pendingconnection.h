#pragma once

// A server's connection that has not joined the session yet: it owes the session password,
// or waits for the user's answer.

#include <cstdint>
#include <memory>
#include <vector>

#include "admission/password.h"
#include "admission/policy.h"
#include "protocol/data.h"
#include "session/session.h"

class TCustomWinSocket;

struct TPendingConnection {
  TPendingConnection(TPeerId id, TCustomWinSocket& socket, uint32_t now)
      : Id(id), Socket(&socket), KeepAliveDue(now + TSession::kIdleIntervalMs) {}

  enum class TNext : uint8_t { Stay, Join, Wait, Refuse };

  const TPeerId Id;
  TCustomWinSocket* const Socket;
  // While the password is owed: its check, and the decoder that finds the answer.
  std::unique_ptr<TPasswordCheck> Check;
  std::unique_ptr<TDecoder> Decoder;
  std::vector<TData> Held;  // what came behind a right answer, in order
  bool WaitsForUser = false;
  // A peer that knows it is linked drops a link that stays silent, so one that waits gets an
  // empty Time packet as often as an idle link would.
  uint32_t KeepAliveDue;
  // What the last read decided, carried out once the decoder has returned.
  TNext Next = TNext::Stay;
  TRefusal Refusal = TRefusal::NotListed;
  const char* RefusalChat = nullptr;
};

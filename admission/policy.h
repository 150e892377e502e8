#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// "Who may connect" to the server.
enum class TWhoMayConnect : uint8_t {
  Anyone,  // every connection is taken
  Ask,     // each new one waits until the user answers
  Listed,  // only the remembered peers; everyone else is refused at once
};

// The WhoMayConnect setting: "Anyone", "Ask" or "Listed"; absent or unknown means Anyone.
TWhoMayConnect ParseWhoMayConnect(std::string_view text);
const char* WhoMayConnectText(TWhoMayConnect mode);

// The remembered peers, kept in the AllowedPeers setting as entries separated by commas. An
// entry that is an address matches that address exactly; any other entry is a host name and
// matches it ignoring case.
class TAllowedPeers {
 public:
  TAllowedPeers() = default;
  // Blanks around entries are dropped; empty entries and duplicates are skipped.
  explicit TAllowedPeers(std::string_view setting);

  std::string Setting() const;
  const std::vector<std::string>& Entries() const { return FEntries; }

  // False when the entry is empty, holds a comma or a blank, or is there already.
  bool Add(std::string_view entry);
  // False when no such entry is there.
  bool Remove(std::string_view entry);
  bool Match(std::string_view address, std::string_view hostName) const;

 private:
  std::vector<std::string> FEntries;
};

// One connection as the server sees it when it arrives; the host name may be empty.
struct TArrival {
  uint64_t Id = 0;
  std::string Address;
  std::string HostName;
};

enum class TRefusal : uint8_t {
  NotListed,       // Only listed, and the peer is not on the list
  TooManyWaiting,  // Ask, and the queue of connections waiting for the user is full
  ByUser,          // the user answered Refuse
  NoAnswer,        // the user did not answer within kAnswerTimeMs
};

// What the monitor says after "refused: ".
const char* RefusalText(TRefusal refusal);

enum class TAdmit : uint8_t {
  Now,        // the connection takes part from here on
  Refuse,     // close it; Refusal says why
  Ask,        // it waits for the user's answer (the policy holds it in its queue)
  Challenge,  // it must give the session password first
};

struct TDecision {
  TAdmit Action = TAdmit::Now;
  TRefusal Refusal = TRefusal::NotListed;  // only when Action is Refuse
};

enum class TUserAnswer : uint8_t { Allow, AlwaysAllow, Refuse };

// A waiting connection settled by the user.
struct TVerdict {
  uint64_t Id = 0;
  bool Admitted = false;
};

// Decides who may connect, and holds the connections that wait for the user: one question is
// shown at a time, first come first asked, each connection waits at most kAnswerTimeMs from
// its arrival, and at most kMaxWaiting wait at once. A waiting connection gets nothing and
// gives nothing; that is the caller's part. Pure: it is told the time and what happened.
class TAdmissionPolicy {
 public:
  static constexpr uint32_t kAnswerTimeMs = 60000;
  static constexpr size_t kMaxWaiting = 8;

  // A copy without a window has no one to ask, and treats Ask as Listed.
  explicit TAdmissionPolicy(bool canAsk) : FCanAsk(canAsk) {}

  TWhoMayConnect Mode() const { return FMode; }
  void SetMode(TWhoMayConnect mode) { FMode = mode; }
  TAllowedPeers& Allowed() { return FAllowed; }
  const TAllowedPeers& Allowed() const { return FAllowed; }

  // A new connection, while it still owes the session password, decides Challenge (unless the
  // list refuses it anyway); once it has given the password it comes back with
  // passwordOwed false. An Ask decision has queued the connection.
  TDecision Arrive(const TArrival& peer, bool passwordOwed, uint32_t now);

  // The connection whose question is shown; null while none waits.
  const TArrival* Question() const { return FWaiting.empty() ? nullptr : &FWaiting.front().Peer; }
  size_t Waiting() const { return FWaiting.size(); }

  // The user's answer to the question shown, and every connection it settles: Always allow
  // remembers the address, which also admits the others waiting from it.
  std::vector<TVerdict> Answer(TUserAnswer answer);
  // A waiting connection closed.
  void Leave(uint64_t id);
  // The connections refused at `now` because no one answered in time.
  std::vector<uint64_t> Tick(uint32_t now);
  // Milliseconds from `now` until Tick has something to do; nothing while none waits.
  std::optional<uint32_t> NextWake(uint32_t now) const;

 private:
  struct TWaiting {
    TArrival Peer;
    uint32_t Due = 0;
  };

  bool FCanAsk;
  TWhoMayConnect FMode = TWhoMayConnect::Anyone;
  TAllowedPeers FAllowed;
  std::deque<TWaiting> FWaiting;  // in order of arrival, so also of Due
};

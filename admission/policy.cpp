#include "admission/policy.h"

#include <algorithm>

#include "platform/text.h"
#include "platform/wrappingclock.h"

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A dual-stack server sees an IPv4 peer as "::ffff:a.b.c.d"; that is the IPv4 address.
std::string_view WithoutMappedPrefix(std::string_view address) {
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() &&
      SameTextIgnoringAsciiCase(address.substr(0, kMapped.size()), kMapped) &&
      ParseDottedIpv4(address.substr(kMapped.size())))
    address.remove_prefix(kMapped.size());
  return address;
}

bool IsAddress(std::string_view entry) {
  return ParseDottedIpv4(entry).has_value() || entry.find(':') != std::string_view::npos;
}

// IPv4 by value (so "10.0.0.010" is "10.0.0.10"), IPv6 by its text ignoring the hex digits' case.
bool SameAddress(std::string_view a, std::string_view b) {
  a = WithoutMappedPrefix(a);
  b = WithoutMappedPrefix(b);
  const auto a4 = ParseDottedIpv4(a);
  const auto b4 = ParseDottedIpv4(b);
  if (a4 || b4) return a4 == b4;
  return SameTextIgnoringAsciiCase(a, b);
}

bool SameEntry(std::string_view a, std::string_view b) {
  if (IsAddress(a) || IsAddress(b)) return IsAddress(a) && IsAddress(b) && SameAddress(a, b);
  return SameTextIgnoringAsciiCase(a, b);
}

}  // namespace

TWhoMayConnect ParseWhoMayConnect(std::string_view text) {
  if (text == "Ask") return TWhoMayConnect::Ask;
  if (text == "Listed") return TWhoMayConnect::Listed;
  return TWhoMayConnect::Anyone;
}

const char* WhoMayConnectText(TWhoMayConnect mode) {
  switch (mode) {
    case TWhoMayConnect::Ask:
      return "Ask";
    case TWhoMayConnect::Listed:
      return "Listed";
    case TWhoMayConnect::Anyone:
      break;
  }
  return "Anyone";
}

TAllowedPeers::TAllowedPeers(std::string_view setting) {
  while (!setting.empty()) {
    const size_t comma = std::min(setting.find(','), setting.size());
    Add(Trimmed(setting.substr(0, comma)));
    setting.remove_prefix(std::min(comma + 1, setting.size()));
  }
}

std::string TAllowedPeers::Setting() const {
  std::string setting;
  for (const std::string& entry : FEntries) {
    if (!setting.empty()) setting += ',';
    setting += entry;
  }
  return setting;
}

bool TAllowedPeers::Add(std::string_view entry) {
  if (entry.empty() || entry.find_first_of(", \t") != std::string_view::npos) return false;
  if (std::any_of(FEntries.begin(), FEntries.end(),
                  [&](const std::string& kept) { return SameEntry(kept, entry); }))
    return false;
  FEntries.emplace_back(entry);
  return true;
}

bool TAllowedPeers::Remove(std::string_view entry) {
  const auto found = std::find_if(FEntries.begin(), FEntries.end(),
                                  [&](const std::string& kept) { return SameEntry(kept, entry); });
  if (found == FEntries.end()) return false;
  FEntries.erase(found);
  return true;
}

bool TAllowedPeers::Match(std::string_view address, std::string_view hostName) const {
  return std::any_of(FEntries.begin(), FEntries.end(), [&](const std::string& entry) {
    if (IsAddress(entry)) return SameAddress(entry, address);
    return !hostName.empty() && SameTextIgnoringAsciiCase(entry, hostName);
  });
}

const char* RefusalText(TRefusal refusal) {
  switch (refusal) {
    case TRefusal::NotListed:
      return "not on the list of allowed peers";
    case TRefusal::TooManyWaiting:
      return "too many connections wait for an answer";
    case TRefusal::ByUser:
      return "refused by the user";
    case TRefusal::NoAnswer:
      return "no answer within a minute";
  }
  return "";
}

TDecision TAdmissionPolicy::Arrive(const TArrival& peer, bool passwordOwed, uint32_t now) {
  const TWhoMayConnect mode =
      FMode == TWhoMayConnect::Ask && !FCanAsk ? TWhoMayConnect::Listed : FMode;
  const bool listed = FAllowed.Match(peer.Address, peer.HostName);
  // No one is asked for, or challenged, a peer the list refuses anyway.
  if (mode == TWhoMayConnect::Listed && !listed) return {TAdmit::Refuse, TRefusal::NotListed};
  if (passwordOwed) return {TAdmit::Challenge};
  if (mode != TWhoMayConnect::Ask || listed) return {TAdmit::Now};
  if (FWaiting.size() >= kMaxWaiting) return {TAdmit::Refuse, TRefusal::TooManyWaiting};
  FWaiting.push_back({peer, now + kAnswerTimeMs});
  return {TAdmit::Ask};
}

std::vector<TVerdict> TAdmissionPolicy::Answer(TUserAnswer answer) {
  std::vector<TVerdict> settled;
  if (FWaiting.empty()) return settled;
  const TArrival asked = std::move(FWaiting.front().Peer);
  FWaiting.pop_front();
  settled.push_back({asked.Id, answer != TUserAnswer::Refuse});
  if (answer == TUserAnswer::AlwaysAllow) {
    FAllowed.Add(WithoutMappedPrefix(asked.Address));
    for (auto waiting = FWaiting.begin(); waiting != FWaiting.end();) {
      if (!FAllowed.Match(waiting->Peer.Address, waiting->Peer.HostName)) {
        ++waiting;
        continue;
      }
      settled.push_back({waiting->Peer.Id, true});
      waiting = FWaiting.erase(waiting);
    }
  }
  return settled;
}

void TAdmissionPolicy::Leave(uint64_t id) {
  std::erase_if(FWaiting, [&](const TWaiting& waiting) { return waiting.Peer.Id == id; });
}

std::vector<uint64_t> TAdmissionPolicy::Tick(uint32_t now) {
  std::vector<uint64_t> refused;
  while (!FWaiting.empty() && Reached(now, FWaiting.front().Due)) {
    refused.push_back(FWaiting.front().Peer.Id);
    FWaiting.pop_front();
  }
  return refused;
}

std::optional<uint32_t> TAdmissionPolicy::NextWake(uint32_t now) const {
  if (FWaiting.empty()) return std::nullopt;
  return static_cast<uint32_t>(std::max<int32_t>(0, Span(now, FWaiting.front().Due)));
}

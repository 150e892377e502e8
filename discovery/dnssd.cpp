#include "discovery/dnssd.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>

#include <QTimer>
#include <algorithm>
#include <cctype>

namespace {

// Without a system bus nothing tells us when one appears, so we look again this often.
constexpr int kRetryMs = 5000;
// A rename that keeps colliding gives up after this many names.
constexpr int kMostRenames = 20;

constexpr size_t kLabelBytes = 63;

std::string ErrorText(int error) { return avahi_strerror(error); }

}  // namespace

std::string AlternativeServiceName(const std::string& name) {
  std::string base = name;
  unsigned number = 2;
  // "name (7)" goes on as "name (8)".
  const size_t open = name.rfind(" (");
  if (open != std::string::npos && name.size() > open + 3 && name.back() == ')') {
    const std::string digits = name.substr(open + 2, name.size() - open - 3);
    const auto isDigit = [](unsigned char c) { return std::isdigit(c) != 0; };
    if (digits.size() < 9 && std::all_of(digits.begin(), digits.end(), isDigit)) {
      base = name.substr(0, open);
      number = static_cast<unsigned>(std::stoul(digits)) + 1;
    }
  }
  const std::string suffix = " (" + std::to_string(number) + ")";
  if (base.size() + suffix.size() > kLabelBytes) {
    base.resize(kLabelBytes - suffix.size());
    // A character cut in two goes whole.
    size_t lead = base.size();
    while (lead > 0 && (static_cast<unsigned char>(base[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0) {
      const auto first = static_cast<unsigned char>(base[--lead]);
      const size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
      if (base.size() - lead < length) base.resize(lead);
    }
  }
  return base + suffix;
}

TDnsSd::TDnsSd(std::string serviceType)
    : serviceType_(std::move(serviceType)), reconnect_(std::make_unique<QTimer>()) {
  reconnect_->setSingleShot(true);
  QObject::connect(reconnect_.get(), &QTimer::timeout, [this] { Reconnect(); });
  reconnect_->start(0);
}

TDnsSd::~TDnsSd() {
  // Frees the group, the browser and the resolvers with it, while the loop still serves them.
  if (client_) avahi_client_free(client_);
}

void TDnsSd::Connect() {
  int error = 0;
  // NO_FAIL: a missing daemon is waited for on the bus instead of failing here.
  AvahiClient* made = avahi_client_new(
      poll_.Api(), AVAHI_CLIENT_NO_FAIL,
      [](AvahiClient* client, AvahiClientState state, void* self) {
        static_cast<TDnsSd*>(self)->ClientChanged(client, state);
      },
      this, &error);
  if (made) {
    client_ = made;
    return;
  }
  DaemonLost("no D-Bus system bus (" + ErrorText(error) + ")");
  reconnect_->start(kRetryMs);
}

void TDnsSd::Reconnect() {
  // The lost daemon's group, browser and resolvers are gone already (DaemonLost).
  if (client_) avahi_client_free(client_);
  client_ = nullptr;
  Connect();
}

void TDnsSd::ClientChanged(AvahiClient* client, int state) {
  // The first calls come from inside avahi_client_new, before it has returned the client.
  client_ = client;
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      DaemonReached();
      break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The daemon is renaming the host; the service goes up again once it runs.
      if (group_) avahi_entry_group_reset(group_);
      break;
    case AVAHI_CLIENT_CONNECTING:
      DaemonLost("avahi-daemon does not run");
      break;
    case AVAHI_CLIENT_FAILURE:
      // The client is freed outside its own callback and made again.
      DaemonLost(ErrorText(avahi_client_errno(client)));
      reconnect_->start(kRetryMs / 5);
      break;
    default:
      break;
  }
}

void TDnsSd::DaemonReached() {
  if (reached_) {
    Register();  // the host's rename has finished
    return;
  }
  reached_ = true;
  toldGone_ = false;
  Say("Discovery : announcing and listing through avahi-daemon");
  if (wish_) announcedName_ = wish_->Name;
  browser_ = avahi_service_browser_new(
      client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, serviceType_.c_str(), nullptr,
      static_cast<AvahiLookupFlags>(0),
      [](AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
         AvahiBrowserEvent event, const char* name, const char*, const char* domain,
         AvahiLookupResultFlags flags, void* self) {
        static_cast<TDnsSd*>(self)->Browsed(interface, protocol, event, name, domain, flags);
      },
      this);
  if (!browser_) Say("Discovery : cannot list servers : " + ErrorText(avahi_client_errno(client_)));
  Register();
}

void TDnsSd::DaemonLost(const std::string& why) {
  reached_ = false;
  if (group_) avahi_entry_group_free(group_);
  group_ = nullptr;
  if (browser_) avahi_service_browser_free(browser_);
  browser_ = nullptr;
  for (auto& [key, found] : found_)
    if (found.Resolver) avahi_service_resolver_free(found.Resolver);
  found_.clear();
  PublishServers();
  if (toldGone_) return;
  toldGone_ = true;
  Say("Discovery : off until avahi-daemon runs : " + why);
}

void TDnsSd::Announce(const std::string& name, uint16_t port, std::vector<std::string> txt) {
  wish_ = std::make_unique<TWish>(TWish{name, port, std::move(txt)});
  announcedName_ = name;
  Register();
}

void TDnsSd::Withdraw() {
  wish_.reset();
  announcedName_.clear();
  if (group_) avahi_entry_group_free(group_);
  group_ = nullptr;
}

void TDnsSd::Register() {
  if (!reached_ || !wish_) return;
  if (group_) {
    avahi_entry_group_reset(group_);
  } else {
    group_ = avahi_entry_group_new(
        client_,
        [](AvahiEntryGroup*, AvahiEntryGroupState state, void* self) {
          static_cast<TDnsSd*>(self)->GroupChanged(state);
        },
        this);
    if (!group_) {
      Say("Discovery : cannot announce : " + ErrorText(avahi_client_errno(client_)));
      return;
    }
  }
  std::vector<const char*> entries;
  for (const std::string& entry : wish_->Txt) entries.push_back(entry.c_str());
  // avahi asserts on an empty array; the empty list is a null one.
  AvahiStringList* txt = entries.empty() ? nullptr
                                         : avahi_string_list_new_from_array(
                                               entries.data(), static_cast<int>(entries.size()));
  int result = AVAHI_ERR_COLLISION;
  for (int renames = 0; result == AVAHI_ERR_COLLISION && renames < kMostRenames; ++renames) {
    result = avahi_entry_group_add_service_strlst(
        group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
        announcedName_.c_str(), serviceType_.c_str(), nullptr, nullptr, wish_->Port, txt);
    if (result == AVAHI_ERR_COLLISION) Renamed();
  }
  avahi_string_list_free(txt);
  if (result == AVAHI_OK) result = avahi_entry_group_commit(group_);
  if (result != AVAHI_OK)
    Say("Discovery : cannot announce '" + announcedName_ + "' : " + ErrorText(result));
}

void TDnsSd::GroupChanged(int state) {
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      Say("Discovery : announced as '" + announcedName_ + "' on port " +
          std::to_string(wish_ ? wish_->Port : 0));
      break;
    case AVAHI_ENTRY_GROUP_COLLISION:
      // Another host took the name on the network.
      Renamed();
      Register();
      break;
    case AVAHI_ENTRY_GROUP_FAILURE:
      Say("Discovery : announcement failed : " +
          ErrorText(avahi_client_errno(avahi_entry_group_get_client(group_))));
      break;
    default:
      break;
  }
}

void TDnsSd::Renamed() {
  const std::string next = AlternativeServiceName(announcedName_);
  Say("Discovery : name '" + announcedName_ + "' taken, now '" + next + "'");
  announcedName_ = next;
}

void TDnsSd::Browsed(int interface, int protocol, int event, const char* name, const char* domain,
                     int flags) {
  if (event == AVAHI_BROWSER_FAILURE) {
    Say("Discovery : listing failed : " + ErrorText(avahi_client_errno(client_)));
    return;
  }
  if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) return;
  const TKey key{interface, protocol, name, domain};
  const auto known = found_.find(key);
  if (known != found_.end()) {
    if (known->second.Resolver) avahi_service_resolver_free(known->second.Resolver);
    found_.erase(known);
    PublishServers();
  }
  // Our own announcement is not a server to join.
  if (event == AVAHI_BROWSER_REMOVE || (flags & AVAHI_LOOKUP_RESULT_OUR_OWN)) return;
  // The link is IPv4, so the address asked for is too. The resolver stays while the service
  // does, and reports again when its address or port changes.
  AvahiServiceResolver* resolver = avahi_service_resolver_new(
      client_, interface, protocol, name, serviceType_.c_str(), domain, AVAHI_PROTO_INET,
      static_cast<AvahiLookupFlags>(0),
      [](AvahiServiceResolver* reporter, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent outcome,
         const char*, const char*, const char*, const char*, const AvahiAddress* address,
         uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* self) {
        char text[AVAHI_ADDRESS_STR_MAX] = "";
        const bool found = outcome == AVAHI_RESOLVER_FOUND && address;
        if (found) avahi_address_snprint(text, sizeof text, address);
        static_cast<TDnsSd*>(self)->Resolved(reporter, found, text, port);
      },
      this);
  if (!resolver) return;
  found_[key] = TFound{resolver, false, TAnnouncedServer{name, "", 0}};
}

void TDnsSd::Resolved(AvahiServiceResolver* resolver, bool found, const std::string& address,
                      uint16_t port) {
  for (auto& [key, entry] : found_) {
    if (entry.Resolver != resolver) continue;
    entry.Resolved = found;
    entry.Server.Address = address;
    entry.Server.Port = port;
    PublishServers();
    return;
  }
}

void TDnsSd::PublishServers() {
  std::vector<TAnnouncedServer> servers;
  for (const auto& [key, entry] : found_) {
    const bool listed = std::any_of(servers.begin(), servers.end(), [&](const auto& server) {
      return server.Name == entry.Server.Name;
    });
    if (entry.Resolved && !listed) servers.push_back(entry.Server);
  }
  std::sort(servers.begin(), servers.end(),
            [](const auto& a, const auto& b) { return a.Name < b.Name; });
  if (servers == servers_) return;
  servers_ = std::move(servers);
  if (OnServersChanged) OnServersChanged();
}

const TAnnouncedServer* TDnsSd::Find(const std::string& name) const {
  const auto server = std::find_if(servers_.begin(), servers_.end(),
                                   [&](const auto& candidate) { return candidate.Name == name; });
  return server == servers_.end() ? nullptr : &*server;
}

void TDnsSd::Say(const std::string& line) const {
  if (OnLog) OnLog(line);
}

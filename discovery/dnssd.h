#pragma once

// DNS-SD through the system's mDNS daemon (avahi-daemon over D-Bus, libavahi-client): one
// service of this program announced under a name, and the list of the services of one type
// that others announce, resolved to IPv4 addresses. Without a daemon, or while it restarts,
// nothing is announced or listed; both come back by themselves when the daemon does.
//
// Thread: the one that creates it (the GUI thread); avahi's callbacks arrive on its event
// loop, so nothing here is locked.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "discovery/qtavahipoll.h"

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;
class QTimer;

struct TAnnouncedServer {
  std::string Name;     // the instance name, as the list shows it
  std::string Address;  // dotted IPv4
  uint16_t Port = 0;
  bool operator==(const TAnnouncedServer&) const = default;
};

// The name to try after `name` collided, as DNS-SD renames: "name (2)", then "name (3)" and
// so on, cut (never inside a UTF-8 character) to fit one DNS label of 63 bytes.
std::string AlternativeServiceName(const std::string& name);

class TDnsSd {
 public:
  // `serviceType` such as "_tessel._tcp". The daemon is first reached from the event loop,
  // so constructing never waits for it.
  explicit TDnsSd(std::string serviceType);
  ~TDnsSd();
  TDnsSd(const TDnsSd&) = delete;
  TDnsSd& operator=(const TDnsSd&) = delete;

  // Announces (or re-announces) this program's service; `txt` holds "key=value" entries.
  void Announce(const std::string& name, uint16_t port, std::vector<std::string> txt);
  void Withdraw();
  // The name the announcement stands under: the asked one, or "name (2)" and so on after a
  // collision; empty while nothing is announced.
  const std::string& AnnouncedName() const { return announcedName_; }

  // The services others announce, resolved, one per name, sorted by name.
  const std::vector<TAnnouncedServer>& Servers() const { return servers_; }
  const TAnnouncedServer* Find(const std::string& name) const;

  std::function<void()> OnServersChanged;
  // One line per change of the daemon's reach or of the announcement.
  std::function<void(const std::string&)> OnLog;

 private:
  // Browse results are kept per interface, protocol, name and domain.
  using TKey = std::tuple<int, int, std::string, std::string>;
  struct TFound {
    AvahiServiceResolver* Resolver = nullptr;
    bool Resolved = false;
    TAnnouncedServer Server;
  };
  struct TWish {
    std::string Name;
    uint16_t Port = 0;
    std::vector<std::string> Txt;
  };

  void Connect();
  void Reconnect();
  void ClientChanged(AvahiClient* client, int state);
  void DaemonReached();
  void DaemonLost(const std::string& why);
  void Register();
  void GroupChanged(int state);
  void Renamed();
  void Browsed(int interface, int protocol, int event, const char* name, const char* domain,
               int flags);
  void Resolved(AvahiServiceResolver* resolver, bool found, const std::string& address,
                uint16_t port);
  void DropBrowsing();
  void PublishServers();
  void Say(const std::string& line) const;

  const std::string serviceType_;
  TQtAvahiPoll poll_;
  std::unique_ptr<QTimer> reconnect_;  // a failed client is freed and made again from here
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  AvahiServiceBrowser* browser_ = nullptr;
  bool reached_ = false;         // the daemon answers
  bool toldGone_ = false;        // the missing daemon has had its monitor line
  std::unique_ptr<TWish> wish_;  // what to announce; none while withdrawn
  std::string announcedName_;
  std::map<TKey, TFound> found_;
  std::vector<TAnnouncedServer> servers_;
};

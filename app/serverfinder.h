#pragma once

// The window's side of DNS-SD: a listening server announces itself under the chat name (or
// the host name while that is empty) on the port it really listens on; a client offers the
// servers it sees in "Server name or IP address" and under Actions > Connect to, and a
// server name that matches an announced one reaches that server wherever it is now.
//
// Thread: GUI thread only, as the window it serves.

#include <QObject>
#include <cstdint>
#include <string>

#include "discovery/dnssd.h"

class QAction;
class QCompleter;
class QLabel;
class QMenu;
class QStringListModel;
class TFormServerMain;

// Where the client socket is aimed.
struct TLinkTarget {
  std::string Host;
  int32_t Port = 0;
};

class TServerFinder : public QObject {
 public:
  // Builds its controls into the window's built form.
  explicit TServerFinder(TFormServerMain& window);
  ~TServerFinder() override;

  // ---- What the window reports
  void ServerListening(uint16_t port);
  void ServerStopped();
  void SetChatName(const std::string& name);

  // The announced server named `serverName` if there is one, else the name and port as set.
  TLinkTarget Target(const std::string& serverName, int32_t port) const;

  const TDnsSd& DnsSd() const { return dnsSd_; }
  // Actions > Connect to, one entry per server seen.
  QMenu* ConnectToMenu() const { return connectTo_; }

 private:
  std::string InstanceName() const;
  void Announce();
  void ShowServers();
  void Choose(const QString& name);
  void ConnectTo(const TAnnouncedServer& server);

  TFormServerMain& window_;
  TDnsSd dnsSd_;
  std::string chatName_;
  uint16_t listeningPort_ = 0;
  bool listening_ = false;
  QStringListModel* names_;
  QCompleter* completer_;
  QAction* showAll_;  // the arrow inside the name field that lists every server seen
  QMenu* connectTo_;
  QLabel* listeningLabel_;  // on the Connections page: the port to read out without discovery
};

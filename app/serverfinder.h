#pragma once

// The window's side of DNS-SD, which the engine runs: a client offers the servers it sees in
// "Server name or IP address" and under Actions > Connect to; a listening server shows its
// port on the Connections page, and invites the RTP-MIDI sessions it sees from Actions >
// Invite RTP-MIDI session.
//
// Thread: GUI thread only, as the window it serves.

#include <QObject>
#include <cstdint>
#include <vector>

#include "discovery/dnssd.h"

class QAction;
class QCompleter;
class QLabel;
class QMenu;
class QStringListModel;
class TFormServerMain;

class TServerFinder : public QObject {
 public:
  // Builds its controls into the window's built form.
  explicit TServerFinder(TFormServerMain& window);
  ~TServerFinder() override;

  void ShowServers(const std::vector<TAnnouncedServer>& servers);
  void ShowSessions(const std::vector<TAnnouncedServer>& sessions);
  // The port listened on; 0 when not listening.
  void ShowListening(uint16_t port, uint16_t rtpMidiPort);

  // Actions > Connect to, one entry per server seen.
  QMenu* ConnectToMenu() const { return connectTo_; }

 private:
  void Choose(const QString& name);
  void EnableInviting();

  TFormServerMain& window_;
  QStringListModel* names_;
  QCompleter* completer_;
  QAction* showAll_;  // the arrow inside the name field that lists every server seen
  QMenu* connectTo_;
  QMenu* invite_;                  // one entry per RTP-MIDI session seen
  bool listeningRtpMidi_ = false;  // only then can sessions be invited
  QLabel* listeningLabel_;  // on the Connections page: the port to read out without discovery
};

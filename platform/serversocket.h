#pragma once

#include <QTcpServer>
#include <vector>

#include "platform/winsocket.h"

// The server role: listens on Port on all local IPv4 addresses (backlog 5) and accepts any
// number of connections. For each one, OnClientConnect is raised when it is already listed
// and connected, OnAccept right after that handler has returned, then OnClientRead as bytes
// arrive and OnClientDisconnect when it ends. A connection that ends stays listed until
// control returns to the event loop, so indices stay valid while handlers run.
class TServerSocket : public TSocketComponent {
 public:
  explicit TServerSocket(QObject* parent = nullptr);
  ~TServerSocket() override;

  int Port() const { return port_; }
  // Changing the port while listening throws ESocketError.
  void SetPort(int port);

  bool Active() const { return server_.isListening(); }
  // The port bound, which differs from Port() when that is 0; 0 while not listening.
  int ListeningPort() const { return server_.isListening() ? server_.serverPort() : 0; }
  // Raises OnListen once listening; nothing when already listening. Throws ESocketError
  // with the reason when the port cannot be bound (10048 when in use) or is out of range.
  void Open();
  // Closes every connection without disconnect events. They stay listed, not connected, with
  // their Data, until control returns to the event loop, so the caller can release that Data.
  void Close();

  int ActiveConnections() const { return static_cast<int>(connections_.size()); }
  TCustomWinSocket* Connections(int index) const { return connections_.at(index); }

  // OnListen and accept failures (OnClientError) pass the server's own socket, which is
  // never connected.
  TSocketNotifyEvent OnListen;
  TSocketNotifyEvent OnAccept;
  TSocketNotifyEvent OnClientConnect;
  TSocketNotifyEvent OnClientRead;
  TSocketNotifyEvent OnClientDisconnect;
  TSocketErrorEvent OnClientError;

 protected:
  void SocketConnecting(TCustomWinSocket& socket) override;
  void SocketUp(TCustomWinSocket& socket) override;
  void SocketRead(TCustomWinSocket& socket) override;
  void SocketError(TCustomWinSocket& socket, int errorCode, const std::string& reason) override;
  void SocketDown(TCustomWinSocket& socket) override;
  void SocketFinished(TCustomWinSocket& socket) override;

 private:
  void AcceptPending();
  void AcceptFailed(QAbstractSocket::SocketError error);

  QTcpServer server_;
  int port_ = 0;
  TCustomWinSocket* const listener_;
  std::vector<TCustomWinSocket*> connections_;
};

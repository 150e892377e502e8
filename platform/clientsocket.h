#pragma once

#include <string>

#include "platform/winsocket.h"

// The client role: one outgoing connection at a time to Host (looked up when connecting) or
// Address (dotted IPv4, no look-up) and Port. Events, in order: OnLookup as Open starts,
// OnConnecting just before the TCP connect, OnConnect once the connection stands, then
// OnRead as bytes arrive and OnDisconnect when it ends. A failed look-up or connect raises
// OnError only.
class TClientSocket : public TSocketComponent {
 public:
  explicit TClientSocket(QObject* parent = nullptr);

  // Setting a non-empty host clears the address and the other way round, so the socket
  // always aims at what was set last. Changing either, or the port, while the socket is
  // active throws ESocketError "Can't change value while socket is active".
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& host);
  // Four decimal groups; leading zeros stay decimal ("010" is ten).
  const std::string& Address() const { return address_; }
  void SetAddress(const std::string& address);
  int Port() const { return port_; }
  void SetPort(int port);

  // From Open until the connection attempt fails or the connection has ended.
  bool Active() const { return active_; }
  // Nothing when already active. Throws ESocketError for a port outside 0..65535.
  void Open();
  void Close();

  // The current (or last) connection; always valid. Open starts a fresh one.
  TCustomWinSocket& Socket() const { return *socket_; }

  TSocketNotifyEvent OnLookup;
  TSocketNotifyEvent OnConnecting;
  TSocketNotifyEvent OnConnect;
  TSocketNotifyEvent OnRead;
  TSocketNotifyEvent OnDisconnect;
  TSocketErrorEvent OnError;

 protected:
  void SocketConnecting(TCustomWinSocket& socket) override;
  void SocketUp(TCustomWinSocket& socket) override;
  void SocketRead(TCustomWinSocket& socket) override;
  void SocketError(TCustomWinSocket& socket, int errorCode, const std::string& reason) override;
  void SocketDown(TCustomWinSocket& socket) override;
  void SocketFinished(TCustomWinSocket& socket) override;

 private:
  QString Target() const;

  std::string host_;
  std::string address_;
  int port_ = 0;
  bool active_ = false;
  TCustomWinSocket* socket_;
};

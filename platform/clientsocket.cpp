#include "platform/clientsocket.h"

#include <QHostAddress>
#include <optional>

#include "platform/text.h"

TClientSocket::TClientSocket(QObject* parent)
    : TSocketComponent(parent), socket_(new TCustomWinSocket(*this)) {}

void TClientSocket::SetHost(const std::string& host) {
  if (host == host_) return;
  if (active_) RefuseChangeWhileActive();
  host_ = host;
  if (!host.empty()) address_.clear();
}

void TClientSocket::SetAddress(const std::string& address) {
  if (address == address_) return;
  if (active_) RefuseChangeWhileActive();
  address_ = address;
  if (!address.empty()) host_.clear();
}

void TClientSocket::SetPort(int port) {
  if (port == port_) return;
  if (active_) RefuseChangeWhileActive();
  port_ = port;
}

QString TClientSocket::Target() const {
  if (!host_.empty()) return QString::fromStdString(host_);
  // Read here as decimal groups; the resolver would read a leading zero as octal.
  if (const std::optional<uint32_t> address = ParseDottedIpv4(address_))
    return QHostAddress(*address).toString();
  // Not dotted decimal: Qt takes what else it can read as an address and looks up the rest.
  return QString::fromStdString(address_);
}

void TClientSocket::Open() {
  if (active_) return;
  const quint16 port = CheckedPort(port_);
  // The previous connection may still be inside its own disconnect handler.
  socket_->deleteLater();
  auto* socket = new TCustomWinSocket(*this);
  socket_ = socket;
  active_ = true;
  Raise(OnLookup, *socket);
  if (socket_ != socket || !active_) return;  // the handler closed or reopened the socket
  socket->Connect(Target(), port);
}

void TClientSocket::Close() {
  TCustomWinSocket* const socket = socket_;
  socket->Close();
  // Also covers a close from the OnLookup handler, before any connection was started; a
  // disconnect handler that opened the socket again keeps the new attempt.
  if (socket_ == socket) active_ = false;
}

void TClientSocket::SocketConnecting(TCustomWinSocket& socket) { Raise(OnConnecting, socket); }

void TClientSocket::SocketUp(TCustomWinSocket& socket) { Raise(OnConnect, socket); }

void TClientSocket::SocketRead(TCustomWinSocket& socket) { Raise(OnRead, socket); }

void TClientSocket::SocketError(TCustomWinSocket& socket, int errorCode,
                                const std::string& reason) {
  RaiseError(OnError, socket, errorCode, reason);
}

void TClientSocket::SocketDown(TCustomWinSocket& socket) {
  // Inactive before the handler runs, so it may open the socket again.
  SocketFinished(socket);
  Raise(OnDisconnect, socket);
}

void TClientSocket::SocketFinished(TCustomWinSocket& socket) {
  if (&socket == socket_) active_ = false;
}

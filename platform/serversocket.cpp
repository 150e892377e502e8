#include "platform/serversocket.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

namespace {

constexpr int kListenBacklog = 5;
// Qt stops accepting after a failed accept (out of descriptors, ...); try again after this.
constexpr std::chrono::seconds kAcceptRetryDelay{1};

}  // namespace

TServerSocket::TServerSocket(QObject* parent)
    : TSocketComponent(parent), listener_(new TCustomWinSocket(*this)) {
  server_.setProxy(QNetworkProxy::NoProxy);
  server_.setListenBacklogSize(kListenBacklog);
  connect(&server_, &QTcpServer::newConnection, this, &TServerSocket::AcceptPending);
  connect(&server_, &QTcpServer::acceptError, this, &TServerSocket::AcceptFailed);
}

TServerSocket::~TServerSocket() {
  // The connections are our children and go with us; their release must not reach back into
  // a half-destroyed list.
  for (TCustomWinSocket* connection : findChildren<TCustomWinSocket*>(Qt::FindDirectChildrenOnly)) {
    QObject::disconnect(connection, &QObject::destroyed, this, nullptr);
  }
}

void TServerSocket::SetPort(int port) {
  if (port == port_) return;
  if (Active()) RefuseChangeWhileActive();
  port_ = port;
}

void TServerSocket::Open() {
  if (Active()) return;
  if (!server_.listen(QHostAddress::AnyIPv4, CheckedPort(port_))) {
    throw ESocketError(WinSockErrorCode(server_.serverError(), server_.errorString()),
                       server_.errorString().toStdString());
  }
  Raise(OnListen, *listener_);
}

void TServerSocket::Close() {
  if (!Active()) return;
  server_.close();
  for (TCustomWinSocket* connection : findChildren<TCustomWinSocket*>(Qt::FindDirectChildrenOnly)) {
    connection->Abandon();
  }
}

void TServerSocket::AcceptPending() {
  while (QTcpSocket* accepted = server_.nextPendingConnection()) {
    auto* connection = new TCustomWinSocket(*this);
    connect(connection, &QObject::destroyed, this, [this](QObject* gone) {
      std::erase_if(connections_, [gone](TCustomWinSocket* c) { return c == gone; });
    });
    connection->Accept(accepted);
  }
}

void TServerSocket::AcceptFailed(QAbstractSocket::SocketError error) {
  RaiseError(OnClientError, *listener_, WinSockErrorCode(error, server_.errorString()),
             server_.errorString().toStdString());
  QTimer::singleShot(kAcceptRetryDelay, this, [this] {
    if (Active()) server_.resumeAccepting();
  });
}

// Accepted connections never pass through the connecting state.
void TServerSocket::SocketConnecting(TCustomWinSocket&) {}

void TServerSocket::SocketUp(TCustomWinSocket& socket) {
  connections_.push_back(&socket);
  Raise(OnClientConnect, socket);
  if (socket.Connected()) Raise(OnAccept, socket);
}

void TServerSocket::SocketRead(TCustomWinSocket& socket) { Raise(OnClientRead, socket); }

void TServerSocket::SocketError(TCustomWinSocket& socket, int errorCode,
                                const std::string& reason) {
  RaiseError(OnClientError, socket, errorCode, reason);
}

void TServerSocket::SocketDown(TCustomWinSocket& socket) { Raise(OnClientDisconnect, socket); }

void TServerSocket::SocketFinished(TCustomWinSocket& socket) {
  // Released from the event loop, after every handler on the stack has returned.
  socket.deleteLater();
}

#include "platform/winsocket.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <climits>

namespace {

const QEvent::Type kDeferredException = static_cast<QEvent::Type>(QEvent::registerEventType());

class TDeferredException : public QEvent {
 public:
  explicit TDeferredException(std::exception_ptr error)
      : QEvent(kDeferredException), Error(std::move(error)) {}
  const std::exception_ptr Error;
};

// The system resolver: the look-up runs on Qt's resolver threads and its answer comes back to
// the context's thread as a queued call, dropped if the context is gone by then.
void SystemHostNameLookup(const std::string& address, QObject& context, TNameFound found) {
  const QString text = QString::fromStdString(address);
  QHostInfo::lookupHost(text, &context, [text, found](const QHostInfo& info) {
    // Without a reverse entry the resolver hands back the address itself.
    const bool named = info.error() == QHostInfo::NoError && info.hostName() != text;
    found(named ? info.hostName().toStdString() : std::string());
  });
}

// Set and used on the main thread only.
THostNameLookup& CurrentHostNameLookup() {
  static THostNameLookup lookup = SystemHostNameLookup;
  return lookup;
}

// IPv4 peers may show up as IPv4-mapped IPv6 addresses; the text is always dotted IPv4 then.
std::string DottedAddress(const QHostAddress& address) {
  bool isIpv4 = false;
  const quint32 ipv4 = address.toIPv4Address(&isIpv4);
  return (isIpv4 ? QHostAddress(ipv4) : address).toString().toStdString();
}

// Qt folds several failures into NetworkError and tells them apart only by its (untranslated)
// description.
int NetworkErrorCode(const QString& description) {
  static const std::pair<QLatin1StringView, int> kDescriptions[] = {
      {QLatin1StringView("Network unreachable"), WSAENETUNREACH},
      {QLatin1StringView("Host unreachable"), WSAEHOSTUNREACH},
      {QLatin1StringView("Connection timed out"), WSAETIMEDOUT},
      {QLatin1StringView("Address already in use"), WSAEADDRINUSE},
  };
  for (const auto& [text, code] : kDescriptions) {
    if (description.startsWith(text, Qt::CaseInsensitive)) return code;
  }
  return WSAENETDOWN;
}

}  // namespace

int WinSockErrorCode(QAbstractSocket::SocketError error, const QString& description) {
  using E = QAbstractSocket::SocketError;
  switch (error) {
    case E::ConnectionRefusedError:
    case E::ProxyConnectionRefusedError:
      return WSAECONNREFUSED;
    case E::RemoteHostClosedError:
    case E::ProxyConnectionClosedError:
      return WSAECONNRESET;
    case E::HostNotFoundError:
    case E::ProxyNotFoundError:
      return WSAHOST_NOT_FOUND;
    case E::SocketAccessError:
    case E::ProxyAuthenticationRequiredError:
      return WSAEACCES;
    case E::SocketResourceError:
      return WSAEMFILE;
    case E::SocketTimeoutError:
    case E::ProxyConnectionTimeoutError:
      return WSAETIMEDOUT;
    case E::DatagramTooLargeError:
      return WSAEMSGSIZE;
    case E::NetworkError:
      return NetworkErrorCode(description);
    case E::AddressInUseError:
      return WSAEADDRINUSE;
    case E::SocketAddressNotAvailableError:
      return WSAEADDRNOTAVAIL;
    case E::UnsupportedSocketOperationError:
      return WSAEOPNOTSUPP;
    case E::UnfinishedSocketOperationError:
      return WSAEINPROGRESS;
    case E::ProxyProtocolError:
      return WSAENOPROTOOPT;
    case E::OperationError:
      return WSAEINVAL;
    case E::TemporaryError:
      return WSAEWOULDBLOCK;
    case E::SslHandshakeFailedError:
    case E::SslInternalError:
    case E::SslInvalidUserDataError:
    case E::UnknownSocketError:
      return WSASYSCALLFAILURE;
  }
  return WSASYSCALLFAILURE;
}

int WinSockErrorFromErrno(int errnoValue) {
  switch (errnoValue) {
    case ENOMEM:
      return WSA_NOT_ENOUGH_MEMORY;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
    case EPIPE:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    case EUSERS:
      return WSAEUSERS;
    case EDQUOT:
      return WSAEDQUOT;
    case ESTALE:
      return WSAESTALE;
    case EREMOTE:
      return WSAEREMOTE;
    default:
      return WSASYSCALLFAILURE;
  }
}

int WSAGetLastError() { return WinSockErrorFromErrno(errno); }

THostNameLookup SetHostNameLookup(THostNameLookup lookup) {
  THostNameLookup previous = std::move(CurrentHostNameLookup());
  CurrentHostNameLookup() = lookup ? std::move(lookup) : SystemHostNameLookup;
  return previous;
}

ESocketError::ESocketError(int errorCode, const std::string& reason)
    : std::runtime_error("Socket error " + std::to_string(errorCode) +
                         (reason.empty() ? "" : ": " + reason)),
      errorCode_(errorCode) {}

ESocketError::ESocketError(const std::string& message)
    : std::runtime_error(message), errorCode_(0) {}

// --- TSocketComponent ---

// Events are taken by value: a handler may replace its own event while it runs.
void TSocketComponent::Raise(TSocketNotifyEvent event, TCustomWinSocket& socket) {
  if (!event) return;
  try {
    event(socket);
  } catch (...) {
    Defer(std::current_exception());
  }
}

void TSocketComponent::RaiseError(TSocketErrorEvent event, TCustomWinSocket& socket, int errorCode,
                                  const std::string& reason) {
  int code = errorCode;
  if (event) {
    try {
      event(socket, code);
    } catch (...) {
      Defer(std::current_exception());
    }
  }
  if (code != 0) {
    Defer(std::make_exception_ptr(ESocketError(code, code == errorCode ? reason : "")));
  }
}

quint16 TSocketComponent::CheckedPort(int port) {
  if (port < 0 || port > 65535) {
    throw ESocketError(WSAEINVAL, "port " + std::to_string(port) + " is outside 0..65535");
  }
  return static_cast<quint16>(port);
}

[[noreturn]] void TSocketComponent::RefuseChangeWhileActive() {
  throw ESocketError("Can't change value while socket is active");
}

void TSocketComponent::Defer(std::exception_ptr error) {
  QCoreApplication::postEvent(this, new TDeferredException(std::move(error)));
}

void TSocketComponent::customEvent(QEvent* event) {
  if (event->type() == kDeferredException) {
    std::rethrow_exception(static_cast<TDeferredException*>(event)->Error);
  }
}

// --- TCustomWinSocket ---

TCustomWinSocket::TCustomWinSocket(TSocketComponent& owner)
    : QObject(&owner),
      owner_(owner),
      sendQueueLimit_(owner.SendQueueLimit()),
      hostLookupGrace_(owner.HostLookupGrace()) {}

TCustomWinSocket::~TCustomWinSocket() {
  // The Qt socket is our child and would report its own destruction to us.
  if (socket_) QObject::disconnect(socket_, nullptr, this, nullptr);
}

int TCustomWinSocket::SocketHandle() const {
  return socket_ ? static_cast<int>(socket_->socketDescriptor()) : -1;
}

int TCustomWinSocket::ReceiveLength() const {
  if (state_ != TState::Up) return 0;
  return static_cast<int>(std::min<qint64>(socket_->bytesAvailable(), INT_MAX));
}

int TCustomWinSocket::ReceiveBuf(void* buffer, int count) {
  if (state_ != TState::Up || count <= 0) return 0;
  readDuringEvent_ = true;
  const qint64 read = socket_->read(static_cast<char*>(buffer), count);
  return read > 0 ? static_cast<int>(read) : 0;
}

void TCustomWinSocket::SetReadBufferLimit(int64_t bytes) {
  if (socket_) socket_->setReadBufferSize(bytes);
}

int TCustomWinSocket::SendBuf(const void* buffer, int count) {
  if (state_ != TState::Up) return -1;
  if (count <= 0) return 0;
  // A peer that stops reading must not grow our memory without bound. An empty queue always
  // takes the block, so a single block larger than the limit still goes out.
  const qint64 queued = socket_->bytesToWrite();
  if (queued > 0 && queued + count > sendQueueLimit_) {
    Overflow();
    return -1;
  }
  // Qt writes the queue out on the next event loop pass, so every block queued for this
  // connection in one pass leaves in one system call: relaying to many peers stays cheap.
  const qint64 taken = socket_->write(static_cast<const char*>(buffer), count);
  return taken < 0 ? -1 : static_cast<int>(taken);
}

void TCustomWinSocket::Close() {
  switch (state_) {
    case TState::Up:
      ShutDown();
      break;
    case TState::Connecting:
    case TState::Naming:
      Abandon();
      break;
    case TState::Idle:
    case TState::Closing:
      break;
  }
}

void TCustomWinSocket::Connect(const QString& target, quint16 port) {
  auto* socket = new QTcpSocket(this);
  Attach(socket);
  state_ = TState::Connecting;
  connect(socket, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
    if (s == QAbstractSocket::ConnectingState && state_ == TState::Connecting &&
        !connectingRaised_) {
      connectingRaised_ = true;
      owner_.SocketConnecting(*this);
    }
  });
  connect(socket, &QAbstractSocket::connected, this, [this] {
    if (state_ == TState::Connecting) StartNaming();
  });
  socket->connectToHost(target, port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void TCustomWinSocket::Accept(QTcpSocket* socket) {
  socket->setParent(this);
  Attach(socket);
  StartNaming();
}

void TCustomWinSocket::Attach(QTcpSocket* socket) {
  socket_ = socket;
  socket->setProxy(QNetworkProxy::NoProxy);
  connect(socket, &QIODevice::readyRead, this, [this] {
    if (state_ == TState::Up) RaiseRead();
  });
  connect(socket, &QAbstractSocket::errorOccurred, this, &TCustomWinSocket::HandleQtError);
  connect(socket, &QAbstractSocket::disconnected, this, &TCustomWinSocket::PeerClosed);
}

void TCustomWinSocket::StartNaming() {
  state_ = TState::Naming;
  remoteAddress_ = DottedAddress(socket_->peerAddress());
  remotePort_ = socket_->peerPort();
  CurrentHostNameLookup()(remoteAddress_, *this, [this](const std::string& name) {
    if (state_ != TState::Naming) return;  // too late: the connection is known without a name
    remoteHost_ = name;
    ComeUp();
  });
  QTimer::singleShot(hostLookupGrace_, this, [this] {
    if (state_ == TState::Naming) ComeUp();
  });
}

void TCustomWinSocket::ComeUp() {
  state_ = TState::Up;
  owner_.SocketUp(*this);
  // Bytes that came in while the name was looked up.
  RaiseReadIfPending();
}

void TCustomWinSocket::RaiseRead() {
  readDuringEvent_ = false;
  owner_.SocketRead(*this);
  // Like a Windows read notification, a handler that reads part of the pending bytes gets
  // another event for the rest; one that reads nothing waits for new bytes.
  if (readDuringEvent_ && ReceiveLength() > 0) {
    QMetaObject::invokeMethod(this, &TCustomWinSocket::RaiseReadIfPending, Qt::QueuedConnection);
  }
}

void TCustomWinSocket::RaiseReadIfPending() {
  if (ReceiveLength() > 0) RaiseRead();
}

void TCustomWinSocket::HandleQtError(QAbstractSocket::SocketError error) {
  // Qt reports an orderly close and a reset by the peer alike; both simply end the connection.
  if (error == QAbstractSocket::RemoteHostClosedError && state_ != TState::Connecting) {
    PeerClosed();
    return;
  }
  const QString description = socket_->errorString();
  const int code = WinSockErrorCode(error, description);
  const std::string reason = description.toStdString();
  if (state_ == TState::Connecting) {
    Abandon();
    owner_.SocketError(*this, code, reason);
    return;
  }
  if (state_ == TState::Naming) ComeUp();
  if (state_ != TState::Up) return;
  owner_.SocketError(*this, code, reason);
  // A failed send or receive ends the connection.
  if (state_ == TState::Up) ShutDown();
}

void TCustomWinSocket::PeerClosed() {
  // Every connection that ends is announced first, so it ends with its disconnect event.
  if (state_ == TState::Naming) ComeUp();
  if (state_ == TState::Up) ShutDown();
}

void TCustomWinSocket::ShutDown() {
  state_ = TState::Closing;
  Release();
  owner_.SocketDown(*this);
  Finish();
}

void TCustomWinSocket::Abandon() {
  // A connection inside its disconnect event is finished by ShutDown once the handler returns.
  if (state_ == TState::Idle || state_ == TState::Closing) return;
  Release();
  Finish();
}

void TCustomWinSocket::Finish() {
  remoteHost_.clear();
  remoteAddress_.clear();
  remotePort_ = 0;
  state_ = TState::Idle;
  owner_.SocketFinished(*this);
}

void TCustomWinSocket::Release() {
  if (!socket_) return;
  QObject::disconnect(socket_, nullptr, this, nullptr);
  // Qt may still be inside this socket's own signal: close now, free from the event loop.
  socket_->flush();
  socket_->abort();
  socket_->deleteLater();
  socket_ = nullptr;
}

void TCustomWinSocket::Overflow() {
  owner_.SocketError(*this, kSendQueueOverflowError,
                     "the peer stopped reading and more than " + std::to_string(sendQueueLimit_) +
                         " bytes wait to be sent");
  if (state_ == TState::Up) ShutDown();
}

#pragma once

// One TCP connection of the event-driven socket layer, its error codes and its exception.
// Everything here runs on the main thread; the connection objects are made by TClientSocket
// and TServerSocket (clientsocket.h, serversocket.h), which raise the events.

#include <QAbstractSocket>
#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

class QEvent;
class QTcpSocket;

// Windows sockets error numbers, so texts and handlers read the same on every platform.
constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSCALLFAILURE = 10107;
constexpr int WSAHOST_NOT_FOUND = 11001;

// The code a connection reports through OnError / OnClientError just before the layer closes
// it because its peer stopped reading and the unsent bytes passed the send queue limit.
constexpr int kSendQueueOverflowError = WSAENOBUFS;

// Windows sockets number for a Qt socket error:
//   ConnectionRefused 10061, RemoteHostClosed 10054, HostNotFound 11001, SocketAccess 10013,
//   SocketResource 10024 (Qt reports running out of descriptors or memory; 10055 is kept for
//   the send queue overflow), SocketTimeout 10060, DatagramTooLarge 10040, AddressInUse
//   10048, SocketAddressNotAvailable 10049, UnsupportedSocketOperation 10045,
//   UnfinishedSocketOperation 10036, Operation 10022, Temporary 10035; the proxy errors as
//   their direct counterparts (refused 10061, closed 10054, time-out 10060, not found 11001,
//   authentication 10013, protocol 10042); TLS and unknown errors 10107. NetworkError is told
//   apart by Qt's description: network unreachable 10051, host unreachable 10065, timed out
//   10060, address in use 10048, anything else 10050.
int WinSockErrorCode(QAbstractSocket::SocketError error, const QString& description = {});

// Windows sockets number for a POSIX errno value (EBADF 10009, ENOTSOCK 10038, EINVAL
// 10022, ENOPROTOOPT 10042, ECONNRESET 10054, ...); errno values with no counterpart 10107.
int WinSockErrorFromErrno(int errnoValue);

// The error of the last failed socket call on this thread (setsockopt, ...), as above.
int WSAGetLastError();

// A failure of the socket layer. Thrown by Open and by changing an address or port while a
// socket is active; raised from the event loop for an error event whose handler left the code
// non-zero, so the application's error box shows it.
class ESocketError : public std::runtime_error {
 public:
  // "Socket error <code>: <reason>"
  ESocketError(int errorCode, const std::string& reason);
  // A refusal of the layer itself, with code 0.
  explicit ESocketError(const std::string& message);

  int ErrorCode() const { return errorCode_; }

 private:
  int errorCode_;
};

// How a new connection asks for its peer's name: `found` gets the name, or an empty text when
// there is none. Called on the main thread; `found` must be called there too, at most once,
// and only while `context` lives. The default asks the system resolver. Tests replace it to
// decide when an answer comes; an empty lookup restores the default. Returns the one replaced.
using TNameFound = std::function<void(const std::string& name)>;
using THostNameLookup =
    std::function<void(const std::string& address, QObject& context, TNameFound found)>;
THostNameLookup SetHostNameLookup(THostNameLookup lookup);

class TCustomWinSocket;
using TSocketNotifyEvent = std::function<void(TCustomWinSocket& socket)>;
// The handler may change the code; 0 suppresses the layer's own error report.
using TSocketErrorEvent = std::function<void(TCustomWinSocket& socket, int& errorCode)>;

// Unsent bytes a connection may hold; a peer that stops reading longer is cut off.
constexpr int64_t kDefaultSendQueueLimit = 1 << 20;
// How long a new connection waits for the reverse look-up of its peer's name before it is
// announced without one. The wait never blocks: the connect event is raised from the event
// loop when the name arrives or this time has passed, so RemoteHost is fixed before anyone
// sees the connection and stays the same until its disconnect event has been handled.
constexpr std::chrono::milliseconds kDefaultHostLookupGrace{150};

// Base of TClientSocket and TServerSocket: turns what a connection reports into the
// component's events. An exception thrown by an event handler never unwinds through Qt's
// socket code; it is posted and re-thrown from the event loop, where the application's
// exception hook shows it.
class TSocketComponent : public QObject {
 public:
  using QObject::QObject;

  int64_t SendQueueLimit() const { return sendQueueLimit_; }
  // Applies to connections made from now on.
  void SetSendQueueLimit(int64_t bytes) { sendQueueLimit_ = bytes; }
  std::chrono::milliseconds HostLookupGrace() const { return hostLookupGrace_; }
  void SetHostLookupGrace(std::chrono::milliseconds grace) { hostLookupGrace_ = grace; }

 protected:
  friend class TCustomWinSocket;

  // What a connection reports, in the order it happens.
  virtual void SocketConnecting(TCustomWinSocket& socket) = 0;
  virtual void SocketUp(TCustomWinSocket& socket) = 0;
  virtual void SocketRead(TCustomWinSocket& socket) = 0;
  virtual void SocketError(TCustomWinSocket& socket, int errorCode, const std::string& reason) = 0;
  virtual void SocketDown(TCustomWinSocket& socket) = 0;
  // The connection is over (after its disconnect event, a failed attempt or a silent close).
  virtual void SocketFinished(TCustomWinSocket& socket) = 0;

  void Raise(TSocketNotifyEvent event, TCustomWinSocket& socket);
  // Raises the error event; unless its handler zeroed the code, posts an ESocketError.
  void RaiseError(TSocketErrorEvent event, TCustomWinSocket& socket, int errorCode,
                  const std::string& reason);
  // The port as a TCP port number; ESocketError when it lies outside 0..65535.
  static quint16 CheckedPort(int port);
  [[noreturn]] static void RefuseChangeWhileActive();

  void customEvent(QEvent* event) override;

 private:
  void Defer(std::exception_ptr error);

  int64_t sendQueueLimit_ = kDefaultSendQueueLimit;
  std::chrono::milliseconds hostLookupGrace_ = kDefaultHostLookupGrace;
};

// One connection: the socket every event passes. It is made by its component, stays valid at
// least until its disconnect event's handler has returned, and is released later from the
// event loop (deleteLater), so handlers that nest never touch freed memory.
class TCustomWinSocket : public QObject {
 public:
  ~TCustomWinSocket() override;

  // True from the connect event until the connection closes.
  bool Connected() const { return state_ == TState::Up; }
  // The native descriptor (for setsockopt), -1 when there is none.
  int SocketHandle() const;
  // Free for the application: the link keeps the connection's decoder here.
  void* Data = nullptr;
  // Reverse look-up name of the peer (empty when none came in time), dotted IPv4 address and
  // port. Readable until the disconnect handler returns; empty, empty and 0 otherwise.
  const std::string& RemoteHost() const { return remoteHost_; }
  const std::string& RemoteAddress() const { return remoteAddress_; }
  int RemotePort() const { return remotePort_; }

  // Bytes waiting to be read (may exceed 65535); 0 once the connection is closed.
  int ReceiveLength() const;
  // Reads up to count bytes; returns how many were read.
  int ReceiveBuf(void* buffer, int count);
  // Queues the whole block and writes what the socket takes now; -1 when not connected or
  // when the block overflowed the send queue, which closes the connection.
  int SendBuf(const void* buffer, int count);
  // At most this many bytes are read ahead of the application; the rest wait with the system,
  // which stops the sender once its buffers are full. 0 for no limit.
  void SetReadBufferLimit(int64_t bytes);
  // Raises the disconnect event before returning when the connection was up; a connection
  // still being made is dropped without events.
  void Close();

 private:
  friend class TClientSocket;
  friend class TServerSocket;

  enum class TState {
    Idle,        // no connection (yet, or any more)
    Connecting,  // client: looking up and connecting
    Naming,      // connected, waiting briefly for the peer's name; not announced yet
    Up,          // announced: connect event raised
    Closing      // inside the disconnect event
  };

  explicit TCustomWinSocket(TSocketComponent& owner);

  void Connect(const QString& target, quint16 port);
  void Accept(QTcpSocket* socket);
  // Closes without events; the component decides what becomes of the object.
  void Abandon();

  void Attach(QTcpSocket* socket);
  void StartNaming();
  void ComeUp();
  void RaiseRead();
  void RaiseReadIfPending();
  void HandleQtError(QAbstractSocket::SocketError error);
  void PeerClosed();
  void ShutDown();
  void Finish();
  void Release();
  void Overflow();

  TSocketComponent& owner_;
  const int64_t sendQueueLimit_;
  const std::chrono::milliseconds hostLookupGrace_;
  TState state_ = TState::Idle;
  QTcpSocket* socket_ = nullptr;
  bool connectingRaised_ = false;
  bool readDuringEvent_ = false;
  std::string remoteHost_;
  std::string remoteAddress_;
  int remotePort_ = 0;
};

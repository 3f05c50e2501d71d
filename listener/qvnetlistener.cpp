// qvnetlistener.cpp - the listening socket and its accept path.
#include "qvnetlistener.h"

#include "../connection/qvaddress.h"
#include "../connection/qvconnection.h"
#include "../connection/qvconnectionfactory.h"
#include "../connection/qvlengthcodec.h"
#include "../diag/log.h"
#include "../diag/qvneterror.h"
#include "../diag/qvsettings.h"
#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"
#include "../dispatch/qvsocketmanager.h"
#include "../include/qvaccepthandler.h"
#include "../include/qvconnectionsink.h"

namespace {

constexpr char kFile[] = "qvnetlistener";

// How long a listener that can neither accept a waiting peer nor turn it
// away is left alone by the worker before it tries again.
constexpr int kBackOffMs = 100;

// accept() failed for want of descriptors (the process's or the system's)
// or of memory: the peer stays waiting, and trying again at once is futile.
bool OutOfResources(std::uint32_t error) {
  return error == qvplat::kErrTooManyFiles || error == qvplat::kErrNoBuffers;
}

}  // namespace

QvNetListener::QvNetListener()
    : codec_(&QvLengthCodec::Shared()), acceptHandler_(nullptr), listenSocket_(qvplat::kNoSocket) {}

QvNetListener::~QvNetListener() {
  ApiClose();
  QvSocketManager::Instance().ReleaseAndWait(static_cast<QvSocketBase*>(this));
}

void QvNetListener::LogNetError(std::uint32_t code) { qvdiag::LogNetError(code, qvtext::kErrUnknownListener); }

// ---------------------------------------------------- application side

void QvNetListener::SetAcceptHandler(QvAcceptHandler* handler) {
  acceptHandler_.store(handler);
  UpdateAcceptInterest();
}

void QvNetListener::ReleaseHandlers() {
  // No accept starts with the handler from here on; one under way finishes
  // with it (and the codec) first.
  QvAcceptHandler* handler = acceptHandler_.exchange(nullptr);
  UpdateAcceptInterest();
  QvSocketManager::Instance().WaitUntilLeft(static_cast<QvSocketBase*>(this));
  // The codec and the handler may be the application's, built by another
  // compiler: each is deleted through the destructor entry it was given
  // (qvdestructor.h).
  // The library's shared codec is never deleted: peers accepted with it
  // may live on.
  QvPacketCodec* codec = codec_.exchange(nullptr);
  if (codec != &QvLengthCodec::Shared()) QvDelete(codec);
  // Called from inside the listener's own accept (the worker's wait above
  // returns at once): that accept deletes the handler when it is over.
  if (handler != nullptr && QvSocketManager::OnWorkerThread() && handler == acceptingWith_) {
    released_ = true;
    return;
  }
  QvDelete(handler);
}

int QvNetListener::LocalPort() {
  // Under the lock, so the socket is not closed and its number reused
  // meanwhile.
  qvplat::LockGuard guard(socketLock_);
  const qvplat::Socket s = listenSocket_.load();
  const int port = s == qvplat::kNoSocket ? 0 : qvplat::LocalPort(s);
  return port > 0 ? port : -1;
}

void QvNetListener::UpdateAcceptInterest() {
  qvplat::LockGuard guard(socketLock_);
  qvplat::Socket s = listenSocket_.load();
  if (s == qvplat::kNoSocket) return;
  QvSocketManager& table = QvSocketManager::Instance();
  QvSocketBase* self = this;
  if (acceptHandler_.load() != nullptr) {
    table.Arm(s, ReadInterest, self);
  } else {
    // Without a handler nobody may be accepted, and a readable socket that
    // is never accepted from would wake the worker on every pass.
    table.Unregister(s);
    table.Register(s, 0, self);
  }
}

bool QvNetListener::Listen(const char* address, int port) {
  ApiClose();  // at most one listening socket per listener
  qvplat::LockGuard guard(socketLock_);

  qvplat::Socket s = qvplat::TcpSocket();
  if (s == qvplat::kInvalidSocket) {
    LogNetError(qvplat::LastSocketError());
    return false;
  }

  // Where the caller asked, or nowhere: a name is resolved and bound to its
  // address, never widened to every interface.
  std::uint32_t bindAddress = 0;
  if (const std::uint32_t error = ListenAddress(address, port, &bindAddress)) {
    LogNetError(error);
    qvplat::CloseSocket(s);
    return false;
  }
  // The system's longest accept queue: a short one drops the SYNs of a
  // burst of peers, which then wait a second or more to try again.
  if (!qvplat::BindIPv4(s, bindAddress, port) || !qvplat::ListenOn(s, qvplat::MaxBacklog())) {
    LogNetError(qvplat::LastSocketError());
    qvplat::CloseSocket(s);
    return false;
  }
  qvdiag::Trace(qvtext::kTraceListening);
  // The worker accepts on it: a blocking socket could stop every connection.
  if (!SetNonBlocking(s)) {
    LogNetError(qvplat::LastSocketError());
    qvplat::CloseSocket(s);
    return false;
  }
  // Where the peers inherit it, TCP_NODELAY is set here once for them all.
  acceptedNoDelay_.store(qvplat::kAcceptedKeepNoDelay && qvdiag::NoDelay() && qvplat::SetNoDelay(s));
  QvSocketBase* self = this;
  const std::uint32_t interest = acceptHandler_.load() != nullptr ? std::uint32_t{ReadInterest} : 0u;
  if (QvSocketManager::Instance().Register(s, interest, self) == -1) {
    // The worker could never watch it: say so instead of pretending.
    qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogTableFull);
    qvplat::CloseSocket(s);
    return false;
  }
  listenSocket_.store(s);
  return true;
}

void QvNetListener::ApiClose() {
  {
    qvplat::LockGuard guard(socketLock_);
    qvplat::Socket s = listenSocket_.exchange(qvplat::kNoSocket);
    if (s == qvplat::kNoSocket) return;
    QvSocketManager::Instance().Unregister(s);
    // On POSIX a worker inside poll() holds the socket until the call
    // returns, and close() alone would leave it listening (and accepting)
    // until then; shutdown() ends the listening at once.
    qvplat::ShutdownBoth(s);
    qvplat::CloseSocket(s);
  }
  // A peer accepted just before may still be on its way to a connection,
  // with the handler and the codec in use.
  QvSocketManager::Instance().WaitUntilLeft(static_cast<QvSocketBase*>(this));
}

// ---------------------------------------------------- dispatcher side

// Operations not meant for a listener. In each QV_DEBUG_FAIL below the
// line number is a constant, not __LINE__: it is part of what the
// assertion reports ("file qvnetlistener, line N"), the same wherever the
// code stands, and the test
// ListenerTest.OperationsNotMeantForAListenerReportTheirFixedLines checks
// all seven. Moving these lines changes nothing; changing a number, or
// turning it into __LINE__, changes a report and fails that test.
void QvNetListener::ReservedA(int, int, int) { QV_DEBUG_FAIL(kFile, 35); }
void QvNetListener::Send(const char*, int) { QV_DEBUG_FAIL(kFile, 37); }
void QvNetListener::SocketClose() { QV_DEBUG_FAIL(kFile, 38); }
void QvNetListener::Reconnect() { QV_DEBUG_FAIL(kFile, 22); }

bool QvNetListener::IsConnected() {
  QV_DEBUG_FAIL(kFile, 23);
  return false;
}

void QvNetListener::ReservedC(int) { QV_DEBUG_FAIL(kFile, 25); }
void QvNetListener::OnRead() { QV_DEBUG_FAIL(kFile, 33); }

void QvNetListener::OnAccept() {
  QvAcceptHandler* handler = acceptHandler_.load();
  if (handler == nullptr) return;  // accepting waits for a handler

  qvdiag::TraceText(qvtext::kTraceNewAccept);
  qvplat::PeerAddress peer;
  const qvplat::Socket accepted = AcceptOne(&peer);
  if (accepted == qvplat::kInvalidSocket) return;
  qvdiag::TraceNumber(qvtext::kTraceAcceptResult, static_cast<int>(accepted));
  MakeConnection(handler, accepted, peer);
  if (!qvdiag::TracesOn()) return;  // the address is formatted only to be shown
  char dotted[16];
  qvplat::FormatIPv4(peer.addrNet, dotted);
  qvdiag::Trace(qvtext::kTraceAcceptedFrom, dotted);
}

qvplat::Socket QvNetListener::AcceptOne(qvplat::PeerAddress* peer) {
  qvplat::LockGuard guard(socketLock_);
  const qvplat::Socket s = listenSocket_.load();
  if (s == qvplat::kNoSocket) return qvplat::kInvalidSocket;  // closed meanwhile
  const qvplat::Socket accepted = qvplat::AcceptPeer(s, peer, qvplat::ListenerMode::kNonBlocking);
  if (accepted != qvplat::kInvalidSocket) {
    starved_ = false;  // the episode is over
    return accepted;
  }
  const std::uint32_t error = qvplat::LastSocketError();
  qvdiag::TraceNumber(qvtext::kTraceAcceptResult, -1);
  if (!OutOfResources(error)) {
    LogNetError(error);
    return qvplat::kInvalidSocket;
  }
  // Logged once from the first failure to the next accept.
  if (!starved_) LogNetError(error);
  starved_ = true;
  // The peer would stay waiting and the socket readable on every pass:
  // turn it away, or, where that cannot be done, leave the socket alone a
  // while.
  if (!qvplat::DropPendingPeer(s)) QvSocketManager::Instance().Rest(s, kBackOffMs);
  return qvplat::kInvalidSocket;
}

void QvNetListener::MakeConnection(QvAcceptHandler* handler, qvplat::Socket accepted,
                                   const qvplat::PeerAddress& peer) {
  acceptingWith_ = handler;
  handler->OnAccept(qvplat::AsSockaddrIn(peer));
  QvConnectionSink* sink = released_ ? nullptr : handler->CreateSink();
  acceptingWith_ = nullptr;
  if (released_) {
    // ReleaseHandlers ran inside OnAccept or CreateSink: the codec is gone,
    // and the peer with it. A sink made for it hears so.
    released_ = false;
    qvplat::CloseSocket(accepted);
    if (sink != nullptr) sink->OnConnectFailed();
    QvDelete(handler);
    return;
  }
  QvConnection* connection = QvConnectionFactory::Create();
  connection->SetSink(sink);
  connection->SetCodec(codec_.load());
  if (!connection->Attach(accepted, acceptedNoDelay_.load())) {
    // The table is full: nobody would ever serve it. Its sink hears that
    // the connection could not be made (and may be freed then).
    connection->OnConnectFailed();
    QvConnectionFactory::Destroy(connection);
    return;
  }
  ReportAccepted(accepted);
}

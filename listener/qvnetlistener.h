// qvnetlistener.h - the server side: a listening socket that turns every
// accepted peer into a connection (internal).
//
// The application holds the listener as QvListenerApi and configures it on
// its own thread; the slot table holds it as QvSocketBase and the worker
// calls OnAccept when a peer is waiting. Both interfaces name an operation
// Close: the application's closes the listening socket, while the
// dispatcher-facing one is not meant to be reached. Two small bases give
// each its own body.
#ifndef QV_LISTENER_QVNETLISTENER_H
#define QV_LISTENER_QVNETLISTENER_H

#include <atomic>
#include <cstdint>

#include "../dispatch/qvsocketbase.h"
#include "../include/qvlistenerapi.h"
#include "../platform/qvsockets.h"
#include "../platform/qvthreads.h"

class QvAcceptHandler;

// The dispatcher-facing side; routes QvSocket::Close to SocketClose.
class QvListenerSocketSide : public QvSocketBase {
 public:
  void Close() final { SocketClose(); }

 protected:
  virtual void SocketClose() = 0;
};

// The application-facing side; routes QvListenerApi::Close to ApiClose.
class QvListenerApiSide : public QvListenerApi {
 public:
  void Close() final { ApiClose(); }

 protected:
  virtual void ApiClose() = 0;
};

class QvNetListener : public QvListenerSocketSide, public QvListenerApiSide {
 public:
  // Starts with the library's shared codec; no handler yet.
  QvNetListener();
  // Unregisters and closes a listening socket that is still open, and waits
  // until the worker is no longer inside the listener. Deletes neither the
  // codec nor the handler (ReleaseHandlers does).
  ~QvNetListener() override;

  // ---- QvListenerApi, application threads.
  void SetCodec(QvPacketCodec* codec) override { codec_.store(codec); }
  // Accepting starts once a handler is set; with a null handler waiting
  // peers are left in the backlog.
  void SetAcceptHandler(QvAcceptHandler* handler) override;
  // Binds the address the text names (see connection/qvaddress.h: a dotted
  // address, a resolved name, or every interface for "", "0.0.0.0" and "*"),
  // listens with the system's longest accept queue and registers the socket.
  // A listener that is already listening closes its old socket first. False,
  // with one log line, when the text names no address, the port is outside
  // 0-65535, or bind or listen failed; false without one when no socket
  // could be made or the slot table is full.
  bool Listen(const char* address, int port) override;
  // Stops accepting, waits as ApiClose does until an accept under way has
  // finished, then deletes the application's codec (not the library's
  // shared one) and the handler, and forgets both. Inside the listener's
  // own OnAccept or CreateSink the handler goes when that accept is over,
  // and the peer is turned away.
  void ReleaseHandlers() override;
  // The bound port of the listening socket, or -1 when there is none.
  int LocalPort() override;

  // ---- QvSocketBase, the dispatcher's side.
  void ReservedA(int a, int b, int c) override;
  void Send(const char* data, int length) override;
  void Reconnect() override;
  bool IsConnected() override;
  void ReservedB(int) override {}
  void ReservedC(int) override;
  SocketKind GetType() override { return so_listener; }
  void SetSink(QvConnectionSink*) override {}
  void OnRead() override;
  // Accepts one waiting peer and makes it a connection. Worker thread.
  void OnAccept() override;

  // Logs a socket error code with the listener's texts.
  static void LogNetError(std::uint32_t code);

  // The listening socket, or qvplat::kNoSocket.
  qvplat::Socket ListenSocket() const { return listenSocket_.load(); }

 protected:
  void SocketClose() override;
  // Unregisters and closes the listening socket, and forgets it. On an
  // application thread it returns once the worker has left the listener,
  // so an accept under way has finished (ReleaseHandlers may follow).
  void ApiClose() override;

 private:
  // Read interest while a handler is set, none without one.
  void UpdateAcceptInterest();
  // accept() under the socket lock; the peer, or kInvalidSocket. Out of
  // descriptors or memory, logs once per episode and turns the peer away,
  // or rests the socket when it cannot.
  qvplat::Socket AcceptOne(qvplat::PeerAddress* peer);
  // The accepted peer's connection, with the handler's sink. Worker thread.
  void MakeConnection(QvAcceptHandler* handler, qvplat::Socket accepted, const qvplat::PeerAddress& peer);

  std::atomic<QvPacketCodec*> codec_;
  std::atomic<QvAcceptHandler*> acceptHandler_;
  std::atomic<qvplat::Socket> listenSocket_;
  // The sockets accepted from it have TCP_NODELAY already.
  std::atomic<bool> acceptedNoDelay_{false};
  // Held around accept() and around closing or replacing the socket, so the
  // worker never accepts on a descriptor another thread has released.
  qvplat::RecursiveLock socketLock_{qvplat::kLockListener};
  // The worker's: the handler of the accept under way, and whether
  // ReleaseHandlers gave it up meanwhile.
  QvAcceptHandler* acceptingWith_ = nullptr;
  bool released_ = false;
  // The worker's: accept() has failed for want of descriptors or memory
  // since the last peer it accepted.
  bool starved_ = false;
};

#endif  // QV_LISTENER_QVNETLISTENER_H

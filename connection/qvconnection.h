// qvconnection.h - one TCP stream with its queues, framing and life cycle
// (internal).
//
// A connection comes into being in one of two ways: a client connector makes
// one and calls Connect, which runs the whole outgoing procedure on the
// caller's thread; or a listener makes one for an accepted peer and hands it
// the socket with Attach, on the worker thread. Either way the socket is
// then registered with read interest and the worker drives it.
//
// Threads and locks:
//  - Send, Close, Reconnect, IsConnected: any thread.
//  - OnRead (and OnPacket of the sink), OnWrite, OnError: the worker.
//  - The receive lock guards the receive queue and is held during every
//    OnPacket; the send lock guards the send queue and the staging area.
//    When both are held, the receive lock was taken first. Both are
//    re-entrant, so a sink may Send or Close from inside its callbacks.
//  - An outgoing connection is watched for reading only once the sink's
//    OnConnected has returned, so the sink hears OnConnected first.
//  - Close takes both locks, so the worker never calls recv()/send() on a
//    descriptor that Close released (POSIX reuses descriptor numbers at once).
//
// Ownership: the connection owns neither its sink nor its codec. Deleting a
// connection unregisters its socket, waits until the worker is no longer
// inside it, and closes a socket that is still open.
#ifndef QV_CONNECTION_QVCONNECTION_H
#define QV_CONNECTION_QVCONNECTION_H

#include <atomic>
#include <cstdint>

#include "../dispatch/qvsocketbase.h"
#include "../platform/qvplatform.h"
#include "qvbipbuffer.h"

class QvConnectionSink;
class QvPacketCodec;

// Puts a socket into non-blocking mode; false when that failed.
bool SetNonBlocking(qvplat::Socket socket);

class QvConnection : public QvSocketBase {
 public:
  static constexpr std::uint32_t kQueueCapacity = 40960;
  static constexpr std::uint32_t kStagingSize = 81920;
  // The bound on an outgoing connect, its TCP handshake included.
  static constexpr int kConnectWaitMs = 5000;

  QvConnection();
  ~QvConnection() override;
  QvConnection(const QvConnection&) = delete;
  QvConnection& operator=(const QvConnection&) = delete;

  // QvSocket, for the application.
  void ReservedA(int a, int b, int c) override;
  // Frames and queues one payload; nothing while not connected. A frame the
  // send queue cannot take whole is dropped with a console trace.
  void Send(const char* data, int length) override;
  // Unregisters, shuts down and closes the socket. No sink callback.
  void Close() override;
  // Connects again to the stored address and port. Without a successful
  // Connect before, it fails with OnConnectFailed.
  void Reconnect() override;
  bool IsConnected() override { return connected_.load(); }

  // QvSocketBase, for the dispatcher and the library's factories.
  SocketKind GetType() override { return so_connection; }
  qvplat::Socket GetSocket() override { return socket_.load(); }
  void SetSink(QvConnectionSink* sink) override { sink_.store(sink); }
  void SetCodec(QvPacketCodec* codec) override { codec_.store(codec); }
  void OnConnected() override;
  void OnConnectFailed() override;
  void OnError() override;
  QvConnectionSink* GetSink() override { return sink_.load(); }
  void OnRead() override;
  void OnWrite() override;
  UnaskedWrite OnWriteUnasked(QvWriteWitness& witness) override;
  // The outgoing connection procedure, on the caller's thread. Ends with
  // OnConnected (connected, registered) or OnConnectFailed (closed). Only
  // mode 0 connects; other modes fail. The host text and port follow the
  // rules of connection/qvaddress.h: a host that names no address and a
  // port outside 0-65535 fail with one log line, as does a connect that is
  // not answered within kConnectWaitMs; a refused connect is not logged.
  void Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
               const char* optText2, const char* optText3) override;

  // True when the last Connect reached OnConnected, whatever happened to
  // the connection after that.
  bool ConnectSucceeded() const { return connectSucceeded_; }

  // Adopts a socket the listener accepted: registers it and, when the table
  // has room, calls OnConnected. Worker thread. False when the table was
  // full (the socket is then left open and unwatched, for the caller).
  bool Attach(qvplat::Socket socket);

  // Cuts every complete frame out of the receive queue and hands each to the
  // sink, oldest first. False on a header that describes no frame: below 4,
  // or above the receive queue's capacity (the peer could never complete it).
  // Worker thread, under the receive lock.
  bool ParseFrames();

  // Logs a socket error code with the connection's texts.
  void LogNetError(std::uint32_t code);

 private:
  static constexpr int kTextSize = 64;

  // Closes the socket if there is one; true when it did.
  bool CloseIfOpen();
  // OnWrite's drain. With a witness, the socket's readiness is not known:
  // see OnWriteUnasked.
  UnaskedWrite Drain(QvWriteWitness* unasked);
  // Where a frame that wraps round the end of the receive queue is gathered.
  static char* WrapArea();

  std::atomic<qvplat::Socket> socket_;
  char staging_[kStagingSize];
  unsigned int stagingLength_;
  QvBipBuffer sendQueue_;
  QvBipBuffer recvQueue_;
  qvplat::RecursiveLock sendLock_;
  qvplat::RecursiveLock recvLock_;
  std::atomic<QvPacketCodec*> codec_;
  std::atomic<QvConnectionSink*> sink_;
  std::atomic<bool> connected_;
  // Set while Connect completes, between registering and OnConnected.
  std::atomic<bool> establishing_;
  std::atomic<bool> errorDeferred_;

  bool connectSucceeded_;
  // Parameters of the last successful Connect, for Reconnect.
  bool hasParameters_;
  char peerAddress_[16];
  int port_;
  char optText1_[kTextSize];
  int optNumber_;
  char optText2_[kTextSize];
  char optText3_[kTextSize];
  int mode_;
};

#endif  // QV_CONNECTION_QVCONNECTION_H

// qvconnectionsink.h - the application's connection callbacks.
#ifndef QVNET_QVCONNECTIONSINK_H
#define QVNET_QVCONNECTIONSINK_H

#include "qvdestructor.h"

class QvSocket;

/// Implemented by the application; receives one connection's events. A sink
/// may serve several connections. The library never copies or deletes it.
///
/// Threads: OnConnected and OnConnectFailed of an outgoing connect run on
/// the thread that called QvNetClient::Connect (or QvSocket::Reconnect);
/// everything else runs on the library's worker thread.
class QvConnectionSink {
 public:
  /// The connection is established; keep `connection` to send and close.
  virtual void OnConnected(QvSocket* connection) = 0;
  /// An outgoing connect failed.
  virtual void OnConnectFailed() = 0;
  /// The connection closed itself after an error or the peer's close.
  virtual void OnDisconnected() = 0;
  /// One complete incoming frame. `data` is valid only during the call.
  virtual void OnPacket(const char* data, int length) = 0;
  QVNET_DESTRUCTOR(QvConnectionSink)
};

#endif  // QVNET_QVCONNECTIONSINK_H

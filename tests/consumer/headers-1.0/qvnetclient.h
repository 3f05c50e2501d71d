// qvnetclient.h - the client connector.
#ifndef QVNET_QVNETCLIENT_H
#define QVNET_QVNETCLIENT_H

#include "qvdestructor.h"

class QvConnectionSink;
class QvPacketCodec;

/// Made by QvNetModule::CreateClient. One connector is used from one thread
/// at a time; the connections it makes live on by themselves.
class QvNetClient {
 public:
  /// Sink for the connections made from now on; not owned.
  virtual void SetSink(QvConnectionSink* sink) = 0;
  /// Codec for the connections made from now on; not owned, never deleted.
  virtual void SetCodec(QvPacketCodec* codec) = 0;
  /// Opens a new connection, synchronously, on the calling thread. The sink
  /// hears OnConnected (with the connection) or OnConnectFailed before this
  /// returns. `host` is a dotted IPv4 address (when it begins with a digit:
  /// four decimal parts 0-255, no leading zeros) or a host name, resolved to
  /// its IPv4 address; text from a ':' on is ignored. An empty host, a name
  /// that does not resolve, a digit-led text that is no dotted address, or
  /// a port outside 0-65535 fails (OnConnectFailed, and a line in the log).
  /// Use mode 0. The optional texts may be null.
  virtual void Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
                       const char* optText2, const char* optText3) = 0;
  /// Deletes the connector.
  virtual void Release() = 0;
  QVNET_DESTRUCTOR(QvNetClient)
};

#endif  // QVNET_QVNETCLIENT_H

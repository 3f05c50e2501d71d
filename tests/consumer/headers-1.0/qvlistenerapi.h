// qvlistenerapi.h - a listening socket as the application sees it.
#ifndef QVNET_QVLISTENERAPI_H
#define QVNET_QVLISTENERAPI_H

#include "qvdestructor.h"

class QvPacketCodec;
class QvAcceptHandler;

/// Made by QvNetModule::CreateListener; used from application threads.
/// Order of use: SetAcceptHandler (and SetCodec), Listen; later Close, then
/// ReleaseHandlers once every connection it accepted is gone, then delete.
class QvListenerApi {
 public:
  /// Codec for connections accepted from now on; the old one is not deleted.
  virtual void SetCodec(QvPacketCodec* codec) = 0;
  /// The handler is owned by the listener from now on (see ReleaseHandlers).
  virtual void SetAcceptHandler(QvAcceptHandler* handler) = 0;
  /// Binds address and port, listens, and starts accepting once the worker
  /// runs. The text ends at its first ':' (the port argument counts). "",
  /// "0.0.0.0" and "*" mean all interfaces; a text that begins with a digit
  /// must be a dotted IPv4 address (four decimal parts 0-255, no leading
  /// zeros); any other text is a host name, resolved to its IPv4 address.
  /// False, with a line in the log, for a text that names no address, a
  /// port outside 0-65535, or an address that cannot be bound.
  virtual bool Listen(const char* address, int port) = 0;
  /// Stops listening and closes the listening socket.
  virtual void Close() = 0;
  /// Deletes the listener's codec and accept handler.
  virtual void ReleaseHandlers() = 0;
  QVNET_DESTRUCTOR(QvListenerApi)
};

#endif  // QVNET_QVLISTENERAPI_H

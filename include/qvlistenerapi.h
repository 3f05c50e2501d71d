// qvlistenerapi.h - a listening socket as the application sees it.
#ifndef QVNET_QVLISTENERAPI_H
#define QVNET_QVLISTENERAPI_H

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
  /// Binds address (dotted IPv4; anything else means all interfaces) and
  /// port, listens, and starts accepting once the worker runs.
  virtual bool Listen(const char* address, int port) = 0;
  /// Stops listening and closes the listening socket.
  virtual void Close() = 0;
  /// Deletes the listener's codec and accept handler.
  virtual void ReleaseHandlers() = 0;
  virtual ~QvListenerApi() {}
};

#endif  // QVNET_QVLISTENERAPI_H

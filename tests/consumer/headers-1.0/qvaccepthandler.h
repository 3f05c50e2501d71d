// qvaccepthandler.h - the application's listener callbacks.
#ifndef QVNET_QVACCEPTHANDLER_H
#define QVNET_QVACCEPTHANDLER_H

#include "qvdestructor.h"

struct sockaddr_in;
class QvConnectionSink;

/// Implemented by the application, one per listener. Both operations run on
/// the worker thread, one accepted peer at a time.
class QvAcceptHandler {
 public:
  /// A peer was accepted; `peer` (network byte order) is valid during the call.
  virtual void OnAccept(const sockaddr_in* peer) = 0;
  /// Returns the sink for the peer's new connection (null: no callbacks).
  virtual QvConnectionSink* CreateSink() = 0;
  /// The listener's ReleaseHandlers deletes the handler through this.
  QVNET_DESTRUCTOR(QvAcceptHandler)
};

#endif  // QVNET_QVACCEPTHANDLER_H

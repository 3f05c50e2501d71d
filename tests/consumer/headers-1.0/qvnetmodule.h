// qvnetmodule.h - the module object: factory and worker switch.
#ifndef QVNET_QVNETMODULE_H
#define QVNET_QVNETMODULE_H

#include "qvdestructor.h"

class QvListenerApi;
class QvNetClient;

/// Returned by CreateNetModule. Make the module before connecting or
/// listening; call Start (before or after) to start the worker thread.
class QvNetModule {
 public:
  /// A new listener; delete it through the returned pointer.
  virtual QvListenerApi* CreateListener() = 0;
  /// A new client connector; the argument is not used.
  virtual QvNetClient* CreateClient(int unused) = 0;
  /// Starts the worker thread that drives every socket; returns 0. A second
  /// Start while the worker runs is ignored.
  virtual int Start(int unused) = 0;
  /// Deletes the module. Listeners, connectors and connections live on.
  virtual void Release() = 0;
  QVNET_DESTRUCTOR(QvNetModule)
};

#endif  // QVNET_QVNETMODULE_H

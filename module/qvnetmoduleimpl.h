// qvnetmoduleimpl.h - the library's module object (internal).
#ifndef QV_MODULE_QVNETMODULEIMPL_H
#define QV_MODULE_QVNETMODULEIMPL_H

#include <atomic>

#include "../include/qvnet.h"

class QvConnection;

// The application's factory for listeners and client connectors, and the
// switch that starts the worker. It has no state and owns nothing: what it
// makes lives on after Release.
class QvNetModuleImpl : public QvNetModule {
 public:
  // Gives the process-wide slot table its 4000 free slots, unless an
  // earlier module did.
  QvNetModuleImpl();
  ~QvNetModuleImpl() override;

  QvListenerApi* CreateListener() override;
  QvNetClient* CreateClient(int unused) override;
  int Start(int unused) override;
  void Release() override;

  // A new connection, neither connected nor registered; forwards to
  // QvConnectionFactory (connection/), where the library's own code makes
  // them.
  static QvConnection* CreateConnection();
  // Deletes a connection (nothing for null); forwards likewise.
  static void DestroyConnection(QvConnection* connection);
};

// The newest module made by CreateNetModule; null until the first one.
// Release leaves it as it is.
extern std::atomic<QvNetModuleImpl*> currentModule;

#endif  // QV_MODULE_QVNETMODULEIMPL_H

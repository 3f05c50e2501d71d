// qvconnectionfactory.h - where connections are made and unmade (internal).
//
// The listener and the client connector make their connections here, below
// the module, so neither reaches up into module/ for one.
#ifndef QV_CONNECTION_QVCONNECTIONFACTORY_H
#define QV_CONNECTION_QVCONNECTIONFACTORY_H

class QvConnection;

struct QvConnectionFactory {
  // A new connection, neither connected nor registered.
  static QvConnection* Create();
  // Deletes a connection (nothing for null).
  static void Destroy(QvConnection* connection);
};

#endif  // QV_CONNECTION_QVCONNECTIONFACTORY_H

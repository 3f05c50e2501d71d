// qvnetmoduleimpl.cpp - the exported entry point and the module object.
#include "qvnetmoduleimpl.h"

#include "../client/qvnetclientimpl.h"
#include "../connection/qvconnectionfactory.h"
#include "../dispatch/qvsocketmanager.h"
#include "../listener/qvnetlistener.h"

std::atomic<QvNetModuleImpl*> currentModule{nullptr};

QvNetModuleImpl::QvNetModuleImpl() {
  // The first module gives the table its slots; a later one keeps what is
  // registered, so the sockets of earlier modules go on being served.
  QvSocketManager::Instance().InitOnce(QvSocketManager::kDefaultCapacity);
}

QvNetModuleImpl::~QvNetModuleImpl() {}

QvListenerApi* QvNetModuleImpl::CreateListener() { return new QvNetListener; }

QvNetClient* QvNetModuleImpl::CreateClient(int) { return new QvNetClientImpl; }

int QvNetModuleImpl::Start(int) {
  QvSocketManager::Instance().Start();
  return 0;
}

void QvNetModuleImpl::Release() { delete this; }

QvConnection* QvNetModuleImpl::CreateConnection() { return QvConnectionFactory::Create(); }

void QvNetModuleImpl::DestroyConnection(QvConnection* connection) { QvConnectionFactory::Destroy(connection); }

extern "C" QVNET_API QvNetModule* CreateNetModule() {
  QvNetModuleImpl* module = new QvNetModuleImpl;
  currentModule.store(module);
  return module;
}

// qvnetmoduleimpl.cpp - the exported entry point and the module object.
#include "qvnetmoduleimpl.h"

#include "../dispatch/qvsocketmanager.h"
#include "../platform/qvplatform.h"
#include "qvloadhooks.h"

std::atomic<QvNetModuleImpl*> currentModule{nullptr};

void QvOnLibraryLoaded() { qvplat::MakeDirectory(qvplat::kLogDirectory); }

QvNetModuleImpl::QvNetModuleImpl() {
  // The first module gives the table its slots; a later one keeps what is
  // registered, so the sockets of earlier modules go on being served.
  QvSocketManager::Instance().InitOnce(QvSocketManager::kDefaultCapacity);
}

QvNetModuleImpl::~QvNetModuleImpl() {}

int QvNetModuleImpl::Start(int) {
  QvSocketManager::Instance().Start();
  return 0;
}

void QvNetModuleImpl::Release() { delete this; }

extern "C" QVNET_API QvNetModule* CreateNetModule() {
  QvNetModuleImpl* module = new QvNetModuleImpl;
  currentModule.store(module);
  return module;
}

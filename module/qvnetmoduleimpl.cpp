// qvnetmoduleimpl.cpp - the exported entry point and the module object.
#include "qvnetmoduleimpl.h"

#include "../dispatch/qvsocketmanager.h"
#include "../platform/qvplatform.h"
#include "qvloadhooks.h"

std::atomic<QvNetModuleImpl*> currentModule{nullptr};

void QvOnLibraryLoaded() { qvplat::MakeDirectory(qvplat::kLogDirectory); }

QvNetModuleImpl::QvNetModuleImpl() {
  // Every module starts the table afresh; sockets registered before are
  // no longer watched.
  QvSocketManager::Instance().Init(QvSocketManager::kDefaultCapacity);
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

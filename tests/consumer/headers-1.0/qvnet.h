// qvnet.h - everything an application needs to use QvWinNetModule.
//
// Threading in short: the module, connector and listener operations and a
// connection's Send/Close/Reconnect run on the application's threads; one
// worker thread (started by QvNetModule::Start) drives every socket and runs
// every callback, except OnConnected/OnConnectFailed of an outgoing connect,
// which run inside QvNetClient::Connect on the caller's thread.
//
// Console traces and log lines are GBK-encoded text.
#ifndef QVNET_QVNET_H
#define QVNET_QVNET_H

#include "qvaccepthandler.h"
#include "qvconnectionsink.h"
#include "qvlistenerapi.h"
#include "qvnetclient.h"
#include "qvnetmodule.h"
#include "qvpacketcodec.h"
#include "qvsocket.h"

#if defined(QVNET_STATIC)
#define QVNET_API
#elif defined(_WIN32)
#if defined(QVNET_BUILDING)
#define QVNET_API __declspec(dllexport)
#else
#define QVNET_API __declspec(dllimport)
#endif
#else
#define QVNET_API __attribute__((visibility("default")))
#endif

/// The library's one exported function: makes a new module. The newest
/// module is the one the library works through; earlier ones stay valid
/// until released.
extern "C" QVNET_API QvNetModule* CreateNetModule();

#endif  // QVNET_QVNET_H

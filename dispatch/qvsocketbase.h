// qvsocketbase.h - the dispatcher's view of a socket object (internal).
#ifndef QV_DISPATCH_QVSOCKETBASE_H
#define QV_DISPATCH_QVSOCKETBASE_H

#include <cstdint>

#include "../include/qvsocket.h"
#include "../platform/qvplatform.h"

class QvConnectionSink;
class QvPacketCodec;

// What a socket object reports to the dispatcher.
enum SocketKind : std::int32_t {
  so_listener = 1,    // readable: a peer is waiting to be accepted
  so_connection = 2,  // readable: bytes or the end of the stream are waiting
};

// Told by a handler, on the worker thread, the moment a write that was tried
// without asking the system first shows that its socket was writable.
class QvWriteWitness {
 public:
  virtual void Writable() = 0;

 protected:
  ~QvWriteWitness() = default;
};

// What came of a write tried without asking the system first.
enum class UnaskedWrite {
  kNotTried,   // nothing to try it with (or no socket): the worker asks the system
  kWouldBlock, // the socket was full: nothing done; the worker asks the system
  kDrained,    // written (or failed and handled), nothing left queued
  kBytesLeft,  // written, but bytes are left: the socket filled up
};

// Every socket object the worker drives: connections and listeners. The
// slot table stores handlers as QvSocketBase*; the dispatcher calls only
// GetType, OnAccept, OnRead, OnWrite, OnWriteUnasked and OnError, on the
// worker thread.
//
// The defaults that report a failed debug assertion mark operations a
// concrete class was expected to override; in a release build they just
// return their neutral value.
class QvSocketBase : public QvSocket {
 public:
  virtual SocketKind GetType() = 0;
  virtual qvplat::Socket GetSocket();  // default: qvplat::kInvalidSocket
  virtual void SetSink(QvConnectionSink* sink) = 0;
  virtual void SetCodec(QvPacketCodec* codec) = 0;
  virtual void OnConnected();
  virtual void OnConnectFailed();
  virtual void OnError();
  virtual QvConnectionSink* GetSink();  // default: null
  virtual void OnRead();
  virtual void OnWrite();
  // OnWrite for a socket whose write readiness the worker takes on trust:
  // a socket with room for a just-queued frame is the common case, and not
  // asking saves a system call per write. The handler tries its first
  // send(); if the socket takes bytes or fails, it calls witness.Writable()
  // before anything else is seen and carries on as OnWrite. If the socket
  // would block, or there was nothing to try it with, it changes nothing,
  // and the worker asks the system. Default: kNotTried.
  virtual UnaskedWrite OnWriteUnasked(QvWriteWitness& witness);
  virtual void OnAccept();
  virtual void Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
                       const char* optText2, const char* optText3);
};

#endif  // QV_DISPATCH_QVSOCKETBASE_H

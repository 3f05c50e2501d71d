// qvsocketbase.h - the dispatcher's view of a socket object (internal).
#ifndef QV_DISPATCH_QVSOCKETBASE_H
#define QV_DISPATCH_QVSOCKETBASE_H

#include <atomic>
#include <cstdint>

#include "../include/qvsocket.h"
#include "../platform/qvsockets.h"
#include "qvflush.h"

class QvConnectionSink;
class QvPacketCodec;

// What a socket object reports to the dispatcher.
enum SocketKind : std::int32_t {
  so_listener = 1,    // readable: a peer is waiting to be accepted
  so_connection = 2,  // readable: bytes or the end of the stream are waiting
};

// Every socket object the worker drives: connections and listeners. The
// slot table stores handlers as QvSocketBase*; the dispatcher calls only
// GetType, OnAccept, OnRead, OnWrite, OnError, OnTick, QueuedToSend and
// OnSendTotalPassed, on the worker thread, and reads what OnWrite found
// with TakeFlushed and what OnAccept accepted with TakeAccepted. The
// operations keep their order (it is the order of the virtual table) and
// follow QvSocket's last entry, so they move when QvSocket gains one: the
// class is internal and every caller is inside the library. What the
// library adds here comes after Connect.
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
  virtual void OnAccept();
  virtual void Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
                       const char* optText2, const char* optText3);

  // Called by the worker about once a second while a slot names the object
  // (see QvSocketManager::PassMillis), for what must happen after a time.
  // Default: nothing.
  virtual void OnTick();
  // The bytes the object holds waiting to be sent (default 0), and what
  // it does when the worker picks it as the one holding the most while
  // the bytes waiting over all connections are past their total limit
  // (QvSocketManager::AskToEndLargestSenders); true when the total is past
  // the limit still, and the next largest is to go too (default: nothing,
  // false). Worker thread.
  virtual std::uint64_t QueuedToSend();
  virtual bool OnSendTotalPassed();

  // How many slots of the slot table name this object as their handler;
  // kept by the table (qvslottable.h). While it is 0 there is no slot to
  // look for when the object goes away.
  std::atomic<int> namedBySlots{0};

  // What the last OnWrite found, taken by the worker's write step right
  // after it (kNothing when OnWrite reported nothing, as for an object
  // with nothing to send). Worker thread.
  Flushed TakeFlushed() {
    const Flushed f = flushed_;
    flushed_ = Flushed::kNothing;
    return f;
  }
  // The peer the last OnAccept accepted and registered, taken by the worker
  // right after it (kNoSocket when there is none), so that the peer's first
  // bytes are read at once. Worker thread.
  qvplat::Socket TakeAccepted() {
    const qvplat::Socket s = accepted_;
    accepted_ = qvplat::kNoSocket;
    return s;
  }

 protected:
  // OnWrite tells the write step what it did.
  void ReportFlushed(Flushed f) { flushed_ = f; }
  // OnAccept tells the worker which peer it registered.
  void ReportAccepted(qvplat::Socket s) { accepted_ = s; }

 private:
  Flushed flushed_ = Flushed::kNothing;
  qvplat::Socket accepted_ = qvplat::kNoSocket;
};

#endif  // QV_DISPATCH_QVSOCKETBASE_H

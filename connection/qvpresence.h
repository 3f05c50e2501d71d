// qvpresence.h - the threads inside a connection besides the worker serving
// its socket (internal).
//
// Two kinds of thread run inside a connection without the worker's
// dispatch of its socket knowing: a thread running the outgoing connect
// procedure (Connect, Reconnect), with the sink's OnConnected or
// OnConnectFailed it calls, and the worker calling an accepted peer's
// OnConnected from the listener's accept. The connection's Close and its
// destructor wait here until every such thread but the caller has left, so
// a sink may publish its connection in OnConnected and another thread may
// close or delete it at once.
//
// Connects take turns: a connect waits while another thread's runs. A
// thread inside the connection's own callbacks must not wait for a connect
// that may be waiting for it; it is told so instead (kBusy).
//
// Any thread. The monitor is a leaf: nothing is taken under it.
#ifndef QV_CONNECTION_QVPRESENCE_H
#define QV_CONNECTION_QVPRESENCE_H

#include <vector>

#include "../platform/qvthreads.h"

class QvPresence {
 public:
  // The calling thread is inside until the matching Leave. Re-entrant.
  void Enter();
  void Leave();

  enum class Turn {
    kBegun,  // the caller connects now, inside until EndConnect
    kBusy,   // another thread connects, and the caller may not wait
    kGone,   // the connection is being destroyed: the caller leaves it
  };
  // Begins a connect: at once when no other thread's connect runs (the
  // calling thread's own, from a callback of it, nests), else after it
  // unless the caller is inside already or `mayWait` is false.
  Turn BeginConnect(bool mayWait);
  void EndConnect();

  // Returns once no other thread is inside. True when it had to wait.
  bool WaitForOthers();
  // For the destructor: no connect begins any more, those waiting for
  // their turn give up, and this returns once no other thread is inside or
  // waiting.
  void Shut();

 private:
  // The monitor is held.
  bool Inside(const void* self) const;
  bool OthersInside(const void* self) const;
  void Remove(const void* self);

  qvplat::Monitor monitor_;
  std::vector<const void*> inside_;   // one entry per Enter, by thread
  const void* connecting_ = nullptr;  // the thread whose connect runs
  int connectDepth_ = 0;
  int waiting_ = 0;  // threads waiting for their turn to connect
  bool shut_ = false;
};

#endif  // QV_CONNECTION_QVPRESENCE_H

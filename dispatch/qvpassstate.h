// qvpassstate.h - what the worker works with on every pass (internal; for
// qvsocketmanager.cpp and qvpass.cpp alone).
#ifndef QV_DISPATCH_QVPASSSTATE_H
#define QV_DISPATCH_QVPASSSTATE_H

#include <cstdint>
#include <vector>

#include "../platform/qvpoller.h"
#include "qvlingerset.h"
#include "qvpollmirror.h"
#include "qvsocketmanager.h"

struct QvSocketManager::LoopState {
  qvplat::Poller poller;
  QvLingerSet lingers{poller};
  QvPollMirror mirror{poller};
  std::vector<Ready> ready;  // the slots ready in this pass, in slot order
  std::vector<qvplat::Poller::Event> lingerEvents;
  std::uint64_t now = 0;       // the pass's time (PassMillis)
  std::uint64_t nextTick = 0;  // when the handlers hear OnTick again
  // The peer the listener served last accepted, to be read right after it.
  qvplat::Socket accepted = qvplat::kNoSocket;
  bool pollerFailed = false;   // the failure was logged
};

#endif  // QV_DISPATCH_QVPASSSTATE_H

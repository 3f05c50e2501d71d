// qvpresence.cpp - the threads inside a connection, and connects in turn.
#include "qvpresence.h"

#include <algorithm>

namespace {

// A mark that tells threads apart: the address of a variable of each.
const void* ThisThread() {
  static thread_local char mark;
  return &mark;
}

}  // namespace

void QvPresence::Enter() {
  qvplat::MonitorGuard guard(monitor_);
  inside_.push_back(ThisThread());
}

void QvPresence::Leave() {
  qvplat::MonitorGuard guard(monitor_);
  Remove(ThisThread());
  monitor_.WakeAll();
}

QvPresence::Turn QvPresence::BeginConnect(bool mayWait) {
  const void* self = ThisThread();
  qvplat::MonitorGuard guard(monitor_);
  if (connecting_ == self) {
    ++connectDepth_;
    inside_.push_back(self);
    return Turn::kBegun;
  }
  if (connecting_ != nullptr && (!mayWait || Inside(self))) return Turn::kBusy;
  ++waiting_;
  while (connecting_ != nullptr && !shut_) monitor_.Wait();
  --waiting_;
  if (shut_) {
    monitor_.WakeAll();  // the destructor counts the waiting threads out
    return Turn::kGone;
  }
  connecting_ = self;
  connectDepth_ = 1;
  inside_.push_back(self);
  return Turn::kBegun;
}

void QvPresence::EndConnect() {
  qvplat::MonitorGuard guard(monitor_);
  Remove(ThisThread());
  if (--connectDepth_ == 0) connecting_ = nullptr;
  monitor_.WakeAll();
}

bool QvPresence::WaitForOthers() {
  const void* self = ThisThread();
  qvplat::MonitorGuard guard(monitor_);
  bool waited = false;
  for (; OthersInside(self); waited = true) monitor_.Wait();
  return waited;
}

void QvPresence::Shut() {
  const void* self = ThisThread();
  qvplat::MonitorGuard guard(monitor_);
  shut_ = true;
  monitor_.WakeAll();
  while (OthersInside(self) || waiting_ > 0) monitor_.Wait();
}

bool QvPresence::Inside(const void* self) const {
  return std::find(inside_.begin(), inside_.end(), self) != inside_.end();
}

bool QvPresence::OthersInside(const void* self) const {
  return std::any_of(inside_.begin(), inside_.end(), [self](const void* t) { return t != self; });
}

void QvPresence::Remove(const void* self) {
  const auto it = std::find(inside_.begin(), inside_.end(), self);
  if (it != inside_.end()) inside_.erase(it);
}

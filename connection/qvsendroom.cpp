// qvsendroom.cpp - waiting for room in a connection's send queue.
#include "qvsendroom.h"

#include "../diag/qvsettings.h"

bool QvSendRoom::Enter() {
  qvplat::MonitorGuard guard(monitor_);
  if (shut_) return false;
  waiters_.fetch_add(1);
  return true;
}

void QvSendRoom::Leave() {
  qvplat::MonitorGuard guard(monitor_);
  waiters_.fetch_sub(1);
  monitor_.WakeAll();  // Shut counts the waiters out
}

std::uint64_t QvSendRoom::Ticket() {
  qvplat::MonitorGuard guard(monitor_);
  return wakes_;
}

bool QvSendRoom::WaitPast(std::uint64_t ticket, std::uint64_t deadline) {
  qvplat::MonitorGuard guard(monitor_);
  for (;;) {
    if (shut_) return false;
    if (wakes_ != ticket) return true;
    const std::uint64_t now = qvplat::CoarseMillis();
    if (now >= deadline) return false;
    const std::uint64_t left = deadline - now;
    monitor_.WaitFor(left > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<std::uint32_t>(left));
  }
}

void QvSendRoom::Drained(std::size_t queued) {
  if (waiters_.load() == 0 || queued > qvdiag::SendHighWaterBytes()) return;
  WakeAll();
}

void QvSendRoom::WakeAll() {
  qvplat::MonitorGuard guard(monitor_);
  ++wakes_;
  monitor_.WakeAll();
}

void QvSendRoom::Shut() {
  qvplat::MonitorGuard guard(monitor_);
  shut_ = true;
  monitor_.WakeAll();
  while (waiters_.load() > 0) monitor_.Wait();
}

// qvsocketmanager.cpp - the worker's life and the slot table's operations;
// the pass itself is in qvpass.cpp.
#include "qvsocketmanager.h"

#include <chrono>
#include <cstdlib>
#include <new>
#include <utility>

#include "../diag/qvsettings.h"
#include "qvpassstate.h"

namespace {

// How long process exit waits for the worker to leave its loop.
constexpr std::uint32_t kExitJoinMs = 5000;

}  // namespace

// ----------------------------------------------------- life, exit

QvSocketManager& QvSocketManager::Instance() {
  // Made on the first call (in practice inside the first module
  // construction). Never destroyed; the exit handler registered here stops
  // the worker, before the static objects constructed earlier (the
  // application's among them) are destroyed.
  static QvSocketManager* const manager = [] {
    auto* m = new QvSocketManager;
    std::atexit(StopAtExit);
    return m;
  }();
  return *manager;
}

QvSocketManager::QvSocketManager()
    : table_(nullptr), loop_(new LoopState), dispatching_(nullptr), largestSenderAsked_(false) {
  loop_->ready.reserve(64);
}

// Never runs: the manager lives until the process ends (see Instance).
QvSocketManager::~QvSocketManager() {}

void QvSocketManager::StopAtExit() {
  QvSocketManager& m = Instance();
  if (qvplat::ProcessEnding()) return;  // the worker is gone, ended wherever it was
  if (OnWorkerThread()) {
    // The process is exiting from a callback: the worker cannot be waited
    // for; it leaves at its next pass, if the process lets it get there.
    m.running.store(false);
    return;
  }
  // Sockets of closed connections that still deliver what was queued get
  // the linger time to finish: a program that closes and then exits still
  // has its last frames delivered. Each also ends by itself once it makes
  // no progress for that long. Those that owe nothing more are closed at
  // once: waiting for their peers' end of stream delivers nothing.
  if (m.IsRunning()) {
    m.ReleaseSentLingers();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(qvdiag::LingerSeconds());
    while (m.Lingering() > 0 && std::chrono::steady_clock::now() < deadline) qvplat::SleepMs(5);
  }
  // A worker held up in an application callback past the bound is left
  // behind: the process is ending, and nothing it reads is ever freed.
  m.StopWithin(kExitJoinMs);
}

void QvSocketManager::Interrupt() { loop_->poller.Wake(); }

void QvSocketManager::WakeFromApplication() {
  // The worker looks at changed slots at the start of every pass; it only
  // needs waking when the change comes from another thread.
  if (!OnWorkerThread()) loop_->poller.Wake();
}


// ----------------------------------------------------------- the table

bool QvSocketManager::InitOnce(int capacity) {
  qvplat::LockGuard guard(initLock_);
  return table_.load() != nullptr || Init(capacity);
}

bool QvSocketManager::Init(int capacity) {
  qvplat::LockGuard guard(initLock_);
  QvSlotTable* current = table_.load();
  if (current != nullptr && current->Capacity() == capacity) {
    // Same size: clear in place. Every slot is free or still valid at every
    // moment, whatever the worker reads meanwhile.
    for (int i = 0; i < capacity; ++i) FreeSlot(*current, i);
    return true;
  }
  auto* fresh = new (std::nothrow) QvSlotTable(capacity);
  {
    // The old table's sockets leave the poller now: their owners may close
    // them as soon as they are no longer registered. The mirror keeps its
    // size until the worker takes the new table on: only the worker sizes
    // it, so a pass under way still finds every slot of its table there.
    qvplat::LockGuard loopGuard(loop_->mirror.Lock());
    loop_->mirror.Forget();
  }
  // Published whole; the worker takes it on at its next pass.
  QvSlotTable* old = table_.exchange(fresh);
  if (old != nullptr) retired_.push_back(old);
  return fresh != nullptr && fresh->Capacity() == capacity;
}

int QvSocketManager::Capacity() const {
  const QvSlotTable* t = table_.load();
  return t != nullptr ? t->Capacity() : 0;
}

QvSocketManager::SlotView QvSocketManager::Slot(int index) const {
  const QvSlotTable* t = table_.load();
  if (t == nullptr || index < 0 || index >= t->Capacity()) return SlotView{0, qvplat::kNoSocket, nullptr};
  const SocketSlot& s = t->At(index);
  return SlotView{s.interest.load(), s.socketHandle.load(), s.handler.load()};
}

int QvSocketManager::Register(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler) {
  QvSlotTable* t = table_.load();
  const int result = t != nullptr ? t->Register(socket, interest, handler) : -1;
  if (result == 1) WakeFromApplication();
  return result;
}

int QvSocketManager::Unregister(qvplat::Socket socket) {
  QvSlotTable* t = table_.load();
  const int i = t != nullptr ? t->Find(socket) : -1;
  if (i < 0) return 0;
  FreeSlot(*t, i);
  return 1;
}

int QvSocketManager::Arm(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler) {
  QvSlotTable* t = table_.load();
  bool changed = false;
  if (t == nullptr || t->Arm(socket, interest, handler, &changed) == 0) return 0;
  if (changed) WakeFromApplication();
  return 1;
}

void QvSocketManager::FreeSlot(QvSlotTable& table, int index) {
  qvplat::LockGuard guard(loop_->mirror.Lock());
  table.Free(index);
  if (loop_->mirror.Describes(&table)) loop_->mirror.Unwatch(index);
}

void QvSocketManager::Rest(qvplat::Socket socket, int ms) {
  QV_CHECK_ON_WORKER();
  loop_->mirror.Rest(socket, ms);
}

void QvSocketManager::ReleaseAndWait(QvSocketBase* handler) {
  if (handler == nullptr) return;
  auto releaseIn = [this, handler](QvSlotTable* t) {
    for (int i = 0; t != nullptr && i < t->Capacity(); ++i) {
      if (t->At(i).handler.load() == handler) FreeSlot(*t, i);
    }
  };
  // Usually its slots were freed before (a connection's close frees its
  // own): then there is nothing to look for.
  if (handler->namedBySlots.load() > 0) {
    // A pass that began before a re-initialisation still walks the table
    // it started with: release the handler there too.
    qvplat::LockGuard guard(initLock_);
    releaseIn(table_.load());
    for (QvSlotTable* t : retired_) releaseIn(t);
  }
  WaitUntilLeft(handler);
}

void QvSocketManager::WaitUntilLeft(QvSocketBase* handler) {
  if (OnWorkerThread()) return;
  // The worker publishes the handler it is about to call, then checks that
  // its slot still holds the registration; the caller freed the slot, then
  // we look at what it published. One of the two sees the other, so once
  // this wait ends the worker is not inside the handler and will not enter
  // it again for the slots that were freed.
  if (dispatching_.load() != handler) return;
  // Counted before the look under the monitor, and the worker looks at the
  // count after it leaves a handler: either this thread sees it gone, or
  // the worker sees the count and wakes it. A callback that runs for
  // seconds costs the waiting thread no processor time.
  leaveWaiters_.fetch_add(1);
  {
    qvplat::MonitorGuard guard(leaving_);
    while (dispatching_.load() == handler) leaving_.Wait();
  }
  leaveWaiters_.fetch_sub(1);
}

void QvSocketManager::LeaveHandler() {
  dispatching_.store(nullptr);
  if (leaveWaiters_.load() == 0) return;
  qvplat::MonitorGuard guard(leaving_);
  leaving_.WakeAll();
}

bool QvSocketManager::Linger(qvplat::Socket s, std::vector<QvUnsentBytes> parts, bool peerEnded) {
  if (!loop_->lingers.HandOver(s, std::move(parts), peerEnded)) return false;
  WakeFromApplication();
  return true;
}

int QvSocketManager::Lingering() { return loop_->lingers.Count(); }

void QvSocketManager::ReleaseSentLingers() {
  loop_->lingers.ReleaseSent();
  WakeFromApplication();
}


void QvSocketManager::AskToEndLargestSenders() {
  largestSenderAsked_.store(true);
  WakeFromApplication();
}

std::uint64_t QvSocketManager::PassMillis() const { return loop_->now; }

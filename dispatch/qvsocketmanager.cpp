// qvsocketmanager.cpp - the slot table and the dispatch loop.
#include "qvsocketmanager.h"

#include <new>

#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"

namespace {

// Poll time-out while sockets are watched, and idle nap while none are.
constexpr int kPassTimeoutMs = 5;
constexpr int kIdleNapMs = 500;
// How long process exit waits for the worker to leave its loop.
constexpr std::uint32_t kExitJoinMs = 5000;

thread_local bool tlsOnWorker = false;

}  // namespace

QvSocketManager& QvSocketManager::Instance() {
  // Constructed on the first call (in practice inside the first module
  // construction); destroyed at exit in reverse order of construction, so
  // before the log, which was constructed at load.
  static QvSocketManager manager;
  return manager;
}

struct QvSocketManager::LoopState {
  qvplat::Poller poller;
  std::vector<Watched> watched;
};

QvSocketManager::QvSocketManager() : table_(nullptr), loop_(new LoopState), dispatching_(nullptr) {
  loop_->watched.reserve(64);
}

QvSocketManager::~QvSocketManager() {
  // The worker reads the table on every pass: end it before the table goes.
  // On the worker itself (the process is exiting from a callback) it cannot
  // be waited for; clearing the flag makes it leave at its next pass. A
  // worker held up in an application callback past the bound keeps the
  // tables: the process is ending, and they must outlive every read.
  if (qvplat::ProcessEnding()) return;  // the worker is gone, ended wherever it was
  bool ended;
  if (OnWorkerThread()) {
    running.store(false);
    ended = false;
  } else {
    ended = StopWithin(kExitJoinMs);
  }
  if (!ended) return;
  delete loop_;
  loop_ = nullptr;  // objects destroyed after the manager may still arm or close
  SlotTable* table = table_.exchange(nullptr);
  if (table != nullptr) retired_.push_back(table);
  for (SlotTable* t : retired_) {
    delete[] t->slots;
    delete t;
  }
}

bool QvSocketManager::OnWorkerThread() { return tlsOnWorker; }

void QvSocketManager::ClearSlot(SocketSlot& slot) {
  slot.socketHandle.store(qvplat::kNoSocket);
  slot.interest.store(0);
  slot.handler.store(nullptr);
}

bool QvSocketManager::Init(int capacity) {
  qvplat::LockGuard guard(initLock_);
  SlotTable* current = table_.load();
  if (current != nullptr && current->capacity == capacity) {
    // Same size: clear in place. Every slot is free or still valid at every
    // moment, whatever the worker reads meanwhile.
    for (int i = 0; i < capacity; ++i) ClearSlot(current->slots[i]);
    return true;
  }
  SlotTable* fresh = nullptr;
  if (capacity > 0) {
    fresh = new (std::nothrow) SlotTable{capacity, new (std::nothrow) SocketSlot[static_cast<size_t>(capacity)]};
    if (fresh != nullptr && fresh->slots == nullptr) {
      delete fresh;
      fresh = nullptr;
    }
    if (fresh != nullptr) {
      for (int i = 0; i < capacity; ++i) {
        ClearSlot(fresh->slots[i]);
        fresh->slots[i].generation.store(0);
      }
    }
  }
  // Published only once cleared; without a table every operation sees 0 slots.
  SlotTable* old = table_.exchange(fresh);
  if (old != nullptr) retired_.push_back(old);
  return fresh != nullptr;
}

int QvSocketManager::Capacity() const {
  SlotTable* t = table_.load();
  return t != nullptr ? t->capacity : 0;
}

QvSocketManager::SlotView QvSocketManager::Slot(int index) const {
  SlotTable* t = table_.load();
  if (t == nullptr || index < 0 || index >= t->capacity) return SlotView{0, qvplat::kNoSocket, nullptr};
  const SocketSlot& s = t->slots[index];
  return SlotView{s.interest.load(), s.socketHandle.load(), s.handler.load()};
}

int QvSocketManager::Register(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler) {
  SlotTable* t = table_.load();
  if (t == nullptr) return -1;
  for (int i = 0; i < t->capacity; ++i) {
    if (t->slots[i].socketHandle.load() == socket) {
      qvdiag::Trace(qvtext::kTraceAlreadyRegistered, i + 1);
      return 1;
    }
  }
  for (int i = 0; i < t->capacity; ++i) {
    SocketSlot& slot = t->slots[i];
    qvplat::Socket expected = qvplat::kNoSocket;
    // Claim the slot first, so two threads never take the same free slot.
    if (slot.socketHandle.load() == qvplat::kNoSocket &&
        slot.socketHandle.compare_exchange_strong(expected, socket)) {
      slot.generation.fetch_add(1);
      slot.interest.store(interest);
      slot.handler.store(handler);
      WakeFromApplication();
      return 1;
    }
  }
  return -1;
}

int QvSocketManager::Unregister(qvplat::Socket socket) {
  SlotTable* t = table_.load();
  if (t == nullptr) return 0;
  for (int i = 0; i < t->capacity; ++i) {
    if (t->slots[i].socketHandle.load() == socket) {
      ClearSlot(t->slots[i]);
      return 1;
    }
  }
  return 0;
}

int QvSocketManager::Arm(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler) {
  SlotTable* t = table_.load();
  if (t == nullptr) return 0;
  for (int i = 0; i < t->capacity; ++i) {
    SocketSlot& slot = t->slots[i];
    if (slot.socketHandle.load() == socket) {
      slot.interest.fetch_or(interest);
      slot.handler.store(handler);
      WakeFromApplication();
      return 1;
    }
  }
  return 0;
}

void QvSocketManager::Forget(QvSocketBase* handler) {
  if (handler == nullptr) return;
  auto forgetIn = [handler](SlotTable* t) {
    for (int i = 0; t != nullptr && i < t->capacity; ++i) {
      if (t->slots[i].handler.load() == handler) ClearSlot(t->slots[i]);
    }
  };
  {
    // A pass that began before a re-initialisation still walks the table
    // it started with: forget the handler there too.
    qvplat::LockGuard guard(initLock_);
    forgetIn(table_.load());
    for (SlotTable* t : retired_) forgetIn(t);
  }
  if (OnWorkerThread()) return;
  // The worker publishes the handler it is about to call, then checks that
  // its slot still names it; we cleared the slot, then look at what it
  // published. One of the two sees the other, so once this loop ends the
  // worker is not inside the handler and will not enter it again.
  while (dispatching_.load() == handler) qvplat::YieldThread();
}

void QvSocketManager::WakeFromApplication() {
  // The worker rebuilds its watch list at the start of every pass; it only
  // needs waking when the change comes from another thread.
  if (!OnWorkerThread() && loop_ != nullptr) loop_->poller.Wake();
}

void QvSocketManager::Interrupt() {
  if (loop_ != nullptr) loop_->poller.Wake();
}

void QvSocketManager::Run() {
  tlsOnWorker = true;
  qvplat::Poller& poller = loop_->poller;
  std::vector<Watched>& watched = loop_->watched;
  while (running.load()) {
    SlotTable* t = table_.load();
    poller.Clear();
    watched.clear();
    bool idle = true;
    const int capacity = t != nullptr ? t->capacity : 0;
    for (int i = 0; i < capacity; ++i) {
      SocketSlot& slot = t->slots[i];
      qvplat::Socket socket = slot.socketHandle.load();
      if (socket == qvplat::kNoSocket) continue;
      idle = false;
      std::uint32_t generation = slot.generation.load();
      std::uint32_t interest = slot.interest.load();
      unsigned want = 0;
      if (interest & ReadInterest) want |= qvplat::kPollRead;
      if (interest & WriteInterest) want |= qvplat::kPollWrite;
      poller.Add(socket, want);
      watched.push_back(Watched{i, socket, generation});
    }
    if (idle) {
      // Nothing to watch: nap, and start over as soon as something arrives.
      poller.Nap(kIdleNapMs);
      continue;
    }
    if (poller.Wait(kPassTimeoutMs) <= 0) continue;
    // Dispatch walk, in slot order. The table is read afresh at every step:
    // an earlier handler of this pass may have changed any slot.
    for (size_t k = 0; k < watched.size(); ++k) {
      unsigned ready = poller.Ready(static_cast<int>(k));
      if (ready != 0) Dispatch(t->slots[watched[k].slot], watched[k], ready);
    }
  }
  tlsOnWorker = false;
}

// Serves one ready socket: an exception alone; otherwise read, then write.
void QvSocketManager::Dispatch(SocketSlot& slot, const Watched& watched, unsigned ready) {
  auto stillWatched = [&slot, &watched] {
    return slot.socketHandle.load() == watched.socket && slot.generation.load() == watched.generation;
  };
  // A slot freed or taken by another socket since the build has no event.
  if (!stillWatched()) return;
  QvSocketBase* handler = slot.handler.load();
  if (handler == nullptr) return;
  dispatching_.store(handler);
  if (slot.handler.load() != handler || !stillWatched()) {
    dispatching_.store(nullptr);  // Forget() took it away meanwhile
    return;
  }

  if (ready & qvplat::kPollExcept) {
    qvdiag::Trace(qvtext::kTraceExceptEvent);
    handler->OnError();
    dispatching_.store(nullptr);
    return;
  }
  if (ready & qvplat::kPollRead) {
    qvdiag::Trace(qvtext::kTraceReadEvent);
    SocketKind kind = handler->GetType();
    if (kind == so_listener) {
      qvdiag::Trace(qvtext::kTraceListenerKind);
      handler->OnAccept();  // a listener's read interest stays set
    } else if (kind == so_connection) {
      qvdiag::Trace(qvtext::kTraceConnectionKind);
      slot.interest.fetch_and(~ReadInterest);
      handler->OnRead();
    }
  }
  // The read handler may have closed the socket, or the slot may have gone
  // to another object; only the same registration gets its write event.
  if ((ready & qvplat::kPollWrite) && stillWatched() && slot.handler.load() == handler) {
    qvdiag::Trace(qvtext::kTraceWriteEvent, static_cast<int>(watched.socket));
    slot.interest.fetch_and(~WriteInterest);
    handler->OnWrite();
  }
  dispatching_.store(nullptr);
}

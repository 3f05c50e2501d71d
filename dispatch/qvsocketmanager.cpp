// qvsocketmanager.cpp - the slot table and the dispatch loop.
#include "qvsocketmanager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "../diag/log.h"
#include "../diag/qvneterror.h"
#include "../diag/qvsettings.h"
#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"
#include "qvlingerset.h"

namespace {

// Poll time-out while sockets are watched, and idle nap while none are.
constexpr int kPassTimeoutMs = 5;
constexpr int kIdleNapMs = 500;
// How long the worker sleeps before it tries again to open its poller.
constexpr int kPollerRetryMs = 200;
// How long process exit waits for the worker to leave its loop.
constexpr std::uint32_t kExitJoinMs = 5000;

thread_local bool tlsOnWorker = false;

// A ready socket's bits beside the poller's: write interest to be served
// without asking the system whether the socket is writable.
constexpr unsigned kWriteUnasked = 8;
// And the handler asked to be ended (EndRequest).
constexpr unsigned kEndAsked = 16;
static_assert(((kWriteUnasked | kEndAsked) & (qvplat::kPollRead | qvplat::kPollWrite | qvplat::kPollExcept)) == 0,
              "bits of their own");

// A slot's registration as the poller knows it: slot index and generation.
std::uint64_t Tag(int slot, std::uint32_t generation) {
  return (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(slot);
}

// Spreads socket numbers over the hint array: consecutive descriptors (POSIX)
// and multiples of four (Windows handles) both map without collisions.
std::size_t HashSocket(qvplat::Socket socket) {
  auto v = static_cast<std::uint64_t>(socket);
  return static_cast<std::size_t>(v ^ (v >> 2));
}

}  // namespace

struct QvSocketManager::SlotTable {
  int capacity;
  SocketSlot* slots;
  // Bit i set: slot i changed since the worker last looked at it.
  std::atomic<std::uint64_t>* dirty;
  int dirtyWords;
  // hints[HashSocket(s) & hintMask]: the slot s was last found in, or -1.
  // Only a hint: it is checked against the slot before it is used.
  std::atomic<int>* hints;
  std::size_t hintMask;
};

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
  // no progress for that long.
  if (m.IsRunning()) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(qvdiag::LingerSeconds());
    while (m.Lingering() > 0 && std::chrono::steady_clock::now() < deadline) qvplat::SleepMs(5);
  }
  // A worker held up in an application callback past the bound is left
  // behind: the process is ending, and nothing it reads is ever freed.
  m.StopWithin(kExitJoinMs);
}

// The worker's own view of the table: what its poller watches for each slot.
struct QvSocketManager::LoopState {
  struct Mirror {
    qvplat::Socket socket = qvplat::kNoSocket;
    std::uint32_t generation = 0;
    unsigned want = 0;
    // Write interest was looked at with a one-off probe in the last pass;
    // if it is still set, the socket is watched for writing from now on.
    bool probed = false;
    // An exception was reported and the handler kept the socket: it is not
    // watched again until its slot changes (its interest, or its owner).
    bool parked = false;
    std::uint32_t parkedInterest = 0;
    std::uint64_t syncedPass = 0;
  };
  // Guards the mirror and the poller's watched sockets. The worker holds it
  // while it brings them up to date and reads the wait's results; a thread
  // freeing a slot holds it to take the socket out of the poller before
  // the socket's owner may close it. So the worker never asks the system
  // about a descriptor that was closed, and whose number may be in use by
  // a new socket already.
  qvplat::RecursiveLock lock{qvplat::kLockPoller};
  qvplat::Poller poller;
  QvLingerSet lingers{poller, lock};
  bool pollerFailed = false;  // the failure was logged
  SlotTable* table = nullptr;  // the table the mirror describes
  std::vector<Mirror> mirror;
  std::vector<int> probedSlots;  // slots probed in this pass: looked at again in the next
  std::vector<int> unasked;      // slots whose write is tried in this pass without asking
  std::vector<int> ends;         // slots whose handler asked to be ended (EndRequest)
  std::vector<qvplat::Poller::Event> lingerEvents;  // of this pass
  std::vector<int> reprobe;
  // The worker's alone, per slot: its last write left bytes queued, or found
  // the socket full, so its next write waits until the system says it may.
  std::vector<std::uint8_t> askFirst;
  std::uint64_t pass = 0;
  std::vector<Ready> ready;
};

QvSocketManager::QvSocketManager() : table_(nullptr), loop_(new LoopState), dispatching_(nullptr) {
  loop_->poller.Guard(&loop_->lock);
  loop_->ready.reserve(64);
}

// Never runs: the manager lives until the process ends (see Instance).
QvSocketManager::~QvSocketManager() {}

bool QvSocketManager::OnWorkerThread() { return tlsOnWorker; }

void QvSocketManager::CheckOnWorker(const char* where) {
  if (OnWorkerThread()) return;
  std::fprintf(stderr, "%s runs on the worker thread only\n", where);
  std::fflush(stderr);
  std::abort();
}

QvSocketManager::SlotTable* QvSocketManager::NewTable(int capacity) {
  auto* t = new (std::nothrow) SlotTable{capacity, nullptr, nullptr, (capacity + 63) / 64, nullptr, 0};
  if (t == nullptr) return nullptr;
  std::size_t hintCount = 8192;
  while (hintCount < 2 * static_cast<std::size_t>(capacity)) hintCount *= 2;
  t->hintMask = hintCount - 1;
  t->slots = new (std::nothrow) SocketSlot[static_cast<size_t>(capacity)];
  t->dirty = new (std::nothrow) std::atomic<std::uint64_t>[static_cast<size_t>(t->dirtyWords)];
  t->hints = new (std::nothrow) std::atomic<int>[hintCount];
  if (t->slots == nullptr || t->dirty == nullptr || t->hints == nullptr) {
    DeleteTable(t);
    return nullptr;
  }
  for (int i = 0; i < capacity; ++i) {
    t->slots[i].socketHandle.store(qvplat::kNoSocket);
    t->slots[i].interest.store(0);
    t->slots[i].handler.store(nullptr);
    t->slots[i].generation.store(0);
  }
  for (int w = 0; w < t->dirtyWords; ++w) t->dirty[w].store(0);
  for (std::size_t h = 0; h < hintCount; ++h) t->hints[h].store(-1);
  return t;
}

void QvSocketManager::DeleteTable(SlotTable* table) {
  delete[] table->slots;
  delete[] table->dirty;
  delete[] table->hints;
  delete table;
}

void QvSocketManager::Touch(SlotTable& table, int index) {
  table.dirty[index >> 6].fetch_or(std::uint64_t{1} << (index & 63));
}

void QvSocketManager::ClearSlot(SlotTable& table, int index) {
  LoopState* loop = loop_;
  if (loop != nullptr) loop->lock.Enter();
  SocketSlot& slot = table.slots[index];
  slot.socketHandle.store(qvplat::kNoSocket);
  slot.interest.store(0);
  slot.handler.store(nullptr);
  Touch(table, index);
  if (loop != nullptr) {
    if (loop->table == &table) Unwatch(index);
    loop->lock.Leave();
  }
}

// The lock is held.
void QvSocketManager::Unwatch(int index) {
  LoopState::Mirror& m = loop_->mirror[static_cast<size_t>(index)];
  if (m.socket == qvplat::kNoSocket) return;
  loop_->poller.Unwatch(m.socket, Tag(index, m.generation));
  const std::uint64_t synced = m.syncedPass;
  m = LoopState::Mirror{};
  m.syncedPass = synced;
}

int QvSocketManager::Find(SlotTable& table, qvplat::Socket socket) {
  std::atomic<int>& hint = table.hints[HashSocket(socket) & table.hintMask];
  int i = hint.load();
  if (i >= 0 && i < table.capacity && table.slots[i].socketHandle.load() == socket) return i;
  for (i = 0; i < table.capacity; ++i) {
    if (table.slots[i].socketHandle.load() == socket) {
      hint.store(i);
      return i;
    }
  }
  return -1;
}

bool QvSocketManager::InitOnce(int capacity) {
  qvplat::LockGuard guard(initLock_);
  return table_.load() != nullptr || Init(capacity);
}

bool QvSocketManager::Init(int capacity) {
  qvplat::LockGuard guard(initLock_);
  SlotTable* current = table_.load();
  if (current != nullptr && current->capacity == capacity) {
    // Same size: clear in place. Every slot is free or still valid at every
    // moment, whatever the worker reads meanwhile.
    for (int i = 0; i < capacity; ++i) ClearSlot(*current, i);
    return true;
  }
  SlotTable* fresh = capacity > 0 ? NewTable(capacity) : nullptr;
  if (loop_ != nullptr) {
    // The old table's sockets leave the poller now: their owners may close
    // them as soon as they are no longer registered.
    qvplat::LockGuard loopGuard(loop_->lock);
    for (size_t i = 0; i < loop_->mirror.size(); ++i) Unwatch(static_cast<int>(i));
    loop_->mirror.clear();
    loop_->probedSlots.clear();
    loop_->table = nullptr;
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
  int present = Find(*t, socket);
  if (present >= 0) {
    qvdiag::Trace(qvtext::kTraceAlreadyRegistered, present + 1);
    return 1;
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
      t->hints[HashSocket(socket) & t->hintMask].store(i);
      Touch(*t, i);
      WakeFromApplication();
      return 1;
    }
  }
  return -1;
}

int QvSocketManager::Unregister(qvplat::Socket socket) {
  SlotTable* t = table_.load();
  if (t == nullptr) return 0;
  int i = Find(*t, socket);
  if (i < 0) return 0;
  ClearSlot(*t, i);
  return 1;
}

int QvSocketManager::Arm(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler) {
  SlotTable* t = table_.load();
  if (t == nullptr) return 0;
  int i = Find(*t, socket);
  if (i < 0) return 0;
  SocketSlot& slot = t->slots[i];
  slot.interest.fetch_or(interest);
  slot.handler.store(handler);
  Touch(*t, i);
  WakeFromApplication();
  return 1;
}

void QvSocketManager::Forget(QvSocketBase* handler) {
  if (handler == nullptr) return;
  auto forgetIn = [this, handler](SlotTable* t) {
    for (int i = 0; t != nullptr && i < t->capacity; ++i) {
      if (t->slots[i].handler.load() == handler) ClearSlot(*t, i);
    }
  };
  {
    // A pass that began before a re-initialisation still walks the table
    // it started with: forget the handler there too.
    qvplat::LockGuard guard(initLock_);
    forgetIn(table_.load());
    for (SlotTable* t : retired_) forgetIn(t);
  }
  WaitUntilLeft(handler);
}

void QvSocketManager::WaitUntilLeft(QvSocketBase* handler) {
  if (OnWorkerThread()) return;
  // The worker publishes the handler it is about to call, then checks that
  // its slot still names it; the caller cleared the slot, then we look at
  // what it published. One of the two sees the other, so once this loop
  // ends the worker is not inside the handler and will not enter it again
  // for the slots that were cleared.
  while (dispatching_.load() == handler) qvplat::YieldThread();
}

bool QvSocketManager::Linger(qvplat::Socket s, std::vector<std::string> parts, std::size_t skip, bool peerEnded) {
  if (!loop_->lingers.HandOver(s, std::move(parts), skip, peerEnded)) return false;
  WakeFromApplication();
  return true;
}

int QvSocketManager::Lingering() { return loop_->lingers.Count(); }

void QvSocketManager::WakeFromApplication() {
  // The worker looks at changed slots at the start of every pass; it only
  // needs waking when the change comes from another thread.
  if (!OnWorkerThread() && loop_ != nullptr) loop_->poller.Wake();
}

void QvSocketManager::Interrupt() {
  if (loop_ != nullptr) loop_->poller.Wake();
}

bool QvSocketManager::PollerOpen() {
  LoopState& loop = *loop_;
  if (loop.poller.Open()) {
    loop.pollerFailed = false;
    return true;
  }
  // Without it the worker could only spin: say so once, and try again
  // after a pause.
  if (!loop.pollerFailed) {
    qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogPollerFailed,
                qvdiag::NetErrorText(qvplat::LastSocketError(), qvtext::kErrUnknownConnection), kPollerRetryMs);
    loop.pollerFailed = true;
  }
  qvplat::SleepMs(kPollerRetryMs);
  return false;
}

void QvSocketManager::Run() {
  tlsOnWorker = true;
  LoopState& loop = *loop_;
  qvplat::Poller& poller = loop.poller;
  std::vector<Ready>& ready = loop.ready;
  while (running.load()) {
    if (!PollerOpen()) continue;
    SlotTable* t = table_.load();
    Sync(t);
    const bool now = !loop.unasked.empty() || !loop.ends.empty();
    if (!now && poller.Watched() == 0 && loop.probedSlots.empty()) {
      // Nothing to watch: nap, and start over as soon as something arrives.
      poller.Nap(kIdleNapMs);
      continue;
    }
    // Writes tried unasked are ready now: the wait only looks at what else
    // is, so that a socket both readable and with a write queued is read
    // first, as when the system reports both.
    int n = poller.Wait(now ? 0 : kPassTimeoutMs);
    if (n < 0) continue;
    ready.clear();
    loop.lingerEvents.clear();
    {
      qvplat::LockGuard guard(loop.lock);
      for (int k = 0; k < n; ++k) {
        const qvplat::Poller::Event& e = poller.EventAt(k);
        if (QvLingerSet::IsLingerTag(e.tag)) {
          loop.lingerEvents.push_back(e);
          continue;
        }
        int slot = static_cast<int>(static_cast<std::uint32_t>(e.tag));
        auto generation = static_cast<std::uint32_t>(e.tag >> 32);
        if (static_cast<size_t>(slot) >= loop.mirror.size()) continue;
        const LoopState::Mirror& m = loop.mirror[static_cast<size_t>(slot)];
        // Freed or taken over since the wait began: no event.
        if (m.generation != generation || m.socket == qvplat::kNoSocket) continue;
        ready.push_back(Ready{slot, m.socket, generation, e.ready});
      }
      // Unless Init dropped the table the lists were made from meanwhile.
      auto listed = [&](const std::vector<int>& slots, unsigned bits) {
        for (int slot : slots) {
          if (loop.table != t || static_cast<size_t>(slot) >= loop.mirror.size()) return;
          const LoopState::Mirror& m = loop.mirror[static_cast<size_t>(slot)];
          if (m.socket != qvplat::kNoSocket) ready.push_back(Ready{slot, m.socket, m.generation, bits});
        }
      };
      listed(loop.unasked, kWriteUnasked);
      listed(loop.ends, kEndAsked);
    }
    // Serve in slot order; a socket with two entries (watched and probed,
    // or read ready and written unasked) is served once.
    std::sort(ready.begin(), ready.end(), [](const Ready& a, const Ready& b) { return a.slot < b.slot; });
    size_t merged = 0;
    for (size_t k = 0; k < ready.size(); ++k) {
      if (merged > 0 && ready[merged - 1].slot == ready[k].slot) {
        ready[merged - 1].bits |= ready[k].bits;
      } else {
        ready[merged++] = ready[k];
      }
    }
    ready.resize(merged);
    // The table is read afresh at every step: an earlier handler of this
    // pass may have changed any slot.
    for (const Ready& r : ready) Dispatch(*t, r);
    for (const qvplat::Poller::Event& e : loop.lingerEvents) loop.lingers.OnEvent(e.tag, e.ready);
    loop.lingers.Expire(QvLingerSet::Clock::now());
  }
  tlsOnWorker = false;
}

// Brings the poller up to date with the table: the slots changed since the
// last pass, and those probed in it; and takes on the sockets handed over
// to linger. A table replaced by Init is dropped whole and the new one
// taken on slot by slot.
void QvSocketManager::Sync(SlotTable* t) {
  LoopState& loop = *loop_;
  qvplat::LockGuard guard(loop.lock);
  ++loop.pass;
  loop.lingers.Adopt();
  loop.ends.clear();
  if (loop.table != t) {
    for (size_t i = 0; i < loop.mirror.size(); ++i) Unwatch(static_cast<int>(i));
    loop.table = t;
    loop.mirror.assign(t != nullptr ? static_cast<size_t>(t->capacity) : 0, LoopState::Mirror{});
    loop.askFirst.assign(loop.mirror.size(), 0);
    loop.probedSlots.clear();
    loop.unasked.clear();
    if (t == nullptr) return;
    for (int w = 0; w < t->dirtyWords; ++w) t->dirty[w].exchange(0);
    for (int i = 0; i < t->capacity; ++i) SyncSlot(*t, i, true);
    return;
  }
  if (t == nullptr) return;
  // Probed and unasked slots are looked at again: their write interest may
  // still be set, and need not have changed since.
  loop.reprobe.swap(loop.probedSlots);
  loop.reprobe.insert(loop.reprobe.end(), loop.unasked.begin(), loop.unasked.end());
  loop.probedSlots.clear();
  loop.unasked.clear();
  // Changed slots first. A slot is looked at once per pass, and a change
  // made after its bit was taken sets the bit again for the next pass; were
  // the probed slots looked at first, such a change could be taken with its
  // bit here and then skipped.
  for (int w = 0; w < t->dirtyWords; ++w) {
    if (t->dirty[w].load() == 0) continue;
    std::uint64_t bits = t->dirty[w].exchange(0);
    while (bits != 0) {
      int b = 0;
      while (((bits >> b) & 1) == 0) ++b;
      bits &= bits - 1;
      SyncSlot(*t, w * 64 + b, true);
    }
  }
  for (int i : loop.reprobe) SyncSlot(*t, i, false);
}

// `changed`: the slot changed since the last look (else it is looked at
// again for its write interest only).
void QvSocketManager::SyncSlot(SlotTable& t, int i, bool changed) {
  LoopState& loop = *loop_;
  LoopState::Mirror& m = loop.mirror[static_cast<size_t>(i)];
  if (m.syncedPass == loop.pass) return;
  SocketSlot& slot = t.slots[i];
  const qvplat::Socket socket = slot.socketHandle.load();
  const std::uint32_t generation = slot.generation.load();
  const std::uint32_t interest = slot.interest.load();
  // A change marked before the socket was parked is no change since.
  if (m.parked && (!changed || (socket == m.socket && generation == m.generation && interest == m.parkedInterest))) {
    return;
  }
  m.syncedPass = loop.pass;
  // Freed, or taken by another registration since the last look.
  if (m.socket != qvplat::kNoSocket && (m.socket != socket || m.generation != generation)) Unwatch(i);
  if (socket == qvplat::kNoSocket) return;
  const bool fresh = m.socket == qvplat::kNoSocket || m.parked;
  m.parked = false;
  std::uint8_t& askFirst = loop.askFirst[static_cast<size_t>(i)];
  if (m.socket == qvplat::kNoSocket) askFirst = 0;  // a new registration: nothing known of its socket
  if (interest & EndRequest) loop.ends.push_back(i);
  unsigned want = (interest & ReadInterest) ? unsigned{qvplat::kPollRead} : 0u;
  bool probe = false;
  bool trust = false;
  if (interest & WriteInterest) {
    // A socket is nearly always writable when a write is queued: try it
    // without asking; after a write that found it full, look once without
    // changing the watch; watch for writing only when it was still full.
    if (m.probed || (m.want & qvplat::kPollWrite)) {
      want |= qvplat::kPollWrite;
    } else if (askFirst != 0) {
      probe = true;
    } else {
      trust = true;
    }
  }
  if (fresh || want != m.want) {
    loop.poller.Watch(socket, Tag(i, generation), want);
    m.socket = socket;
    m.generation = generation;
    m.want = want;
  }
  m.probed = probe;
  if (probe) {
    loop.poller.Probe(socket, Tag(i, generation), qvplat::kPollWrite);
    loop.probedSlots.push_back(i);
  }
  if (trust) loop.unasked.push_back(i);
}

// The worker, after an exception whose handler kept its socket: stops
// watching it until its slot changes.
void QvSocketManager::Park(SlotTable& t, const Ready& r) {
  LoopState& loop = *loop_;
  qvplat::LockGuard guard(loop.lock);
  if (loop.table != &t) return;
  LoopState::Mirror& m = loop.mirror[static_cast<size_t>(r.slot)];
  if (m.socket != r.socket || m.generation != r.generation || m.parked) return;
  loop.poller.Unwatch(m.socket, Tag(r.slot, m.generation));
  m.parked = true;
  m.parkedInterest = t.slots[r.slot].interest.load();
}

// Serves one ready socket: an end asked for, or an exception, alone;
// otherwise read, then write.
void QvSocketManager::Dispatch(SlotTable& t, const Ready& r) {
  SocketSlot& slot = t.slots[r.slot];
  auto stillWatched = [&slot, &r] {
    return slot.socketHandle.load() == r.socket && slot.generation.load() == r.generation;
  };
  // A slot freed or taken by another socket since the wait has no event.
  if (!stillWatched()) return;
  QvSocketBase* handler = slot.handler.load();
  if (handler == nullptr) return;
  dispatching_.store(handler);
  if (slot.handler.load() != handler || !stillWatched()) {
    dispatching_.store(nullptr);  // Forget() took it away meanwhile
    return;
  }

  if (r.bits & kEndAsked) {
    slot.interest.fetch_and(~std::uint32_t{EndRequest});
    Touch(t, r.slot);
    handler->OnError();
    dispatching_.store(nullptr);
    return;
  }
  if (r.bits & qvplat::kPollExcept) {
    qvdiag::Trace(qvtext::kTraceExceptEvent);
    handler->OnError();
    // A handler that keeps its socket after an exception (a connection
    // whose connect is still completing defers it) would have it reported
    // at every wait: the socket rests until its slot changes.
    if (stillWatched() && slot.handler.load() == handler) Park(t, r);
    dispatching_.store(nullptr);
    return;
  }
  if (r.bits & qvplat::kPollRead) {
    qvdiag::Trace(qvtext::kTraceReadEvent);
    SocketKind kind = handler->GetType();
    if (kind == so_listener) {
      qvdiag::Trace(qvtext::kTraceListenerKind);
      handler->OnAccept();  // a listener's read interest stays set
    } else if (kind == so_connection) {
      qvdiag::Trace(qvtext::kTraceConnectionKind);
      slot.interest.fetch_and(~ReadInterest);
      Touch(t, r.slot);
      handler->OnRead();
    }
  }
  // The read handler may have closed the socket, or the slot may have gone
  // to another object; only the same registration gets its write event.
  if ((r.bits & (qvplat::kPollWrite | kWriteUnasked)) && stillWatched() && slot.handler.load() == handler) {
    // What a write event is, whether the system told or the write found out
    // (then later, under the handler's locks: the slot is checked again).
    struct WriteEvent final : QvWriteWitness {
      SlotTable& table;
      const Ready& ready;
      WriteEvent(SlotTable& tbl, const Ready& rdy) : table(tbl), ready(rdy) {}
      void Writable() override {
        qvdiag::Trace(qvtext::kTraceWriteEvent, static_cast<int>(ready.socket));
        SocketSlot& s = table.slots[ready.slot];
        if (s.socketHandle.load() != ready.socket || s.generation.load() != ready.generation) return;
        s.interest.fetch_and(~WriteInterest);
        Touch(table, ready.slot);
      }
    } event(t, r);
    // A socket found full asks the system before its next write.
    bool full;
    if (r.bits & qvplat::kPollWrite) {
      event.Writable();
      handler->OnWrite();
      full = (slot.interest.load() & WriteInterest) != 0;  // re-armed: bytes left
    } else {
      // Full, or not tried: looked at again in the next pass, and the
      // system asked about it there.
      full = handler->OnWriteUnasked(event) != UnaskedWrite::kDrained;
    }
    loop_->askFirst[static_cast<size_t>(r.slot)] = static_cast<std::uint8_t>(full);
  }
  dispatching_.store(nullptr);
}

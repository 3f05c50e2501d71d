// qvsocketmanager.cpp - the worker and its pass.
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
#include "../platform/qvpoller.h"
#include "qvlingerset.h"
#include "qvpolltag.h"

namespace {

// Poll time-out while sockets are watched, and idle nap while none are.
constexpr int kPassTimeoutMs = 5;
constexpr int kIdleNapMs = 500;
// How long the worker sleeps before it tries again to open its poller.
constexpr int kPollerRetryMs = 200;
// How often the handlers hear OnTick.
constexpr std::uint64_t kTickMs = 1000;
// How long process exit waits for the worker to leave its loop.
constexpr std::uint32_t kExitJoinMs = 5000;

thread_local bool tlsOnWorker = false;

// A ready slot's bits beside the poller's: a write tried without asking
// the system first, and an end the handler asked for (EndRequest).
constexpr unsigned kTryWrite = 8;
constexpr unsigned kEndAsked = 16;
constexpr unsigned kTick = 32;  // the slot's handler hears OnTick
static_assert(((kTryWrite | kEndAsked | kTick) & (qvplat::kPollRead | qvplat::kPollWrite | qvplat::kPollExcept)) == 0,
              "bits of their own");


}  // namespace

// What the worker knows of each slot, and works with on every pass.
struct QvSocketManager::LoopState {
  // What the poller watches for a slot, and what the worker knows of it.
  struct Mirror {
    qvplat::Socket socket = qvplat::kNoSocket;
    std::uint32_t generation = 0;
    unsigned want = 0;
    // An exception was reported and the handler kept the socket: it is not
    // watched again until its slot changes (its interest, or its owner).
    bool parked = false;
    std::uint32_t parkedInterest = 0;
    std::uint64_t lookedAt = 0;  // the pass that last looked
    // The write step's alone, read and written without the lock (other
    // threads never touch it): the last write left bytes or would have
    // blocked, so the socket is watched for writing rather than written
    // to in the pass that queued, until a write drains it. A registration
    // starts out trusted.
    bool askFirst = false;

    // The registration is gone from the poller (lookedAt and askFirst stay).
    void Forget() {
      socket = qvplat::kNoSocket;
      generation = 0;
      want = 0;
      parked = false;
      parkedInterest = 0;
    }
  };
  // Guards the mirror. The worker holds it while it brings the poller up to
  // date and reads the wait's results; a thread freeing a slot holds it to
  // take the socket out of the poller before the socket's owner may close
  // it. So the worker never asks the system about a descriptor that was
  // closed, and whose number may be in use by a new socket already.
  qvplat::RecursiveLock lock{qvplat::kLockMirror};
  qvplat::Poller poller;
  QvLingerSet lingers{poller};
  QvSlotTable* table = nullptr;  // the table the mirror describes
  std::vector<Mirror> mirror;
  std::vector<int> tryNow;  // slots whose write is tried in this pass without asking
  std::vector<int> ends;    // slots whose handler asked to be ended
  std::vector<Ready> ready;
  std::vector<qvplat::Poller::Event> lingerEvents;
  // Slots parked by Rest, and when each is watched again.
  struct Resting {
    int slot;
    std::uint32_t generation;
    std::chrono::steady_clock::time_point until;
  };
  std::vector<Resting> resting;
  std::uint64_t pass = 0;
  std::uint64_t now = 0;       // the pass's time (PassMillis)
  std::uint64_t nextTick = 0;  // when the handlers hear OnTick again
  bool pollerFailed = false;   // the failure was logged
};

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

bool QvSocketManager::OnWorkerThread() { return tlsOnWorker; }

void QvSocketManager::CheckOnWorker(const char* where) {
  if (OnWorkerThread()) return;
  std::fprintf(stderr, "%s runs on the worker thread only\n", where);
  std::fflush(stderr);
  std::abort();
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
    qvplat::LockGuard loopGuard(loop_->lock);
    for (size_t i = 0; i < loop_->mirror.size(); ++i) Unwatch(static_cast<int>(i));
    loop_->table = nullptr;
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
  qvplat::LockGuard guard(loop_->lock);
  table.Free(index);
  if (loop_->table == &table) Unwatch(index);
}

// The mirror's lock is held.
void QvSocketManager::Unwatch(int index) {
  LoopState::Mirror& m = loop_->mirror[static_cast<size_t>(index)];
  if (m.socket == qvplat::kNoSocket) return;
  loop_->poller.Unwatch(m.socket, QvPollTag::ForSlot(index, m.generation));
  m.Forget();
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

// ------------------------------------------------------------ the pass

void QvSocketManager::Run() {
  tlsOnWorker = true;
  LoopState& loop = *loop_;
  while (running.load()) {
    if (!PollerOpen()) continue;
    QvSlotTable* table = table_.load();
    const bool now = ApplyChanges(table);  // writes to try, or ends asked for
    if (!now && NothingToWatch()) {
      loop.poller.Nap(kIdleNapMs);  // starts over as soon as something arrives
      continue;
    }
    const int events = loop.poller.Wait(now ? 0 : kPassTimeoutMs);
    if (events < 0) continue;
    loop.now = qvplat::CoarseMillis();
    CollectReady(table, events);
    for (const Ready& r : loop.ready) {
      Serve(*table, r);
      // A total passed while serving is brought back before the next slot
      // adds to it.
      EndLargestSendersIfAsked(table);
    }
    ServeLingers();
    EndLargestSendersIfAsked(table);
  }
  tlsOnWorker = false;
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

// Brings the poller up to date with the slots changed since the last pass
// (a write step that ran marked its slot changed). Takes on the sockets
// handed over to linger. True when something is to be served without
// waiting.
bool QvSocketManager::ApplyChanges(QvSlotTable* table) {
  LoopState& loop = *loop_;
  qvplat::LockGuard guard(loop.lock);
  ++loop.pass;
  loop.lingers.Adopt();
  WakeRested();
  loop.ends.clear();
  loop.tryNow.clear();
  if (loop.table != table) {
    TakeOn(table);
  } else if (table != nullptr) {
    table->TakeChanged([&](int i) { ApplySlot(*table, i); });
  }
  return !loop.tryNow.empty() || !loop.ends.empty();
}

// A table replaced by Init: the old one is dropped whole, the new one taken
// on slot by slot. The mirror's lock is held.
void QvSocketManager::TakeOn(QvSlotTable* table) {
  LoopState& loop = *loop_;
  for (size_t i = 0; i < loop.mirror.size(); ++i) Unwatch(static_cast<int>(i));
  loop.table = table;
  loop.resting.clear();
  loop.mirror.assign(table != nullptr ? static_cast<size_t>(table->Capacity()) : 0, LoopState::Mirror{});
  if (table == nullptr) return;
  table->DropMarks();
  for (int i = 0; i < table->Capacity(); ++i) ApplySlot(*table, i);
}

// A slot marked changed. The mirror's lock is held.
void QvSocketManager::ApplySlot(QvSlotTable& table, int i) {
  LoopState& loop = *loop_;
  LoopState::Mirror& m = loop.mirror[static_cast<size_t>(i)];
  if (m.lookedAt == loop.pass) return;
  const SocketSlot& slot = table.At(i);
  const qvplat::Socket socket = slot.socketHandle.load();
  const std::uint32_t generation = slot.generation.load();
  const std::uint32_t interest = slot.interest.load();
  // A change marked before the socket was parked is no change since.
  if (m.parked && socket == m.socket && generation == m.generation && interest == m.parkedInterest) return;
  m.lookedAt = loop.pass;
  // Freed, or taken by another registration since the last look.
  if (m.socket != qvplat::kNoSocket && (m.socket != socket || m.generation != generation)) Unwatch(i);
  if (socket == qvplat::kNoSocket) return;
  if (m.socket == qvplat::kNoSocket) m.askFirst = false;  // a new registration: nothing known of its socket
  if (interest & EndRequest) loop.ends.push_back(i);
  const bool tryNow = (interest & WriteInterest) && !m.askFirst;
  const unsigned want = ((interest & ReadInterest) ? unsigned{qvplat::kPollRead} : 0u) |
                        ((interest & WriteInterest) && !tryNow ? unsigned{qvplat::kPollWrite} : 0u);
  if (m.socket == qvplat::kNoSocket || m.parked || want != m.want) {
    loop.poller.Watch(socket, QvPollTag::ForSlot(i, generation), want);
    m.socket = socket;
    m.generation = generation;
    m.want = want;
    m.parked = false;
    m.parkedInterest = 0;
  }
  if (tryNow) loop.tryNow.push_back(i);
}

bool QvSocketManager::NothingToWatch() const {
  // A resting socket is waited for pass by pass, not napped past.
  return loop_->poller.Watched() == 0 && loop_->resting.empty();
}

// The slots ready in this pass, in slot order, each once: the poller's
// events, the writes to try and the ends asked for. The lingering sockets'
// events are set aside for ServeLingers.
void QvSocketManager::CollectReady(QvSlotTable* table, int events) {
  LoopState& loop = *loop_;
  loop.ready.clear();
  loop.lingerEvents.clear();
  qvplat::LockGuard guard(loop.lock);
  for (int k = 0; k < events; ++k) {
    const qvplat::Poller::Event& e = loop.poller.EventAt(k);
    if (QvPollTag::IsLinger(e.tag)) {
      loop.lingerEvents.push_back(e);
    } else {
      loop.ready.push_back(Ready{static_cast<int>(QvPollTag::Index(e.tag)), QvPollTag::Number(e.tag), e.ready});
    }
  }
  // Unless Init dropped the table the lists were made from meanwhile.
  auto listed = [&](const std::vector<int>& slots, unsigned bits) {
    if (loop.table != table) return;
    for (int slot : slots) loop.ready.push_back(Ready{slot, loop.mirror[static_cast<size_t>(slot)].generation, bits});
  };
  listed(loop.tryNow, kTryWrite);
  listed(loop.ends, kEndAsked);
  if (loop.now >= loop.nextTick) CollectTicks(table);
  SortReady();
}

// Every registered slot, for its handler's OnTick. The mirror's lock is
// held.
void QvSocketManager::CollectTicks(QvSlotTable* table) {
  LoopState& loop = *loop_;
  loop.nextTick = loop.now + kTickMs;
  if (loop.table != table) return;
  for (size_t i = 0; i < loop.mirror.size(); ++i) {
    const LoopState::Mirror& m = loop.mirror[i];
    if (m.socket != qvplat::kNoSocket) loop.ready.push_back(Ready{static_cast<int>(i), m.generation, kTick});
  }
}

void QvSocketManager::EndLargestSendersIfAsked(QvSlotTable* table) {
  if (table == nullptr || !largestSenderAsked_.load(std::memory_order_relaxed)) return;
  if (largestSenderAsked_.exchange(false)) EndLargestSenders(*table);
}

void QvSocketManager::AskToEndLargestSenders() {
  largestSenderAsked_.store(true);
  WakeFromApplication();
}

// The handler of a slot's registration, published in dispatching_ before
// the slot is checked again: ReleaseAndWait() may take it away between the
// two looks, and then waits for LeaveHandler instead of finding it called
// after it went.
template <typename Call>
void QvSocketManager::InHandler(QvSlotTable& table, int slot, std::uint32_t generation, Call call) {
  if (!table.StillRegistered(slot, generation)) return;  // freed or taken over since
  SocketSlot& s = table.At(slot);
  QvSocketBase* handler = s.handler.load();
  if (handler == nullptr) return;
  dispatching_.store(handler);
  if (s.handler.load() == handler && table.StillRegistered(slot, generation)) call(handler);
  LeaveHandler();
}

void QvSocketManager::EndLargestSenders(QvSlotTable& table) {
  struct Sender {
    std::uint64_t queued;
    int slot;
    std::uint32_t generation;
  };
  std::vector<Sender> senders;
  for (int i = 0; i < table.Capacity(); ++i) {
    const std::uint32_t g = table.At(i).generation.load();
    InHandler(table, i, g, [&](QvSocketBase* h) {
      if (const std::uint64_t queued = h->QueuedToSend()) senders.push_back(Sender{queued, i, g});
    });
  }
  std::stable_sort(senders.begin(), senders.end(), [](const Sender& a, const Sender& b) { return a.queued > b.queued; });
  bool more = true;
  for (size_t k = 0; more && k < senders.size(); ++k) {
    more = false;
    InHandler(table, senders[k].slot, senders[k].generation, [&](QvSocketBase* h) { more = h->OnSendTotalPassed(); });
  }
}

std::uint64_t QvSocketManager::PassMillis() const { return loop_->now; }

void QvSocketManager::SortReady() {
  std::vector<Ready>& ready = loop_->ready;
  if (ready.size() < 2) return;
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
}

// Serves one ready slot: an end asked for, or an exception, alone;
// otherwise the read, then the write. The table is read afresh at every
// step: an earlier handler of this pass may have changed any slot.
void QvSocketManager::Serve(QvSlotTable& table, const Ready& r) {
  InHandler(table, r.slot, r.generation, [&](QvSocketBase* handler) {
    SocketSlot& slot = table.At(r.slot);
    if (r.bits & kEndAsked) {
      table.Disarm(r.slot, EndRequest);
      handler->OnError();
    } else if (r.bits & qvplat::kPollExcept) {
      qvdiag::TraceText(qvtext::kTraceExceptEvent);
      handler->OnError();
      // A handler that keeps its socket after an exception (a connection
      // whose connect is still completing defers it) would have it
      // reported at every wait: the socket rests until its slot changes.
      if (slot.handler.load() == handler && table.StillRegistered(r.slot, r.generation)) Park(table, r);
    } else {
      ServeReadAndWrite(table, r, handler);
    }
    // After what the slot was ready for: a read may have completed what the
    // tick would otherwise find waiting.
    if ((r.bits & kTick) && slot.handler.load() == handler && table.StillRegistered(r.slot, r.generation)) {
      handler->OnTick();
    }
  });
}

void QvSocketManager::ServeReadAndWrite(QvSlotTable& table, const Ready& r, QvSocketBase* handler) {
  SocketSlot& slot = table.At(r.slot);
  Ready now = r;
  if (r.bits & qvplat::kPollRead) {
    ServeRead(table, r, handler);
    // A write the read queued (an answer, usually) is tried at once when
    // the socket is trusted, not at the next pass: that would first ask
    // the system again, for nothing but this write.
    if (!(r.bits & (qvplat::kPollWrite | kTryWrite)) && (slot.interest.load() & WriteInterest) &&
        !loop_->mirror[static_cast<size_t>(r.slot)].askFirst) {
      now.bits |= kTryWrite;
    }
  }
  // The read may have closed the socket, or the slot gone to another
  // object; only the same registration gets its write.
  if ((now.bits & (qvplat::kPollWrite | kTryWrite)) && slot.handler.load() == handler &&
      table.StillRegistered(r.slot, r.generation)) {
    ServeWrite(table, now, handler);
  }
}

void QvSocketManager::ServeRead(QvSlotTable& table, const Ready& r, QvSocketBase* handler) {
  // The event's trace and its kind's follow each other: written together.
  const SocketKind kind = handler->GetType();
  if (kind == so_listener) {
    qvdiag::TraceTexts(qvtext::kTraceReadEvent, qvtext::kTraceListenerKind);
    handler->OnAccept();  // a listener's read interest stays set
  } else if (kind != so_connection) {
    qvdiag::TraceText(qvtext::kTraceReadEvent);
  } else {
    qvdiag::TraceTexts(qvtext::kTraceReadEvent, qvtext::kTraceConnectionKind);
    table.Disarm(r.slot, ReadInterest);
    handler->OnRead();
  }
}

// The write step, the one place that decides about a slot's write, whether
// the system said the socket was writable (kPollWrite) or it is tried
// without asking (kTryWrite). Write interest is cleared before the send, so
// that a Send queuing from then on arms it again, and that arm stands.
// OnWrite sends and says what happened; from that alone the step prints
// the write event's trace (the system said writable, or the send showed
// it), arms write interest again while bytes are left or the socket is
// full, and ends the session when the send failed.
void QvSocketManager::ServeWrite(QvSlotTable& table, const Ready& r, QvSocketBase* handler) {
  SocketSlot& slot = table.At(r.slot);
  const qvplat::Socket socket = slot.socketHandle.load();
  table.Disarm(r.slot, WriteInterest);
  handler->OnWrite();
  const Flushed flushed = handler->TakeFlushed();
  if ((r.bits & qvplat::kPollWrite) || (flushed != Flushed::kNothing && flushed != Flushed::kWouldBlock)) {
    qvdiag::TraceNumber(qvtext::kTraceWriteEvent, static_cast<int>(socket));
  }
  const bool full = flushed == Flushed::kBytesLeft || flushed == Flushed::kWouldBlock;
  loop_->mirror[static_cast<size_t>(r.slot)].askFirst = full;
  if (full) {
    // Under the mirror's lock, which every free of a slot takes: the slot
    // cannot change hands between the look and the arm.
    qvplat::LockGuard guard(loop_->lock);
    if (table.StillRegistered(r.slot, r.generation)) table.Arm(socket, WriteInterest, handler);
  } else if (flushed == Flushed::kFailed && slot.handler.load() == handler &&
             table.StillRegistered(r.slot, r.generation)) {
    handler->OnError();
  }
}

// The worker, after an exception whose handler kept its socket: stops
// watching it until its slot changes.
void QvSocketManager::Park(QvSlotTable& table, const Ready& r) {
  LoopState& loop = *loop_;
  qvplat::LockGuard guard(loop.lock);
  if (loop.table != &table) return;
  LoopState::Mirror& m = loop.mirror[static_cast<size_t>(r.slot)];
  if (m.socket == qvplat::kNoSocket || m.generation != r.generation || m.parked) return;
  loop.poller.Unwatch(m.socket, QvPollTag::ForSlot(r.slot, m.generation));
  m.parked = true;
  m.parkedInterest = table.At(r.slot).interest.load();
}

void QvSocketManager::Rest(qvplat::Socket socket, int ms) {
  QV_CHECK_ON_WORKER();
  LoopState& loop = *loop_;
  qvplat::LockGuard guard(loop.lock);
  QvSlotTable* table = loop.table;
  const int i = table != nullptr ? table->Find(socket) : -1;
  if (i < 0) return;
  const std::uint32_t generation = table->At(i).generation.load();
  Park(*table, Ready{i, generation, 0});
  if (!loop.mirror[static_cast<size_t>(i)].parked) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  loop.resting.push_back(LoopState::Resting{i, generation, until});
}

// Resting slots whose time is up are watched again; those whose slot
// changed meanwhile were watched again by ApplySlot. The mirror's lock is
// held.
void QvSocketManager::WakeRested() {
  LoopState& loop = *loop_;
  if (loop.resting.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  auto over = [&](const LoopState::Resting& r) {
    LoopState::Mirror& m = loop.mirror[static_cast<size_t>(r.slot)];
    const bool stillResting = m.parked && m.generation == r.generation;
    if (stillResting && now < r.until) return false;
    if (stillResting) {
      loop.poller.Watch(m.socket, QvPollTag::ForSlot(r.slot, m.generation), m.want);
      m.parked = false;
    }
    return true;
  };
  loop.resting.erase(std::remove_if(loop.resting.begin(), loop.resting.end(), over), loop.resting.end());
}

void QvSocketManager::ServeLingers() {
  LoopState& loop = *loop_;
  for (const qvplat::Poller::Event& e : loop.lingerEvents) loop.lingers.OnEvent(e.tag, e.ready);
  if (!loop.lingers.Idle()) loop.lingers.Expire(QvLingerSet::Clock::now());
}

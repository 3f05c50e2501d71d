// qvpass.cpp - the worker's pass: bring the poller up to date, wait,
// collect the ready slots, serve each, serve the lingering sockets.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../diag/log.h"
#include "../diag/qvneterror.h"
#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"
#include "qvpassstate.h"
#include "qvpolltag.h"
#include "qvsocketmanager.h"

namespace {

// Poll time-out while sockets are watched, and idle nap while none are.
constexpr int kPassTimeoutMs = 5;
constexpr int kIdleNapMs = 500;
// How long the worker sleeps before it tries again to open its poller.
constexpr int kPollerRetryMs = 200;
// How often the handlers hear OnTick.
constexpr std::uint64_t kTickMs = 1000;

thread_local bool tlsOnWorker = false;

// A ready slot's bits beside the poller's: a write tried without asking
// the system first, and an end the handler asked for (EndRequest).
constexpr unsigned kTryWrite = 8;
constexpr unsigned kEndAsked = 16;
constexpr unsigned kTick = 32;         // the slot's handler hears OnTick
constexpr unsigned kReadUnasked = 64;  // a peer just accepted, read without asking
static_assert(((kTryWrite | kEndAsked | kTick | kReadUnasked) &
               (qvplat::kPollRead | qvplat::kPollWrite | qvplat::kPollExcept)) == 0,
              "bits of their own");

}  // namespace

bool QvSocketManager::OnWorkerThread() { return tlsOnWorker; }

void QvSocketManager::CheckOnWorker(const char* where) {
  if (OnWorkerThread()) return;
  std::fprintf(stderr, "%s runs on the worker thread only\n", where);
  std::fflush(stderr);
  std::abort();
}

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
  qvplat::LockGuard guard(loop.mirror.Lock());
  loop.lingers.Adopt();
  loop.mirror.Apply(table);
  return !loop.mirror.TryNow().empty() || !loop.mirror.Ends().empty();
}

bool QvSocketManager::NothingToWatch() const {
  // A resting socket is waited for pass by pass, not napped past.
  return loop_->poller.Watched() == 0 && !loop_->mirror.Resting();
}

// The slots ready in this pass, in slot order, each once: the poller's
// events, the writes to try and the ends asked for. The lingering sockets'
// events are set aside for ServeLingers.
void QvSocketManager::CollectReady(QvSlotTable* table, int events) {
  LoopState& loop = *loop_;
  loop.ready.clear();
  loop.lingerEvents.clear();
  qvplat::LockGuard guard(loop.mirror.Lock());
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
    if (!loop.mirror.Describes(table)) return;
    for (int slot : slots) loop.ready.push_back(Ready{slot, loop.mirror.Generation(slot), bits});
  };
  listed(loop.mirror.TryNow(), kTryWrite);
  listed(loop.mirror.Ends(), kEndAsked);
  if (loop.now >= loop.nextTick) CollectTicks(table);
  SortReady();
}

// Every registered slot, for its handler's OnTick. The mirror's lock is
// held.
void QvSocketManager::CollectTicks(QvSlotTable* table) {
  LoopState& loop = *loop_;
  loop.nextTick = loop.now + kTickMs;
  if (!loop.mirror.Describes(table)) return;
  for (int i = 0; i < loop.mirror.Size(); ++i) {
    if (loop.mirror.Watched(i)) loop.ready.push_back(Ready{i, loop.mirror.Generation(i), kTick});
  }
}

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

void QvSocketManager::EndLargestSendersIfAsked(QvSlotTable* table) {
  if (table == nullptr || !largestSenderAsked_.load(std::memory_order_relaxed)) return;
  if (largestSenderAsked_.exchange(false)) EndLargestSenders(*table);
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
      if (slot.handler.load() == handler && table.StillRegistered(r.slot, r.generation)) loop_->mirror.Park(table, r.slot, r.generation);
    } else {
      ServeReadAndWrite(table, r, handler);
    }
    // After what the slot was ready for: a read may have completed what the
    // tick would otherwise find waiting.
    if ((r.bits & kTick) && slot.handler.load() == handler && table.StillRegistered(r.slot, r.generation)) {
      handler->OnTick();
    }
  });
  ReadAccepted(table);
}

// A peer accepted in this pass has, as a rule, sent its first bytes before
// the accept (a client speaks first): it is read right after its listener,
// before the pass goes on, without asking the system, and answered in the
// same pass; the system is asked about it from the next pass on. A read
// that finds nothing prints no trace and arms read interest, as any read
// that would block does.
void QvSocketManager::ReadAccepted(QvSlotTable& table) {
  const qvplat::Socket s = loop_->accepted;
  if (s == qvplat::kNoSocket) return;
  loop_->accepted = qvplat::kNoSocket;
  const int slot = table.Find(s);
  if (slot < 0 || !(table.At(slot).interest.load() & ReadInterest)) return;  // closed, or not to be read
  loop_->mirror.SetAskFirst(slot, false);  // a new socket: nothing known against writing
  Serve(table, Ready{slot, table.At(slot).generation.load(), kReadUnasked});
}

void QvSocketManager::ServeReadAndWrite(QvSlotTable& table, const Ready& r, QvSocketBase* handler) {
  SocketSlot& slot = table.At(r.slot);
  Ready now = r;
  if (r.bits & (qvplat::kPollRead | kReadUnasked)) {
    ServeRead(table, r, handler);
    // A write the read queued (an answer, usually) is tried at once when
    // the socket is trusted, not at the next pass: that would first ask
    // the system again, for nothing but this write.
    if (!(r.bits & (qvplat::kPollWrite | kTryWrite)) && (slot.interest.load() & WriteInterest) &&
        !loop_->mirror.AskFirst(r.slot)) {
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
  const bool unasked = (r.bits & kReadUnasked) != 0;
  if (kind == so_connection) {
    // Read unasked, the event is traced once the read finds something.
    if (unasked) {
      qvdiag::HoldTraceTexts(qvtext::kTraceReadEvent, qvtext::kTraceConnectionKind);
    } else {
      qvdiag::TraceTexts(qvtext::kTraceReadEvent, qvtext::kTraceConnectionKind);
    }
    table.Disarm(r.slot, ReadInterest);
    handler->OnRead();
    if (unasked) qvdiag::DropHeldTrace();
  } else if (unasked) {
    return;  // only a connection is read unasked
  } else if (kind == so_listener) {
    qvdiag::TraceTexts(qvtext::kTraceReadEvent, qvtext::kTraceListenerKind);
    handler->OnAccept();  // a listener's read interest stays set
    loop_->accepted = handler->TakeAccepted();
  } else {
    qvdiag::TraceText(qvtext::kTraceReadEvent);
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
  loop_->mirror.SetAskFirst(r.slot, full);
  if (full) {
    // Under the mirror's lock, which every free of a slot takes: the slot
    // cannot change hands between the look and the arm.
    qvplat::LockGuard guard(loop_->mirror.Lock());
    if (table.StillRegistered(r.slot, r.generation)) table.Arm(socket, WriteInterest, handler);
  } else if (flushed == Flushed::kFailed && slot.handler.load() == handler &&
             table.StillRegistered(r.slot, r.generation)) {
    handler->OnError();
  }
}

void QvSocketManager::ServeLingers() {
  LoopState& loop = *loop_;
  for (const qvplat::Poller::Event& e : loop.lingerEvents) loop.lingers.OnEvent(e.tag, e.ready);
  if (!loop.lingers.Idle()) loop.lingers.Expire(QvLingerSet::Clock::now());
}

// qvsocketmanager.h - the worker and the slot table it drives (internal).
//
// One QvSocketManager per process, reached through Instance(). It owns the
// slot table (qvslottable.h), the worker thread and its poller. A pass of
// the worker:
//   1. apply the slots changed since the last pass to the poller, and take
//      on the sockets handed over to linger;
//   2. wait for readiness (5 ms at most; not at all when a write is to be
//      tried without asking, or an end was asked for);
//   3. collect the ready slots, in slot order;
//   4. serve each: an end asked for, or an exception, alone; otherwise the
//      read, then the write (with a write the read queued, tried at once);
//      a peer a listener accepted is read and written right after it;
//   5. serve the lingering sockets;
//   6. whenever the bytes waiting over all connections passed their total
//      limit (checked after each slot of step 4 and after step 5), end the
//      connections holding the most until it is not.
// About once a second, step 3 also collects every registered slot, whose
// handler then hears OnTick after anything else it was ready for.
// Threads: Register, Unregister, Arm, ReleaseAndWait, WaitUntilLeft and
// Linger from any thread; Run on the worker.
//
// Files: the worker's life and the table's operations are in
// qvsocketmanager.cpp, the pass in qvpass.cpp, what the poller watches per
// slot in qvpollmirror.h, and the state the two share in qvpassstate.h.
#ifndef QV_DISPATCH_QVSOCKETMANAGER_H
#define QV_DISPATCH_QVSOCKETMANAGER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../platform/qvsockets.h"
#include "../platform/qvthreads.h"
#include "qvslottable.h"
#include "qvsocketbase.h"
#include "qvthread.h"
#include "qvunsentbytes.h"

class QvSocketManager : public QvThread {
 public:
  static constexpr int kDefaultCapacity = 4000;

  // The process-wide manager, made on first use and never destroyed: the
  // application may destroy its listeners and connections at any point of
  // process exit, and they still unregister. What exit does is stop the
  // worker, early in the exit (an exit handler registered on first use).
  static QvSocketManager& Instance();

  // The dispatch loop; runs on the worker thread until Stop.
  void Run() override;

  // Gives the table `capacity` free slots unless it has slots already: a
  // later module keeps what an earlier one registered. False when no table
  // could be allocated.
  bool InitOnce(int capacity);
  // Gives the table `capacity` free slots, forgetting every registration.
  // The worker never sees a table that is not cleared yet or already freed.
  // False when no table could be allocated (the table then has 0 slots).
  // For tests that need an empty table; the library itself uses InitOnce.
  bool Init(int capacity);

  // The slot table's operations (qvslottable.h), each waking the worker.
  int Register(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler);
  // 1 when a slot held the socket (now free), 0 otherwise. Once it returns,
  // the worker asks the system about the socket no more: its owner may
  // close it.
  int Unregister(qvplat::Socket socket);
  int Arm(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler);
  // Worker thread: the poller leaves the socket alone for `ms` milliseconds,
  // or until its slot changes, whichever comes first. For a socket that
  // would be ready on every pass with nothing to be done about it yet.
  void Rest(qvplat::Socket socket, int ms);

  // Frees every slot whose handler is `handler` and waits as WaitUntilLeft
  // does. For an object that is about to be destroyed.
  void ReleaseAndWait(QvSocketBase* handler);
  // Unless called on the worker thread, waits (blocked, not spinning) until
  // the worker is not inside an operation of `handler`. Call it once the handler's slots are
  // freed: the worker then enters it no more for them, and this waits at
  // most for the operation under way.
  void WaitUntilLeft(QvSocketBase* handler);

  // Hands the socket of a closed connection to the worker, which sends
  // `parts` and gives their storage back, then closes it gracefully (see
  // qvlingerset.h). Any thread; the socket must have no slot any more.
  // False when lingering is off: the caller closes the socket itself.
  bool Linger(qvplat::Socket s, std::vector<QvUnsentBytes> parts, bool peerEnded);
  // Sockets lingering or handed over to linger.
  int Lingering();
  // From now on the lingering sockets that have handed all their bytes to
  // the system are closed without waiting for the peer's end of stream
  // (qvlingerset.h). For process exit; any thread.
  void ReleaseSentLingers();

  // Any thread: the bytes waiting to be sent over all connections passed
  // their total limit. Once the slot it is serving is served (or, asked
  // from another thread, within its next pass), the worker asks every
  // registered handler for its QueuedToSend, then calls OnSendTotalPassed
  // on them from the one holding the most down (the lower slot first among
  // equals), until one says the total is back under the limit.
  void AskToEndLargestSenders();

  // The time of the worker's current pass (qvplat::CoarseMillis, read once
  // a pass). Worker thread.
  std::uint64_t PassMillis() const;
  // True on the worker thread while it calls into `handler` for one of its
  // slots (a callback of it included).
  bool Serving(const QvSocketBase* handler) const { return OnWorkerThread() && dispatching_.load() == handler; }
  // True on the worker thread.
  static bool OnWorkerThread();
  // Debug builds: aborts, naming `where`, unless called on the worker.
  static void CheckOnWorker(const char* where);

  // A copy of one slot, and the table's size; for diagnostics and tests.
  struct SlotView {
    std::uint32_t interest;
    qvplat::Socket socketHandle;
    QvSocketBase* handler;
  };
  int Capacity() const;
  SlotView Slot(int index) const;

 protected:
  void Interrupt() override;

 private:
  struct LoopState;
  // One ready slot of the current pass.
  struct Ready {
    int slot;
    std::uint32_t generation;  // of the registration it is ready for
    unsigned bits;
  };

  QvSocketManager();
  ~QvSocketManager() override;
  QvSocketManager(const QvSocketManager&) = delete;
  QvSocketManager& operator=(const QvSocketManager&) = delete;

  static void StopAtExit();
  void WakeFromApplication();
  void FreeSlot(QvSlotTable& table, int index);

  // The pass, in its order.
  bool PollerOpen();
  bool ApplyChanges(QvSlotTable* table);
  bool NothingToWatch() const;
  void CollectReady(QvSlotTable* table, int events);
  void SortReady();
  void CollectTicks(QvSlotTable* table);
  void Serve(QvSlotTable& table, const Ready& ready);
  void ServeReadAndWrite(QvSlotTable& table, const Ready& ready, QvSocketBase* handler);
  void ServeRead(QvSlotTable& table, const Ready& ready, QvSocketBase* handler);
  void ServeWrite(QvSlotTable& table, const Ready& ready, QvSocketBase* handler);
  void ReadAccepted(QvSlotTable& table);
  void ServeLingers();
  void EndLargestSendersIfAsked(QvSlotTable* table);
  // The worker is out of the handler it published: wakes WaitUntilLeft.
  void LeaveHandler();
  void EndLargestSenders(QvSlotTable& table);
  // Calls call(handler) with the handler of the slot's registration of
  // `generation`, unless it is gone; ReleaseAndWait waits for it.
  template <typename Call>
  void InHandler(QvSlotTable& table, int slot, std::uint32_t generation, Call call);

  std::atomic<QvSlotTable*> table_;
  // Tables replaced by Init; an application thread or the worker may still
  // be reading one, so they are never freed (only tests replace tables).
  std::vector<QvSlotTable*> retired_;
  qvplat::RecursiveLock initLock_{qvplat::kLockTable};
  LoopState* loop_;  // what the worker works with on every pass
  // The handler the worker is calling into right now, or null.
  std::atomic<QvSocketBase*> dispatching_;
  // Threads in WaitUntilLeft, and where they wait for the worker to leave
  // a handler (a monitor without a lock level: nothing is taken under it).
  std::atomic<int> leaveWaiters_{0};
  qvplat::Monitor leaving_;
  // AskToEndLargestSenders was called since the worker last looked.
  std::atomic<bool> largestSenderAsked_;
};

// Marks code that only the worker may run; debug builds abort elsewhere.
#if defined(NDEBUG)
#define QV_CHECK_ON_WORKER() ((void)0)
#else
#define QV_CHECK_ON_WORKER() QvSocketManager::CheckOnWorker(__func__)
#endif

#endif  // QV_DISPATCH_QVSOCKETMANAGER_H

// qvsocketmanager.h - the slot table and the worker that drives it (internal).
//
// One QvSocketManager per process, reached through Instance(). Its slot
// table records which sockets the worker watches, for which readiness, and
// which object handles their events. The table is a flat array; a socket
// takes the first free slot, and slot order is the order in which the
// worker serves the sockets that are ready in a pass. No free list, no lock:
// every slot field is an atomic word, so application threads may register,
// unregister and arm while the worker reads the slots and clears interest
// bits; an interest bit set by one thread is never lost to another thread's
// clearing of the other bit.
//
//   slot:  [ interest | socketHandle | handler | generation ]
//          free <=> socketHandle == kNoSocket (then interest 0, handler null)
//
// Beside the slots, the table keeps a bitmap of the slots changed since the
// worker last looked at them, so a pass costs nothing per unchanged socket:
// the worker hands only changed slots to its poller, which keeps watching
// the others. A hint per socket number finds a socket's slot without a scan.
#ifndef QV_DISPATCH_QVSOCKETMANAGER_H
#define QV_DISPATCH_QVSOCKETMANAGER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../platform/qvplatform.h"
#include "qvsocketbase.h"
#include "qvthread.h"

enum : std::uint32_t {
  ReadInterest = 1,
  WriteInterest = 2,
  // Not a readiness: the handler asks to be ended on the worker (a
  // connection whose unsent bytes passed their limit on another thread).
  // At its next pass the worker clears it and calls the handler's OnError,
  // without a trace and without asking the system about the socket.
  EndRequest = 4,
};

struct SocketSlot {
  std::atomic<std::uint32_t> interest;
  std::atomic<qvplat::Socket> socketHandle;
  std::atomic<QvSocketBase*> handler;
  // Bumped by every Register, so the worker can tell that a slot changed
  // hands (perhaps to a new socket with the same number) during a pass.
  std::atomic<std::uint32_t> generation;
};

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

  // Gives the table `capacity` free slots, forgetting every registration.
  // The worker never sees a table that is not cleared yet or already freed.
  // False when no table could be allocated (the table then has 0 slots).
  // For tests that need an empty table; the library itself uses InitOnce.
  bool Init(int capacity);
  // Gives the table `capacity` free slots unless it has slots already: a
  // later module keeps what an earlier one registered. False when no table
  // could be allocated.
  bool InitOnce(int capacity);
  // 1 when the socket is in the table (newly stored, or already present,
  // which prints a trace and changes nothing); -1 when the table is full.
  int Register(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler);
  // 1 when a slot held the socket (now free), 0 otherwise.
  int Unregister(qvplat::Socket socket);
  // ORs interest into the socket's slot and replaces its handler: 1 when a
  // slot held the socket, 0 otherwise.
  int Arm(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler);

  // Frees every slot whose handler is `handler` and, unless called on the
  // worker thread, waits until the worker has left any operation it was
  // running on it. For an object that is about to be destroyed.
  void Forget(QvSocketBase* handler);
  // Unless called on the worker thread, waits until the worker is not
  // inside an operation of `handler`. Call it once the handler's slots are
  // freed: the worker then enters it no more for them, and this waits at
  // most for the operation under way.
  void WaitUntilLeft(QvSocketBase* handler);

  // Hands the socket of a closed connection to the worker, which sends
  // `parts` (the first from offset `skip`), then closes it gracefully (see
  // qvlingerset.h). Any thread; the socket must have no slot any more.
  // False when lingering is off: the caller closes the socket itself.
  bool Linger(qvplat::Socket s, std::vector<std::string> parts, std::size_t skip, bool peerEnded);
  // Sockets lingering or handed over to linger.
  int Lingering();

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
  struct SlotTable;
  // One ready socket of the current pass.
  struct Ready {
    int slot;
    qvplat::Socket socket;
    std::uint32_t generation;
    unsigned bits;
  };

  QvSocketManager();
  ~QvSocketManager() override;
  QvSocketManager(const QvSocketManager&) = delete;
  QvSocketManager& operator=(const QvSocketManager&) = delete;

  static void StopAtExit();
  bool PollerOpen();
  void Park(SlotTable& table, const Ready& ready);

  static SlotTable* NewTable(int capacity);
  static void DeleteTable(SlotTable* table);
  void ClearSlot(SlotTable& table, int index);
  void Unwatch(int index);
  static void Touch(SlotTable& table, int index);
  static int Find(SlotTable& table, qvplat::Socket socket);
  void WakeFromApplication();
  void Sync(SlotTable* table);
  void SyncSlot(SlotTable& table, int index, bool changed);
  void Dispatch(SlotTable& table, const Ready& ready);

  std::atomic<SlotTable*> table_;
  // Tables replaced by Init; an application thread or the worker may still
  // be reading one, so they are never freed (only tests replace tables).
  std::vector<SlotTable*> retired_;
  qvplat::RecursiveLock initLock_{qvplat::kLockTable};
  // What the loop works with on every pass.
  struct LoopState;
  LoopState* loop_;
  // The handler the worker is calling into right now, or null.
  std::atomic<QvSocketBase*> dispatching_;
};

// Marks code that only the worker may run; debug builds abort elsewhere.
#if defined(NDEBUG)
#define QV_CHECK_ON_WORKER() ((void)0)
#else
#define QV_CHECK_ON_WORKER() QvSocketManager::CheckOnWorker(__func__)
#endif

#endif  // QV_DISPATCH_QVSOCKETMANAGER_H

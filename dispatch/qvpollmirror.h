// qvpollmirror.h - what the worker's poller watches for each slot, kept in
// step with the slot table (internal).
//
// One entry per slot of the table it describes. At the start of every pass
// the worker applies the slots changed since the last one (Apply): a slot
// freed or taken by another registration leaves the poller, a new one is
// watched, a change of interest changes what is watched. A slot with write
// interest is not watched for writing while its socket is trusted: its
// write is tried in the pass without asking the system (TryNow). A slot
// whose handler asked to be ended is listed too (Ends).
//
// The lock guards the entries. The worker holds it while it brings the
// poller up to date and reads the wait's results; a thread freeing a slot
// holds it to take the socket out of the poller before the socket's owner
// may close it. So the worker never asks the system about a descriptor
// that was closed, and whose number may be in use by a new socket already.
// Only the worker sizes the entries (on taking a table on), so a pass under
// way finds every slot of its table there, whatever Init does meanwhile.
#ifndef QV_DISPATCH_QVPOLLMIRROR_H
#define QV_DISPATCH_QVPOLLMIRROR_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "../platform/qvpoller.h"
#include "../platform/qvsockets.h"
#include "../platform/qvthreads.h"
#include "qvslottable.h"

class QvPollMirror {
 public:
  explicit QvPollMirror(qvplat::Poller& poller) : poller_(poller) {}
  QvPollMirror(const QvPollMirror&) = delete;
  QvPollMirror& operator=(const QvPollMirror&) = delete;

  qvplat::RecursiveLock& Lock() { return lock_; }

  // Worker, lock held: brings the poller up to date with `table` (taking it
  // on whole when it is not the table described), and lists the slots
  // whose write is tried in this pass and those whose end was asked for.
  void Apply(QvSlotTable* table);
  const std::vector<int>& TryNow() const { return tryNow_; }
  const std::vector<int>& Ends() const { return ends_; }

  // Lock held: the slot's registration leaves the poller. Any thread.
  void Unwatch(int index);
  // Lock held: every registration leaves the poller and no table is
  // described (a table replaced by Init). Any thread.
  void Forget();

  // Lock held: whether the entries describe `table`; the registration a
  // slot is watched for, and whether it is watched at all.
  bool Describes(const QvSlotTable* table) const { return table_ == table; }
  int Size() const { return static_cast<int>(entries_.size()); }
  bool Watched(int slot) const { return Entry(slot).socket != qvplat::kNoSocket; }
  std::uint32_t Generation(int slot) const { return Entry(slot).generation; }

  // The write step's (worker, without the lock): whether the slot's socket
  // is watched for writing rather than written to in the pass that
  // queued. Set while the last write left bytes or would have blocked.
  bool AskFirst(int slot) const { return Entry(slot).askFirst; }
  void SetAskFirst(int slot, bool ask) { Entry(slot).askFirst = ask; }

  // Worker: after an exception whose handler kept its socket, stops
  // watching it until its slot changes. Takes the lock.
  void Park(QvSlotTable& table, int slot, std::uint32_t generation);
  // Worker: parks the socket's slot for `ms` milliseconds at most (Park
  // until then, or until the slot changes). Takes the lock.
  void Rest(qvplat::Socket socket, int ms);
  // Worker: whether a slot rests (it is waited for pass by pass).
  bool Resting() const { return !resting_.empty(); }

 private:
  struct SlotEntry {
    qvplat::Socket socket = qvplat::kNoSocket;
    std::uint32_t generation = 0;
    unsigned want = 0;
    // An exception was reported and the handler kept the socket: it is not
    // watched again until its slot changes (its interest, or its owner).
    bool parked = false;
    std::uint32_t parkedInterest = 0;
    std::uint64_t lookedAt = 0;  // the pass that last looked
    // The write step's alone (other threads never touch it). A
    // registration starts out trusted.
    bool askFirst = false;

    // The registration is gone from the poller (lookedAt and askFirst stay).
    void Drop() {
      socket = qvplat::kNoSocket;
      generation = 0;
      want = 0;
      parked = false;
      parkedInterest = 0;
    }
  };
  struct RestingSlot {
    int slot;
    std::uint32_t generation;
    std::chrono::steady_clock::time_point until;
  };

  SlotEntry& Entry(int slot) { return entries_[static_cast<std::size_t>(slot)]; }
  const SlotEntry& Entry(int slot) const { return entries_[static_cast<std::size_t>(slot)]; }
  void TakeOn(QvSlotTable* table);
  void ApplySlot(QvSlotTable& table, int i);
  void WakeRested();

  qvplat::RecursiveLock lock_{qvplat::kLockMirror};
  qvplat::Poller& poller_;
  QvSlotTable* table_ = nullptr;  // the table the entries describe
  std::vector<SlotEntry> entries_;
  std::vector<int> tryNow_;  // slots whose write is tried in this pass without asking
  std::vector<int> ends_;    // slots whose handler asked to be ended
  std::vector<RestingSlot> resting_;  // slots parked by Rest, and when each is watched again
  std::uint64_t pass_ = 0;
};

#endif  // QV_DISPATCH_QVPOLLMIRROR_H

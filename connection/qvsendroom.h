// qvsendroom.h - threads waiting in SendWithin for a connection's send
// queue to fall to its high-water mark (internal).
//
// A waiter takes a ticket, then looks at the queue under the send lock; if
// the queue is still above the mark it waits for a wake-up newer than its
// ticket. The worker's drain wakes the waiters once the queue is at or
// below the mark, and the end of a session wakes them too, so that they
// look again (and find the connection closed). A wake-up between the
// ticket and the wait is never lost: the ticket is older than it.
//
// Any thread. The monitor is a leaf: nothing is taken under it, and it is
// taken under the send lock (by the drain).
#ifndef QV_CONNECTION_QVSENDROOM_H
#define QV_CONNECTION_QVSENDROOM_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../platform/qvthreads.h"

class QvSendRoom {
 public:
  // Enters as a waiter; false (not entered) once Shut was called.
  bool Enter();
  void Leave();
  // The wake-ups so far, before the waiter looks at the queue.
  std::uint64_t Ticket();
  // Waits for a wake-up newer than `ticket`, until the clock of
  // qvplat::CoarseMillis reaches `deadline`. False when none came in time,
  // or Shut was called.
  bool WaitPast(std::uint64_t ticket, std::uint64_t deadline);

  // The worker's drain left `queued` bytes: wakes the waiters when that is
  // at or below the high-water mark. Costs an atomic read when nobody waits.
  void Drained(std::size_t queued);
  // Wakes every waiter to look again.
  void WakeAll();
  // For the destructor: no waiter enters any more, and this returns once
  // every one has left.
  void Shut();

  // The threads inside, for tests.
  int Waiters() const { return waiters_.load(); }

 private:
  qvplat::Monitor monitor_;
  std::atomic<int> waiters_{0};
  std::uint64_t wakes_ = 0;  // monitor
  bool shut_ = false;        // monitor
};

#endif  // QV_CONNECTION_QVSENDROOM_H

// qvlockorder.h - the order in which the library's locks are taken
// (internal).
//
// Every lock of the library has a level. A thread that holds locks takes a
// new one only when its level is higher than that of every lock it holds,
// or when it takes a lock it already holds again (all locks are
// re-entrant). Two threads can then never wait for each other. Debug builds
// check this on every Enter and abort the process when the order is broken,
// naming both levels; release builds check nothing.
//
//   level          lock                         held across a callback?
//   kLockReceive   a connection's receive lock  yes: OnPacket, and nothing else
//   kLockSend      a connection's send lock     no (the codec's Encode runs under it)
//   kLockListener  a listener's socket lock     no (only around accept() and
//                                               closing or replacing its socket)
//   kLockTable     the slot table's             no
//                  re-initialisation lock
//   kLockMirror    the worker's record of what  no
//                  its poller watches
//   kLockPoller    the poller's watched sockets no
//   kLockHandover  sockets handed to the worker no
//                  to linger, and other hand-overs
//   kLockPool      the spare blocks of the      no; a leaf
//                  connections' queues
//   kLockLog       the log file                 no; a leaf: nothing is taken under it
//   (no level)     a connection's monitors:     no; leaves, taken under any of the
//                  the threads inside it, and   above and never the other way, and
//                  SendWithin's waiters; the    never held while a thread waits
//                  worker's, for the threads    on anything else
//                  waiting for it to leave a
//                  handler
//
// A listener's lock ranks above a connection's: OnPacket (under the
// receive lock) may close, re-listen or delete a listener. Under its own
// lock a listener takes only higher ones (the mirror's and the poller's,
// when its slot changes, and the log's); it makes the connection of an
// accepted peer after letting go of it.
//
// Receive locks of different connections may nest: a callback of one
// connection (run under its receive lock) may close or delete another,
// which takes that one's receive lock. Callbacks run on the worker only, so
// such nesting happens on one thread and cannot deadlock; the level is
// marked nestable for that.
//
// For the application: Close and deleting a connection take its receive
// lock, so they wait while OnPacket runs. Do not hold a mutex of your own
// while you call Close (or delete a connection) if OnPacket takes that same
// mutex: each would wait for the other.
#ifndef QV_PLATFORM_QVLOCKORDER_H
#define QV_PLATFORM_QVLOCKORDER_H

namespace qvplat {

enum LockLevel : int {
  kLockUnordered = 0,  // not checked: locks outside the library's order
  kLockReceive = 20,
  kLockSend = 30,
  kLockListener = 35,
  kLockTable = 40,
  kLockMirror = 50,
  kLockPoller = 55,
  kLockHandover = 60,
  kLockPool = 65,
  kLockLog = 70,
};

// True for the levels whose locks may nest within their own level.
constexpr bool NestableLevel(int level) { return level == kLockReceive; }

}  // namespace qvplat

#endif  // QV_PLATFORM_QVLOCKORDER_H

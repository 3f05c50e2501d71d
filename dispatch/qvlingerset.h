// qvlingerset.h - sockets of closed connections, kept by the worker until
// their last bytes are out (internal).
//
// When a connection closes, its object is free at once (it may connect
// again or be deleted), but its socket may still owe the peer bytes that
// were queued before the close. The connection hands the socket and those
// bytes over here, with the storage they lie in (qvunsentbytes.h); the
// worker then
//   1. sends what is left, as the socket takes it, giving each block of
//      storage back once its bytes are sent;
//   2. once nothing is left, shuts the sending side down, so the peer reads
//      the end of the stream after the last byte;
//   3. reads and discards what the peer still sends, until the peer ends
//      its stream too, and only then closes the socket: closing with unread
//      input would send a reset, which may destroy the tail in flight.
// A reset or error ends this at once. So does a linger that makes no
// progress (no byte sent, no end of stream seen) for the linger time: the
// socket is closed, and when bytes were still unsent one line says how many
// were dropped. Lingering sockets are not in the slot table and print no
// traces; the application never hears of them.
//
// At process exit only the bytes still owed matter: once ReleaseSent is
// called, a socket that has handed every byte to the system is closed
// without waiting for the peer's end of stream (the system delivers what
// it holds), after what the peer sent meanwhile has been read and
// discarded, so that the close sends no reset.
//
// Threads: HandOver, ReleaseSent and Count from any thread; everything else
// on the worker.
#ifndef QV_DISPATCH_QVLINGERSET_H
#define QV_DISPATCH_QVLINGERSET_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "../platform/qvpoller.h"
#include "../platform/qvthreads.h"
#include "qvunsentbytes.h"

class QvLingerSet {
 public:
  using Clock = std::chrono::steady_clock;

  // `poller` is the worker's; the set watches its sockets there under tags
  // of its own (QvPollTag::ForLinger).
  explicit QvLingerSet(qvplat::Poller& poller);
  ~QvLingerSet();
  QvLingerSet(const QvLingerSet&) = delete;
  QvLingerSet& operator=(const QvLingerSet&) = delete;

  // Any thread: the worker takes over socket s, which has no slot in the
  // table any more, with the bytes still to send (`parts`, in order) and
  // whether the peer has ended its stream. True when the worker will see
  // to it; false when lingering is off (linger time 0), and the caller
  // closes the socket itself (the parts' storage has gone back then).
  bool HandOver(qvplat::Socket s, std::vector<QvUnsentBytes> parts, bool peerEnded);

  // Worker: starts watching the sockets handed over since the last call.
  void Adopt();
  // Worker: serves one event of the poller whose tag is a linger tag.
  void OnEvent(std::uint64_t tag, unsigned ready);
  // Worker: closes the sockets whose time ran out by `now`, and after
  // ReleaseSent those with nothing left to send.
  void Expire(Clock::time_point now);
  // Any thread: from now on the worker closes every socket that has handed
  // all its bytes to the system without waiting for the peer's end.
  void ReleaseSent() { releaseSent_.store(true); }
  // Whether no socket lingers on the worker's side (the worker's).
  bool Idle() const;

  // Sockets lingering or handed over; for diagnostics and tests.
  int Count();

 private:
  struct Entry;

  void Serve(std::size_t index, unsigned ready);
  bool ReadAndDiscard(Entry& e);
  bool DiscardReceived(Entry& e);
  void CloseSent();
  bool SendPending(Entry& e);
  void Rewatch(std::size_t index);
  void Finish(std::size_t index);

  qvplat::Poller& poller_;
  std::chrono::seconds lingerTime_;
  qvplat::RecursiveLock handoverLock_{qvplat::kLockHandover};
  std::vector<Entry> handedOver_;  // under handoverLock_
  std::atomic<int> handedOverCount_{0};  // its size, looked at without the lock
  std::atomic<bool> releaseSent_{false};
  std::vector<Entry> entries_;     // the worker's; a free entry has no socket
  std::vector<std::size_t> free_;
  int live_ = 0;
};

#endif  // QV_DISPATCH_QVLINGERSET_H

// qvpoller.h - readiness waiting for the dispatcher (internal).
//
// Sockets stay watched from Watch() until Unwatch(), so a wait costs nothing
// per idle socket (epoll on Linux; on Windows the select() sets are rebuilt
// from the watched sockets at every wait). Each socket carries a caller's
// tag, which comes back with its readiness.
//
// Threads: one thread waits (Wait, Nap); Watch, Unwatch and Watched may be
// called from any thread, also while that thread is blocked in Wait (the
// poller serialises them with its own lock, a leaf of the library's lock
// order); Wake from any thread. A socket that is unwatched before its owner
// closes it is never looked at again after Unwatch returns, except by a
// wait already blocked in the system (on Windows), whose report for it is
// dropped.
#ifndef QV_PLATFORM_QVPOLLER_H
#define QV_PLATFORM_QVPOLLER_H

#include <cstdint>

#include "qvsockets.h"

namespace qvplat {

enum : unsigned { kPollRead = 1, kPollWrite = 2, kPollExcept = 4 };

class Poller {
 public:
  struct Event {
    std::uint64_t tag;
    unsigned ready;  // kPollRead/kPollWrite/kPollExcept
  };

  // Opens the system's waiting object; see Open().
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // Opens what the poller waits with (an epoll set and a wake-up eventfd on
  // Linux), if it is not open yet: true once it is. It can fail, at the
  // descriptor limit say, with the error for LastSocketError(); it may be
  // tried again. Until it is open, Wait() fails at once and Nap() sleeps.
  bool Open();

  // Watches s for the readiness in want (kPollRead/kPollWrite), or changes
  // what it is watched for and its tag; exception conditions are always
  // watched. A socket the system refuses to watch (one already closed, say)
  // reports an exception at every wait until it is unwatched.
  void Watch(Socket s, std::uint64_t tag, unsigned want);
  // Stops watching s, but only when it is watched under tag: a socket
  // number that was closed and handed out again may be watched anew already.
  void Unwatch(Socket s, std::uint64_t tag);
  // The number of watched sockets.
  int Watched() const;
  // Waits until a watched socket is ready, Wake() is called, or timeoutMs
  // passes. Negative on failure, else the number of events, which EventAt()
  // returns until the next Wait. A reset or hang-up shows as readable and
  // writable where those were asked for, so that recv()/send() report it
  // with its error code; on a socket that asked for neither it shows as an
  // exception.
  int Wait(int timeoutMs);
  const Event& EventAt(int index) const;
  // Sleeps timeoutMs unless Wake() is called first.
  void Nap(int timeoutMs);
  // Ends the current or next Wait/Nap early. Any thread; cheap when a
  // wake-up is already pending.
  void Wake();

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace qvplat

#endif  // QV_PLATFORM_QVPOLLER_H

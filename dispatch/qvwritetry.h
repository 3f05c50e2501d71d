// qvwritetry.h - a write the worker tries without asking the system first
// (internal).
//
// A socket nearly always has room for a frame just queued, so the worker
// tries such a write at its next pass without asking whether the socket is
// writable; qvwritepolicy.h decides when. The socket objects that can (the
// connections) implement QvWriteTrier, which the worker reaches through
// QvSocketBase::WriteTrier().
#ifndef QV_DISPATCH_QVWRITETRY_H
#define QV_DISPATCH_QVWRITETRY_H

// What came of a write tried without asking.
enum class WriteTry {
  kNothingToTry,  // nothing queued, or no socket: nothing was done
  kWouldBlock,    // the socket was full: nothing was done
  kDone,          // written, nothing left; or the send failed and that was dealt with
  kBytesLeft,     // written, but the socket filled up with bytes left queued
};

// The worker's side of a write tried without asking. The writer calls
// Started() the moment its first send() shows that the socket was writable
// (it took bytes, or failed): the worker then prints the write event's
// trace and clears the write interest, as it does before OnWrite.
class QvWriteStart {
 public:
  virtual void Started() = 0;

 protected:
  ~QvWriteStart() = default;
};

class QvWriteTrier {
 public:
  // Worker thread. Tries the queued write; calls start.Started() as above,
  // and nothing at all if the socket would block at once.
  virtual WriteTry TryWrite(QvWriteStart& start) = 0;

 protected:
  ~QvWriteTrier() = default;
};

#endif  // QV_DISPATCH_QVWRITETRY_H

// qvflush.h - the one send routine: what a queue holds goes out as the
// socket takes it (internal).
//
// Connections (their OnWrite) and lingering sockets both send through
// Flush, which makes no decision of its own: it sends, drops what was
// sent from the queue, and says what happened. What follows from that
// (tracing, watching for writability, ending the session) is the caller's.
#ifndef QV_DISPATCH_QVFLUSH_H
#define QV_DISPATCH_QVFLUSH_H

#include <cstddef>
#include <cstdint>

#include "../platform/qvsockets.h"

// What one flush did.
enum class Flushed : std::uint8_t {
  kNothing,     // nothing queued (or nothing to send on): no send was made
  kWouldBlock,  // the socket took nothing: it is full
  kDrained,     // sent, and nothing is left
  kBytesLeft,   // sent, and the socket filled up with bytes left queued
  kFailed,      // the send failed: the stream is broken (*error says why)
};

// Sends what `queue` holds on socket s: everything the queue gathers (up to
// qvplat::kMaxSendPieces pieces) in one call, again while the socket takes
// all it is offered. The queue provides
//   int GatherUnsent(qvplat::SendPiece* pieces) const;  // 0: empty
//   void ConsumeSent(std::size_t sent);                 // drops the oldest
// A send that takes nothing counts as a full socket. *error is written
// only when the send failed.
template <typename Queue>
Flushed Flush(qvplat::Socket s, Queue& queue, std::uint32_t* error) {
  bool sentSome = false;
  for (;;) {
    qvplat::SendPiece pieces[qvplat::kMaxSendPieces];
    const int count = queue.GatherUnsent(pieces);
    if (count == 0) return sentSome ? Flushed::kDrained : Flushed::kNothing;
    std::size_t offered = 0;
    for (int i = 0; i < count; ++i) offered += pieces[i].length;
    const int sent = count == 1 ? qvplat::SendSome(s, pieces[0].data, static_cast<int>(pieces[0].length))
                                : qvplat::SendPieces(s, pieces, count);
    if (sent <= 0) {
      const std::uint32_t code = sent < 0 ? qvplat::LastSocketError() : qvplat::kErrWouldBlock;
      if (code != qvplat::kErrWouldBlock) {
        *error = code;
        return Flushed::kFailed;
      }
      return sentSome ? Flushed::kBytesLeft : Flushed::kWouldBlock;
    }
    sentSome = true;
    queue.ConsumeSent(static_cast<std::size_t>(sent));
    if (static_cast<std::size_t>(sent) < offered) return Flushed::kBytesLeft;  // what it had room for
  }
}

#endif  // QV_DISPATCH_QVFLUSH_H

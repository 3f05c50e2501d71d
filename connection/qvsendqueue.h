// qvsendqueue.h - the overflow behind a connection's send queue (internal).
//
// Frames the send queue (a QvBipBuffer of 40960 bytes) has no room for wait
// here, and every frame after them until they have gone, so that nothing is
// dropped. A list of blocks from the chunk pool (qvchunkpool.h), filled at
// the back and sent from the front, a block given back as soon as it is
// sent: the memory held follows the bytes waiting.
// Space is reserved before bytes are appended, so a frame is queued whole
// or not at all. The oldest bytes are handed out as pieces for one gathered
// send.
// Not thread-safe: the connection uses it under its send lock.
#ifndef QV_CONNECTION_QVSENDQUEUE_H
#define QV_CONNECTION_QVSENDQUEUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../dispatch/qvunsentbytes.h"
#include "../platform/qvsockets.h"

class QvSendQueue {
 public:
  QvSendQueue() = default;
  ~QvSendQueue() { Clear(); }
  QvSendQueue(const QvSendQueue&) = delete;
  QvSendQueue& operator=(const QvSendQueue&) = delete;

  std::size_t Size() const { return bytes_; }
  bool Empty() const { return bytes_ == 0; }

  // Makes room for `length` more bytes; false (nothing changed) when memory
  // ran out.
  bool Reserve(std::size_t length);
  // Appends bytes there is room for (Reserve).
  void Append(const char* data, std::size_t length);
  // Appends a frame's two parts (header and payload), making room for them
  // when the block being filled has too little; false (nothing changed)
  // when memory ran out.
  bool AppendFrame(const char* head, std::size_t headLength, const char* tail, std::size_t tailLength);
  // The oldest bytes, in order, as at most `max` pieces; returns how many.
  int Gather(qvplat::SendPiece* pieces, int max) const;
  // Drops the `length` oldest bytes (at most Size()).
  void Consume(std::size_t length);
  // Hands every waiting byte over to `out`, in order, with the blocks they
  // lie in (moved, not copied), and empties the queue.
  void HandOver(std::vector<QvUnsentBytes>* out);
  // Empties the queue and gives every block back.
  void Clear();

 private:
  struct Block;
  // The bytes a block holds after its header.
  static const std::size_t kRoom;

  Block* head_ = nullptr;  // oldest bytes
  Block* tail_ = nullptr;  // where bytes are appended
  Block* fill_ = nullptr;  // the block the next Append writes to
  std::size_t bytes_ = 0;
};

#endif  // QV_CONNECTION_QVSENDQUEUE_H

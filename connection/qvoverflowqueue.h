// qvoverflowqueue.h - the bytes that wait behind a connection's full send
// queue (internal).
//
// Kept in chunks of 64 KiB that are freed as they empty, so the memory held
// follows what waits: a queue that grew by doubling would hold up to twice
// the bytes waiting, and its outgrown blocks could stay with the process.
// Not thread-safe: the connection uses it under its send lock.
#ifndef QV_CONNECTION_QVOVERFLOWQUEUE_H
#define QV_CONNECTION_QVOVERFLOWQUEUE_H

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

class QvBipBuffer;

class QvOverflowQueue {
 public:
  bool Empty() const { return bytes_ == 0; }
  std::size_t Size() const { return bytes_; }
  void Append(const char* data, std::size_t length);
  // Moves as many of the oldest bytes as fit into `queue`, in order.
  void MoveInto(QvBipBuffer& queue);
  // Appends every waiting byte to `out`, in order, as whole chunks, and
  // empties the queue.
  void TakeAll(std::vector<std::string>* out);
  void Clear();

 private:
  static constexpr std::size_t kChunkSize = 64 * 1024;

  std::deque<std::string> chunks_;
  std::size_t skip_ = 0;  // bytes of the first chunk already moved out
  std::size_t bytes_ = 0;
};

#endif  // QV_CONNECTION_QVOVERFLOWQUEUE_H

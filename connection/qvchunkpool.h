// qvchunkpool.h - the blocks the connections' queues are made of (internal).
//
// A connection holds queue memory only while bytes wait in it: the storage
// of its two buffers (qvbipbuffer.h), the overflow behind its send buffer
// and the area an application's codec encodes into are taken from here
// and given back as they empty. Each pool hands out blocks of one size and
// keeps a few spare ones, so a connection that answers frame after frame
// neither allocates nor frees for each; beyond those, a block given back is
// freed.
// Thread-safe.
#ifndef QV_CONNECTION_QVCHUNKPOOL_H
#define QV_CONNECTION_QVCHUNKPOOL_H

#include <atomic>
#include <cstddef>

#include "../platform/qvthreads.h"

class QvChunkPool {
 public:
  // The blocks of the overflow and of a codec's output.
  static constexpr std::size_t kChunkSize = 64 * 1024;
  // The storage of a buffer: a queue's capacity.
  static constexpr std::size_t kBufferSize = 40960;
  // Spare blocks kept at most, in each pool.
  static constexpr int kKept = 32;

  // The process-wide pools, made on first use and never destroyed: blocks
  // of kChunkSize bytes, and blocks of kBufferSize bytes.
  static QvChunkPool& Instance();
  static QvChunkPool& Buffers();

  std::size_t BlockSize() const { return size_; }
  // A block of BlockSize() bytes, or null when memory ran out.
  void* Take();
  // Gives a block from Take back.
  void Give(void* chunk);
  // Spare blocks held right now.
  int Spare();

 private:
  explicit QvChunkPool(std::size_t size) : size_(size) {}

  // A few spare blocks are kept in slots taken and filled without the lock:
  // a connection that answers frame after frame gives its block back and
  // takes it again at every read and write.
  static constexpr int kFast = 2;
  const std::size_t size_;
  std::atomic<void*> fast_[kFast] = {};
  qvplat::RecursiveLock lock_{qvplat::kLockPool};
  void* spare_[kKept - kFast] = {};
  int count_ = 0;
};

#endif  // QV_CONNECTION_QVCHUNKPOOL_H

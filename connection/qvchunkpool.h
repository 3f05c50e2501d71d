// qvchunkpool.h - the blocks the connections' queues are made of (internal).
//
// A connection holds queue memory only while bytes wait in it: its send
// queue and the start of a frame it is still receiving take blocks from
// here and give them back as they empty. The pool keeps a few spare blocks,
// so a connection that answers frame after frame neither allocates nor
// frees for each; beyond those, a block given back is freed.
// Thread-safe.
#ifndef QV_CONNECTION_QVCHUNKPOOL_H
#define QV_CONNECTION_QVCHUNKPOOL_H

#include <atomic>
#include <cstddef>

#include "../platform/qvthreads.h"

class QvChunkPool {
 public:
  static constexpr std::size_t kChunkSize = 64 * 1024;
  // Spare blocks kept at most.
  static constexpr int kKept = 32;

  // The process-wide pool, made on first use and never destroyed.
  static QvChunkPool& Instance();

  // A block of kChunkSize bytes, or null when memory ran out.
  void* Take();
  // Gives a block from Take back.
  void Give(void* chunk);
  // Spare blocks held right now.
  int Spare();

 private:
  QvChunkPool() = default;

  // A few spare blocks are kept in slots taken and filled without the lock:
  // a connection that answers frame after frame gives its block back and
  // takes it again at every read and write.
  static constexpr int kFast = 2;
  std::atomic<void*> fast_[kFast] = {};
  qvplat::RecursiveLock lock_{qvplat::kLockPool};
  void* spare_[kKept - kFast] = {};
  int count_ = 0;
};

#endif  // QV_CONNECTION_QVCHUNKPOOL_H

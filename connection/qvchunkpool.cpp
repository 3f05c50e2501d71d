// qvchunkpool.cpp - the blocks the connections' queues are made of.
#include "qvchunkpool.h"

#include <cstdlib>

QvChunkPool& QvChunkPool::Instance() {
  // Never destroyed: connections may give blocks back at any point of
  // process exit.
  static QvChunkPool* const pool = new QvChunkPool(kChunkSize);
  return *pool;
}

QvChunkPool& QvChunkPool::Buffers() {
  static QvChunkPool* const pool = new QvChunkPool(kBufferSize);
  return *pool;
}

void* QvChunkPool::Take() {
  for (std::atomic<void*>& slot : fast_) {
    if (slot.load() == nullptr) continue;
    if (void* chunk = slot.exchange(nullptr)) return chunk;
  }
  {
    qvplat::LockGuard guard(lock_);
    if (count_ > 0) return spare_[--count_];
  }
  return std::malloc(size_);
}

void QvChunkPool::Give(void* chunk) {
  if (chunk == nullptr) return;
  for (std::atomic<void*>& slot : fast_) {
    void* empty = nullptr;
    if (slot.load() == nullptr && slot.compare_exchange_strong(empty, chunk)) return;
  }
  {
    qvplat::LockGuard guard(lock_);
    if (count_ < kKept - kFast) {
      spare_[count_++] = chunk;
      return;
    }
  }
  std::free(chunk);
}

int QvChunkPool::Spare() {
  int fast = 0;
  for (const std::atomic<void*>& slot : fast_) fast += slot.load() != nullptr ? 1 : 0;
  qvplat::LockGuard guard(lock_);
  return count_ + fast;
}

// qvchunkpool.cpp - the blocks the connections' queues are made of.
#include "qvchunkpool.h"

#include <cstdlib>

QvChunkPool& QvChunkPool::Instance() {
  // Never destroyed: connections may give blocks back at any point of
  // process exit.
  static QvChunkPool* const pool = new QvChunkPool;
  return *pool;
}

void* QvChunkPool::Take() {
  {
    qvplat::LockGuard guard(lock_);
    if (count_ > 0) return spare_[--count_];
  }
  return std::malloc(kChunkSize);
}

void QvChunkPool::Give(void* chunk) {
  if (chunk == nullptr) return;
  {
    qvplat::LockGuard guard(lock_);
    if (count_ < kKept) {
      spare_[count_++] = chunk;
      return;
    }
  }
  std::free(chunk);
}

int QvChunkPool::Spare() {
  qvplat::LockGuard guard(lock_);
  return count_;
}

// qvbipbuffer.cpp - the two-region byte queue.
#include "qvbipbuffer.h"

#include <cstring>

#include "qvchunkpool.h"

const std::uint32_t QvBipBuffer::kLargestCapacity = QvChunkPool::kBufferSize;

void QvBipBuffer::Reset() {
  base = end = aStart = bStart = nullptr;
  aSize = bSize = 0;
}

bool QvBipBuffer::Allocate(std::uint32_t capacity) {
  if (base != nullptr || capacity > kLargestCapacity) return false;
  base = static_cast<char*>(QvChunkPool::Buffers().Take());
  if (base == nullptr) return false;
  aStart = base;
  end = base + capacity;
  return true;
}

void QvBipBuffer::Free() {
  GiveBack(base);
  Reset();
}

char* QvBipBuffer::Detach() {
  char* storage = base;
  Reset();
  return storage;
}

void QvBipBuffer::GiveBack(void* storage) { QvChunkPool::Buffers().Give(storage); }

bool QvBipBuffer::Append(const char* data, std::uint32_t length) {
  if (base == nullptr) return false;
  if (bStart == nullptr) {
    if (SpaceAfterA() >= SpaceBeforeA()) {
      if (SpaceAfterA() < length) return false;
      if (length > 0) std::memcpy(aStart + aSize, data, length);
      aSize += length;
      return true;
    }
    OpenRegionB();
  }
  if (SpaceForB() < length) return false;
  if (length > 0) std::memcpy(bStart + bSize, data, length);
  bSize += length;
  return true;
}

void QvBipBuffer::ConsumeAcross(std::uint32_t length) {
  if (aSize > 0) {
    std::uint32_t n = aSize < length ? aSize : length;
    aStart += n;
    aSize -= n;
    length -= n;
  }
  if (length > 0 && bSize > 0) {
    std::uint32_t m = bSize < length ? bSize : length;
    bStart += m;
    bSize -= m;
  }
  Compact();
}

bool QvBipBuffer::CopyOut(char* destination, std::uint32_t length) {
  if (aSize + bSize < length) return false;
  std::uint32_t n = 0;
  if (aSize > 0) {
    n = aSize < length ? aSize : length;
    std::memcpy(destination, aStart, n);
    aStart += n;
    aSize -= n;
    length -= n;
  }
  if (length > 0 && bSize > 0) {
    std::uint32_t m = bSize < length ? bSize : length;
    std::memcpy(destination + n, bStart, m);
    bStart += m;
    bSize -= m;
  }
  Compact();
  return true;
}

// Once region A is empty, region B (if it holds bytes) moves to the base and
// becomes region A; otherwise the buffer starts over at the base.
void QvBipBuffer::Compact() {
  if (aSize > 0) return;
  if (bSize > 0) {
    if (bStart != base) std::memmove(base, bStart, bSize);  // the two may overlap
    aStart = base;
    aSize = bSize;
  } else {
    aStart = base;
    aSize = 0;
  }
  bStart = nullptr;
  bSize = 0;
}

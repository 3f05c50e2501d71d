// qvbipbuffer.h - the two-region byte queue behind each connection queue
// (internal).
//
// One block of fixed capacity holds the queued bytes in at most two regions:
//
//   base                aStart        aStart+aSize          end
//    |  region B   | free |  region A (oldest) |    free     |
//    ^bStart       ^bStart+bSize
//
// Region A holds the oldest bytes. Region B opens at the base once the room
// in front of A is larger than the room behind it; new bytes always go behind
// the newest region, never split between the two free stretches. When A
// drains, B is moved down to the base and becomes A.
//
// Invariants: base <= aStart, aStart + aSize <= end; with B, base <= bStart
// and bStart + bSize <= aStart; an empty A means aStart == base and no B.
//
// Storage on demand: Allocate takes the block from a small process-wide
// pool (qvchunkpool.h) when its owner first needs it, and Free gives it
// back and resets the buffer, after which Allocate may follow again. A
// buffer without storage offers no room (FreeSpace 0) and is never
// written: Append fails.
//
// Not thread-safe: each connection uses a queue only under that queue's lock.
#ifndef QV_CONNECTION_QVBIPBUFFER_H
#define QV_CONNECTION_QVBIPBUFFER_H

#include <cstdint>

class QvBipBuffer {
 public:
  // The largest capacity: the size of the pool's blocks.
  static const std::uint32_t kLargestCapacity;

  QvBipBuffer() { Reset(); }
  ~QvBipBuffer() { Free(); }
  QvBipBuffer(const QvBipBuffer&) = delete;
  QvBipBuffer& operator=(const QvBipBuffer&) = delete;

  // All fields null or 0; the storage is not given back.
  void Reset();
  // Takes a block of storage from the pool for `capacity` bytes (at most
  // kLargestCapacity); false when there was none (memory ran out) or the
  // capacity is too large. Only on a buffer without storage.
  bool Allocate(std::uint32_t capacity);
  // Gives the storage back, with whatever it held, and resets the buffer.
  void Free();
  // Hands the storage over, with the bytes in it, and resets the buffer:
  // the caller gives it back with GiveBack once it is done with them.
  char* Detach();
  static void GiveBack(void* storage);
  bool HasStorage() const { return base != nullptr; }

  // Copies the block in as one piece, or returns false (nothing copied,
  // although region B may have been opened).
  bool Append(const char* data, std::uint32_t length);
  // Size of the free stretch the next write goes to: the larger of the room
  // behind A and in front of it (a tie goes behind A), never their sum.
  // Choosing the room in front of A opens region B.
  std::uint32_t FreeSpace() {
    if (bStart != nullptr) return SpaceForB();
    if (SpaceAfterA() >= SpaceBeforeA()) return SpaceAfterA();
    OpenRegionB();
    return SpaceForB();
  }
  // Where the next in-place write goes; call FreeSpace first.
  char* WritePointer() const { return bStart != nullptr ? bStart + bSize : aStart + aSize; }
  // Adds length written bytes to the newest region; at most what FreeSpace said.
  void Commit(std::uint32_t length) {
    if (bStart != nullptr) {
      bSize += length;
    } else {
      aSize += length;
    }
  }

  // The oldest bytes, ContiguousSize of them in one piece (null when empty).
  char* ReadPointer() const { return aSize > 0 ? aStart : bStart; }
  std::uint32_t ContiguousSize() const { return aSize > 0 ? aSize : bSize; }
  std::uint32_t CommittedSize() const { return aSize + bSize; }
  // Start of the bytes that follow the ContiguousSize ones (region B while
  // region A holds bytes), null when there are none.
  const char* SecondRegion() const { return aSize > 0 ? bStart : nullptr; }
  // Discards the oldest length bytes (all of them, at most) and compacts.
  // Region A keeping bytes is the common case, and needs no compacting.
  void Consume(std::uint32_t length) {
    if (length < aSize) {
      aStart += length;
      aSize -= length;
    } else {
      ConsumeAcross(length);
    }
  }
  // Copies the oldest length bytes out, across both regions, and discards
  // them; false (nothing changes) when fewer are queued.
  bool CopyOut(char* destination, std::uint32_t length);

 private:
  std::uint32_t SpaceAfterA() const { return static_cast<std::uint32_t>(end - aStart) - aSize; }
  std::uint32_t SpaceBeforeA() const { return static_cast<std::uint32_t>(aStart - base); }
  std::uint32_t SpaceForB() const {
    return bStart != nullptr ? static_cast<std::uint32_t>(aStart - bStart) - bSize : 0;
  }
  void OpenRegionB() { bStart = base; }
  void Compact();
  // Consume, where region A drains.
  void ConsumeAcross(std::uint32_t length);

  char* base;
  char* end;
  char* aStart;
  std::uint32_t aSize;
  char* bStart;
  std::uint32_t bSize;
};

#endif  // QV_CONNECTION_QVBIPBUFFER_H

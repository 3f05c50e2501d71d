// fuzz_bipbuffer.cpp - the byte queue (QvBipBuffer) against a plain model
// queue, under an arbitrary script of operations.
//
// Input: a capacity, then steps. Byte 0 picks the capacity: below 0x80 it
// indexes a table of sizes (40960, the connections' own, among them); from
// 0x80 two more bytes give any capacity from 1 to 40960 (the size of the
// pool's blocks; larger numbers wrap around). Each step is an
// operation byte (its low 3 bits) and a 16-bit little-endian operand n:
//   0  Append the next n stream bytes (succeeds, or fails changing nothing)
//   1  FreeSpace, then write min(n, free) stream bytes in place at
//      WritePointer and Commit them
//   2  Consume n bytes (all of them, at most)
//   3  CopyOut n bytes (succeeds when n are queued, else changes nothing)
//   4  the receive path's move of a stranded frame start: CopyOut all,
//      Append it back
//   5  PeekFrame, with the queue's capacity as the largest frame, against
//      a decoder that reads the model's first 4 bytes
//   6  Append a frame header announcing n + 4 bytes, in the wire's order
//   7  Consume what ReadPointer shows in one piece, up to n
// The stream bytes are i % 251 for the i-th byte ever written, so bytes out
// of place show.
//
// Invariants, after every step: the queue holds the model's bytes, in
// order, as one stretch at ReadPointer (ContiguousSize bytes) and the rest
// at SecondRegion, both inside the storage and the second wholly in front
// of the first; CommittedSize is the model's size; an empty queue has no
// read pointer and offers its whole capacity; the free stretch never runs
// into queued bytes nor past the storage; a failed Append or CopyOut
// changes nothing; an Append fails only when the free stretch is too short.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "connection/qvbipbuffer.h"
#include "connection/qvlengthcodec.h"
#include "fuzzsupport.h"

namespace {

const std::uint32_t kCapacities[] = {40960, 257, 64, 7, 1, 4096, 40959, 1000};

class Checked {
 public:
  explicit Checked(std::uint32_t capacity) : capacity_(capacity) {
    QVFUZZ_CHECK(queue_.Allocate(capacity));
    base_ = queue_.WritePointer();
    end_ = base_ + capacity;
    QVFUZZ_CHECK(queue_.FreeSpace() == capacity);
  }

  void Step(unsigned op, std::uint32_t n) {
    switch (op & 7) {
      case 0: Append(n); break;
      case 1: WriteInPlace(n); break;
      case 2:
        queue_.Consume(n);
        model_.Pop(n);
        break;
      case 3: CopyOut(n); break;
      case 4: {
        const std::uint32_t queued = queue_.CommittedSize();
        std::string area(queued, '\0');
        QVFUZZ_CHECK(queue_.CopyOut(&area[0], queued));
        QVFUZZ_CHECK(queue_.CommittedSize() == 0 && queue_.FreeSpace() == capacity_);
        QVFUZZ_CHECK(queue_.Append(area.data(), queued));
        QVFUZZ_CHECK(area.size() == model_.size() && std::memcmp(area.data(), model_.data(), queued) == 0);
        break;
      }
      case 5: Peek(); break;
      case 6: {
        char header[4];
        StoreFrameLength(header, n + 4);
        QVFUZZ_CHECK(LoadFrameLength(header) == n + 4);
        const bool fits = 4 <= queue_.FreeSpace();
        QVFUZZ_CHECK(queue_.Append(header, 4) == fits);
        if (fits) model_.Push(header, 4);
        break;
      }
      default: {
        const std::uint32_t m = std::min(n, queue_.ContiguousSize());
        queue_.Consume(m);
        model_.Pop(m);
      }
    }
    ExpectModel();
  }

 private:
  void Append(std::uint32_t n) {
    const char* bytes = qvfuzz::StreamFrom(written_);
    const std::size_t before = model_.size();
    if (queue_.Append(bytes, n)) {
      Add(bytes, n);
    } else {
      // Refused: nothing copied, and only because the stretch the write
      // goes to (asked now: the refusal may have opened region B) is short.
      QVFUZZ_CHECK(queue_.CommittedSize() == before);
      QVFUZZ_CHECK(n > queue_.FreeSpace());
    }
  }

  void WriteInPlace(std::uint32_t n) {
    const std::uint32_t space = queue_.FreeSpace();
    char* at = queue_.WritePointer();
    QVFUZZ_CHECK(space <= capacity_ - model_.size());
    QVFUZZ_CHECK(at >= base_ && at + space <= end_);
    if (queue_.CommittedSize() > 0) {
      // The free stretch never covers queued bytes.
      const char* front = queue_.ReadPointer();
      QVFUZZ_CHECK(at + space <= front || at >= front + queue_.ContiguousSize());
      if (const char* second = queue_.SecondRegion()) {
        const std::uint32_t rest = queue_.CommittedSize() - queue_.ContiguousSize();
        QVFUZZ_CHECK(at >= second + rest || at + space <= second);
      }
    }
    const std::uint32_t m = std::min(n, space);
    const char* bytes = qvfuzz::StreamFrom(written_);
    if (m > 0) std::memcpy(at, bytes, m);
    queue_.Commit(m);
    Add(bytes, m);
  }

  void CopyOut(std::uint32_t n) {
    if (n > model_.size()) {
      // Refused, it must write nothing: a one-byte destination, which the
      // address sanitizer guards, stays as it was.
      std::unique_ptr<char[]> guard(new char[1]{'\x7f'});
      QVFUZZ_CHECK(!queue_.CopyOut(guard.get(), n));
      QVFUZZ_CHECK(guard[0] == '\x7f');
      return;
    }
    static std::string bytes;
    bytes.resize(n);
    QVFUZZ_CHECK(queue_.CopyOut(&bytes[0], n));
    QVFUZZ_CHECK(std::memcmp(bytes.data(), model_.data(), n) == 0);
    model_.Pop(n);
  }

  void Peek() {
    std::uint32_t length = 0xdeadbeef;
    const FrameStatus status = PeekFrame(queue_, capacity_, &length);
    if (model_.size() < 4) {
      QVFUZZ_CHECK(status == FrameStatus::kNeedMore);
      return;
    }
    std::uint32_t expected = 0;
    for (int i = 3; i >= 0; --i) expected = expected << 8 | static_cast<unsigned char>(model_[i]);
    QVFUZZ_CHECK(length == expected);
    if (expected < 4 || expected > capacity_) {
      QVFUZZ_CHECK(status == FrameStatus::kMalformed);
    } else {
      QVFUZZ_CHECK(status == (expected > model_.size() ? FrameStatus::kNeedMore : FrameStatus::kComplete));
    }
  }

  void Add(const char* bytes, std::size_t n) {
    model_.Push(bytes, n);
    written_ += n;
  }

  void ExpectModel() {
    const std::size_t size = model_.size();
    QVFUZZ_CHECK(queue_.CommittedSize() == size);
    if (size == 0) {
      QVFUZZ_CHECK(queue_.ReadPointer() == nullptr && queue_.ContiguousSize() == 0);
      QVFUZZ_CHECK(queue_.SecondRegion() == nullptr);
      QVFUZZ_CHECK(queue_.WritePointer() == base_);
      return;
    }
    const char* front = queue_.ReadPointer();
    const std::uint32_t contiguous = queue_.ContiguousSize();
    QVFUZZ_CHECK(contiguous > 0 && contiguous <= size);
    QVFUZZ_CHECK(front >= base_ && front + contiguous <= end_);
    QVFUZZ_CHECK(std::memcmp(front, model_.data(), contiguous) == 0);
    const std::size_t rest = size - contiguous;
    if (rest > 0) {
      const char* second = queue_.SecondRegion();
      QVFUZZ_CHECK(second != nullptr && second >= base_ && second + rest <= front);
      QVFUZZ_CHECK(std::memcmp(second, model_.data() + contiguous, rest) == 0);
    }
  }

  QvBipBuffer queue_;
  std::uint32_t capacity_;
  qvfuzz::ModelQueue model_;
  const char* base_;
  const char* end_;
  std::uint64_t written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t at = 1;
  std::uint32_t capacity = kCapacities[data[0] & 7];
  if (data[0] >= 0x80) {
    if (size < 3) return 0;
    capacity = (static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8) %
                   QvBipBuffer::kLargestCapacity + 1;
    at = 3;
  }
  Checked q(capacity);
  for (; at + 3 <= size; at += 3) q.Step(data[at], static_cast<std::uint32_t>(data[at + 1] | data[at + 2] << 8));
  return 0;
}

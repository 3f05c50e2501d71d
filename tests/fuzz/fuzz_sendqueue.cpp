// fuzz_sendqueue.cpp - the send queue (QvSendQueue) against a plain model
// queue, under an arbitrary script of operations.
//
// Input: steps, each an operation byte (its low 3 bits) and a 16-bit
// little-endian operand n:
//   0  Reserve n, then Append the next n stream bytes in one piece
//   1  Reserve n, then Append them in two pieces, split where the
//      operation byte's high bits say
//   2  Reserve 16 * (n % 8192), then Append them in pieces of up to 65536
//      bytes (a burst that spans blocks)
//   3  Consume n bytes (all of them, at most)
//   4  Gather at most (n % 20) pieces (0 to 19)
//   5  a short write: Gather as a send does, then Consume n of the bytes
//      the pieces offer
//   6  HandOver, as a graceful close does
//   7  Clear, as an abrupt one does
// The stream bytes are i % 251 for the i-th byte ever appended, so bytes out
// of place show. Past 256 KiB waiting, appends are skipped: the queue's
// blocks are all alike, and a script stays quick.
//
// Invariants, after every step: Size() and Empty() are the model's; Gather
// hands out the model's oldest bytes, in order, in at most the pieces asked
// for, none empty, and all of them when fewer pieces than allowed were
// needed; HandOver gives exactly the model's bytes and leaves the queue
// empty; the pool never keeps more spare blocks than it promises. The
// sanitizers add: no access outside a block, no leak of one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "connection/qvchunkpool.h"
#include "connection/qvsendqueue.h"
#include "fuzzsupport.h"

namespace {

constexpr int kMostPieces = 20;

class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  void Run() {
    for (std::size_t at = 0; at + 2 < size_; at += 3) {
      const unsigned op = data_[at];
      const std::size_t n = data_[at + 1] | static_cast<std::size_t>(data_[at + 2]) << 8;
      switch (op & 7) {
        case 0: Append(n, {n}); break;
        case 1: {
          const std::size_t first = n * (op >> 3) / 31;
          Append(n, {first, n - first});
          break;
        }
        case 2: {
          const std::size_t total = 16 * (n % 8192);
          std::vector<std::size_t> pieces;
          for (std::size_t left = total; left > 0; left -= pieces.back()) pieces.push_back(std::min<std::size_t>(left, 65536));
          Append(total, pieces);
          break;
        }
        case 3: Consume(n); break;
        case 4: Gather(static_cast<int>(n % kMostPieces)); break;
        case 5: Consume(std::min(n, Gather(qvplat::kMaxSendPieces))); break;
        case 6: HandOver(); break;
        default:
          queue_.Clear();
          model_.Clear();
      }
      QVFUZZ_CHECK(queue_.Size() == model_.size());
      QVFUZZ_CHECK(queue_.Empty() == (model_.size() == 0));
      QVFUZZ_CHECK(QvChunkPool::Instance().Spare() <= QvChunkPool::kKept);
    }
    HandOver();  // and the queue's blocks go back, or the leak check tells
  }

 private:
  void Append(std::size_t total, const std::vector<std::size_t>& pieces) {
    if (model_.size() > (1u << 18)) return;
    const bool frame = pieces.size() == 2;  // a header and its payload, in one call
    const char* head = qvfuzz::StreamFrom(written_);
    const char* tail = frame ? qvfuzz::StreamFrom(written_ + pieces[0]) : nullptr;
    const bool taken = frame ? queue_.AppendFrame(head, pieces[0], tail, pieces[1]) : queue_.Reserve(total);
    if (!taken) {
      QVFUZZ_CHECK(queue_.Size() == model_.size());  // memory ran out: nothing changed
      return;
    }
    if (frame) {
      model_.Push(head, pieces[0]);
      model_.Push(tail, pieces[1]);
      written_ += total;
      return;
    }
    for (std::size_t length : pieces) {
      const char* bytes = qvfuzz::StreamFrom(written_);
      queue_.Append(bytes, length);
      model_.Push(bytes, length);
      written_ += length;
    }
  }

  void Consume(std::size_t n) {
    n = std::min(n, model_.size());
    queue_.Consume(n);
    model_.Pop(n);
  }

  // The bytes the pieces offer.
  std::size_t Gather(int max) {
    qvplat::SendPiece pieces[kMostPieces];
    const int count = queue_.Gather(pieces, max);
    QVFUZZ_CHECK(count >= 0 && count <= max);
    std::size_t offered = 0;
    for (int i = 0; i < count; ++i) {
      QVFUZZ_CHECK(pieces[i].length > 0);
      QVFUZZ_CHECK(offered + pieces[i].length <= model_.size());
      QVFUZZ_CHECK(std::memcmp(pieces[i].data, model_.data() + offered, pieces[i].length) == 0);
      offered += pieces[i].length;
    }
    if (count < max) QVFUZZ_CHECK(offered == model_.size());
    return offered;
  }

  void HandOver() {
    std::vector<QvUnsentBytes> out;
    queue_.HandOver(&out);
    std::string all;
    for (const QvUnsentBytes& piece : out) all.append(piece.data(), piece.size());
    QVFUZZ_CHECK(all.size() == model_.size() && std::memcmp(all.data(), model_.data(), all.size()) == 0);
    QVFUZZ_CHECK(queue_.Empty() && queue_.Size() == 0);
    model_.Clear();
  }

  const std::uint8_t* data_;
  std::size_t size_;
  QvSendQueue queue_;
  qvfuzz::ModelQueue model_;
  std::uint64_t written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Script(data, size).Run();
  return 0;
}

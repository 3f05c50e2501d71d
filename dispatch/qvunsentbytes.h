// qvunsentbytes.h - bytes still to be sent, in a block of storage handed
// over with them (internal).
//
// When a connection ends gracefully, the storage its unsent bytes lie in
// (the send queue's block and the overflow's blocks) goes to the lingering
// socket as it is: moved, never copied. Each piece names its bytes and,
// when it owns the block they lie in, how to give that block back; the
// block goes back when the piece is destroyed. Of several pieces in one
// block, only the last to be sent owns it.
// Move-only; not thread-safe.
#ifndef QV_DISPATCH_QVUNSENTBYTES_H
#define QV_DISPATCH_QVUNSENTBYTES_H

#include <cstddef>

class QvUnsentBytes {
 public:
  using Release = void (*)(void* block);

  // `release` null: the piece does not own a block.
  QvUnsentBytes(const char* data, std::size_t size, void* block, Release release)
      : data_(data), size_(size), block_(block), release_(release) {}
  QvUnsentBytes(QvUnsentBytes&& other) noexcept { *this = static_cast<QvUnsentBytes&&>(other); }
  QvUnsentBytes& operator=(QvUnsentBytes&& other) noexcept {
    if (this == &other) return *this;
    GiveBack();
    data_ = other.data_;
    size_ = other.size_;
    block_ = other.block_;
    release_ = other.release_;
    other.release_ = nullptr;
    return *this;
  }
  QvUnsentBytes(const QvUnsentBytes&) = delete;
  QvUnsentBytes& operator=(const QvUnsentBytes&) = delete;
  ~QvUnsentBytes() { GiveBack(); }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void GiveBack() {
    if (release_ != nullptr) release_(block_);
    release_ = nullptr;
  }

  const char* data_ = nullptr;
  std::size_t size_ = 0;
  void* block_ = nullptr;
  Release release_ = nullptr;
};

#endif  // QV_DISPATCH_QVUNSENTBYTES_H

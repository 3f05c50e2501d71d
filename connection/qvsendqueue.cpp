// qvsendqueue.cpp - the bytes a connection has still to send.
#include "qvsendqueue.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "qvchunkpool.h"

// A block's header; its bytes follow it.
struct QvSendQueue::Block {
  Block* next;
  std::uint32_t begin;  // the first byte not sent yet
  std::uint32_t end;    // one past the last byte appended
  char* Bytes() { return reinterpret_cast<char*>(this + 1); }
};

const std::size_t QvSendQueue::kRoom = QvChunkPool::kChunkSize - sizeof(Block);

bool QvSendQueue::Reserve(std::size_t length) {
  // Free room from the block being filled to the last one.
  std::size_t room = 0;
  for (Block* b = fill_; b != nullptr && room < length; b = b->next) room += kRoom - b->end;
  Block* first = nullptr;
  Block* last = nullptr;
  while (room < length) {
    void* memory = QvChunkPool::Instance().Take();
    if (memory == nullptr) {
      // Out of memory: what this call took goes back.
      while (first != nullptr) {
        Block* next = first->next;
        QvChunkPool::Instance().Give(first);
        first = next;
      }
      return false;
    }
    Block* b = new (memory) Block{nullptr, 0, 0};
    if (last != nullptr) last->next = b;
    else first = b;
    last = b;
    room += kRoom;
  }
  if (first == nullptr) return true;
  if (tail_ != nullptr) tail_->next = first;
  else head_ = first;
  tail_ = last;
  if (fill_ == nullptr) fill_ = first;
  return true;
}

void QvSendQueue::Append(const char* data, std::size_t length) {
  bytes_ += length;
  while (length > 0) {
    Block* b = fill_;
    const std::size_t n = std::min(length, kRoom - b->end);
    std::memcpy(b->Bytes() + b->end, data, n);
    b->end += static_cast<std::uint32_t>(n);
    data += n;
    length -= n;
    if (b->end == kRoom && b->next != nullptr) fill_ = b->next;
  }
}

bool QvSendQueue::AppendFrame(const char* head, std::size_t headLength, const char* tail, std::size_t tailLength) {
  const std::size_t length = headLength + tailLength;
  Block* b = fill_;
  if (b == nullptr || kRoom - b->end <= length) {
    // Filling or crossing the block (the next becomes the one filled).
    if (!Reserve(length)) return false;
    Append(head, headLength);
    Append(tail, tailLength);
    return true;
  }
  // Usually: both fit the block being filled, with room to spare.
  char* out = b->Bytes() + b->end;
  std::memcpy(out, head, headLength);
  if (tailLength > 0) std::memcpy(out + headLength, tail, tailLength);
  b->end += static_cast<std::uint32_t>(length);
  bytes_ += length;
  return true;
}

int QvSendQueue::Gather(qvplat::SendPiece* pieces, int max) const {
  int count = 0;
  for (Block* b = head_; b != nullptr && count < max && b->end > b->begin; b = b->next) {
    pieces[count++] = qvplat::SendPiece{b->Bytes() + b->begin, b->end - b->begin};
  }
  return count;
}

void QvSendQueue::Consume(std::size_t length) {
  length = std::min(length, bytes_);
  bytes_ -= length;
  if (bytes_ == 0) return Clear();  // an idle connection holds no block
  while (length > 0) {
    Block* b = head_;
    const std::size_t n = std::min<std::size_t>(length, b->end - b->begin);
    b->begin += static_cast<std::uint32_t>(n);
    length -= n;
    if (b->begin < b->end) break;
    // Sent whole; bytes remain, so it is not the block being filled.
    head_ = b->next;
    QvChunkPool::Instance().Give(b);
  }
}

void QvSendQueue::HandOver(std::vector<QvUnsentBytes>* out) {
  const QvUnsentBytes::Release give = [](void* block) { QvChunkPool::Instance().Give(block); };
  // The blocks with bytes go with them; those reserved but still empty
  // go back to the pool.
  while (head_ != nullptr && head_->end > head_->begin) {
    Block* b = head_;
    head_ = b->next;
    out->emplace_back(b->Bytes() + b->begin, b->end - b->begin, b, give);
  }
  Clear();
}

void QvSendQueue::Clear() {
  while (head_ != nullptr) {
    Block* next = head_->next;
    QvChunkPool::Instance().Give(head_);
    head_ = next;
  }
  tail_ = nullptr;
  fill_ = nullptr;
  bytes_ = 0;
}

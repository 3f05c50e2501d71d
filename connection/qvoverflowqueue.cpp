// qvoverflowqueue.cpp - the bytes that wait behind a full send queue.
#include "qvoverflowqueue.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "qvbipbuffer.h"

void QvOverflowQueue::Append(const char* data, std::size_t length) {
  bytes_ += length;
  while (length > 0) {
    if (chunks_.empty() || chunks_.back().size() == kChunkSize) {
      chunks_.emplace_back();
      chunks_.back().reserve(kChunkSize);
    }
    std::string& tail = chunks_.back();
    const std::size_t n = std::min(length, kChunkSize - tail.size());
    tail.append(data, n);
    data += n;
    length -= n;
  }
}

void QvOverflowQueue::MoveInto(QvBipBuffer& queue) {
  while (!chunks_.empty()) {
    const std::uint32_t room = queue.FreeSpace();
    if (room == 0) return;
    const std::string& head = chunks_.front();
    const std::size_t n = std::min<std::size_t>(head.size() - skip_, room);
    std::memcpy(queue.WritePointer(), head.data() + skip_, n);
    queue.Commit(static_cast<std::uint32_t>(n));
    skip_ += n;
    bytes_ -= n;
    if (skip_ < head.size()) continue;
    chunks_.pop_front();
    skip_ = 0;
  }
}

void QvOverflowQueue::TakeAll(std::vector<std::string>* out) {
  if (!chunks_.empty()) chunks_.front().erase(0, skip_);
  for (std::string& chunk : chunks_) out->push_back(std::move(chunk));
  Clear();
}

void QvOverflowQueue::Clear() {
  std::deque<std::string>().swap(chunks_);
  skip_ = 0;
  bytes_ = 0;
}

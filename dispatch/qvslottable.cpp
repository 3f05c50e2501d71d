// qvslottable.cpp - the slot table.
#include "qvslottable.h"

#include <new>

#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"

namespace {

// Spreads socket numbers over the hint array: consecutive descriptors (POSIX)
// and multiples of four (Windows handles) both map without collisions.
std::size_t HashSocket(qvplat::Socket socket) {
  auto v = static_cast<std::uint64_t>(socket);
  return static_cast<std::size_t>(v ^ (v >> 2));
}

}  // namespace

QvSlotTable::QvSlotTable(int capacity)
    : capacity_(0), slots_(nullptr), changed_(nullptr), changedWords_(0), hints_(nullptr), hintMask_(0) {
  if (capacity <= 0) return;
  std::size_t hintCount = 8192;
  while (hintCount < 2 * static_cast<std::size_t>(capacity)) hintCount *= 2;
  const int words = (capacity + 63) / 64;
  slots_ = new (std::nothrow) SocketSlot[static_cast<std::size_t>(capacity)];
  changed_ = new (std::nothrow) std::atomic<std::uint64_t>[static_cast<std::size_t>(words)];
  hints_ = new (std::nothrow) std::atomic<int>[hintCount];
  if (slots_ == nullptr || changed_ == nullptr || hints_ == nullptr) return;  // no slots: refuses everything
  for (int i = 0; i < capacity; ++i) {
    slots_[i].socketHandle.store(qvplat::kNoSocket);
    slots_[i].interest.store(0);
    slots_[i].handler.store(nullptr);
    slots_[i].generation.store(0);
  }
  for (int w = 0; w < words; ++w) changed_[w].store(0);
  for (std::size_t h = 0; h < hintCount; ++h) hints_[h].store(-1);
  hintMask_ = hintCount - 1;
  changedWords_ = words;
  capacity_ = capacity;
}

QvSlotTable::~QvSlotTable() {
  delete[] slots_;
  delete[] changed_;
  delete[] hints_;
}

int QvSlotTable::Register(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler) {
  const int present = Find(socket);
  if (present >= 0) {
    qvdiag::Trace(qvtext::kTraceAlreadyRegistered, present + 1);
    return 1;
  }
  for (int i = 0; i < capacity_; ++i) {
    SocketSlot& slot = slots_[i];
    qvplat::Socket expected = qvplat::kNoSocket;
    // Claim the slot first, so two threads never take the same free slot.
    if (slot.socketHandle.load() != qvplat::kNoSocket || !slot.socketHandle.compare_exchange_strong(expected, socket)) {
      continue;
    }
    slot.generation.fetch_add(1);
    slot.interest.store(interest);
    slot.handler.store(handler);
    hints_[HashSocket(socket) & hintMask_].store(i);
    MarkChanged(i);
    return 1;
  }
  return -1;
}

int QvSlotTable::Find(qvplat::Socket socket) {
  if (capacity_ == 0) return -1;
  std::atomic<int>& hint = hints_[HashSocket(socket) & hintMask_];
  int i = hint.load();
  if (i >= 0 && i < capacity_ && slots_[i].socketHandle.load() == socket) return i;
  for (i = 0; i < capacity_; ++i) {
    if (slots_[i].socketHandle.load() == socket) {
      hint.store(i);
      return i;
    }
  }
  return -1;
}

void QvSlotTable::Free(int index) {
  SocketSlot& slot = slots_[index];
  slot.socketHandle.store(qvplat::kNoSocket);
  slot.interest.store(0);
  slot.handler.store(nullptr);
  MarkChanged(index);
}

int QvSlotTable::Arm(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler) {
  const int i = Find(socket);
  if (i < 0) return 0;
  slots_[i].interest.fetch_or(interest);
  slots_[i].handler.store(handler);
  MarkChanged(i);
  return 1;
}

void QvSlotTable::Disarm(int index, std::uint32_t interest) {
  slots_[index].interest.fetch_and(~interest);
  MarkChanged(index);
}

bool QvSlotTable::StillRegistered(int index, std::uint32_t generation) const {
  return index >= 0 && index < capacity_ && slots_[index].socketHandle.load() != qvplat::kNoSocket &&
         slots_[index].generation.load() == generation;
}

void QvSlotTable::MarkChanged(int index) { changed_[index >> 6].fetch_or(std::uint64_t{1} << (index & 63)); }

void QvSlotTable::DropMarks() {
  for (int w = 0; w < changedWords_; ++w) changed_[w].exchange(0);
}

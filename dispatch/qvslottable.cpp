// qvslottable.cpp - the slot table.
#include "qvslottable.h"

#include <algorithm>
#include <new>

#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"
#include "qvpolltag.h"
#include "qvsocketbase.h"

namespace {

// Spreads socket numbers over the hint array: consecutive descriptors (POSIX)
// and multiples of four (Windows handles) both map without collisions, and
// the numbers below the array's size (a power of two) map one to one.
std::size_t HashSocket(qvplat::Socket socket) {
  auto v = static_cast<std::uint64_t>(socket);
  return static_cast<std::size_t>(v ^ (v >> 2));
}

}  // namespace

QvSlotTable::QvSlotTable(int capacity)
    : capacity_(0),
      slots_(nullptr),
      freeBound_(0),
      changed_(nullptr),
      changedWords_(0),
      changedSummary_(nullptr),
      summaryWords_(0),
      hints_(nullptr),
      hintMask_(0) {
  if (capacity <= 0) return;
  std::size_t hintCount = 16384;
  while (hintCount < 2 * static_cast<std::size_t>(capacity)) hintCount *= 2;
  const int words = (capacity + 63) / 64;
  const int summaryWords = (words + 63) / 64;
  slots_ = new (std::nothrow) SocketSlot[static_cast<std::size_t>(capacity)];
  changed_ = new (std::nothrow) std::atomic<std::uint64_t>[static_cast<std::size_t>(words)];
  changedSummary_ = new (std::nothrow) std::atomic<std::uint64_t>[static_cast<std::size_t>(summaryWords)];
  hints_ = new (std::nothrow) std::atomic<int>[hintCount];
  if (slots_ == nullptr || changed_ == nullptr || changedSummary_ == nullptr || hints_ == nullptr) return;  // no slots: refuses everything
  for (int i = 0; i < capacity; ++i) {
    slots_[i].socketHandle.store(qvplat::kNoSocket);
    slots_[i].interest.store(0);
    slots_[i].handler.store(nullptr);
    slots_[i].generation.store(0);
  }
  for (int w = 0; w < words; ++w) changed_[w].store(0);
  for (int w = 0; w < summaryWords; ++w) changedSummary_[w].store(0);
  for (std::size_t h = 0; h < hintCount; ++h) hints_[h].store(-1);
  hintMask_ = hintCount - 1;
  changedWords_ = words;
  summaryWords_ = summaryWords;
  capacity_ = capacity;
}

QvSlotTable::~QvSlotTable() {
  delete[] slots_;
  delete[] changed_;
  delete[] changedSummary_;
  delete[] hints_;
}

int QvSlotTable::Register(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler) {
  const int present = Find(socket);
  if (present >= 0) {
    qvdiag::Trace(qvtext::kTraceAlreadyRegistered, present + 1);
    return 1;
  }
  const std::uint64_t bound = freeBound_.load();
  for (int i = static_cast<int>(bound & 0xFFFFFFFFu); i < capacity_; ++i) {
    SocketSlot& slot = slots_[i];
    qvplat::Socket expected = qvplat::kNoSocket;
    // Claim the slot first, so two threads never take the same free slot.
    if (slot.socketHandle.load() != qvplat::kNoSocket || !slot.socketHandle.compare_exchange_strong(expected, socket)) {
      continue;
    }
    // Claimed, so this thread alone writes it; counted modulo 2^31, the
    // room it has in a poller tag (qvpolltag.h).
    slot.generation.store((slot.generation.load() + 1) & QvPollTag::kNumberMask);
    slot.interest.store(interest);
    Name(slot, handler);
    if (static_cast<std::uint64_t>(socket) <= hintMask_) hints_[HashSocket(socket)].store(i);
    // Every slot before this one was taken when looked at; unless one was
    // freed since the bound was read, none is free now.
    std::uint64_t expectedBound = bound;
    freeBound_.compare_exchange_strong(expectedBound, (bound & ~std::uint64_t{0xFFFFFFFFu}) | std::uint64_t(i + 1));
    MarkChanged(i);
    return 1;
  }
  return -1;
}

int QvSlotTable::Find(qvplat::Socket socket) {
  if (capacity_ == 0) return -1;
  if (static_cast<std::uint64_t>(socket) <= hintMask_) {
    // Below the hints' count no two socket numbers share a hint, and a
    // registration always leaves its slot there: a socket whose hint names
    // another slot has none.
    const int i = hints_[HashSocket(socket)].load();
    return i >= 0 && i < capacity_ && slots_[i].socketHandle.load() == socket ? i : -1;
  }
  // Larger numbers (Windows handles can be) are looked for.
  for (int i = 0; i < capacity_; ++i) {
    if (slots_[i].socketHandle.load() == socket) return i;
  }
  return -1;
}

void QvSlotTable::Free(int index) {
  SocketSlot& slot = slots_[index];
  // Cleared before it is let go: a registration that takes the slot the
  // moment its socket is gone keeps its own interest and handler.
  Name(slot, nullptr);
  slot.interest.store(0);
  slot.socketHandle.store(qvplat::kNoSocket);
  std::uint64_t bound = freeBound_.load();
  for (;;) {
    const auto below = static_cast<std::uint32_t>(bound & 0xFFFFFFFFu);
    const std::uint64_t frees = (bound >> 32) + 1;
    const std::uint64_t lowered = (frees << 32) | std::min<std::uint32_t>(below, static_cast<std::uint32_t>(index));
    if (freeBound_.compare_exchange_weak(bound, lowered)) break;
  }
  MarkChanged(index);
}

void QvSlotTable::Name(SocketSlot& slot, QvSocketBase* handler) {
  QvSocketBase* before = slot.handler.exchange(handler);
  if (before == handler) return;
  if (handler != nullptr) handler->namedBySlots.fetch_add(1);
  if (before != nullptr) before->namedBySlots.fetch_sub(1);
}

int QvSlotTable::Arm(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler, bool* changed) {
  const int i = Find(socket);
  if (changed != nullptr) *changed = i >= 0;
  if (i < 0) return 0;
  // Armed already, for this handler (a Send behind another that is not
  // written yet): the worker has been told.
  if ((slots_[i].interest.load() & interest) == interest && slots_[i].handler.load() == handler) {
    if (changed != nullptr) *changed = false;
    return 1;
  }
  slots_[i].interest.fetch_or(interest);
  Name(slots_[i], handler);
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

void QvSlotTable::MarkChanged(int index) {
  const int w = index >> 6;
  changed_[w].fetch_or(std::uint64_t{1} << (index & 63));
  changedSummary_[w >> 6].fetch_or(std::uint64_t{1} << (w & 63));
}

void QvSlotTable::DropMarks() {
  for (int w = 0; w < summaryWords_; ++w) changedSummary_[w].exchange(0);
  for (int w = 0; w < changedWords_; ++w) changed_[w].exchange(0);
}

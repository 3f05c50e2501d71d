// qvpollmirror.cpp - what the worker's poller watches for each slot.
#include "qvpollmirror.h"

#include <algorithm>

#include "qvpolltag.h"

void QvPollMirror::Apply(QvSlotTable* table) {
  ++pass_;
  WakeRested();
  ends_.clear();
  tryNow_.clear();
  if (table_ != table) {
    TakeOn(table);
  } else if (table != nullptr) {
    table->TakeChanged([&](int i) { ApplySlot(*table, i); });
  }
}

void QvPollMirror::Unwatch(int index) {
  SlotEntry& m = Entry(index);
  if (m.socket == qvplat::kNoSocket) return;
  poller_.Unwatch(m.socket, QvPollTag::ForSlot(index, m.generation));
  m.Drop();
}

void QvPollMirror::Forget() {
  for (int i = 0; i < Size(); ++i) Unwatch(i);
  table_ = nullptr;
}

// A table replaced by Init: the old one is dropped whole, the new one taken
// on slot by slot.
void QvPollMirror::TakeOn(QvSlotTable* table) {
  Forget();
  table_ = table;
  resting_.clear();
  entries_.assign(table != nullptr ? static_cast<std::size_t>(table->Capacity()) : 0, SlotEntry{});
  if (table == nullptr) return;
  table->DropMarks();
  for (int i = 0; i < table->Capacity(); ++i) ApplySlot(*table, i);
}

// A slot marked changed.
void QvPollMirror::ApplySlot(QvSlotTable& table, int i) {
  SlotEntry& m = Entry(i);
  if (m.lookedAt == pass_) return;
  const SocketSlot& slot = table.At(i);
  const qvplat::Socket socket = slot.socketHandle.load();
  const std::uint32_t generation = slot.generation.load();
  const std::uint32_t interest = slot.interest.load();
  // A change marked before the socket was parked is no change since.
  if (m.parked && socket == m.socket && generation == m.generation && interest == m.parkedInterest) return;
  m.lookedAt = pass_;
  // Freed, or taken by another registration since the last look.
  if (m.socket != qvplat::kNoSocket && (m.socket != socket || m.generation != generation)) Unwatch(i);
  if (socket == qvplat::kNoSocket) return;
  if (m.socket == qvplat::kNoSocket) m.askFirst = false;  // a new registration: nothing known of its socket
  if (interest & EndRequest) ends_.push_back(i);
  const bool tryNow = (interest & WriteInterest) && !m.askFirst;
  const unsigned want = ((interest & ReadInterest) ? unsigned{qvplat::kPollRead} : 0u) |
                        ((interest & WriteInterest) && !tryNow ? unsigned{qvplat::kPollWrite} : 0u);
  if (m.socket == qvplat::kNoSocket || m.parked || want != m.want) {
    poller_.Watch(socket, QvPollTag::ForSlot(i, generation), want);
    m.socket = socket;
    m.generation = generation;
    m.want = want;
    m.parked = false;
    m.parkedInterest = 0;
  }
  if (tryNow) tryNow_.push_back(i);
}

void QvPollMirror::Park(QvSlotTable& table, int slot, std::uint32_t generation) {
  qvplat::LockGuard guard(lock_);
  if (table_ != &table) return;
  SlotEntry& m = Entry(slot);
  if (m.socket == qvplat::kNoSocket || m.generation != generation || m.parked) return;
  poller_.Unwatch(m.socket, QvPollTag::ForSlot(slot, m.generation));
  m.parked = true;
  m.parkedInterest = table.At(slot).interest.load();
}

void QvPollMirror::Rest(qvplat::Socket socket, int ms) {
  qvplat::LockGuard guard(lock_);
  QvSlotTable* table = table_;
  const int i = table != nullptr ? table->Find(socket) : -1;
  if (i < 0) return;
  const std::uint32_t generation = table->At(i).generation.load();
  Park(*table, i, generation);
  if (!Entry(i).parked) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  resting_.push_back(RestingSlot{i, generation, until});
}

// Resting slots whose time is up are watched again; those whose slot
// changed meanwhile were watched again by ApplySlot.
void QvPollMirror::WakeRested() {
  if (resting_.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  auto over = [&](const RestingSlot& r) {
    SlotEntry& m = Entry(r.slot);
    const bool stillResting = m.parked && m.generation == r.generation;
    if (stillResting && now < r.until) return false;
    if (stillResting) {
      poller_.Watch(m.socket, QvPollTag::ForSlot(r.slot, m.generation), m.want);
      m.parked = false;
    }
    return true;
  };
  resting_.erase(std::remove_if(resting_.begin(), resting_.end(), over), resting_.end());
}

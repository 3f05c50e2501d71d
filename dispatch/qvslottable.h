// qvslottable.h - which sockets the worker watches, for what, and which
// object handles their events (internal).
//
// A flat array of slots; a socket takes the first free slot, and slot order
// is the order in which the worker serves the sockets that are ready in a
// pass (a peer just accepted comes right after its listener). No free
// list, no lock: every slot field is an atomic word, so application threads
// may register, unregister and arm while the worker reads the slots and
// clears interest bits, and an interest bit set by one thread is never lost
// to another thread's clearing of the other bit.
//
//   slot:  [ interest | socketHandle | handler | generation ]
//          free <=> socketHandle == kNoSocket; a slot is cleared (handler,
//          then interest) before its socket is, so a registration that
//          takes it at once keeps what it stores
//
// Beside the slots the table keeps a bitmap of the slots changed since the
// worker last took the marks, so that a pass costs nothing per unchanged
// socket; a hint per socket number that finds a socket's slot without a
// scan (and, for socket numbers below the hints' count, tells without a
// scan that a socket has none); and a bound below which no slot is free,
// where the search for a free slot starts. A slot's generation counts its
// registrations (modulo 2^31: qvpolltag.h): an event taken for
// one registration is recognised as stale once the slot is freed or taken
// by another (StillRegistered).
#ifndef QV_DISPATCH_QVSLOTTABLE_H
#define QV_DISPATCH_QVSLOTTABLE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../platform/qvsockets.h"

class QvSocketBase;

enum : std::uint32_t {
  ReadInterest = 1,
  WriteInterest = 2,
  // Not a readiness: the handler asks to be ended on the worker (a
  // connection whose unsent bytes passed their limit on another thread).
  // At its next pass the worker clears it and calls the handler's OnError,
  // without a trace and without asking the system about the socket.
  EndRequest = 4,
};

struct SocketSlot {
  std::atomic<std::uint32_t> interest;
  std::atomic<qvplat::Socket> socketHandle;
  std::atomic<QvSocketBase*> handler;
  std::atomic<std::uint32_t> generation;
};

class QvSlotTable {
 public:
  // A table of `capacity` free slots; with capacity 0, or when its storage
  // could not be had, a table without slots (Capacity() 0), which refuses
  // every registration.
  explicit QvSlotTable(int capacity);
  ~QvSlotTable();
  QvSlotTable(const QvSlotTable&) = delete;
  QvSlotTable& operator=(const QvSlotTable&) = delete;

  int Capacity() const { return capacity_; }
  SocketSlot& At(int index) { return slots_[index]; }
  const SocketSlot& At(int index) const { return slots_[index]; }

  // 1 when the socket is in the table (newly stored in the first free
  // slot, or already present, which prints a trace and changes nothing);
  // -1 when the table is full.
  int Register(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler);
  // The slot that holds the socket, or -1.
  int Find(qvplat::Socket socket);
  // Frees a slot whole (handler, then interest, then socket).
  void Free(int index);
  // ORs interest into the socket's slot and replaces its handler: 1 when a
  // slot held the socket, 0 otherwise. A slot that has the interest and the
  // handler already is left alone (not marked changed); *changed, when
  // given, tells whether the slot changed.
  int Arm(qvplat::Socket socket, std::uint32_t interest, QvSocketBase* handler, bool* changed = nullptr);
  // Clears interest bits of a slot (the worker, before it serves them).
  void Disarm(int index, std::uint32_t interest);

  // Whether the slot still holds the registration of `generation`.
  bool StillRegistered(int index, std::uint32_t generation) const;

  // Marks a slot changed, for the worker's next look.
  void MarkChanged(int index);
  // Calls visit(index) for every slot marked since the last call, taking
  // the marks. A mark made meanwhile is left for the next call.
  template <typename Visit>
  void TakeChanged(Visit visit);
  // Drops every mark (the worker takes the whole table on).
  void DropMarks();

 private:
  // Stores the slot's handler, keeping the handlers' namedBySlots counts.
  void Name(SocketSlot& slot, QvSocketBase* handler);

  int capacity_;
  SocketSlot* slots_;
  // No slot below the low 32 bits is free; the high 32 bits count the
  // frees, so that a registration raises the bound only when no slot was
  // freed since it read it.
  std::atomic<std::uint64_t> freeBound_;
  std::atomic<std::uint64_t>* changed_;  // bit i: slot i changed
  int changedWords_;
  // Bit w: changed_[w] may hold marks. A pass reads these few words instead
  // of the whole bitmap (63 words for 4000 slots).
  std::atomic<std::uint64_t>* changedSummary_;
  int summaryWords_;
  // hints_[hash of s]: for a socket number s up to hintMask_, the slot it
  // was last registered in, or -1; checked against the slot before use.
  std::atomic<int>* hints_;
  std::size_t hintMask_;
};

namespace qvslots {
// The index of the lowest set bit of a non-zero word.
inline int LowestBit(std::uint64_t bits) {
#if defined(__GNUC__)
  return __builtin_ctzll(bits);
#else
  int b = 0;
  while (((bits >> b) & 1) == 0) ++b;
  return b;
#endif
}
}  // namespace qvslots

// A marker sets the slot's bit, then its word's summary bit; this takes a
// summary bit before the word. A mark whose summary bit comes after that is
// found by the next call, so none is lost.
template <typename Visit>
void QvSlotTable::TakeChanged(Visit visit) {
  for (int s = 0; s < summaryWords_; ++s) {
    if (changedSummary_[s].load() == 0) continue;
    std::uint64_t words = changedSummary_[s].exchange(0);
    while (words != 0) {
      const int w = s * 64 + qvslots::LowestBit(words);
      words &= words - 1;
      std::uint64_t bits = changed_[w].exchange(0);
      while (bits != 0) {
        const int b = qvslots::LowestBit(bits);
        bits &= bits - 1;
        visit(w * 64 + b);
      }
    }
  }
}

#endif  // QV_DISPATCH_QVSLOTTABLE_H

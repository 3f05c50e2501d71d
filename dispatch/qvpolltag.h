// qvpolltag.h - what the worker's poller registrations carry (internal).
//
// Each socket the worker watches is registered with a 64-bit tag that the
// poller hands back with its events: for a socket of the slot table, the
// slot and the generation of its registration; for a lingering socket, its
// entry in the linger set and that entry's serial. The top bit tells the
// two apart, so both numbers keep 31 bits: the slot table counts its
// generations modulo 2^31 (kNumberMask), and the linger set its serials.
#ifndef QV_DISPATCH_QVPOLLTAG_H
#define QV_DISPATCH_QVPOLLTAG_H

#include <cstddef>
#include <cstdint>

struct QvPollTag {
  static constexpr std::uint32_t kNumberMask = 0x7FFFFFFFu;

  static std::uint64_t ForSlot(int slot, std::uint32_t generation) { return Make(0, slot, generation); }
  static std::uint64_t ForLinger(std::size_t entry, std::uint32_t serial) {
    return Make(kLingerBit, static_cast<std::uint32_t>(entry), serial);
  }

  static bool IsLinger(std::uint64_t tag) { return (tag & kLingerBit) != 0; }
  // The slot or entry, and the generation or serial.
  static std::uint32_t Index(std::uint64_t tag) { return static_cast<std::uint32_t>(tag); }
  static std::uint32_t Number(std::uint64_t tag) { return static_cast<std::uint32_t>(tag >> 32) & kNumberMask; }

 private:
  static constexpr std::uint64_t kLingerBit = std::uint64_t{1} << 63;
  template <typename Index>
  static std::uint64_t Make(std::uint64_t kind, Index index, std::uint32_t number) {
    return kind | (static_cast<std::uint64_t>(number & kNumberMask) << 32) | static_cast<std::uint32_t>(index);
  }
};

#endif  // QV_DISPATCH_QVPOLLTAG_H

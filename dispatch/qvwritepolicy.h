// qvwritepolicy.h - when the worker asks the system before a queued write
// (internal).
//
// Two states per slot. Trusted: a write queued during a pass is tried at the
// next pass without asking whether the socket is writable, which saves a
// system call per write in the common case of a socket with room. Asking: a
// try that found the socket full, or left bytes queued, makes the slot's
// socket watched for writing, and written only when the system says so,
// until a write drains it; then it is trusted again. A new registration
// starts trusted.
#ifndef QV_DISPATCH_QVWRITEPOLICY_H
#define QV_DISPATCH_QVWRITEPOLICY_H

#include <cstdint>
#include <vector>

class QvWritePolicy {
 public:
  // `slots` slots, all trusted.
  void Reset(std::size_t slots) { asking_.assign(slots, 0); }
  void Trust(int slot) { asking_[static_cast<std::size_t>(slot)] = 0; }
  // For a slot with write interest: try now, without asking (true), or
  // watch for writing (false).
  bool TryNow(int slot) const { return asking_[static_cast<std::size_t>(slot)] == 0; }
  // What a write showed: the socket full (or bytes left), or drained.
  void Wrote(int slot, bool full) { asking_[static_cast<std::size_t>(slot)] = full ? 1 : 0; }

 private:
  std::vector<std::uint8_t> asking_;
};

#endif  // QV_DISPATCH_QVWRITEPOLICY_H

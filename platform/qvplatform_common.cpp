// qvplatform_common.cpp - the parts of the platform layer that are the same
// on every system, built only on the calls of qvplatform.h (so no operating
// system header is needed here): the bounded connect and the lock order
// check.
#include <cstdio>
#include <cstdlib>

#include "qvplatform.h"

namespace qvplat {

ConnectOutcome ConnectWithin(Socket s, std::uint32_t addrNet, int port, int timeoutMs) {
  // Non-blocking before connect(): a blocking connect() waits for the
  // system's own time-out (minutes, against a peer that drops the SYN).
  if (!SetNonBlocking(s)) return ConnectOutcome::kFailed;
  const int started = StartConnect(s, addrNet, port);
  if (started != 0) return started > 0 ? ConnectOutcome::kConnected : ConnectOutcome::kFailed;
  if (WaitConnectDone(s, timeoutMs) < 1) return ConnectOutcome::kWaitFailed;
  return ConnectError(s) == 0 ? ConnectOutcome::kConnected : ConnectOutcome::kFailed;
}

#if !defined(NDEBUG)
namespace {

// The locks this thread holds, innermost last; re-entries are listed again.
// Deeper nesting than this is not checked.
struct HeldLocks {
  static constexpr int kDepth = 64;
  const RecursiveLock* locks[kDepth];
  int count = 0;
  int overflow = 0;
};
thread_local HeldLocks tlsHeld;

bool Holds(const HeldLocks& held, const RecursiveLock* lock) {
  for (int i = 0; i < held.count; ++i) {
    if (held.locks[i] == lock) return true;
  }
  return false;
}

// Aborts when taking `lock` now would break the order of qvlockorder.h.
void CheckOrder(const RecursiveLock* lock) {
  const HeldLocks& held = tlsHeld;
  const int level = lock->Level();
  if (level == kLockUnordered || held.count == 0 || Holds(held, lock)) return;
  int highest = kLockUnordered;
  for (int i = 0; i < held.count; ++i) {
    if (held.locks[i]->Level() > highest) highest = held.locks[i]->Level();
  }
  if (level > highest || (level == highest && NestableLevel(level))) return;
  std::fprintf(stderr, "lock order broken: a lock of level %d taken while one of level %d is held\n", level,
               highest);
  std::fflush(stderr);
  std::abort();
}

void NoteEntered(const RecursiveLock* lock) {
  HeldLocks& held = tlsHeld;
  if (held.count < HeldLocks::kDepth) {
    held.locks[held.count++] = lock;
  } else {
    ++held.overflow;
  }
}

void NoteLeft(const RecursiveLock* lock) {
  HeldLocks& held = tlsHeld;
  if (held.overflow > 0) {
    --held.overflow;
    return;
  }
  for (int i = held.count - 1; i >= 0; --i) {
    if (held.locks[i] != lock) continue;
    for (int k = i; k + 1 < held.count; ++k) held.locks[k] = held.locks[k + 1];
    --held.count;
    return;
  }
}

}  // namespace
#endif

void RecursiveLock::Enter() {
#if !defined(NDEBUG)
  CheckOrder(this);
#endif
  Acquire();
#if !defined(NDEBUG)
  NoteEntered(this);
#endif
}

void RecursiveLock::Leave() {
#if !defined(NDEBUG)
  NoteLeft(this);
#endif
  Release();
}

}  // namespace qvplat

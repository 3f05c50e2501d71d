// qvthreads.h - threads, sleeping and locks (internal).
#ifndef QV_PLATFORM_QVTHREADS_H
#define QV_PLATFORM_QVTHREADS_H

#include <cstdint>

#include "qvlockorder.h"

namespace qvplat {

using ThreadHandle = std::uintptr_t;  // 0 = no thread
using ThreadEntryFn = unsigned (*)(void*);
// Starts a thread at once on entry(argument). 0 when a handle was obtained.
int StartThread(ThreadHandle* handle, ThreadEntryFn entry, void* argument, std::uint32_t* id);
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
// Waits for the thread (at most timeoutMs), releases the handle, sets it to
// 0. True when the thread has ended.
bool JoinThread(ThreadHandle* handle, std::uint32_t timeoutMs);
void SleepMs(std::uint32_t ms);
// Milliseconds of a clock that only goes forward, at the system's coarse
// resolution (a few milliseconds) and at the cost of a memory read.
std::uint64_t CoarseMillis();
void YieldThread();

// True once NoteProcessEnding() was called: the library's static objects
// are being destroyed because the process is ending with its other threads
// already gone (Windows ends them before it unloads libraries); nothing may
// then wait for them.
bool ProcessEnding();
void NoteProcessEnding();

// A re-entrant lock with the semantics of a critical section: the thread
// that holds it may enter it again. Its level places it in the library's
// lock order (qvlockorder.h), which debug builds check on every Enter.
class RecursiveLock {
 public:
  explicit RecursiveLock(int level = kLockUnordered);
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  // Debug builds check the lock order on the way (qvlockorder.h).
#if defined(NDEBUG)
  void Enter() { Acquire(); }
  void Leave() { Release(); }
#else
  void Enter();
  void Leave();
#endif
  int Level() const { return level_; }

 private:
  void Acquire();  // the system's lock; one source per OS
  void Release();

  alignas(8) unsigned char storage_[64];
  int level_;
};

// Holds a lock for its scope; given a null pointer, holds nothing.
class LockGuard {
 public:
  explicit LockGuard(RecursiveLock& lock) : LockGuard(&lock) {}
  explicit LockGuard(RecursiveLock* lock) : lock_(lock) {
    if (lock_ != nullptr) lock_->Enter();
  }
  ~LockGuard() {
    if (lock_ != nullptr) lock_->Leave();
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RecursiveLock* lock_;
};

// A lock with one condition to wait on, for a thread that must wait until
// others have done something. Not re-entrant. A leaf of the lock order:
// nothing else is taken while it is held, so it has no level.
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  void Enter();
  void Leave();
  // Held: lets go of the monitor until woken (spurious wake-ups included),
  // then holds it again. Callers wait in a loop on their condition.
  void Wait();
  // As Wait, but holds the monitor again after at most `ms` milliseconds
  // when nothing woke it.
  void WaitFor(std::uint32_t ms);
  // Wakes every thread in Wait or WaitFor.
  void WakeAll();

 private:
  alignas(8) unsigned char storage_[128];
};

// Holds a monitor for its scope.
class MonitorGuard {
 public:
  explicit MonitorGuard(Monitor& monitor) : monitor_(monitor) { monitor_.Enter(); }
  ~MonitorGuard() { monitor_.Leave(); }
  MonitorGuard(const MonitorGuard&) = delete;
  MonitorGuard& operator=(const MonitorGuard&) = delete;

 private:
  Monitor& monitor_;
};

}  // namespace qvplat

#endif  // QV_PLATFORM_QVTHREADS_H

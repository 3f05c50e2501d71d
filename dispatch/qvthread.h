// qvthread.h - an object that owns one thread (internal).
#ifndef QV_DISPATCH_QVTHREAD_H
#define QV_DISPATCH_QVTHREAD_H

#include <atomic>
#include <cstdint>

#include "../platform/qvthreads.h"

// Starts a thread on entry(argument) at once; 0 when a handle was obtained.
int StartThread(qvplat::ThreadHandle* handle, qvplat::ThreadEntryFn entry, void* argument,
                std::uint32_t* id);
// Waits for the thread (at most timeoutMs), releases the handle, nulls it.
// True when the thread has ended.
bool JoinThread(qvplat::ThreadHandle* handle, std::uint32_t timeoutMs);
// Runs the QvThread given as argument; returns 0.
unsigned ThreadEntry(void* argument);

class QvThread {
 public:
  QvThread();
  // Neither stops nor waits for the thread; the owner stops it first.
  virtual ~QvThread();
  // Runs on the new thread until it returns.
  virtual void Run() = 0;

  // Starts the thread: 0 on success, -1 when no thread could be made. A
  // second Start while the thread runs is ignored and answers 0, so one
  // object never has two threads in its Run. Any thread but this one's.
  int Start();
  // Clears the running flag and waits until Run has returned. Never called
  // on the thread itself (it would wait for itself).
  void Stop();
  // As Stop, but waits at most timeoutMs; true when the thread has ended.
  bool StopWithin(std::uint32_t timeoutMs);
  bool IsRunning() const { return running.load(); }

 protected:
  // Called by Stop after the running flag is cleared and before it waits:
  // a thread that may be asleep is woken here so that it sees the flag.
  virtual void Interrupt() {}

  std::atomic<bool> running;
  std::uint32_t threadId;
  qvplat::ThreadHandle threadHandle;
};

#endif  // QV_DISPATCH_QVTHREAD_H

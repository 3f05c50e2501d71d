// qvthread.cpp - an object that owns one thread.
#include "qvthread.h"

int StartThread(qvplat::ThreadHandle* handle, qvplat::ThreadEntryFn entry, void* argument,
                std::uint32_t* id) {
  return qvplat::StartThread(handle, entry, argument, id);
}

bool JoinThread(qvplat::ThreadHandle* handle, std::uint32_t timeoutMs) {
  return qvplat::JoinThread(handle, timeoutMs);
}

unsigned ThreadEntry(void* argument) {
  static_cast<QvThread*>(argument)->Run();
  return 0;
}

QvThread::QvThread() : running(false), threadId(0), threadHandle(0) {}

QvThread::~QvThread() {}

int QvThread::Start() {
  // Set before the thread exists, so its first look at the flag sees it.
  if (running.exchange(true)) return 0;
  int result = StartThread(&threadHandle, ThreadEntry, this, &threadId);
  if (result != 0) running.store(false);
  return result;
}

void QvThread::Stop() { StopWithin(qvplat::kInfinite); }

bool QvThread::StopWithin(std::uint32_t timeoutMs) {
  if (!running.exchange(false)) return true;
  Interrupt();
  return JoinThread(&threadHandle, timeoutMs);
}

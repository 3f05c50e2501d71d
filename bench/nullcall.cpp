// nullcall - the machine's cost of a null system call: getppid() through
// syscall(), so that no library caches it, in a tight loop. Prints the
// best of five rounds of a million calls, in nanoseconds per call. The
// benchmark runners record it with every run: machines of one kind differ
// by more than ten times in this cost, and what the kernel hides on one
// shows on another.
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

int main() {
  constexpr int kCalls = 1000000;
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; ++i) ::syscall(SYS_getppid);
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / kCalls);
  }
  std::printf("%.0f\n", best);
  return 0;
}

// fuzzsupport.h - what the fuzz targets share: a check that aborts (so that
// the fuzzer keeps the input that broke it), and, for the connection
// targets, a sink that checks what it records and a way to run code on the
// library's worker thread. Sockets, waits and slot queries are the tests'
// own (support/qvtestnet.h, qvtestslots.h, qvrecordingsink.h), all without
// a test framework.
//
// The connection targets call a connection's worker-only operations
// (OnRead, OnWrite, OnError) themselves, as the worker would, so that the
// cutting of a stream into reads is theirs to choose. They do it on the
// worker itself: RunOnWorker hands a body to a socket object registered in
// the table, whose read event runs it. While the body runs, the worker
// serves nothing else, so no other pass races the calls it makes.
#ifndef QV_TESTS_FUZZ_FUZZSUPPORT_H
#define QV_TESTS_FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/qvplatform.h"
#include "support/qvrecordingsink.h"

namespace qvfuzz {

// A broken invariant: names it and aborts.
[[noreturn]] inline void Broken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: broken: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define QVFUZZ_CHECK(cond) ((cond) ? (void)0 : ::qvfuzz::Broken(#cond, __FILE__, __LINE__))

// Shrinks the send buffer of s, so that it fills after a few kilobytes.
void SetSendBuffer(qvplat::Socket s, int bytes);

// A sink that records (qvtest::RecordingSink) and checks what every packet
// must hold: a length and data that go together, and no packet after the
// end.
class CheckedSink : public qvtest::RecordingSink {
 public:
  void OnPacket(const char* data, int length) override {
    QVFUZZ_CHECK(length >= 0 && (data != nullptr || length == 0));
    QVFUZZ_CHECK(disconnected.Count() == 0);
    qvtest::RecordingSink::OnPacket(data, length);
  }
};

// Runs body on the worker thread and returns once it has run. Sets up the
// table and starts the worker on first use, after the settings given (as
// name, value pairs) are in the environment.
void RunOnWorker(const std::function<void()>& body,
                 const std::vector<std::pair<const char*, const char*>>& settings);

// The bytes of a repeating stream (0, 1, ... 250, 0, ...) from the i-th
// on, at least 65536 of them: what the queue targets append and expect.
inline const char* StreamFrom(std::uint64_t i) {
  static const std::string stream = [] {
    std::string s(65536 + 251, '\0');
    for (std::size_t k = 0; k < s.size(); ++k) s[k] = static_cast<char>(k % 251);
    return s;
  }();
  return stream.data() + i % 251;
}

// The plain queue the queue targets are checked against: its bytes in one
// string, the oldest at head_.
class ModelQueue {
 public:
  std::size_t size() const { return bytes_.size() - head_; }
  const char* data() const { return bytes_.data() + head_; }
  char operator[](std::size_t i) const { return bytes_[head_ + i]; }
  void Push(const char* data, std::size_t n) { bytes_.append(data, n); }
  // Drops the oldest n bytes (all of them, at most).
  void Pop(std::size_t n) {
    head_ += n < size() ? n : size();
    if (head_ > 4096 && head_ * 2 > bytes_.size()) {
      bytes_.erase(0, head_);
      head_ = 0;
    }
  }
  void Clear() {
    bytes_.clear();
    head_ = 0;
  }

 private:
  std::string bytes_;
  std::size_t head_ = 0;
};

}  // namespace qvfuzz

#endif  // QV_TESTS_FUZZ_FUZZSUPPORT_H

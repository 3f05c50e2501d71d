// qvtestnet.h - sockets and waits for tests and fuzz targets alike: events
// to wait on, pairs of connected sockets, whole sends and receives, the
// environment. No test framework needed.
#ifndef QV_TESTS_QVTESTNET_H
#define QV_TESTS_QVTESTNET_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/qvplatform.h"
#include "qvtestos.h"

namespace qvtest {

// Generous bound for every wait on an event: a hang fails, a slow machine
// does not.
constexpr std::chrono::milliseconds kEventTimeout{10000};

// A one-shot or counting event to wait on instead of sleeping.
class Event {
 public:
  void Notify() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  // True once Notify has been called `count` times in all.
  bool WaitFor(int count = 1, std::chrono::milliseconds timeout = kEventTimeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }
  int Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

// Waits until `done` holds, re-checking on a short cadence; false on time-out.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kEventTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Sets an environment variable of this process (the library's settings are
// read on first use).
inline void SetEnvironment(const std::string& name, const std::string& value) {
#if defined(_WIN32)
  ::_putenv_s(name.c_str(), value.c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

// Two connected stream sockets, both blocking.
struct SocketPair {
  qvplat::Socket local = qvplat::kNoSocket;   // the end the library drives
  qvplat::Socket remote = qvplat::kNoSocket;  // the test's peer
  void Close() {
    if (local != qvplat::kNoSocket) qvplat::CloseSocket(local);
    if (remote != qvplat::kNoSocket) qvplat::CloseSocket(remote);
    local = remote = qvplat::kNoSocket;
  }
};

// A port on 127.0.0.1 that refuses connections for as long as the socket
// returned is open: bound there, never listening. The port goes in *port.
inline qvplat::Socket RefusingPort(int* port) {
  qvplat::Socket s = qvplat::TcpSocket();
  if (s == qvplat::kInvalidSocket) return s;
  if (!qvplat::BindIPv4(s, qvplat::LoopbackAddress(), 0)) {
    qvplat::CloseSocket(s);
    return qvplat::kInvalidSocket;
  }
  *port = qvplat::LocalPort(s);
  return s;
}

// A listening socket on 127.0.0.1 and a port the system chose (read back
// into *port).
inline qvplat::Socket ListenLoopback(int* port) {
  qvplat::Socket s = RefusingPort(port);
  if (s != qvplat::kInvalidSocket && !qvplat::ListenOn(s, 128)) {
    qvplat::CloseSocket(s);
    return qvplat::kInvalidSocket;
  }
  return s;
}

// The two ends of one TCP connection over 127.0.0.1.
inline bool MakeLoopbackPair(SocketPair* pair) {
  int port = 0;
  qvplat::Socket listener = ListenLoopback(&port);
  if (listener == qvplat::kInvalidSocket) return false;
  pair->remote = qvplat::TcpSocket();
  bool ok = pair->remote != qvplat::kInvalidSocket &&
            qvplat::ConnectIPv4(pair->remote, qvplat::LoopbackAddress(), port);
  if (ok) {
    pair->local = qvplat::AcceptPeer(listener, nullptr);
    ok = pair->local != qvplat::kInvalidSocket;
  }
  qvplat::CloseSocket(listener);
  if (!ok) pair->Close();
  return ok;
}

// The two ends of a local stream: AF_UNIX on POSIX (no ports used up however
// many are made), loopback TCP on Windows.
inline bool MakeLocalPair(SocketPair* pair) {
#if defined(_WIN32)
  return MakeLoopbackPair(pair);
#else
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  pair->local = fds[0];
  pair->remote = fds[1];
  return true;
#endif
}

namespace detail {
// Moves all n bytes with `some` (qvplat::SendSome or RecvSome).
template <class Byte>
bool Whole(qvplat::Socket s, Byte* p, std::size_t n, int (*some)(qvplat::Socket, Byte*, int)) {
  for (int k = 0; n > 0; p += k, n -= static_cast<std::size_t>(k)) {
    const int chunk = n > 65536 ? 65536 : static_cast<int>(n);
    if ((k = some(s, p, chunk)) <= 0) return false;
  }
  return true;
}
}  // namespace detail

// Writes all bytes / reads exactly n bytes (s blocking). False on failure.
inline bool SendAll(qvplat::Socket s, const void* data, std::size_t n) {
  return detail::Whole(s, static_cast<const char*>(data), n, qvplat::SendSome);
}
inline bool RecvExactly(qvplat::Socket s, void* data, std::size_t n) {
  return detail::Whole(s, static_cast<char*>(data), n, qvplat::RecvSome);
}

// Waits until at least n bytes are readable on s (at once with AF_UNIX;
// loopback TCP may take a moment). False on time-out.
inline bool WaitPending(qvplat::Socket s, int n, std::chrono::milliseconds timeout = kEventTimeout) {
  return WaitUntil([&] { return BytesPending(s) >= n; }, timeout);
}

}  // namespace qvtest

#endif  // QV_TESTS_QVTESTNET_H

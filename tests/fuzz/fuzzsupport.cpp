// fuzzsupport.cpp - sockets, settings and the worker door of the connection
// fuzz targets.
#include "fuzzsupport.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "dispatch/qvsocketmanager.h"
#include "support/qvquietsocket.h"
#include "support/qvtestos.h"

#if !defined(_WIN32)
#include <sys/socket.h>
#endif

namespace qvfuzz {

void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

bool MakePair(Pair* pair) {
#if defined(_WIN32)
  qvplat::Socket listener = qvplat::TcpSocket();
  bool ok = listener != qvplat::kInvalidSocket && qvplat::BindIPv4(listener, qvplat::LoopbackAddress(), 0) &&
            qvplat::ListenOn(listener, 1);
  const int port = ok ? qvplat::LocalPort(listener) : 0;
  pair->remote = ok ? qvplat::TcpSocket() : qvplat::kInvalidSocket;
  ok = ok && pair->remote != qvplat::kInvalidSocket &&
       qvplat::ConnectIPv4(pair->remote, qvplat::LoopbackAddress(), port);
  pair->local = ok ? qvplat::AcceptPeer(listener, nullptr) : qvplat::kInvalidSocket;
  ok = ok && pair->local != qvplat::kInvalidSocket;
  if (listener != qvplat::kInvalidSocket) qvplat::CloseSocket(listener);
  if (!ok && pair->remote != qvplat::kInvalidSocket) qvplat::CloseSocket(pair->remote);
  return ok;
#else
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  pair->local = fds[0];
  pair->remote = fds[1];
  return true;
#endif
}

int BytesPending(qvplat::Socket s) { return qvtest::BytesPending(s); }

bool WaitPending(qvplat::Socket s, int n) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (BytesPending(s) < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    qvplat::SleepMs(1);
  }
  return true;
}

bool SendAll(qvplat::Socket s, const char* data, std::size_t n) {
  while (n > 0) {
    const int chunk = n > 65536 ? 65536 : static_cast<int>(n);
    const int sent = qvplat::SendSome(s, data, chunk);
    if (sent <= 0) return false;
    data += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

void SetSendBuffer(qvplat::Socket s, int bytes) { qvtest::SetOption(s, SOL_SOCKET, SO_SNDBUF, bytes); }

namespace {

// A socket object in the table whose read event runs the body handed to it.
class WorkerDoor : public nettest::QuietSocket {
 public:
  WorkerDoor() {
    QVFUZZ_CHECK(MakePair(&pair_));
    QVFUZZ_CHECK(qvplat::SetNonBlocking(pair_.local));
    QVFUZZ_CHECK(QvSocketManager::Instance().Register(pair_.local, ReadInterest, this) == 1);
  }

  void Run(const std::function<void()>& body) {
    std::unique_lock<std::mutex> lock(mutex_);
    body_ = &body;
    done_ = false;
    QVFUZZ_CHECK(qvplat::SendSome(pair_.remote, "x", 1) == 1);
    QVFUZZ_CHECK(done_changed_.wait_for(lock, std::chrono::seconds(60), [this] { return done_; }));
  }

  void OnRead() override {
    char knock[16];
    qvplat::RecvSome(pair_.local, knock, sizeof knock);
    const std::function<void()>* body;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      body = body_;
    }
    if (body != nullptr) (*body)();
    QvSocketManager::Instance().Arm(pair_.local, ReadInterest, this);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      body_ = nullptr;
      done_ = true;
    }
    done_changed_.notify_all();
  }

  bool IsConnected() override { return true; }
  qvplat::Socket GetSocket() override { return pair_.local; }

 private:
  Pair pair_;
  std::mutex mutex_;
  std::condition_variable done_changed_;
  const std::function<void()>* body_ = nullptr;
  bool done_ = false;
};

}  // namespace

void RunOnWorker(const std::function<void()>& body,
                 const std::vector<std::pair<const char*, const char*>>& settings) {
  // Made once and kept for the process: the worker runs until exit.
  static WorkerDoor* const door = [&settings] {
    for (const auto& s : settings) SetEnvironment(s.first, s.second);
#if defined(_WIN32)
    WSADATA wsa;
    QVFUZZ_CHECK(::WSAStartup(MAKEWORD(2, 2), &wsa) == 0);
#endif
    QvSocketManager& manager = QvSocketManager::Instance();
    // A small table: every registration and every release walks it.
    QVFUZZ_CHECK(manager.Init(64));
    QVFUZZ_CHECK(manager.Start() == 0);
    return new WorkerDoor;
  }();
  door->Run(body);
}

int InterestOf(qvplat::Socket s) {
  QvSocketManager& m = QvSocketManager::Instance();
  for (int i = 0; i < m.Capacity(); ++i) {
    if (m.Slot(i).socketHandle == s) return static_cast<int>(m.Slot(i).interest);
  }
  return -1;
}

}  // namespace qvfuzz

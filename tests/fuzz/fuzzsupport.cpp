// fuzzsupport.cpp - the send buffer and the worker door of the connection
// fuzz targets.
#include "fuzzsupport.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "dispatch/qvsocketmanager.h"
#include "support/qvquietsocket.h"
#include "support/qvtestnet.h"
#include "support/qvtestos.h"

namespace qvfuzz {

void SetSendBuffer(qvplat::Socket s, int bytes) { qvtest::SetOption(s, SOL_SOCKET, SO_SNDBUF, bytes); }

namespace {

// A socket object in the table whose read event runs the body handed to it.
class WorkerDoor : public qvtest::QuietSocket {
 public:
  WorkerDoor() {
    QVFUZZ_CHECK(qvtest::MakeLocalPair(&pair_));
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
  qvtest::SocketPair pair_;
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
    for (const auto& s : settings) qvtest::SetEnvironment(s.first, s.second);
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

}  // namespace qvfuzz

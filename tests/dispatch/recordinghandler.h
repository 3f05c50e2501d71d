// recordinghandler.h - a socket object for dispatcher tests: records every
// call the worker makes, with the slot's interest at that moment, and runs
// optional per-test behaviour.
#ifndef QV_TESTS_DISPATCH_RECORDINGHANDLER_H
#define QV_TESTS_DISPATCH_RECORDINGHANDLER_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "dispatch/qvsocketmanager.h"
#include "support/qvtestsupport.h"

// The interest of the slot that holds `socket`, or -1 when none does.
inline int InterestOf(qvplat::Socket socket) {
  QvSocketManager& m = QvSocketManager::Instance();
  for (int i = 0; i < m.Capacity(); ++i) {
    QvSocketManager::SlotView v = m.Slot(i);
    if (v.socketHandle == socket) return static_cast<int>(v.interest);
  }
  return -1;
}

class RecordingHandler : public QvSocketBase {
 public:
  struct Call {
    std::string what;  // "read", "write", "error", "accept"
    int interest;      // the slot's interest when the call began
  };

  explicit RecordingHandler(qvplat::Socket s, SocketKind kind = so_connection) : socket(s), kind_(kind) {}
  // Like the library's own socket objects: never left in the table.
  ~RecordingHandler() override { QvSocketManager::Instance().Forget(this); }

  void ReservedA(int, int, int) override {}
  void Send(const char*, int) override {}
  void Close() override {}
  void Reconnect() override {}
  bool IsConnected() override { return true; }
  SocketKind GetType() override { return kind_; }
  qvplat::Socket GetSocket() override { return socket; }
  void SetSink(QvConnectionSink*) override {}
  void SetCodec(QvPacketCodec*) override {}

  void OnRead() override { Handle("read", onRead); }
  void OnWrite() override { Handle("write", onWrite); }
  void OnError() override { Handle("error", onError); }
  void OnAccept() override { Handle("accept", onAccept); }

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const Call& c : Calls()) names.push_back(c.what);
    return names;
  }

  // Reads whatever is waiting (the socket must be readable).
  void Drain() {
    char buf[4096];
    qvplat::RecvSome(socket, buf, sizeof buf);
  }

  qvplat::Socket socket;
  std::function<void(RecordingHandler&)> onRead, onWrite, onError, onAccept;
  qvtest::Event called;  // notified after every call

 private:
  void Handle(const char* what, const std::function<void(RecordingHandler&)>& behaviour) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(Call{what, InterestOf(socket)});
    }
    if (behaviour) behaviour(*this);
    called.Notify();
  }

  SocketKind kind_;
  std::mutex mutex_;
  std::vector<Call> calls_;
};

#endif  // QV_TESTS_DISPATCH_RECORDINGHANDLER_H

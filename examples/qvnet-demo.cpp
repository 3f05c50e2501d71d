// qvnet-demo - makes a module, starts the worker and shows the slot table
// driving a socket: a loopback connection is registered with a small
// handler, the peer writes to it, and the worker reports and serves it.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "dispatch/qvsocketmanager.h"
#include "qvnet.h"

namespace {

// Reads what arrives and counts it; re-arms read interest after each read.
class CountingHandler : public QvSocketBase {
 public:
  explicit CountingHandler(qvplat::Socket s) : socket_(s) {}
  void ReservedA(int, int, int) override {}
  void Send(const char*, int) override {}
  void Close() override {}
  void Reconnect() override {}
  bool IsConnected() override { return true; }
  SocketKind GetType() override { return so_connection; }
  qvplat::Socket GetSocket() override { return socket_; }
  void SetSink(QvConnectionSink*) override {}
  void SetCodec(QvPacketCodec*) override {}
  void OnRead() override {
    char buf[256];
    int n = qvplat::RecvSome(socket_, buf, sizeof buf);
    if (n > 0) received += n;
    QvSocketManager::Instance().Arm(socket_, ReadInterest, this);
  }
  std::atomic<int> received{0};

 private:
  qvplat::Socket socket_;
};

bool MakePair(qvplat::Socket* local, qvplat::Socket* remote) {
  qvplat::Socket listener = qvplat::TcpSocket();
  if (!qvplat::BindIPv4(listener, qvplat::LoopbackAddress(), 0) || !qvplat::ListenOn(listener, 1)) return false;
  *remote = qvplat::TcpSocket();
  if (!qvplat::ConnectIPv4(*remote, qvplat::LoopbackAddress(), qvplat::LocalPort(listener))) return false;
  *local = qvplat::AcceptPeer(listener, nullptr);
  qvplat::CloseSocket(listener);
  return *local != qvplat::kInvalidSocket;
}

}  // namespace

int main() {
  QvNetModule* module = CreateNetModule();
  QvSocketManager& table = QvSocketManager::Instance();
  std::printf("module created; slot table has %d slots\n", table.Capacity());
  module->Start(0);

  qvplat::Socket local, remote;
  if (!MakePair(&local, &remote)) {
    std::printf("could not make a loopback connection\n");
    return 1;
  }
  CountingHandler handler(local);
  std::printf("Register -> %d, again -> ", table.Register(local, ReadInterest, &handler));
  std::printf("%d\n", table.Register(local, ReadInterest, &handler));

  const char message[] = "hello, worker";
  for (int i = 0; i < 3; ++i) qvplat::SendSome(remote, message, static_cast<int>(std::strlen(message)));
  const int expected = 3 * static_cast<int>(std::strlen(message));
  for (int waited = 0; handler.received.load() < expected && waited < 5000; waited += 10) qvplat::SleepMs(10);

  std::printf("worker received %d of %d bytes\n", handler.received.load(), expected);
  std::printf("Unregister -> %d, again -> ", table.Unregister(local));
  std::printf("%d\n", table.Unregister(local));
  qvplat::CloseSocket(local);
  qvplat::CloseSocket(remote);
  module->Release();
  return handler.received.load() == expected ? 0 : 1;
}

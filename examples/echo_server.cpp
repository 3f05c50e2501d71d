// echo_server - answers every frame with itself.
//
//   echo_server PORT      listens on 127.0.0.1:PORT until it is stopped; with
//                         PORT 0 the system picks a free port
//
// Once listening it writes "echo_server: listening on 127.0.0.1:PORT" to
// standard error, with the port it listens on.
// Console traces of the library go to standard output (GBK text) unless the
// library's settings say otherwise (QVNET_TRACE=off, for one); this
// program's own messages go to standard error.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "qvnet.h"
#include "winsockinit.h"

// One per connection: the sink learns its connection in OnConnected.
class EchoSession : public QvConnectionSink {
 public:
  explicit EchoSession(int* finishedCount) : finishedCount_(finishedCount) {}
  void OnConnected(QvSocket* c) override { connection = c; }
  void OnConnectFailed() override {}
  void OnDisconnected() override {
    finished = true;
    ++*finishedCount_;
  }
  void OnPacket(const char* data, int length) override { connection->Send(data, length); }

  QvSocket* connection = nullptr;
  bool finished = false;  // read and written on the worker thread only

 private:
  int* finishedCount_;  // the acceptor's count of sessions to free
};

class EchoAcceptor : public QvAcceptHandler {
 public:
  void OnAccept(const sockaddr_in*) override {}
  QvConnectionSink* CreateSink() override {
    Reap();
    sessions_.push_back(new EchoSession(&finished_));
    return sessions_.back();
  }

 private:
  // Frees the sessions whose peers have gone. This runs on the worker but
  // outside those connections' own callbacks, where deleting them is safe.
  // Only when some have gone: a server holding thousands of connections
  // does not look through them all at every accept.
  void Reap() {
    if (finished_ == 0) return;
    auto gone = std::remove_if(sessions_.begin(), sessions_.end(), [](EchoSession* s) {
      if (!s->finished) return false;
      delete s->connection;
      delete s;
      return true;
    });
    sessions_.erase(gone, sessions_.end());
    finished_ = 0;
  }
  std::vector<EchoSession*> sessions_;
  int finished_ = 0;  // sessions finished since the last Reap (worker only)
};

int main(int argc, char** argv) {
  char* end = nullptr;
  const long port = argc == 2 ? std::strtol(argv[1], &end, 10) : -1;
  if (argc != 2 || end == argv[1] || *end != '\0' || port < 0 || port > 65535) {
    std::fprintf(stderr, "usage: echo_server PORT\n");
    return 2;
  }
  WinsockInit sockets;

  QvNetModule* module = CreateNetModule();
  QvListenerApi* listener = module->CreateListener();
  listener->SetAcceptHandler(new EchoAcceptor);
  if (!listener->Listen("127.0.0.1", static_cast<int>(port))) {
    std::fprintf(stderr, "echo_server: cannot listen on 127.0.0.1:%ld\n", port);
    return 1;
  }
  module->Start(0);
  std::fprintf(stderr, "echo_server: listening on 127.0.0.1:%d\n", listener->LocalPort());
  std::fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

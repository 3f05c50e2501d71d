// hello - a program built against an installed QvWinNetModule, out of the
// source tree: a listener and a client in one process exchange one frame
// over 127.0.0.1, and it exits 0 when the frame came back.
#include <qvnet/qvnet.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>

// The server's side: answers every frame with itself.
struct Echo : QvConnectionSink {
  QvSocket* connection = nullptr;
  void OnConnected(QvSocket* c) override { connection = c; }
  void OnConnectFailed() override {}
  void OnDisconnected() override {}
  void OnPacket(const char* data, int length) override { connection->Send(data, length); }
};

struct Acceptor : QvAcceptHandler {
  void OnAccept(const sockaddr_in*) override {}
  QvConnectionSink* CreateSink() override { return new Echo; }
};

// The client's side: keeps what comes back.
struct Client : QvConnectionSink {
  QvSocket* connection = nullptr;
  std::mutex mutex;
  std::condition_variable arrived;
  std::string reply;
  bool done = false;

  void OnConnected(QvSocket* c) override { connection = c; }
  void OnConnectFailed() override {}
  void OnDisconnected() override { Finish(std::string()); }
  void OnPacket(const char* data, int length) override { Finish(std::string(data, static_cast<size_t>(length))); }
  void Finish(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (done) return;
    reply = text;
    done = true;
    arrived.notify_all();
  }
};

int main() {
  QvNetModule* module = CreateNetModule();
  QvListenerApi* listener = module->CreateListener();
  listener->SetAcceptHandler(new Acceptor);
  // A listener cannot tell which port it got, so try a few.
  std::random_device seed;
  const int first = 20000 + static_cast<int>(seed() % 30000);
  int port = 0;
  for (int p = first; p < first + 200 && port == 0; ++p) {
    if (listener->Listen("127.0.0.1", p)) port = p;
  }
  if (port == 0) {
    std::fprintf(stderr, "hello: found no free port\n");
    return 1;
  }
  module->Start(0);

  QvNetClient* connector = module->CreateClient(0);
  Client client;
  connector->SetSink(&client);
  connector->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  if (client.connection == nullptr) {
    std::fprintf(stderr, "hello: cannot connect to 127.0.0.1:%d\n", port);
    return 1;
  }
  client.connection->Send("hello", 5);

  std::unique_lock<std::mutex> lock(client.mutex);
  client.arrived.wait_for(lock, std::chrono::seconds(10), [&] { return client.done; });
  const bool ok = client.reply == "hello";
  lock.unlock();
  std::fprintf(stderr, ok ? "hello: the frame came back from 127.0.0.1:%d\n" : "hello: no answer from 127.0.0.1:%d\n",
               port);

  client.connection->Close();  // no callback follows a Close
  listener->Close();
  connector->Release();
  module->Release();
  return ok ? 0 : 1;
}

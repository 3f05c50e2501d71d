// hello - a program built against an installed QvWinNetModule, out of the
// source tree: a listener and a client in one process exchange one frame
// over 127.0.0.1, and it exits 0 when the frame came back.
#include <qvnet/qvnet.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
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

// The client's side: keeps the first frame that comes back ("" when the
// connection closed first).
struct Client : QvConnectionSink {
  QvSocket* connection = nullptr;
  std::promise<std::string> reply;
  std::once_flag replied;

  void OnConnected(QvSocket* c) override { connection = c; }
  void OnConnectFailed() override {}
  void OnDisconnected() override { Reply(std::string()); }
  void OnPacket(const char* data, int length) override { Reply(std::string(data, static_cast<size_t>(length))); }
  void Reply(const std::string& text) {
    std::call_once(replied, [&] { reply.set_value(text); });
  }
};

int main() {
  QvNetModule* module = CreateNetModule();
  QvListenerApi* listener = module->CreateListener();
  listener->SetAcceptHandler(new Acceptor);
  // Port 0: the system chooses, and the listener tells which.
  if (!listener->Listen("127.0.0.1", 0)) {
    std::fprintf(stderr, "hello: cannot listen on 127.0.0.1\n");
    return 1;
  }
  const int port = listener->LocalPort();
  module->Start(0);

  QvNetClient* connector = module->CreateClient(0);
  Client client;
  std::future<std::string> reply = client.reply.get_future();
  connector->SetSink(&client);
  connector->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  if (client.connection == nullptr) {
    std::fprintf(stderr, "hello: cannot connect to 127.0.0.1:%d\n", port);
    return 1;
  }
  client.connection->Send("hello", 5);
  const bool ok = reply.wait_for(std::chrono::seconds(10)) == std::future_status::ready && reply.get() == "hello";
  std::fprintf(stderr, ok ? "hello: the frame came back from 127.0.0.1:%d\n" : "hello: no answer from 127.0.0.1:%d\n",
               port);

  client.connection->Close();  // no callback follows a Close
  listener->Close();
  connector->Release();
  module->Release();
  return ok ? 0 : 1;
}

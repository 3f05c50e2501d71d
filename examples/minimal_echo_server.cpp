// A complete echo server: every frame that arrives goes back to its sender.
#include <chrono>
#include <thread>

#include "qvnet.h"

struct Echo : QvConnectionSink {
  QvSocket* connection = nullptr;
  void OnConnected(QvSocket* c) override { connection = c; }       // worker thread
  void OnPacket(const char* data, int length) override {            // worker thread
    connection->Send(data, length);
  }
  void OnConnectFailed() override {}
  void OnDisconnected() override {}  // the connection is closed; it stays allocated
};

struct Acceptor : QvAcceptHandler {
  void OnAccept(const sockaddr_in*) override {}
  QvConnectionSink* CreateSink() override { return new Echo; }   // one sink per peer
};

int main() {
  QvNetModule* module = CreateNetModule();
  QvListenerApi* listener = module->CreateListener();
  listener->SetAcceptHandler(new Acceptor);   // the listener deletes it in ReleaseHandlers
  if (!listener->Listen("127.0.0.1", 7000)) return 1;
  module->Start(0);                           // from here on the worker serves every socket
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// echo_client - sends every line typed on standard input as one frame and
// prints the echoes.
//
//   echo_client [HOST] PORT
//
// Standard output carries the echoes alone: the program turns the library's
// console traces off (QVNET_TRACE=off) unless the environment says where
// they go.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "qvnet.h"
#include "settingdefault.h"
#include "winsockinit.h"

class EchoPrinter : public QvConnectionSink {
 public:
  void OnConnected(QvSocket* c) override { connection = c; }
  void OnConnectFailed() override { std::fprintf(stderr, "echo_client: connection failed\n"); }
  void OnDisconnected() override {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    changed.notify_all();
  }
  void OnPacket(const char* data, int length) override {
    std::printf("echo: %.*s\n", length, data);
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(mutex);
    ++echoes;
    changed.notify_all();
  }

  QvSocket* connection = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  int echoes = 0;
  bool closed = false;
};

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: echo_client [HOST] PORT\n");
    return 2;
  }
  const char* host = argc == 3 ? argv[1] : "127.0.0.1";
  const int port = std::atoi(argv[argc - 1]);
  DefaultSetting("QVNET_TRACE", "off");  // before the library's first trace
  WinsockInit sockets;

  QvNetModule* module = CreateNetModule();
  module->Start(0);
  QvNetClient* client = module->CreateClient(0);
  EchoPrinter printer;
  client->SetSink(&printer);
  client->Connect(host, port, 0, nullptr, 0, nullptr, nullptr);
  if (printer.connection == nullptr) return 1;

  int sent = 0;
  char line[40956];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    size_t length = std::strcspn(line, "\r\n");
    printer.connection->Send(line, static_cast<int>(length));
    ++sent;
  }

  // Standard input is done: wait (a while at most) for the last echoes.
  std::unique_lock<std::mutex> lock(printer.mutex);
  bool all = printer.changed.wait_for(lock, std::chrono::seconds(10),
                                      [&] { return printer.echoes >= sent || printer.closed; });
  bool complete = all && printer.echoes >= sent;
  lock.unlock();
  printer.connection->Close();  // no callback follows a Close
  delete printer.connection;
  client->Release();
  return complete ? 0 : 1;
}

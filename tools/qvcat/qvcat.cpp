// qvcat - talk to a QvWinNetModule peer from the command line.
//
//   qvcat [options] connect HOST PORT
//   qvcat [options] listen PORT
//
// Every line of standard input goes out as one frame (without its line end);
// every frame received is printed, as "[LENGTH] text" or as a hex dump. See
// kUsage (qvcatinput.cpp) and README.md ("Poke at a server with qvcat").
// Reading the arguments, the input lines and --file, and the forms of a
// printed frame, live in qvcatinput.{h,cpp}.
//
// Standard output carries qvcat's own output only: before it uses the
// library, qvcat turns the library's console traces off with the library's
// own setting (QVNET_TRACE=off), or on with --traces (stdout), unless the
// environment already says where they go.
//
// qvcat writes no log unless the environment asks for one (QVNET_LOG=on, or
// a QVNET_LOG_FILE): run in a server's directory, it must not empty the
// server's ./Log/Network.log, which the library would do as it loads,
// before main.
//
// qvcat uses the library as any application does: the public headers and the
// shared library.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvcatinput.h"
#include "qvnet.h"
#include "settingdefault.h"  // shared with the examples
#include "winsockinit.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

QVNET_LOG_OFF_BY_DEFAULT;

namespace {

using Clock = std::chrono::steady_clock;

using qvcat::kExitFailure;
using qvcat::kExitOk;
using qvcat::kExitUsage;
using qvcat::Options;

// ----------------------------------------------------------------- errors

[[noreturn]] void Fail(int status, const std::string& reason) {
  std::fprintf(stderr, "qvcat: %s\n", reason.c_str());
  std::fflush(nullptr);
  std::_Exit(status);
}

// ----------------------------------------------------------------- output

// Says where the library's traces go, unless the environment does: nowhere,
// or with --traces on standard output. Before the first trace, which is
// when the library reads the setting.
void ChooseTraces(bool traces) { DefaultSetting("QVNET_TRACE", traces ? "stdout" : "off"); }

// qvcat's own standard output, one frame at a time (traces, when asked
// for, come between frames).
class Output {
 public:
  void Frame(const char* data, int length, bool hex) {
    const std::string text = qvcat::FormatFrame(data, length, hex);
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

  void Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fflush(out_);
  }

 private:
  std::mutex mutex_;
  FILE* const out_ = stdout;
};

// ------------------------------------------------------------------ state

// What the main thread waits on. Never held while calling into the library.
class State {
 public:
  explicit State(long count) : count_(count) {}

  // A frame came: whether to print it (false once --count frames came).
  bool TakeFrame() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0 && taken_ >= count_) return false;
    ++taken_;
    return true;
  }
  void FramePrinted() { Change([this] { ++printed_; }); }
  void PeerClosed() { Change([this] { closed_ = true; }); }
  void InputDone() { Change([this] { inputDone_ = true; }); }
  void InputFailed(const std::string& reason) {
    Change([&] {
      inputError_ = reason;
      inputDone_ = true;
    });
  }
  void PeerCame() { Change([this] { ++peers_; }); }
  void PeerLeft() { Change([this] { --peers_; }); }

  bool CountReached() const { return count_ > 0 && printed_ >= count_; }

  // Waits (until `deadline` at most) for `done`, which reads the fields
  // below under the lock.
  template <typename Done>
  bool WaitUntil(Done done, Clock::time_point deadline = Clock::time_point::max()) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (deadline == Clock::time_point::max()) {
      changed_.wait(lock, done);
      return true;
    }
    return changed_.wait_until(lock, deadline, done);
  }

  template <typename F>
  auto Read(F read) {
    std::lock_guard<std::mutex> lock(mutex_);
    return read();
  }

  const long count_;
  long taken_ = 0;
  long printed_ = 0;
  bool closed_ = false;
  bool inputDone_ = false;
  std::string inputError_;
  int peers_ = 0;

 private:
  template <typename F>
  void Change(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f();
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
};

struct Tool {
  explicit Tool(const Options& o) : options(o), state(o.count) {}
  const Options& options;
  std::string fileBytes;
  Output output;
  State state;

  // A frame arrived on `connection` (worker thread).
  void Received(QvSocket* connection, const char* data, int length) {
    if (!state.TakeFrame()) return;
    output.Frame(data, length, options.hex);
    if (options.echo && connection != nullptr) connection->Send(data, length);
    state.FramePrinted();
  }

  // Ends the process through exit(), so that the library delivers what the
  // connections closed before still had queued.
  [[noreturn]] void Finish(int status, const std::string& reason = std::string()) {
    output.Flush();
    if (!reason.empty()) std::fprintf(stderr, "qvcat: %s\n", reason.c_str());
    std::fflush(nullptr);
    std::exit(status);
  }
};

// Reads standard input line by line and hands each line (line end cut off)
// to `send`; tells the state when the input ends.
template <typename Send>
void ReadLines(Tool* tool, Send send) {
  const std::string error = qvcat::ReadLines(std::cin, send);
  if (error.empty()) {
    tool->state.InputDone();
  } else {
    tool->state.InputFailed(error);
  }
}

// ---------------------------------------------------------------- connect

class ConnectSink : public QvConnectionSink {
 public:
  explicit ConnectSink(Tool* tool) : tool_(tool) {}
  void OnConnected(QvSocket* c) override { connection.store(c); }
  void OnConnectFailed() override {}
  void OnDisconnected() override { tool_->state.PeerClosed(); }
  void OnPacket(const char* data, int length) override { tool_->Received(connection.load(), data, length); }

  std::atomic<QvSocket*> connection{nullptr};

 private:
  Tool* tool_;
};

[[noreturn]] void RunConnect(Tool* tool) {
  const Options& o = tool->options;
  const std::string where = o.host + ":" + std::to_string(o.port);
  QvNetModule* module = CreateNetModule();
  module->Start(0);
  QvNetClient* client = module->CreateClient(0);
  ConnectSink sink(tool);
  client->SetSink(&sink);
  client->Connect(o.host.c_str(), o.port, 0, nullptr, 0, nullptr, nullptr);
  // The connection lives on without them.
  client->Release();
  module->Release();
  QvSocket* connection = sink.connection.load();
  if (connection == nullptr) tool->Finish(kExitFailure, "cannot connect to " + where + " (refused or unreachable)");

  auto send = [connection](const std::string& payload) {
    connection->Send(payload.data(), static_cast<int>(payload.size()));
  };
  if (o.haveFile) {
    send(tool->fileBytes);
    tool->state.InputDone();
  } else {
    // Detached: it may sit in a read of standard input when qvcat ends.
    std::thread([tool, send] { ReadLines(tool, send); }).detach();
  }

  State& s = tool->state;
  s.WaitUntil([&] { return s.CountReached() || s.closed_ || s.inputDone_; });
  auto progress = [&] {
    return s.Read([&] { return std::to_string(s.printed_) + " of " + std::to_string(s.count_) + " frames"; });
  };
  int status = kExitFailure;
  std::string reason;
  const std::string inputError = s.Read([&] { return s.inputError_; });
  if (s.Read([&] { return s.CountReached(); })) {
    status = kExitOk;
  } else if (!inputError.empty()) {
    reason = inputError;
  } else if (s.Read([&] { return s.closed_; })) {
    reason = "connection closed by the peer" + (o.count > 0 ? " after " + progress() : std::string());
  } else if (o.count == 0) {
    status = kExitOk;  // the input is sent
  } else if (s.WaitUntil([&] { return s.CountReached() || s.closed_; },
                         Clock::now() + std::chrono::seconds(o.waitSeconds)) &&
             s.Read([&] { return s.CountReached(); })) {
    status = kExitOk;
  } else if (s.Read([&] { return s.closed_; })) {
    reason = "connection closed by the peer after " + progress();
  } else {
    reason = "gave up waiting after " + std::to_string(o.waitSeconds) + " s: " + progress() + " came";
  }
  connection->Close();
  tool->Finish(status, reason);
}

// ----------------------------------------------------------------- listen

class ListenSession : public QvConnectionSink {
 public:
  ListenSession(Tool* tool, std::string peer) : tool_(tool), peer_(std::move(peer)) {}

  void OnConnected(QvSocket* c) override {
    connection.store(c);
    std::fprintf(stderr, "qvcat: peer %s connected\n", peer_.c_str());
    if (tool_->options.haveFile) c->Send(tool_->fileBytes.data(), static_cast<int>(tool_->fileBytes.size()));
    tool_->state.PeerCame();
  }
  void OnConnectFailed() override {}
  // May run inside the library's send path: takes no lock that a thread
  // holds while it sends.
  void OnDisconnected() override {
    finished.store(true);
    std::fprintf(stderr, "qvcat: peer %s left\n", peer_.c_str());
    tool_->state.PeerLeft();
  }
  void OnPacket(const char* data, int length) override { tool_->Received(connection.load(), data, length); }

  std::atomic<QvSocket*> connection{nullptr};
  std::atomic<bool> finished{false};

 private:
  Tool* tool_;
  const std::string peer_;
};

// Every peer at once. The sessions of peers that left are freed when the
// next peer comes (on the worker, outside those connections' callbacks).
class ListenAcceptor : public QvAcceptHandler {
 public:
  explicit ListenAcceptor(Tool* tool) : tool_(tool) {}

  void OnAccept(const sockaddr_in* peer) override {
    const unsigned long address = ntohl(peer->sin_addr.s_addr);
    pendingPeer_ = std::to_string((address >> 24) & 255) + "." + std::to_string((address >> 16) & 255) + "." +
                   std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255) + ":" +
                   std::to_string(ntohs(peer->sin_port));
  }

  QvConnectionSink* CreateSink() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ListenSession*> live;
    for (ListenSession* s : sessions_) {
      if (s->finished.load()) {
        delete s->connection.load();
        delete s;
      } else {
        live.push_back(s);
      }
    }
    sessions_.swap(live);
    sessions_.push_back(new ListenSession(tool_, pendingPeer_));
    return sessions_.back();
  }

  // Sends to every peer connected now (input thread).
  void Broadcast(const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ListenSession* s : sessions_) {
      QvSocket* c = s->connection.load();
      if (c == nullptr || s->finished.load()) continue;
      c->Send(payload.data(), static_cast<int>(payload.size()));
    }
  }

  // Closes every peer's connection: what was sent to it still goes out.
  void CloseAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ListenSession* s : sessions_) {
      if (QvSocket* c = s->connection.load()) c->Close();
    }
  }

 private:
  Tool* tool_;
  std::string pendingPeer_;  // worker thread only
  std::mutex mutex_;
  std::vector<ListenSession*> sessions_;
};

[[noreturn]] void RunListen(Tool* tool) {
  const Options& o = tool->options;
  const std::string where = o.bind + ":" + std::to_string(o.port);
  QvNetModule* module = CreateNetModule();
  // Both live as long as the process.
  static QvListenerApi* const listener = module->CreateListener();
  static ListenAcceptor* const acceptor = new ListenAcceptor(tool);
  listener->SetAcceptHandler(acceptor);
  if (!listener->Listen(o.bind.c_str(), o.port)) tool->Finish(kExitFailure, "cannot listen on " + where);
  module->Start(0);
  module->Release();
  // The port bound: the one asked for, or for 0 the one the system chose.
  std::fprintf(stderr, "qvcat: listening on %s:%d\n", o.bind.c_str(), listener->LocalPort());

  State& s = tool->state;
  if (!o.haveFile) {
    std::thread([tool, &s] {
      ReadLines(tool, [&s](const std::string& line) {
        s.WaitUntil([&] { return s.peers_ > 0; });  // input waits for a peer
        acceptor->Broadcast(line);
      });
    }).detach();
  }
  // Runs until --count frames came (or the input failed, or it is stopped).
  s.WaitUntil([&] { return s.CountReached() || !s.inputError_.empty(); });
  const std::string inputError = s.Read([&] { return s.inputError_; });
  if (!inputError.empty()) tool->Finish(kExitFailure, inputError);
  listener->Close();
  acceptor->CloseAll();
  tool->Finish(kExitOk);
}

}  // namespace

int main(int argc, char** argv) {
  const qvcat::Arguments arguments = qvcat::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (arguments.outcome == qvcat::Arguments::kHelp) {
    std::fputs(qvcat::kUsage, stdout);
    std::exit(kExitOk);
  }
  if (arguments.outcome == qvcat::Arguments::kUsage) Fail(kExitUsage, arguments.error);
  const Options& options = arguments.options;
  std::ios::sync_with_stdio(false);
  Tool tool(options);
  if (options.haveFile) {
    std::string error;
    if (!qvcat::ReadFrameFile(options.file, &tool.fileBytes, &error)) Fail(kExitUsage, error);
  }
  WinsockInit sockets;
  ChooseTraces(options.traces);
  if (options.listen) RunListen(&tool);
  RunConnect(&tool);
}

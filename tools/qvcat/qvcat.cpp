// qvcat - talk to a QvWinNetModule peer from the command line.
//
//   qvcat [options] connect HOST PORT
//   qvcat [options] listen PORT
//
// Every line of standard input goes out as one frame (without its line end);
// every frame received is printed, as "[LENGTH] text" or as a hex dump. See
// Usage() below and README.md ("Poke at a server with qvcat").
//
// Standard output carries qvcat's own output only: before it uses the
// library, qvcat turns the library's console traces off with the library's
// own setting (QVNET_TRACE=off), or on with --traces (stdout), unless the
// environment already says where they go.
//
// qvcat uses the library as any application does: the public headers and the
// shared library.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvnet.h"
#include "settingdefault.h"  // shared with the examples
#include "winsockinit.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The largest payload the library's default framing takes.
constexpr int kLargestPayload = 40955;

enum Exit { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

const char kUsage[] =
    "usage: qvcat [options] connect HOST PORT\n"
    "       qvcat [options] listen PORT\n"
    "\n"
    "Sends every line of standard input as one frame (without its line end)\n"
    "and prints every frame received, one line each: \"[LENGTH] text\".\n"
    "\n"
    "options:\n"
    "  --file F      send the bytes of file F as one frame (at most 40955 bytes)\n"
    "                instead of reading standard input; in listen mode every\n"
    "                peer gets it as soon as it connects\n"
    "  --hex         print every frame as a hex dump\n"
    "  --count N     exit once N frames have been received\n"
    "  --wait S      connect mode: once the input is sent, wait at most S seconds\n"
    "                (default 10) for the rest of the --count frames\n"
    "  --echo        answer every frame received with itself\n"
    "  --bind ADDR   listen mode: the IPv4 address to listen on (default 127.0.0.1)\n"
    "  --traces      also show the library's console traces on standard output\n"
    "                (QVNET_TRACE=stdout); without it qvcat sets QVNET_TRACE=off\n"
    "  --help        show this help\n"
    "\n"
    "Text output shows bytes below 0x20, 0x7f and backslash as \\n, \\r, \\t, \\\\\n"
    "or \\xHH, so that each frame stays on one line.\n"
    "\n"
    "connect: ends when the input is sent (and, with --count, N frames have\n"
    "  come), or as soon as N frames have come.\n"
    "listen: serves every peer at once; standard input goes to every peer\n"
    "  connected at the time (reading waits for the first one); runs until\n"
    "  --count frames have come from all peers together, or until stopped.\n"
    "  Peers coming and going are reported on standard error.\n"
    "\n"
    "exit status: 0 clean end, 1 network failure (refused, closed by the peer,\n"
    "  frames missing after --wait), 2 bad arguments or unusable --file.\n"
    "\n"
    "The library's settings (environment variables) apply; one set in the\n"
    "environment wins over qvcat's choice:\n"
    "  QVNET_TRACE=stdout|stderr|off     where the library's traces go\n"
    "  QVNET_TRACE_ENCODING=gbk|utf-8    the traces' encoding (default gbk)\n"
    "  QVNET_LOG=on|off                  the log file (default on)\n"
    "  QVNET_LOG_FILE=PATH               its path (default ./Log/Network.log)\n"
    "  QVNET_SEND_LIMIT, QVNET_LINGER_SECONDS   see the library's README\n"
    "The reason of a network failure is the log's last line.\n";

// ---------------------------------------------------------------- options

struct Options {
  bool listen = false;
  bool haveBind = false;
  bool haveWait = false;
  std::string host;
  int port = 0;
  std::string bind = "127.0.0.1";
  bool haveFile = false;
  std::string file;
  bool hex = false;
  long count = 0;  // 0: no limit
  int waitSeconds = 10;
  bool echo = false;
  bool traces = false;
};

[[noreturn]] void Fail(int status, const std::string& reason) {
  std::fprintf(stderr, "qvcat: %s\n", reason.c_str());
  std::fflush(nullptr);
  std::_Exit(status);
}

[[noreturn]] void UsageError(const std::string& reason) { Fail(kExitUsage, reason + " (see qvcat --help)"); }

bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

int ParsePort(const std::string& text) {
  long port = 0;
  if (!ParseNumber(text, 1, 65535, &port)) UsageError("bad port '" + text + "' (1 to 65535)");
  return static_cast<int>(port);
}

Options ParseArguments(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (arg.compare(0, 2, "--") == 0) {
      const size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        inlineValue = true;
      }
    }
    auto takeValue = [&]() -> std::string {
      if (inlineValue) return value;
      if (i + 1 >= argc) UsageError(arg + " needs a value");
      return argv[++i];
    };
    auto noValue = [&] {
      if (inlineValue) UsageError(arg + " takes no value");
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(kExitOk);
    } else if (arg == "--hex") {
      noValue();
      o.hex = true;
    } else if (arg == "--echo") {
      noValue();
      o.echo = true;
    } else if (arg == "--traces") {
      noValue();
      o.traces = true;
    } else if (arg == "--file") {
      o.file = takeValue();
      o.haveFile = true;
    } else if (arg == "--bind") {
      o.bind = takeValue();
      o.haveBind = true;
    } else if (arg == "--count") {
      const std::string text = takeValue();
      if (!ParseNumber(text, 1, 999999999, &o.count)) UsageError("bad --count '" + text + "' (a number from 1)");
    } else if (arg == "--wait") {
      const std::string text = takeValue();
      long seconds = 0;
      if (!ParseNumber(text, 0, 86400, &seconds)) UsageError("bad --wait '" + text + "' (seconds, 0 to 86400)");
      o.waitSeconds = static_cast<int>(seconds);
      o.haveWait = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      UsageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) UsageError("say connect HOST PORT or listen PORT");
  if (positional[0] == "connect") {
    if (positional.size() != 3) UsageError("connect takes HOST and PORT");
    o.host = positional[1];
    if (o.host.empty()) UsageError("empty HOST");
    o.port = ParsePort(positional[2]);
  } else if (positional[0] == "listen") {
    if (positional.size() != 2) UsageError("listen takes PORT");
    o.listen = true;
    o.port = ParsePort(positional[1]);
  } else {
    UsageError("unknown mode '" + positional[0] + "' (connect or listen)");
  }
  if (o.haveBind && !o.listen) UsageError("--bind is for listen mode");
  if (o.haveWait && o.listen) UsageError("--wait is for connect mode");
  return o;
}

// The file's bytes, checked against the frame limit before any connecting.
std::string ReadFrameFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(kExitUsage, "cannot read " + path + ": " + std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) Fail(kExitUsage, "cannot read " + path);
  if (bytes.size() > static_cast<size_t>(kLargestPayload)) {
    Fail(kExitUsage, path + " is " + std::to_string(bytes.size()) + " bytes, over the 40955-byte limit of one frame");
  }
  return bytes;
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
    std::string text = "[" + std::to_string(length) + "]";
    if (hex) {
      text += '\n';
      AppendHexDump(data, length, &text);
    } else {
      if (length > 0) text += ' ';
      AppendEscaped(data, length, &text);
      text += '\n';
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

  void Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_ != nullptr) std::fflush(out_);
  }

 private:
  static void AppendEscaped(const char* data, int length, std::string* text) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < length; ++i) {
      const unsigned char c = static_cast<unsigned char>(data[i]);
      switch (c) {
        case '\\': *text += "\\\\"; break;
        case '\n': *text += "\\n"; break;
        case '\r': *text += "\\r"; break;
        case '\t': *text += "\\t"; break;
        default:
          if (c < 0x20 || c == 0x7f) {
            *text += "\\x";
            *text += kDigits[c >> 4];
            *text += kDigits[c & 15];
          } else {
            *text += static_cast<char>(c);
          }
      }
    }
  }

  // 00000000  68 65 6c 6c 6f 0a                                 |hello.|
  static void AppendHexDump(const char* data, int length, std::string* text) {
    char cell[16];
    for (int line = 0; line < length; line += 16) {
      std::snprintf(cell, sizeof cell, "%08x  ", static_cast<unsigned>(line));
      *text += cell;
      for (int i = 0; i < 16; ++i) {
        if (line + i < length) {
          std::snprintf(cell, sizeof cell, "%02x ", static_cast<unsigned char>(data[line + i]));
          *text += cell;
        } else {
          *text += "   ";
        }
        if (i == 7) *text += ' ';
      }
      *text += " |";
      for (int i = 0; i < 16 && line + i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[line + i]);
        *text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
      }
      *text += "|\n";
    }
  }

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
  std::string line;
  long number = 0;
  while (std::getline(std::cin, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > static_cast<size_t>(kLargestPayload)) {
      tool->state.InputFailed("line " + std::to_string(number) + " of the input is " + std::to_string(line.size()) +
                              " bytes, over the 40955-byte limit of one frame");
      return;
    }
    send(line);
  }
  tool->state.InputDone();
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
  std::fprintf(stderr, "qvcat: listening on %s\n", where.c_str());

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
  const Options options = ParseArguments(argc, argv);
  std::ios::sync_with_stdio(false);
  Tool tool(options);
  if (options.haveFile) tool.fileBytes = ReadFrameFile(options.file);
  WinsockInit sockets;
  ChooseTraces(options.traces);
  if (options.listen) RunListen(&tool);
  RunConnect(&tool);
}

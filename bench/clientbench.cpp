// clientbench - ping-pong round trips through our client connector
// (QvNetClient, public headers only) against an echo server on 127.0.0.1,
// one frame in flight, every echo checked.
//
//   clientbench --port P --mode callback|app|raw|raw-thread [--seconds S] [--warmup S] [--payload B]
//
//   callback    the next frame is sent from inside OnPacket, on the worker
//   app         the main thread sends, waits until OnPacket has handed it the
//               echo (mutex and condition variable), and sends the next
//   raw         no library: a blocking socket, send() then recv()
//   raw-thread  no library, but shaped like app: the main thread hands each
//               frame to an I/O thread (an eventfd wakes it from poll()),
//               which sends it, receives the echo and hands it over the
//               same way
//
// A round trip runs from the Send call (or the hand-over, or send()) to the
// moment the echo is received: in OnPacket, or where recv() returns. In app
// and raw-thread modes the hand-over of the echo back to the main thread is
// the program's own and is left out; waking the thread that writes is not:
// raw-thread shows what that wake-up costs without the library.
//
// The library prints console traces on standard output; this program points
// descriptor 1 at the null device and writes its one JSON line to a copy of
// the original standard output.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "benchcommon.h"
#include "qvnet.h"

namespace {

using bench::NowNs;

struct Options {
  int port = 0;
  std::string mode;
  double seconds = 2;
  double warmup = 0.2;
  std::uint32_t payload = 64;
  long long maxFrames = 20000000;
};

bench::Pattern pattern;
int resultFd = 1;

void PrintResult(const Options& o, long long frames, double seconds, std::vector<std::int64_t>& rtt,
                 const std::string& error) {
  char line[512];
  int n = std::snprintf(line, sizeof line,
                        "{\"mode\": \"%s\", \"payload\": %u, \"frames\": %lld, \"seconds\": %.6g, "
                        "\"frames_per_s\": %.6g, \"rtt_p50_us\": %.6g, \"rtt_p99_us\": %.6g%s%s%s}\n",
                        o.mode.c_str(), o.payload, frames, seconds, seconds > 0 ? frames / seconds : 0.0,
                        bench::Percentile(rtt, 0.5) / 1000.0, bench::Percentile(rtt, 0.99) / 1000.0,
                        error.empty() ? "" : ", \"error\": \"", error.c_str(), error.empty() ? "" : "\"");
  if (n > 0) {
    ssize_t w = write(resultFd, line, static_cast<size_t>(n));
    (void)w;
  }
}

// The sink for both library modes. OnConnected runs on the main thread
// inside Connect; OnPacket and OnDisconnected on the worker.
class PingSink : public QvConnectionSink {
 public:
  explicit PingSink(const Options& o) : opt_(o), frame_(o.payload) {}

  void OnConnected(QvSocket* c) override { connection = c; }
  void OnConnectFailed() override {}
  void OnDisconnected() override {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = "disconnected";
    done_ = true;
    cv_.notify_all();
  }
  void OnPacket(const char* data, int length) override {
    const std::int64_t now = NowNs();
    if (static_cast<std::uint32_t>(length) != opt_.payload ||
        !pattern.Matches(data, static_cast<std::uint32_t>(length), 0, received_)) {
      std::lock_guard<std::mutex> lock(mutex_);
      error_ = "echo differs from frame " + std::to_string(received_);
      done_ = true;
      cv_.notify_all();
      return;
    }
    ++received_;
    if (callbackMode) {
      Record(now);
      if (now < measureEnd && frames < opt_.maxFrames) {
        SendNext();
      } else {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        cv_.notify_all();
      }
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    echoed_ = true;
    echoAt_ = now;
    cv_.notify_all();
  }

  // Sends frame number `sent_`, noting the time.
  void SendNext() {
    pattern.Fill(frame_.data(), opt_.payload, 0, sent_++);
    sentAt_ = NowNs();
    connection->Send(frame_.data(), static_cast<int>(opt_.payload));
  }

  void Record(std::int64_t now) {
    if (sentAt_ >= measureStart && now <= measureEnd) {
      rtt.push_back(now - sentAt_);
      ++frames;
    }
  }

  // Main thread, app mode: waits for the echo of the last frame and gives
  // the time OnPacket received it; false on error or after timeoutMs.
  bool WaitEcho(int timeoutMs, std::int64_t* echoAt) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return echoed_ || done_; })) return false;
    if (!error_.empty()) return false;
    echoed_ = false;
    *echoAt = echoAt_;
    return true;
  }
  // Main thread, callback mode: waits until the worker has finished.
  bool WaitDone(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; });
  }
  std::string Error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

  QvSocket* connection = nullptr;
  bool callbackMode = false;
  std::int64_t measureStart = 0, measureEnd = 0;
  long long frames = 0;
  std::vector<std::int64_t> rtt;

 private:
  const Options& opt_;
  std::vector<char> frame_;
  std::uint64_t sent_ = 0, received_ = 0;
  std::int64_t sentAt_ = 0;
  std::int64_t echoAt_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool echoed_ = false, done_ = false;
  std::string error_;
};

int RunLibrary(const Options& o) {
  QvNetModule* module = CreateNetModule();
  QvNetClient* client = module->CreateClient(0);
  PingSink sink(o);
  sink.callbackMode = o.mode == "callback";
  client->SetSink(&sink);
  module->Start(0);
  client->Connect("127.0.0.1", o.port, 0, nullptr, 0, nullptr, nullptr);
  std::vector<std::int64_t> none;
  if (sink.connection == nullptr) {
    PrintResult(o, 0, 0, none, "connect failed");
    return 1;
  }
  const std::int64_t start = NowNs();
  sink.measureStart = start + static_cast<std::int64_t>(o.warmup * 1e9);
  sink.measureEnd = sink.measureStart + static_cast<std::int64_t>(o.seconds * 1e9);
  const int timeoutMs = static_cast<int>((o.warmup + o.seconds) * 1000) + 10000;
  std::string error;
  if (sink.callbackMode) {
    sink.SendNext();
    if (!sink.WaitDone(timeoutMs)) error = "timed out";
  } else {
    for (;;) {
      sink.SendNext();
      std::int64_t echoAt = 0;
      if (!sink.WaitEcho(2000, &echoAt)) {
        error = "no echo within two seconds";
        break;
      }
      sink.Record(echoAt);
      const std::int64_t now = NowNs();
      if (now >= sink.measureEnd || sink.frames >= o.maxFrames) break;
    }
  }
  if (error.empty()) error = sink.Error();
  const double seconds = static_cast<double>(sink.measureEnd - sink.measureStart) / 1e9;
  PrintResult(o, sink.frames, seconds, sink.rtt, error);
  sink.connection->Close();
  delete sink.connection;
  client->Release();
  module->Release();
  return error.empty() ? 0 : 1;
}

// One round trip on a blocking socket: sends frame seq, then (unless a
// reader thread does it) receives and checks the echo. Empty when all went well.
std::string SendFrame(int fd, const Options& o, std::uint64_t seq, std::vector<char>& out) {
  bench::StoreLength(out.data(), bench::kHeaderSize + o.payload);
  pattern.Fill(out.data() + bench::kHeaderSize, o.payload, 0, seq);
  if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return "send failed";
  return "";
}

std::string ReceiveFrame(int fd, const Options& o, std::uint64_t seq, std::vector<char>& in) {
  size_t got = 0;
  while (got < in.size()) {
    ssize_t n = recv(fd, in.data() + got, in.size() - got, 0);
    if (n <= 0) return n == 0 ? "closed by the server" : "no echo within two seconds";
    got += static_cast<size_t>(n);
  }
  if (bench::LoadLength(in.data()) != in.size() ||
      !pattern.Matches(in.data() + bench::kHeaderSize, o.payload, 0, seq)) {
    return "echo differs from frame " + std::to_string(seq);
  }
  return "";
}

int RunRaw(const Options& o) {
  std::vector<std::int64_t> rtt;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = bench::Loopback(o.port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    PrintResult(o, 0, 0, rtt, "connect failed");
    return 1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::vector<char> out(bench::kHeaderSize + o.payload), in(bench::kHeaderSize + o.payload);
  const std::int64_t start = NowNs();
  const std::int64_t measureStart = start + static_cast<std::int64_t>(o.warmup * 1e9);
  const std::int64_t measureEnd = measureStart + static_cast<std::int64_t>(o.seconds * 1e9);
  long long frames = 0;
  std::string error;

  // raw-thread: the I/O thread, what wakes it, and its hand-over to this
  // thread.
  const bool threaded = o.mode == "raw-thread";
  const int wake = threaded ? eventfd(0, EFD_CLOEXEC) : -1;
  std::mutex mutex;
  std::condition_variable cv;
  std::uint64_t echoed = 0;  // echoes received so far
  std::int64_t echoAt = 0;   // when the last of them was received
  std::string readError;
  bool stop = false;
  std::thread reader;
  if (threaded) {
    reader = std::thread([&] {
      std::vector<char> buffer(in.size());
      for (std::uint64_t seq = 0;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        std::string e;
        if (poll(fds, 2, 2000) <= 0) e = "no echo within two seconds";
        if (e.empty() && (fds[1].revents & POLLIN)) {
          std::uint64_t count;
          if (read(wake, &count, sizeof count) < 0) e = "eventfd read failed";
          std::lock_guard<std::mutex> lock(mutex);
          if (stop) return;
          if (e.empty() && send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
            e = "send failed";
          }
        }
        if (e.empty() && (fds[0].revents & POLLIN) == 0) continue;
        if (e.empty()) e = ReceiveFrame(fd, o, seq, buffer);
        const std::int64_t at = NowNs();
        std::lock_guard<std::mutex> lock(mutex);
        if (stop) return;
        if (!e.empty()) readError = e;
        else ++echoed;
        ++seq;
        echoAt = at;
        cv.notify_all();
        if (!e.empty()) return;
      }
    });
  }

  for (std::uint64_t seq = 0; error.empty(); ++seq) {
    const std::int64_t sent = NowNs();
    if (threaded) {
      std::unique_lock<std::mutex> lock(mutex);
      bench::StoreLength(out.data(), bench::kHeaderSize + o.payload);
      pattern.Fill(out.data() + bench::kHeaderSize, o.payload, 0, seq);
      const std::uint64_t one = 1;
      if (write(wake, &one, sizeof one) < 0) error = "eventfd write failed";
    } else {
      error = SendFrame(fd, o, seq, out);
    }
    if (!error.empty()) break;
    if (threaded) {
      std::unique_lock<std::mutex> lock(mutex);
      if (!cv.wait_for(lock, std::chrono::seconds(2), [&] { return echoed > seq || !readError.empty(); })) {
        error = "no echo within two seconds";
      } else {
        error = readError;
      }
    } else {
      error = ReceiveFrame(fd, o, seq, in);
    }
    if (!error.empty()) break;
    const std::int64_t now = NowNs();
    std::int64_t received = now;
    if (threaded) {
      std::lock_guard<std::mutex> lock(mutex);
      received = echoAt;
    }
    if (sent >= measureStart && now <= measureEnd) {
      rtt.push_back(received - sent);
      ++frames;
    }
    if (now >= measureEnd || frames >= o.maxFrames) break;
  }
  if (threaded) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    shutdown(fd, SHUT_RDWR);  // ends the I/O thread's poll() or recv()
    reader.join();
    close(wake);
  }
  close(fd);
  PrintResult(o, frames, static_cast<double>(measureEnd - measureStart) / 1e9, rtt, error);
  return error.empty() ? 0 : 1;
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: clientbench --port P --mode callback|app|raw|raw-thread [--seconds S] [--warmup S] "
               "[--payload B] [--max-frames N]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  using bench::Into;
  if (!bench::ParseOptions(argc, argv,
                           {{"--port", Into(&o.port)},
                            {"--mode", Into(&o.mode)},
                            {"--seconds", Into(&o.seconds)},
                            {"--warmup", Into(&o.warmup)},
                            {"--payload", Into(&o.payload)},
                            {"--max-frames", Into(&o.maxFrames)}})) {
    Usage();
  }
  if ((o.mode != "callback" && o.mode != "app" && o.mode != "raw" && o.mode != "raw-thread") || o.port <= 0 || o.port > 65535 ||
      o.payload > bench::kMaxPayload || o.seconds <= 0) {
    Usage();
  }
  signal(SIGPIPE, SIG_IGN);
  // Our result goes to the real standard output; the library's traces to
  // the null device.
  resultFd = bench::SetStdoutAside();
  if (resultFd < 0) return 1;
  return o.mode == "raw" || o.mode == "raw-thread" ? RunRaw(o) : RunLibrary(o);
}

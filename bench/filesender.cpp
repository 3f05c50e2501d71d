// filesender - a large transfer through our client connector (QvNetClient,
// public headers only): the main thread sends --bytes bytes of payload in
// frames of up to --payload bytes, each with SendWithin, to a raw receiver
// in a child process that checks every byte and counts them.
//
//   filesender [--bytes N] [--payload B] [--wait-ms W] [--timeout S]
//
// The receiver is a plain blocking socket, forked before the library is
// used. The payload of frame k is bench::Pattern's (connection 0, sequence
// k); the receiver compares each frame with it. The sender's resident
// memory is read once connected, before the first frame (idle), and its
// high-water mark (VmHWM, set back to the idle value first) once every
// frame has left: the peak the transfer cost. Library settings are the
// environment's; the defaults are meant.
//
// Prints one line of JSON (with "error" when something went wrong; the exit
// status is then 1). --timeout S (default 120) bounds the whole run; the
// library's console traces go to the null device.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>

#include "benchcommon.h"
#include "qvnet.h"

namespace {

using bench::NowNs;

struct Options {
  long long bytes = 200000000;
  std::uint32_t payload = bench::kMaxPayload;
  int waitMs = 60000;
  double timeout = 120;
};

// What the receiver sends back through the pipe.
struct Received {
  long long bytes = 0;
  long long frames = 0;
  std::int64_t lastAt = 0;  // monotonic time of the last byte
  char error[160] = {};
};

const bench::Pattern pattern;

// The child: accepts one connection and reads it to its end, checking every
// frame. Never returns.
[[noreturn]] void Receive(int listenFd, int resultFd, double timeout) {
  alarm(static_cast<unsigned>(timeout) + 5);  // a bound whatever happens
  Received r;
  auto finish = [&](const std::string& error) {
    std::snprintf(r.error, sizeof r.error, "%s", error.c_str());
    ssize_t w = write(resultFd, &r, sizeof r);
    _exit(w == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  };
  pollfd p{listenFd, POLLIN, 0};
  if (poll(&p, 1, 10000) != 1) finish("receiver: no connection within 10 s");
  const int fd = accept(listenFd, nullptr, nullptr);
  if (fd < 0) finish(std::string("receiver: accept: ") + std::strerror(errno));
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::vector<char> buffer(1 << 20);
  size_t have = 0;
  for (;;) {
    ssize_t n = recv(fd, buffer.data() + have, buffer.size() - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) finish(std::string("receiver: recv: ") + std::strerror(errno));
    if (n == 0) break;
    r.lastAt = NowNs();
    have += static_cast<size_t>(n);
    size_t at = 0;
    while (have - at >= bench::kHeaderSize) {
      const std::uint32_t length = bench::LoadLength(buffer.data() + at);
      if (length < bench::kHeaderSize || length > bench::kMaxFrame) {
        finish("receiver: bad frame length " + std::to_string(length) + " at frame " + std::to_string(r.frames));
      }
      if (have - at < length) break;
      const std::uint32_t payload = length - bench::kHeaderSize;
      if (!pattern.Matches(buffer.data() + at + bench::kHeaderSize, payload, 0,
                           static_cast<std::uint64_t>(r.frames))) {
        finish("receiver: frame " + std::to_string(r.frames) + " differs from what was sent");
      }
      ++r.frames;
      r.bytes += payload;
      at += length;
    }
    std::memmove(buffer.data(), buffer.data() + at, have - at);
    have -= at;
  }
  finish(have == 0 ? "" : "receiver: the stream ended inside a frame");
  _exit(1);  // finish does not return
}

class Sink : public QvConnectionSink {
 public:
  void OnConnected(QvSocket* c) override { connection = c; }
  void OnConnectFailed() override {}
  void OnDisconnected() override { disconnected = true; }
  void OnPacket(const char*, int) override {}

  QvSocket* connection = nullptr;
  std::atomic<bool> disconnected{false};
};

// Waits up to timeoutMs for the receiver's result; false when none came.
bool ReadResult(int fd, Received* r, int timeoutMs) {
  size_t got = 0;
  char* to = reinterpret_cast<char*>(r);
  const std::int64_t end = NowNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
  while (got < sizeof *r) {
    const int left = static_cast<int>((end - NowNs()) / 1000000);
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) != 1) return false;
    ssize_t n = read(fd, to + got, sizeof *r - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

[[noreturn]] void Usage() {
  std::fprintf(stderr, "usage: filesender [--bytes N] [--payload B] [--wait-ms W] [--timeout S]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  using bench::Into;
  if (!bench::ParseOptions(argc, argv,
                           {{"--bytes", Into(&o.bytes)},
                            {"--payload", Into(&o.payload)},
                            {"--wait-ms", Into(&o.waitMs)},
                            {"--timeout", Into(&o.timeout)}})) {
    Usage();
  }
  if (o.bytes < 1 || o.payload < 1 || o.payload > bench::kMaxPayload || o.waitMs < 0 || o.timeout <= 0) Usage();
  signal(SIGPIPE, SIG_IGN);
  const int out = bench::SetStdoutAside();
  if (out < 0) return 1;

  // The receiver's socket and process come first: the child never sees the
  // library's threads or connections.
  const int listenFd = bench::ListenLoopback(0, 1);
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  if (listenFd < 0 || getsockname(listenFd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) return 1;
  const int port = ntohs(bound.sin_port);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 1;
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    close(pipeFds[0]);
    Receive(listenFd, pipeFds[1], o.timeout);
  }
  close(pipeFds[1]);
  close(listenFd);

  std::string error;
  const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(o.timeout * 1e9);
  QvNetModule* module = CreateNetModule();
  QvNetClient* client = module->CreateClient(0);
  Sink sink;
  client->SetSink(&sink);
  module->Start(0);
  client->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  QvSocket* connection = sink.connection;
  std::vector<char> frame(o.payload);
  long long sent = 0, frames = 0, unsentMax = 0;
  bool refused = false;  // SendWithin did not queue a frame
  std::int64_t start = 0, queuedAll = 0;
  long long rssIdle = -1, rssPeak = -1;
  if (connection == nullptr) error = "connect failed";

  if (error.empty()) {
    // Idle: connected, the frame buffer in place, nothing sent yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    rssIdle = bench::ReadRssKb(0);
    if (!bench::ResetRssPeak()) error = "cannot reset VmHWM (/proc/self/clear_refs)";
    start = NowNs();
    for (std::uint64_t seq = 0; error.empty() && sent < o.bytes; ++seq) {
      const std::uint32_t n = static_cast<std::uint32_t>(std::min<long long>(o.payload, o.bytes - sent));
      pattern.Fill(frame.data(), n, 0, seq);
      if (!connection->SendWithin(frame.data(), static_cast<int>(n), o.waitMs)) {
        error = "SendWithin did not queue frame " + std::to_string(seq) + " (" + std::to_string(sent) +
                " bytes queued before it, " + std::to_string(connection->Unsent()) + " unsent";
        refused = true;
        break;
      }
      sent += n;
      ++frames;
      unsentMax = std::max(unsentMax, connection->Unsent());
      if (NowNs() > deadline) error = "timed out while sending";
    }
    queuedAll = NowNs();
    // Everything handed to the system: the peak is complete.
    while (error.empty() && connection->Unsent() > 0) {
      if (NowNs() > deadline || sink.disconnected) error = "the last bytes did not leave";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    rssPeak = bench::ReadRssPeakKb(0);
    // After a failure the library's own end (and its log line) comes first.
    for (int i = 0; !error.empty() && !sink.disconnected && i < 500; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (refused) error += sink.disconnected ? "; the connection ended)" : ")";
    connection->Close();  // the receiver reads the end of the stream
  }
  Received r;
  const int leftMs = static_cast<int>((deadline - NowNs()) / 1000000);
  const bool reported = ReadResult(pipeFds[0], &r, std::max(leftMs, 1000));
  if (!reported) kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  if (error.empty() && !reported) error = "no result from the receiver";
  if (error.empty() && r.error[0] != '\0') error = r.error;
  if (error.empty() && r.bytes != o.bytes) error = "the receiver counted " + std::to_string(r.bytes) + " bytes";

  const double seconds = r.lastAt > start && start > 0 ? static_cast<double>(r.lastAt - start) / 1e9 : 0;
  char line[768];
  int n = std::snprintf(
      line, sizeof line,
      "{\"bytes\": %lld, \"payload\": %u, \"frames_sent\": %lld, \"bytes_received\": %lld, \"frames_received\": %lld, "
      "\"seconds\": %.6g, \"mb_per_s\": %.6g, \"queue_seconds\": %.6g, \"unsent_max_kb\": %lld, "
      "\"rss_idle_kb\": %lld, \"rss_peak_kb\": %lld, \"rss_peak_growth_kb\": %lld, \"disconnected\": %s%s%s%s}\n",
      o.bytes, o.payload, frames, r.bytes, r.frames, seconds, seconds > 0 ? r.bytes / seconds / 1e6 : 0.0,
      queuedAll > start && start > 0 ? static_cast<double>(queuedAll - start) / 1e9 : 0.0, unsentMax / 1024,
      rssIdle, rssPeak, rssIdle > 0 && rssPeak > 0 ? rssPeak - rssIdle : -1, sink.disconnected ? "true" : "false",
      error.empty() ? "" : ", \"error\": \"",
      error.c_str(), error.empty() ? "" : "\"");
  if (n > 0) {
    ssize_t w = write(out, line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
    (void)w;
  }
  if (connection != nullptr) delete connection;
  client->Release();
  module->Release();
  return error.empty() ? 0 : 1;
}

// loadgen - the load generator of the benchmarks: one thread, raw
// non-blocking sockets and epoll, talking to an echo server on 127.0.0.1.
// Every echoed frame is checked byte for byte against what was sent.
//
//   loadgen --port P --scenario NAME [options]
//
// Scenarios:
//   pingpong  --conns N --payload B             one frame in flight per connection
//   stream    --conns N --payload B --window W  W frames in flight per connection
//             (both run for --seconds S after --warmup S; with --frames N
//             instead, until N replies have come back, every one measured)
//             Both report the round trips' p50, p99, p99.9 and maximum, and
//             how many took --slow-ms MS (35) or more.
//   bigburst  --conns N --payload B --frames F  writes F frames on each
//             connection in one go, while reading the echoes as fast as they
//             come; ends once every echo is back (each checked, in order), or
//             on the first one lost
//   churn     --total N --inflight K --rate R [--trips T]
//             opens N connections, at most K awaiting their first echo and R
//             per second; each sends a frame, checks its echo, T times in all
//             (1), one frame after the other, and closes. Reports the
//             connections completed per second, the time from opening to the
//             first echo, and (with T > 1) to the last
//   hold      --total N --inflight K --rate R --hold S [--server-pid PID]
//             as churn, but the connections stay open; then, with all of them
//             open and idle, samples the server's CPU time and resident memory
//   noread    --conns N --payload B --max-bytes M --seconds S --stall T
//             [--server-pid PID [--rss-cap-kb K]]
//             a peer that never reads: sends frames on N connections as fast
//             as the server takes them, never reading an echo, until the
//             server has closed every connection, M bytes are sent in all,
//             no byte has gone out for T seconds (the server stopped
//             reading), S seconds have passed, or the server's resident
//             memory has passed K KB; samples the server's
//             resident memory before and all along, and for 0.5 s more,
//             sending nothing, after the end. A connection the server ends
//             is read to its end, to tell how it was ended: a reset
//             (ECONNRESET from send or recv) or an end of stream (recv
//             returning 0); a cut's time runs from the connection's first
//             send. Connections still open at the end are read too: an end
//             of stream may wait behind echoes never read.
//
// Prints one line of JSON with the results (and "error" when something went
// wrong; the exit status is then 1). Every run is bounded: --timeout S
// (default 120) ends it whatever happens, --max-frames N (default 50000000)
// ends a timed run early, and a noread run stops sending after --max-bytes M
// (default 64 MiB) or --seconds S, whichever comes first.
#include <linux/sockios.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>

#include <cinttypes>
#include <cmath>
#include <deque>
#include <memory>
#include <numeric>
#include <string>
#include <utility>

#include "benchcommon.h"

namespace {

using bench::NowNs;

struct Options {
  int port = 0;
  std::string scenario;
  int conns = 1;
  std::uint32_t payload = 64;
  int window = 1;
  double seconds = 2;
  double warmup = 0.2;
  int total = 1000;
  int inflight = 4;
  double rate = 2000;
  double hold = 5;
  int serverPid = 0;
  double timeout = 120;
  long long maxFrames = 50000000;
  long long maxBytes = 64LL << 20;
  double stall = 2;
  long long frames = 0;
  double slowMs = 35;
  long long rssCapKb = 0;
  int trips = 1;
};

// One line of JSON, built key by key.
class Report {
 public:
  void Add(const char* key, const std::string& text) { Raw(key, "\"" + text + "\""); }
  void Add(const char* key, long long n) { Raw(key, std::to_string(n)); }
  void Add(const char* key, double x) {
    char buf[64];
    if (!std::isfinite(x)) x = 0;
    std::snprintf(buf, sizeof buf, "%.6g", x);
    Raw(key, buf);
  }
  void Print() const { std::printf("{%s}\n", body_.c_str()); std::fflush(stdout); }

 private:
  void Raw(const char* key, const std::string& value) {
    if (!body_.empty()) body_ += ", ";
    body_ += "\"" + std::string(key) + "\": " + value;
  }
  std::string body_;
};

struct Conn {
  int fd = -1;
  std::uint32_t id = 0;
  std::vector<char> partial;  // the start of a frame not complete yet
  std::vector<char> out;
  size_t outStart = 0;
  bool writeArmed = false;
  std::uint64_t nextSend = 0, nextRecv = 0;
  std::deque<std::int64_t> sentAt;  // send time of each frame in flight
  std::int64_t openedAt = 0;
  bool echoed = false;              // churn/hold: its first frame came back
  bool done = false;                // churn/hold: all its round trips are over
  // noread
  long long sentBytes = 0;
  bool closedByServer = false;
  std::int64_t firstSendAt = 0;
};

// /proc readings of another process.
long long ReadCpuTicks(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  char buf[2048];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  const char* p = std::strrchr(buf, ')');  // the name may hold spaces
  if (p == nullptr) return -1;
  // Fields after the name start with field 3 (state); utime is 14, stime 15.
  unsigned long long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return -1;
  return static_cast<long long>(utime + stime);
}

using bench::ReadRssKb;
using bench::ReadRssPeakKb;

class Generator {
 public:
  explicit Generator(const Options& o)
      : opt_(o),
        epoll_(epoll_create1(EPOLL_CLOEXEC)),
        timed_(o.scenario == "pingpong" || o.scenario == "stream"),
        echoing_(timed_ || o.scenario == "bigburst"),
        churn_(o.scenario == "churn") {}
  ~Generator() {
    for (auto& c : conns_) {
      if (c && c->fd >= 0) close(c->fd);
    }
    close(epoll_);
  }

  int Run();

 private:
  bool Timed() const { return timed_; }
  // Scenarios whose echoes all count, and where a lost connection is a failure.
  bool Echoing() const { return echoing_; }

  Conn* Open();
  void CloseConn(Conn* c);
  // Appends a frame to the connection's output, sent at the next Flush;
  // its round trip counts from now (a clock reading taken by the caller).
  void QueueFrame(Conn* c, std::int64_t now);
  void AppendFrame(Conn* c);
  bool Flush(Conn* c);
  void SetWriteInterest(Conn* c, bool on);
  // Reads and handles what arrived; false when the connection is gone.
  bool OnReadable(Conn* c);
  // A complete frame that a read taken at `now` brought.
  void OnFrame(Conn* c, const char* frame, std::uint32_t length, std::int64_t now);
  void Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
  }
  void Lost(Conn* c, const char* why);
  void Poll(int timeoutMs);

  int RunTimed();
  int RunBigBurst();
  int RunConnections();
  int RunNoRead();
  void AddLatencies(Report& r);
  // noread: sends until the socket is full or the byte bound is reached.
  void Feed(Conn* c);
  // timed: seen as it happened (false: found at the end of the run).
  void ClosedByServer(Conn* c, const std::string& how, bool timed = true);
  // How the server ended the connection, read from its end: "reset", "end
  // of stream", "open" (no end yet) or another error. sendError is the
  // error a send() met first, or 0.
  std::string Ending(Conn* c, int sendError);

  const Options& opt_;
  int epoll_;
  const bool timed_, echoing_, churn_;  // the scenario, looked up once
  bench::Pattern pattern_;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::string error_;
  std::vector<char> readBuf_ = std::vector<char>(256 * 1024);
  // What epoll always watches on a connection; EPOLLOUT is added while
  // bytes wait. A peer that never reads watches for the server's end only.
  std::uint32_t baseEvents_ = EPOLLIN;

  // Timed runs.
  std::int64_t measureStart_ = 0, measureEnd_ = 0;
  bool sending_ = true;
  long long framesMeasured_ = 0;
  long long framesTotal_ = 0;
  long long framesQueued_ = 0;
  std::vector<std::int64_t> rtt_;

  // Connection runs.
  // pending_: opened and not echoed yet; echoed_: had their first echo;
  // completed_: had all their round trips; failed_: lost before the first
  // echo; lostBetweenTrips_: lost after it, before the last; lostAfterEcho_:
  // lost once done (hold).
  int started_ = 0, pending_ = 0, echoed_ = 0, completed_ = 0, failed_ = 0, lostBetweenTrips_ = 0,
      lostAfterEcho_ = 0;
  std::vector<std::int64_t> openLatency_;  // open to the first echo
  std::vector<std::int64_t> doneLatency_;  // open to the last echo

  // noread
  long long sentTotal_ = 0;
  std::int64_t lastProgress_ = 0;  // when a send() last took bytes
  int closedByServer_ = 0;
  std::int64_t firstClose_ = 0;
  long long sentAtFirstClose_ = 0;  // on that connection
  std::string closeReason_;
  std::vector<std::int64_t> cutAfter_;  // each cut, from its connection's first send
  int cutsReset_ = 0, cutsEnd_ = 0, cutsOther_ = 0, endsFoundAtEnd_ = 0;
};

Conn* Generator::Open() {
  auto c = std::make_unique<Conn>();
  c->id = static_cast<std::uint32_t>(conns_.size());
  c->openedAt = NowNs();
  c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c->fd < 0) {
    Fail(std::string("socket: ") + std::strerror(errno));
    return nullptr;
  }
  int one = 1;
  setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sa = bench::Loopback(opt_.port);
  int r = connect(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (r != 0 && errno != EINPROGRESS) {
    Fail(std::string("connect: ") + std::strerror(errno));
    close(c->fd);
    return nullptr;
  }
  epoll_event ev{};
  ev.events = baseEvents_ | EPOLLOUT;  // writable once connected: the first flush goes then
  ev.data.ptr = c.get();
  c->writeArmed = true;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd, &ev);
  conns_.push_back(std::move(c));
  return conns_.back().get();
}

void Generator::CloseConn(Conn* c) {
  if (c->fd < 0) return;
  epoll_ctl(epoll_, EPOLL_CTL_DEL, c->fd, nullptr);
  close(c->fd);
  c->fd = -1;
  // Free its buffers now: a churn run goes through many connections.
  std::vector<char>().swap(c->partial);
  std::vector<char>().swap(c->out);
}

void Generator::QueueFrame(Conn* c, std::int64_t now) {
  AppendFrame(c);
  c->sentAt.push_back(now);
  ++framesQueued_;
}

void Generator::AppendFrame(Conn* c) {
  const std::uint32_t length = opt_.payload;
  size_t at = c->out.size();
  c->out.resize(at + bench::kHeaderSize + length);
  bench::StoreLength(c->out.data() + at, length + bench::kHeaderSize);
  pattern_.Fill(c->out.data() + at + bench::kHeaderSize, length, c->id, c->nextSend++);
}

void Generator::SetWriteInterest(Conn* c, bool on) {
  if (c->writeArmed == on) return;
  epoll_event ev{};
  ev.events = baseEvents_ | (on ? EPOLLOUT : 0u);
  ev.data.ptr = c;
  epoll_ctl(epoll_, EPOLL_CTL_MOD, c->fd, &ev);
  c->writeArmed = on;
}

bool Generator::Flush(Conn* c) {
  while (c->outStart < c->out.size()) {
    ssize_t n = send(c->fd, c->out.data() + c->outStart, c->out.size() - c->outStart, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        SetWriteInterest(c, true);
        return true;
      }
      Lost(c, std::strerror(errno));
      return false;
    }
    c->outStart += static_cast<size_t>(n);
  }
  c->out.clear();
  c->outStart = 0;
  SetWriteInterest(c, false);
  return true;
}

void Generator::Lost(Conn* c, const char* why) {
  if (Echoing()) {
    Fail(std::string("connection ") + std::to_string(c->id) + " lost after " + std::to_string(c->nextRecv) +
         " echoes: " + why);
  } else if (c->done) {
    ++lostAfterEcho_;
  } else if (c->echoed) {
    ++lostBetweenTrips_;
  } else {
    ++failed_;
    --pending_;
  }
  CloseConn(c);
}

bool Generator::OnReadable(Conn* c) {
  ssize_t n = recv(c->fd, readBuf_.data(), readBuf_.size(), 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
    Lost(c, std::strerror(errno));
    return false;
  }
  if (n == 0) {
    Lost(c, "closed by the server");
    return false;
  }
  // One clock reading for the read: the frames it brings arrived together,
  // and the frames sent in answer leave together, in one send after it.
  const std::int64_t now = NowNs();
  // Frames are cut from the shared read buffer; a connection keeps only the
  // start of a frame that is not complete yet.
  const char* data = readBuf_.data();
  size_t size = static_cast<size_t>(n);
  if (!c->partial.empty()) {
    c->partial.insert(c->partial.end(), data, data + size);
    data = c->partial.data();
    size = c->partial.size();
  }
  size_t at = 0;
  while (size - at >= bench::kHeaderSize) {
    std::uint32_t length = bench::LoadLength(data + at);
    if (length < bench::kHeaderSize || length > bench::kMaxFrame) {
      Fail("bad frame length " + std::to_string(length) + " on connection " + std::to_string(c->id));
      return false;
    }
    if (size - at < length) break;
    OnFrame(c, data + at, length, now);
    at += length;
    if (!error_.empty() || c->fd < 0) return false;
  }
  if (data == c->partial.data()) {
    c->partial.erase(c->partial.begin(), c->partial.begin() + static_cast<std::ptrdiff_t>(at));
  } else {
    c->partial.assign(data + at, data + size);
  }
  if (!c->out.empty()) return Flush(c);
  return true;
}

void Generator::OnFrame(Conn* c, const char* frame, std::uint32_t length, std::int64_t now) {
  const std::uint32_t payload = length - bench::kHeaderSize;
  if (c->sentAt.empty()) {
    Fail("unexpected frame on connection " + std::to_string(c->id));
    return;
  }
  if (payload != opt_.payload || !pattern_.Matches(frame + bench::kHeaderSize, payload, c->id, c->nextRecv)) {
    Fail("echo differs from frame " + std::to_string(c->nextRecv) + " sent on connection " +
         std::to_string(c->id) + " (payload " + std::to_string(payload) + " bytes)");
    return;
  }
  ++c->nextRecv;
  const std::int64_t sent = c->sentAt.front();
  c->sentAt.pop_front();
  if (Echoing()) {
    ++framesTotal_;
    if (sent >= measureStart_ && now <= measureEnd_) {
      rtt_.push_back(now - sent);
      ++framesMeasured_;
    }
    if (sending_ && (opt_.frames == 0 || framesQueued_ < opt_.frames)) QueueFrame(c, now);
    return;
  }
  // churn / hold: --trips frames per connection, one after the other.
  if (!c->echoed) {
    c->echoed = true;
    --pending_;
    ++echoed_;
    openLatency_.push_back(now - c->openedAt);
  }
  if (c->nextRecv < static_cast<std::uint64_t>(opt_.trips)) {
    QueueFrame(c, now);  // sent once the read is handled
    return;
  }
  c->done = true;
  ++completed_;
  doneLatency_.push_back(now - c->openedAt);
  if (churn_) CloseConn(c);
}

void Generator::Poll(int timeoutMs) {
  epoll_event events[256];
  int n = epoll_wait(epoll_, events, 256, timeoutMs);
  for (int i = 0; i < n && error_.empty(); ++i) {
    Conn* c = static_cast<Conn*>(events[i].data.ptr);
    if (c->fd < 0) continue;  // closed earlier in this batch
    if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
      if (!OnReadable(c)) continue;
    }
    if ((events[i].events & EPOLLOUT) && c->fd >= 0) Flush(c);
  }
}

int Generator::RunTimed() {
  const std::int64_t start = NowNs();
  const std::int64_t deadline = start + static_cast<std::int64_t>(opt_.timeout * 1e9);
  // Counted (--frames): every reply from the first on, until N are back.
  const bool counted = opt_.frames > 0;
  measureStart_ = counted ? start : start + static_cast<std::int64_t>(opt_.warmup * 1e9);
  measureEnd_ = counted ? deadline : measureStart_ + static_cast<std::int64_t>(opt_.seconds * 1e9);
  const int window = opt_.scenario == "pingpong" ? 1 : opt_.window;
  for (int i = 0; i < opt_.conns && error_.empty(); ++i) {
    Conn* c = Open();
    if (c == nullptr) break;
    for (int k = 0; k < window && (!counted || framesQueued_ < opt_.frames); ++k) QueueFrame(c, NowNs());
  }
  // Frames queued before the connect completes go out at the first EPOLLOUT.
  std::int64_t drainBy = 0;
  while (error_.empty()) {
    std::int64_t now = NowNs();
    if (now > deadline) {
      Fail("timed out");
      break;
    }
    if (sending_ && (now >= measureEnd_ || framesTotal_ >= opt_.maxFrames || (counted && framesQueued_ >= opt_.frames))) {
      sending_ = false;
      if (now < measureEnd_ && !counted) measureEnd_ = now;
      drainBy = now + 2000000000LL;  // what is in flight has two seconds to come back
    }
    if (!sending_) {
      bool inFlight = false;
      for (auto& c : conns_) inFlight = inFlight || !c->sentAt.empty();
      if (!inFlight) break;
      if (now > drainBy) {
        Fail("frames still missing two seconds after the end");
        break;
      }
    }
    Poll(10);
  }
  if (counted) measureEnd_ = NowNs();
  const double seconds = static_cast<double>(measureEnd_ - measureStart_) / 1e9;
  Report r;
  r.Add("scenario", opt_.scenario);
  r.Add("conns", static_cast<long long>(opt_.conns));
  r.Add("payload", static_cast<long long>(opt_.payload));
  r.Add("window", static_cast<long long>(window));
  r.Add("seconds", seconds);
  r.Add("frames", framesMeasured_);
  r.Add("frames_per_s", framesMeasured_ / seconds);
  r.Add("mb_per_s", static_cast<double>(framesMeasured_) * opt_.payload / seconds / 1e6);
  AddLatencies(r);
  if (!error_.empty()) r.Add("error", error_);
  r.Print();
  return error_.empty() ? 0 : 1;
}

void Generator::AddLatencies(Report& r) {
  r.Add("rtt_p50_us", bench::Percentile(rtt_, 0.50) / 1000.0);
  r.Add("rtt_p99_us", bench::Percentile(rtt_, 0.99) / 1000.0);
  r.Add("rtt_p999_us", bench::Percentile(rtt_, 0.999) / 1000.0);
  r.Add("rtt_max_us", rtt_.empty() ? 0.0 : static_cast<double>(rtt_.back()) / 1000.0);  // sorted
  r.Add("rtt_mean_us", rtt_.empty() ? 0.0 : static_cast<double>(std::accumulate(rtt_.begin(), rtt_.end(), std::int64_t{0})) / rtt_.size() / 1000.0);
  const auto slowNs = static_cast<std::int64_t>(opt_.slowMs * 1e6);
  r.Add("slow_ms", opt_.slowMs);
  r.Add("slow", static_cast<long long>(rtt_.end() - std::lower_bound(rtt_.begin(), rtt_.end(), slowNs)));
}

int Generator::RunBigBurst() {
  const std::int64_t start = NowNs();
  const std::int64_t deadline = start + static_cast<std::int64_t>(opt_.timeout * 1e9);
  measureStart_ = start;
  measureEnd_ = deadline;
  sending_ = false;  // the burst is all there is
  for (int i = 0; i < opt_.conns && error_.empty(); ++i) {
    Conn* c = Open();
    if (c == nullptr) break;
    for (long long k = 0; k < opt_.frames; ++k) QueueFrame(c, NowNs());
  }
  while (error_.empty() && framesTotal_ < framesQueued_) {
    if (NowNs() > deadline) {
      Fail("timed out");
      break;
    }
    Poll(10);
  }
  const double seconds = static_cast<double>(NowNs() - start) / 1e9;
  Report r;
  r.Add("scenario", opt_.scenario);
  r.Add("conns", static_cast<long long>(opt_.conns));
  r.Add("payload", static_cast<long long>(opt_.payload));
  r.Add("frames", framesQueued_);
  r.Add("burst_bytes", framesQueued_ / opt_.conns * static_cast<long long>(opt_.payload + bench::kHeaderSize));
  r.Add("echoed", framesTotal_);
  r.Add("seconds", seconds);
  r.Add("mb_per_s", static_cast<double>(framesTotal_) * opt_.payload / seconds / 1e6);
  AddLatencies(r);
  if (!error_.empty()) r.Add("error", error_);
  r.Print();
  return error_.empty() ? 0 : 1;
}

int Generator::RunConnections() {
  const bool hold = opt_.scenario == "hold";
  const long long rss0 = opt_.serverPid > 0 ? ReadRssKb(opt_.serverPid) : -1;
  const std::int64_t start = NowNs();
  const std::int64_t deadline = start + static_cast<std::int64_t>(opt_.timeout * 1e9);
  const double interval = 1e9 / opt_.rate;
  std::int64_t nextStart = start;
  while (error_.empty() && completed_ + failed_ + lostBetweenTrips_ < opt_.total) {
    std::int64_t now = NowNs();
    if (now > deadline) {
      Fail("timed out");
      break;
    }
    while (started_ < opt_.total && pending_ < opt_.inflight && now >= nextStart && error_.empty()) {
      Conn* c = Open();
      if (c == nullptr) break;
      ++started_;
      ++pending_;
      QueueFrame(c, NowNs());
      nextStart = start + static_cast<std::int64_t>(interval * started_);
    }
    int wait = 10;
    if (started_ < opt_.total && pending_ < opt_.inflight) {
      std::int64_t ms = (nextStart - NowNs()) / 1000000;
      wait = ms < 0 ? 0 : (ms < 10 ? static_cast<int>(ms) : 10);
    }
    Poll(wait);
  }
  const double openSeconds = static_cast<double>(NowNs() - start) / 1e9;
  Report r;
  r.Add("scenario", opt_.scenario);
  r.Add("total", static_cast<long long>(opt_.total));
  r.Add("trips", static_cast<long long>(opt_.trips));
  r.Add("echoed", static_cast<long long>(echoed_));
  r.Add("completed", static_cast<long long>(completed_));
  r.Add("failed", static_cast<long long>(failed_));
  r.Add("lost_between_trips", static_cast<long long>(lostBetweenTrips_));
  r.Add("open_seconds", openSeconds);
  r.Add("conns_per_s", completed_ / openSeconds);
  r.Add("open_p50_us", bench::Percentile(openLatency_, 0.50) / 1000.0);
  r.Add("open_p99_us", bench::Percentile(openLatency_, 0.99) / 1000.0);
  if (opt_.trips > 1) {
    r.Add("done_p50_us", bench::Percentile(doneLatency_, 0.50) / 1000.0);
    r.Add("done_p99_us", bench::Percentile(doneLatency_, 0.99) / 1000.0);
  }
  if (hold && error_.empty()) {
    // Everything is open and idle now: measure the server at rest.
    int open = 0;
    for (auto& c : conns_) open += c->fd >= 0 ? 1 : 0;
    const long long rss1 = opt_.serverPid > 0 ? ReadRssKb(opt_.serverPid) : -1;
    const long long cpu0 = opt_.serverPid > 0 ? ReadCpuTicks(opt_.serverPid) : -1;
    const std::int64_t t0 = NowNs();
    const std::int64_t holdEnd = t0 + static_cast<std::int64_t>(opt_.hold * 1e9);
    while (NowNs() < holdEnd && error_.empty()) {
      std::int64_t ms = (holdEnd - NowNs()) / 1000000;
      Poll(ms > 100 ? 100 : static_cast<int>(ms));  // nothing should arrive
    }
    const long long cpu1 = opt_.serverPid > 0 ? ReadCpuTicks(opt_.serverPid) : -1;
    const double held = static_cast<double>(NowNs() - t0) / 1e9;
    int stillOpen = 0;
    for (auto& c : conns_) stillOpen += c->fd >= 0 ? 1 : 0;
    r.Add("open", static_cast<long long>(open));
    r.Add("open_after_hold", static_cast<long long>(stillOpen));
    r.Add("hold_seconds", held);
    if (opt_.serverPid > 0 && cpu0 >= 0 && cpu1 >= 0) {
      const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
      r.Add("idle_cpu_pct", 100.0 * static_cast<double>(cpu1 - cpu0) / ticks / held);
    }
    if (rss0 > 0 && rss1 > 0) {
      r.Add("rss0_kb", rss0);
      r.Add("rss_kb", rss1);
      r.Add("rss_per_conn_bytes", open > 0 ? static_cast<double>(rss1 - rss0) * 1024.0 / open : 0.0);
    }
  }
  r.Add("lost_after_echo", static_cast<long long>(lostAfterEcho_));
  if (!error_.empty()) r.Add("error", error_);
  r.Print();
  return error_.empty() ? 0 : 1;
}

void Generator::ClosedByServer(Conn* c, const std::string& how, bool timed) {
  const std::int64_t now = NowNs();
  c->closedByServer = true;
  if (timed && closedByServer_++ == 0) {
    firstClose_ = now;
    sentAtFirstClose_ = c->sentBytes;
    closeReason_ = how;
  }
  if (timed && c->firstSendAt != 0) cutAfter_.push_back(now - c->firstSendAt);
  if (how == "reset") ++cutsReset_;
  else if (how == "end of stream") ++cutsEnd_;
  else ++cutsOther_;
  CloseConn(c);
}

std::string Generator::Ending(Conn* c, int sendError) {
  if (sendError == ECONNRESET) return "reset";
  // An end of stream, or the reset's error, comes after the echoes never
  // read: at most what the receive buffer holds once the server is gone.
  // More than that, and the server is still sending.
  int held = 0;
  socklen_t size = sizeof held;
  getsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &held, &size);
  for (long long budget = static_cast<long long>(held) + (1 << 20); budget > 0;) {
    ssize_t n = recv(c->fd, readBuf_.data(), readBuf_.size(), 0);
    if (n > 0) {
      budget -= n;
      continue;
    }
    if (n == 0) return "end of stream";
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return "reset";
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return std::strerror(errno);
  }
  return sendError != 0 ? std::strerror(sendError) : "open";
}

void Generator::Feed(Conn* c) {
  // Whole frames, about 64 KiB at a time, until the bound: the last batch
  // may pass it by less than a batch.
  constexpr size_t kBatch = 64 * 1024;
  for (;;) {
    if (c->outStart == c->out.size()) {
      c->out.clear();
      c->outStart = 0;
      if (sentTotal_ >= opt_.maxBytes) break;
      do {
        AppendFrame(c);
      } while (c->out.size() < kBatch);
    }
    ssize_t n = send(c->fd, c->out.data() + c->outStart, c->out.size() - c->outStart, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        SetWriteInterest(c, true);
        return;
      }
      ClosedByServer(c, Ending(c, errno));
      return;
    }
    if (c->firstSendAt == 0) c->firstSendAt = NowNs();
    c->outStart += static_cast<size_t>(n);
    c->sentBytes += n;
    sentTotal_ += n;
    lastProgress_ = NowNs();
  }
  SetWriteInterest(c, false);  // the bound is reached: nothing more to send
}

int Generator::RunNoRead() {
  const int pid = opt_.serverPid;
  const long long rss0 = pid > 0 ? ReadRssKb(pid) : -1;
  const long long hwm0 = pid > 0 ? ReadRssPeakKb(pid) : -1;
  long long rssPeak = rss0;
  std::int64_t peakAt = 0;
  baseEvents_ = EPOLLRDHUP;  // never EPOLLIN: nothing is read
  const std::int64_t start = NowNs();
  lastProgress_ = start;
  const double bound = opt_.seconds < opt_.timeout ? opt_.seconds : opt_.timeout;
  const std::int64_t sendEnd = start + static_cast<std::int64_t>(bound * 1e9);
  const std::int64_t stall = static_cast<std::int64_t>(opt_.stall * 1e9);
  constexpr std::int64_t kSettle = 500000000;  // sampling goes on after the end
  constexpr std::int64_t kSampleEvery = 1000000;
  for (int i = 0; i < opt_.conns && error_.empty(); ++i) Open();
  std::int64_t ended = 0;  // when sending ended: all closed, or a bound reached
  std::string endedBy;
  std::int64_t nextSample = start;
  long long rss = rss0;
  while (error_.empty()) {
    const std::int64_t now = NowNs();
    if (pid > 0 && now >= nextSample) {
      rss = ReadRssKb(pid);
      if (rss < 0) {
        Fail("cannot read the server's memory (has it ended?)");
        break;
      }
      if (rss > rssPeak) {
        rssPeak = rss;
        peakAt = now;
      }
      nextSample = now + kSampleEvery;
    }
    if (ended == 0) {
      int open = 0;
      for (auto& c : conns_) open += c->fd >= 0 ? 1 : 0;
      if (open == 0) endedBy = "closed";
      else if (sentTotal_ >= opt_.maxBytes) endedBy = "bytes";
      else if (now >= lastProgress_ + stall) endedBy = "stalled";
      else if (now >= sendEnd) endedBy = "seconds";
      else if (opt_.rssCapKb > 0 && rss > opt_.rssCapKb) endedBy = "rss cap";
      if (!endedBy.empty()) ended = now;
    }
    if (ended != 0 && now >= ended + kSettle) break;
    epoll_event events[64];
    int n = epoll_wait(epoll_, events, 64, 1);
    for (int i = 0; i < n; ++i) {
      Conn* c = static_cast<Conn*>(events[i].data.ptr);
      if (c->fd < 0) continue;
      const std::uint32_t e = events[i].events;
      if (e & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
        if (c->sentBytes == 0) {
          int code = 0;
          socklen_t size = sizeof code;
          getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &code, &size);
          if (code != 0) {
            Fail(std::string("connect: ") + std::strerror(code));
            break;
          }
        }
        const std::string how = Ending(c, 0);
        if (how != "open") ClosedByServer(c, how);  // else an end of the sending side alone
        continue;
      }
      if ((e & EPOLLOUT) && ended == 0) Feed(c);
      else if (e & EPOLLOUT) SetWriteInterest(c, false);
    }
  }
  // The process's high-water mark catches a peak between two samples.
  const long long hwm = pid > 0 ? ReadRssPeakKb(pid) : -1;
  const long long rssSampledPeak = rssPeak;
  if (hwm > hwm0 && hwm > rssPeak) rssPeak = hwm;
  // What sits in this side's kernel buffers of the connections still open:
  // echoes never read, and bytes the server has not read yet.
  long long unreadEcho = 0, unsentHere = 0;
  for (auto& c : conns_) {
    if (c->fd < 0) continue;
    int inq = 0, outq = 0;
    if (ioctl(c->fd, SIOCINQ, &inq) == 0) unreadEcho += inq;
    if (ioctl(c->fd, SIOCOUTQ, &outq) == 0) unsentHere += outq;
  }
  // An end of stream may wait behind the echoes never read; found only
  // now, it has no time.
  int stillOpen = 0;
  for (auto& c : conns_) {
    if (c->fd < 0) continue;
    const std::string how = Ending(c.get(), 0);
    if (how == "open") {
      ++stillOpen;
    } else {
      ++endsFoundAtEnd_;
      ClosedByServer(c.get(), how, false);
    }
  }
  auto ms = [start](std::int64_t t) { return static_cast<double>(t - start) / 1e6; };
  Report r;
  r.Add("scenario", opt_.scenario);
  r.Add("conns", static_cast<long long>(opt_.conns));
  r.Add("payload", static_cast<long long>(opt_.payload));
  r.Add("ended_by", endedBy);
  r.Add("ended_after_ms", ended != 0 ? ms(ended) : 0.0);
  r.Add("sent_bytes", sentTotal_);
  r.Add("sent_mib", static_cast<double>(sentTotal_) / (1 << 20));
  r.Add("last_progress_ms", ms(lastProgress_));
  r.Add("closed_by_server", static_cast<long long>(closedByServer_));
  if (closedByServer_ > 0) {
    r.Add("closed_after_ms", ms(firstClose_));
    r.Add("sent_mib_at_close", static_cast<double>(sentAtFirstClose_) / (1 << 20));
    r.Add("close_reason", closeReason_);
    r.Add("cut_after_first_send_ms_p50", bench::Percentile(cutAfter_, 0.5) / 1e6);
    r.Add("cut_after_first_send_ms_max", cutAfter_.empty() ? 0.0 : static_cast<double>(cutAfter_.back()) / 1e6);
  }
  r.Add("cuts_reset", static_cast<long long>(cutsReset_));
  r.Add("cuts_end_of_stream", static_cast<long long>(cutsEnd_));
  r.Add("cuts_other", static_cast<long long>(cutsOther_));
  r.Add("ends_found_at_end", static_cast<long long>(endsFoundAtEnd_));
  r.Add("still_open", static_cast<long long>(stillOpen));
  r.Add("unread_echo_kb", unreadEcho / 1024);
  r.Add("unsent_here_kb", unsentHere / 1024);
  if (rss0 > 0) {
    r.Add("rss0_kb", rss0);
    r.Add("rss_peak_kb", rssPeak);
    r.Add("rss_peak_sampled_kb", rssSampledPeak);
    if (peakAt != 0) r.Add("rss_peak_sampled_after_ms", ms(peakAt));
    r.Add("rss_end_kb", rss);
    r.Add("rss_growth_kb", rssPeak - rss0);
    r.Add("rss_end_growth_kb", rss - rss0);
  }
  if (!error_.empty()) r.Add("error", error_);
  r.Print();
  return error_.empty() ? 0 : 1;
}

int Generator::Run() {
  if (epoll_ < 0) {
    std::fprintf(stderr, "loadgen: epoll_create1: %s\n", std::strerror(errno));
    return 1;
  }
  if (opt_.scenario == "noread") return RunNoRead();
  if (opt_.scenario == "bigburst") return RunBigBurst();
  return Timed() ? RunTimed() : RunConnections();
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: loadgen --port P --scenario pingpong|stream|bigburst|churn|hold|noread\n"
               "  [--conns N] [--payload B] [--window W] [--seconds S] [--warmup S] [--frames N] [--slow-ms MS]\n"
               "  [--total N] [--inflight K] [--rate R] [--trips T] [--hold S] [--server-pid PID]\n"
               "  [--timeout S] [--max-frames N] [--max-bytes M] [--stall T] [--rss-cap-kb K]\n");
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  using bench::Into;
  const bool parsed = bench::ParseOptions(
      argc, argv,
      {{"--port", Into(&o.port)},           {"--scenario", Into(&o.scenario)},   {"--conns", Into(&o.conns)},
       {"--payload", Into(&o.payload)},     {"--window", Into(&o.window)},       {"--seconds", Into(&o.seconds)},
       {"--warmup", Into(&o.warmup)},       {"--total", Into(&o.total)},         {"--inflight", Into(&o.inflight)},
       {"--rate", Into(&o.rate)},           {"--hold", Into(&o.hold)},           {"--server-pid", Into(&o.serverPid)},
       {"--timeout", Into(&o.timeout)},     {"--max-frames", Into(&o.maxFrames)}, {"--max-bytes", Into(&o.maxBytes)},
       {"--stall", Into(&o.stall)},         {"--frames", Into(&o.frames)},       {"--slow-ms", Into(&o.slowMs)},
       {"--rss-cap-kb", Into(&o.rssCapKb)}, {"--trips", Into(&o.trips)}});
  if (!parsed) Usage();
  const bool known = o.scenario == "pingpong" || o.scenario == "stream" || o.scenario == "bigburst" ||
                     o.scenario == "churn" || o.scenario == "hold" || o.scenario == "noread";
  if (!known || o.port <= 0 || o.port > 65535 || o.conns < 1 || o.window < 1 || o.payload > bench::kMaxPayload ||
      o.total < 1 || o.inflight < 1 || o.trips < 1 || o.rate <= 0 || o.seconds <= 0 || o.timeout <= 0 || o.maxBytes < 1 ||
      o.stall <= 0 || o.frames < 0 || (o.scenario == "bigburst" && o.frames < 1)) {
    Usage();
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = Parse(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  long limit = bench::RaiseFileLimit();
  const int wanted = o.scenario == "hold" || o.scenario == "churn" ? o.total : o.conns;
  if (limit >= 0 && limit < wanted + 16) {
    std::fprintf(stderr, "loadgen: only %ld descriptors allowed for %d connections\n", limit, wanted);
    return 1;
  }
  Generator g(o);
  return g.Run();
}

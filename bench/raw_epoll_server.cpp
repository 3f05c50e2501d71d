// raw_epoll_server - the floor of the comparison: one thread, epoll (level
// triggered), non-blocking sockets, and nothing else. Every complete frame
// that arrives goes back to its sender.
//
//   raw_epoll_server PORT     listens on 127.0.0.1:PORT until it is stopped
#include <signal.h>
#include <sys/epoll.h>

#include <memory>

#include "benchcommon.h"

namespace {

struct Peer {
  int fd;
  std::vector<char> in;  // the start of a frame not complete yet
  std::vector<char> out;
  size_t outStart = 0;
  std::uint32_t events = EPOLLIN;  // what epoll watches for it
};

constexpr size_t kReadChunk = 65536;
// Past this much unsent echo the peer is not read until it catches up.
constexpr size_t kOutLimit = 1 << 20;

// Watches for writability while echoes are pending, and for more input while
// they are few enough.
void Watch(int epoll, Peer* p) {
  const size_t pending = p->out.size() - p->outStart;
  const std::uint32_t want = (pending < kOutLimit ? EPOLLIN : 0u) | (pending > 0 ? EPOLLOUT : 0u);
  if (want == p->events) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.ptr = p;
  epoll_ctl(epoll, EPOLL_CTL_MOD, p->fd, &ev);
  p->events = want;
}

// Writes what is pending; false when the peer is gone.
bool Flush(int epoll, Peer* p) {
  while (p->outStart < p->out.size()) {
    ssize_t n = send(p->fd, p->out.data() + p->outStart, p->out.size() - p->outStart, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    p->outStart += static_cast<size_t>(n);
  }
  if (p->outStart == p->out.size()) {
    p->out.clear();
    p->outStart = 0;
  }
  Watch(epoll, p);
  return true;
}

// Reads once and echoes every complete frame; false when the peer is gone.
bool Serve(int epoll, Peer* p) {
  static std::vector<char> buffer(kReadChunk);  // shared: the server has one thread
  ssize_t n = recv(p->fd, buffer.data(), buffer.size(), 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  // Frames are cut from the shared buffer; a peer keeps only the start of a
  // frame that is not complete yet.
  const char* data = buffer.data();
  size_t size = static_cast<size_t>(n);
  if (!p->in.empty()) {
    p->in.insert(p->in.end(), data, data + size);
    data = p->in.data();
    size = p->in.size();
  }
  size_t at = 0;
  while (size - at >= bench::kHeaderSize) {
    std::uint32_t length = bench::LoadLength(data + at);
    if (length < bench::kHeaderSize || length > bench::kMaxFrame) return false;
    if (size - at < length) break;
    at += length;
  }
  // Complete frames go back as they came, in one piece.
  p->out.insert(p->out.end(), data, data + at);
  if (data == p->in.data()) {
    p->in.erase(p->in.begin(), p->in.begin() + static_cast<std::ptrdiff_t>(at));
  } else {
    p->in.assign(data + at, data + size);
  }
  return Flush(epoll, p);
}

}  // namespace

int main(int argc, char** argv) {
  const int port = bench::ParsePort(argc, argv);
  if (port == 0) {
    std::fprintf(stderr, "usage: raw_epoll_server PORT\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  bench::RaiseFileLimit();
  int listener = bench::ListenLoopback(port, SOMAXCONN);
  if (listener < 0) return 1;
  bench::SetNonBlocking(listener);
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event lev{};
  lev.events = EPOLLIN;
  lev.data.ptr = nullptr;  // the listener
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &lev);
  std::fprintf(stderr, "raw_epoll_server: listening on 127.0.0.1:%d\n", port);

  epoll_event events[256];
  for (;;) {
    int n = epoll_wait(epoll, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      Peer* p = static_cast<Peer*>(events[i].data.ptr);
      if (p == nullptr) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        Peer* peer = new Peer{fd, {}, {}, 0, EPOLLIN};
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = peer;
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
        continue;
      }
      bool alive = true;
      if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) alive = Serve(epoll, p);
      if (alive && (events[i].events & EPOLLOUT)) alive = Flush(epoll, p);
      if (!alive) {
        close(p->fd);  // also takes it out of the epoll set
        delete p;
        // Later events of this batch cannot name it: each descriptor
        // appears once per epoll_wait.
      }
    }
  }
}

// raw_epoll_server - the floor of the comparison: one thread, epoll (level
// triggered), non-blocking sockets, and nothing else. Every complete frame
// that arrives goes back to its sender.
//
//   raw_epoll_server PORT     listens on 127.0.0.1:PORT until it is stopped
//
// It copies no more than it must: input goes to one shared buffer, complete
// frames are sent straight from there, and a peer keeps storage only for
// the start of a frame that is not complete yet (further input for it is
// read in behind it) and for echoes the socket did not take at once.
//
// It makes no more system calls than it must, taking every trick the peers'
// libraries use and a few of its own:
// - the listener defers each connection until its first bytes have come
//   (TCP_DEFER_ACCEPT), so an accepted peer always has something to read;
// - a readable listener is accepted from until the queue is empty;
// - a new peer is read and answered at once, without waiting for epoll to
//   report what is already there;
// - TCP_NODELAY is set once, on the listener, and every accepted socket
//   inherits it;
// - epoll learns of a peer once (EPOLL_CTL_ADD); EPOLLOUT is added only when
//   a write would block, and taken away once the echoes are out.
#include <signal.h>
#include <sys/epoll.h>

#include <memory>

#include "benchcommon.h"

namespace {

constexpr size_t kReadChunk = 65536;
// Past this much unsent echo the peer is not read until it catches up.
constexpr size_t kOutLimit = 1 << 20;

// A byte buffer that grows without clearing what it adds.
struct Bytes {
  std::unique_ptr<char[]> data;
  size_t capacity = 0;
  size_t start = 0, end = 0;  // the bytes held

  size_t Size() const { return end - start; }
  // Makes room for `more` bytes behind the end, moving the held bytes to the front.
  void Reserve(size_t more) {
    if (start > 0) {
      std::memmove(data.get(), data.get() + start, Size());
      end -= start;
      start = 0;
    }
    if (capacity - end >= more) return;
    size_t grown = capacity * 2 > end + more ? capacity * 2 : end + more;
    std::unique_ptr<char[]> bigger(new char[grown]);
    if (end > 0) std::memcpy(bigger.get(), data.get(), end);
    data = std::move(bigger);
    capacity = grown;
  }
  void Append(const char* from, size_t n) {
    Reserve(n);
    std::memcpy(data.get() + end, from, n);
    end += n;
  }
  void Drop(size_t n) {
    start += n;
    if (start == end) start = end = 0;
  }
};

struct Peer {
  int fd;
  Bytes in;   // the start of a frame not complete yet
  Bytes out;  // echoes the socket has not taken yet
  std::uint32_t events = EPOLLIN;  // what epoll watches for it
};

// Watches for writability while echoes are pending, and for more input while
// they are few enough.
void Watch(int epoll, Peer* p) {
  const size_t pending = p->out.Size();
  const std::uint32_t want = (pending < kOutLimit ? EPOLLIN : 0u) | (pending > 0 ? EPOLLOUT : 0u);
  if (want == p->events) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.ptr = p;
  epoll_ctl(epoll, EPOLL_CTL_MOD, p->fd, &ev);
  p->events = want;
}

// Sends as much of data as the socket takes; the number sent, or -1 when
// the peer is gone.
ssize_t SendSome(int fd, const char* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return -1;
    }
    sent += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(sent);
}

// Writes the pending echoes; false when the peer is gone.
bool Flush(int epoll, Peer* p) {
  ssize_t n = SendSome(p->fd, p->out.data.get() + p->out.start, p->out.Size());
  if (n < 0) return false;
  p->out.Drop(static_cast<size_t>(n));
  Watch(epoll, p);
  return true;
}

// Reads once and echoes every complete frame; false when the peer is gone.
bool Serve(int epoll, Peer* p) {
  static std::unique_ptr<char[]> shared(new char[kReadChunk]);  // the server has one thread
  const bool resuming = p->in.Size() > 0;
  char* target = shared.get();
  if (resuming) {
    p->in.Reserve(kReadChunk);
    target = p->in.data.get() + p->in.end;
  }
  ssize_t n = recv(p->fd, target, kReadChunk, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  const char* data = target;
  size_t size = static_cast<size_t>(n);
  if (resuming) {
    p->in.end += size;
    data = p->in.data.get() + p->in.start;
    size = p->in.Size();
  }
  size_t at = 0;
  while (size - at >= bench::kHeaderSize) {
    std::uint32_t length = bench::LoadLength(data + at);
    if (length < bench::kHeaderSize || length > bench::kMaxFrame) return false;
    if (size - at < length) break;
    at += length;
  }
  // Complete frames go back as they came, in one piece.
  if (at > 0) {
    size_t sent = 0;
    if (p->out.Size() == 0) {
      ssize_t s = SendSome(p->fd, data, at);
      if (s < 0) return false;
      sent = static_cast<size_t>(s);
    }
    if (sent < at) p->out.Append(data + sent, at - sent);
  }
  if (resuming) {
    p->in.Drop(at);
  } else if (at < size) {
    p->in.Append(data + at, size - at);
  }
  if (p->out.Size() > 0) return Flush(epoll, p);
  Watch(epoll, p);
  return true;
}

// Accepts every connection waiting, and answers what each has sent.
void AcceptAll(int epoll, int listener) {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN: the queue is empty (or out of descriptors: try at the next event)
    }
    Peer* peer = new Peer;
    peer->fd = fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = peer;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
    if (!Serve(epoll, peer)) {
      close(fd);
      delete peer;
    }
  }
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
  // Every server sets TCP_NODELAY on its connections (small echoes go out at
  // once); accepted sockets inherit it from the listener.
  const int one = 1;
  setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A connection is accepted once its first bytes are there (or after a
  // second without any, as any other).
  const int deferSeconds = 1;
  setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
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
        AcceptAll(epoll, listener);
        continue;
      }
      bool alive = true;
      if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) alive = Serve(epoll, p);
      if (alive && (events[i].events & EPOLLOUT) && p->out.Size() > 0) alive = Flush(epoll, p);
      if (!alive) {
        close(p->fd);  // also takes it out of the epoll set
        delete p;
        // Later events of this batch cannot name it: each descriptor
        // appears once per epoll_wait.
      }
    }
  }
}

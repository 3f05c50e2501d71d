// qvplatform_posix.cpp - the platform layer on Linux (POSIX calls, with epoll
// and eventfd for the dispatcher's poller).
#include "qvplatform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include "../module/qvloadhooks.h"

namespace qvplat {

namespace {

thread_local std::uint32_t tlsLastError = 0;

// errno to the Windows Sockets code that the library's diagnostics know.
std::uint32_t MapErrno(int e) {
  switch (e) {
    case 0: return 0;
    case EINTR: return 10004;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return kErrTooManyFiles;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return kErrWouldBlock;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case EBADF:
    case ENOTSOCK: return kErrNotSocket;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case EOPNOTSUPP: return 10045;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return kErrAddrInUse;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    // Writing to a stream the peer has closed is a reset on Windows.
    case EPIPE:
    case ECONNRESET: return kErrConnReset;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return kErrNotConn;
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return kErrConnRefused;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return static_cast<std::uint32_t>(e);
  }
}

// Records the outcome of one socket call, as Windows Sockets does.
void Record(bool failed) { tlsLastError = failed ? MapErrno(errno) : 0; }

sockaddr_in MakeAddr(std::uint32_t addrNet, int port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
  sa.sin_addr.s_addr = addrNet;
  return sa;
}

}  // namespace

Socket TcpSocket() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  Record(s < 0);
  return s < 0 ? kInvalidSocket : s;
}

void CloseSocket(Socket s) { Record(::close(s) != 0); }

void ShutdownBoth(Socket s) { Record(::shutdown(s, SHUT_RDWR) != 0); }

void ShutdownSend(Socket s) { Record(::shutdown(s, SHUT_WR) != 0); }

bool SetNonBlocking(Socket s) {
  int flags = ::fcntl(s, F_GETFL, 0);
  bool ok = flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
  Record(!ok);
  return ok;
}

bool ConnectIPv4(Socket s, std::uint32_t addrNet, int port) {
  sockaddr_in sa = MakeAddr(addrNet, port);
  int r;
  do {
    r = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (r != 0 && errno == EINTR);
  Record(r != 0);
  return r == 0;
}

int StartConnect(Socket s, std::uint32_t addrNet, int port) {
  sockaddr_in sa = MakeAddr(addrNet, port);
  int r = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  // Interrupted, a non-blocking connect goes on by itself.
  const bool underWay = r != 0 && (errno == EINPROGRESS || errno == EINTR);
  Record(r != 0 && !underWay);
  return r == 0 ? 1 : underWay ? 0 : -1;
}

bool BindIPv4(Socket s, std::uint32_t addrNet, int port) {
  // A closed listening socket that the worker is still polling stays bound
  // until its poll() returns; without this a new bind to its port fails
  // meanwhile (Windows releases it at once). A socket that still listens
  // keeps its port to itself all the same.
  int reuse = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in sa = MakeAddr(addrNet, port);
  int r = ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  Record(r != 0);
  return r == 0;
}

bool ListenOn(Socket s, int backlog) {
  int r = ::listen(s, backlog);
  Record(r != 0);
  return r == 0;
}

int MaxBacklog() { return SOMAXCONN; }

Socket AcceptPeer(Socket listener, PeerAddress* peer) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  std::memset(&sa, 0, sizeof sa);
  // accept() on Linux does not pass O_NONBLOCK on; Windows does. Copy the
  // listening socket's mode so both behave alike.
  int listenerFlags = ::fcntl(listener, F_GETFL, 0);
  int nonBlocking = (listenerFlags >= 0 && (listenerFlags & O_NONBLOCK)) ? SOCK_NONBLOCK : 0;
  int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | nonBlocking);
  Record(s < 0);
  if (peer != nullptr) {
    std::memset(peer, 0, sizeof *peer);
    peer->family = sa.sin_family;
    peer->portNet = sa.sin_port;
    peer->addrNet = sa.sin_addr.s_addr;
  }
  return s < 0 ? kInvalidSocket : s;
}

namespace {
// One descriptor held back for DropPendingPeer: with it released there is
// room to accept the waiting peer and close it again.
int spareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}  // namespace

bool DropPendingPeer(Socket listener) {
  if (spareDescriptor < 0) return false;
  ::close(spareDescriptor);
  int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (s >= 0) ::close(s);
  spareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return s >= 0;
}

const sockaddr_in* AsSockaddrIn(const PeerAddress& peer) {
  thread_local sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = peer.family;
  sa.sin_port = peer.portNet;
  sa.sin_addr.s_addr = peer.addrNet;
  return &sa;
}

int SendSome(Socket s, const char* data, int len) {
  ssize_t r;
  do {
    r = ::send(s, data, static_cast<size_t>(len), MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  Record(r < 0);
  return static_cast<int>(r);
}

int RecvSome(Socket s, char* data, int len) {
  ssize_t r;
  do {
    r = ::recv(s, data, static_cast<size_t>(len), 0);
  } while (r < 0 && errno == EINTR);
  Record(r < 0);
  return static_cast<int>(r);
}

int WaitConnectDone(Socket s, int timeoutMs) {
  // A connect that failed shows as writable too (with POLLERR).
  pollfd p{s, POLLOUT, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  Record(r < 0);
  if (r == 0) tlsLastError = kErrTimedOut;
  if (r <= 0) return r < 0 ? -1 : 0;
  return 1;
}

std::uint32_t ConnectError(Socket s) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    Record(true);
    return tlsLastError;
  }
  if (error == 0) {
    sockaddr_in peer;
    socklen_t peerLength = sizeof peer;
    Record(::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0);
    return tlsLastError;
  }
  tlsLastError = MapErrno(error);
  return tlsLastError;
}

std::uint32_t LastSocketError() { return tlsLastError; }

int LocalPort(Socket s) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

bool ResolveIPv4(const char* name, std::uint32_t* addrNet) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *addrNet = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return true;
}

void FormatIPv4(std::uint32_t addrNet, char out[16]) {
  in_addr a;
  a.s_addr = addrNet;
  if (::inet_ntop(AF_INET, &a, out, 16) == nullptr) out[0] = '\0';
}

std::uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }
std::uint32_t AnyAddress() { return htonl(INADDR_ANY); }

// ---------------------------------------------------------------- threads

namespace {
struct ThreadStart {
  ThreadEntryFn entry;
  void* argument;
};

void* PosixThreadMain(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.entry(start.argument);
  return nullptr;
}
}  // namespace

int StartThread(ThreadHandle* handle, ThreadEntryFn entry, void* argument, std::uint32_t* id) {
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
  pthread_t t;
  if (start == nullptr || ::pthread_create(&t, nullptr, PosixThreadMain, start) != 0) {
    delete start;
    *handle = 0;
    return -1;
  }
  *handle = static_cast<ThreadHandle>(t);
  if (id != nullptr) *id = static_cast<std::uint32_t>(t);
  return 0;
}

bool JoinThread(ThreadHandle* handle, std::uint32_t timeoutMs) {
  if (*handle == 0) return true;
  pthread_t t = static_cast<pthread_t>(*handle);
  bool ended = true;
  if (timeoutMs == kInfinite) {
    ::pthread_join(t, nullptr);
  } else {
    timespec deadline;
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    // A thread that outlives the time-out is left to finish on its own.
    if (::pthread_timedjoin_np(t, nullptr, &deadline) != 0) {
      ::pthread_detach(t);
      ended = false;
    }
  }
  *handle = 0;
  return ended;
}

void SleepMs(std::uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void YieldThread() { ::sched_yield(); }

// exit() leaves the other threads running while static objects are
// destroyed, so the worker can always be stopped and waited for.
bool ProcessEnding() { return false; }

// ------------------------------------------------------------------- lock

static_assert(sizeof(pthread_mutex_t) <= 64, "RecursiveLock storage too small");

RecursiveLock::RecursiveLock(int level) : level_(level) {
  pthread_mutexattr_t attr;
  ::pthread_mutexattr_init(&attr);
  ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  ::pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(storage_), &attr);
  ::pthread_mutexattr_destroy(&attr);
}

RecursiveLock::~RecursiveLock() { ::pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }

void RecursiveLock::Acquire() { ::pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

void RecursiveLock::Release() { ::pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

// ------------------------------------------------------------ files, time

const char kLogDirectory[] = "Log";

bool MakeDirectory(const char* path) { return ::mkdir(path, 0777) == 0; }

bool LocalTime(std::time_t t, std::tm* out) { return ::localtime_r(&t, out) != nullptr; }

// ----------------------------------------------------------------- poller
//
// epoll keeps the watched set in the kernel, so a wait costs nothing per idle
// socket; select() would be undefined for descriptors at or above
// FD_SETSIZE, and poll() walks every descriptor on every wait. The wake-up
// eventfd is watched in the same epoll set. Probes are looked at with poll(),
// together with the epoll descriptor itself, which is readable while any
// watched socket is ready; epoll_wait() then collects those without waiting.
//
// An epoll registration is keyed by descriptor, and a descriptor that is
// closed leaves the set by itself; its number may then be handed to a new
// socket. Each registration therefore carries the descriptor and a serial
// number in its event data, so an event that comes from an older
// registration of the same number is recognised and dropped.

namespace {

constexpr std::uint64_t kWakeData = ~static_cast<std::uint64_t>(0);

std::uint64_t EventData(int fd, std::uint32_t serial) {
  return (static_cast<std::uint64_t>(serial) << 32) | static_cast<std::uint32_t>(fd);
}

// Readiness as the dispatcher sees it; see Poller::Wait.
unsigned MapReadiness(bool urgent, bool in, bool out, bool errorOrHangup, unsigned want) {
  unsigned got = 0;
  if (urgent) got |= kPollExcept;
  if (in && (want & kPollRead)) got |= kPollRead;
  if (out && (want & kPollWrite)) got |= kPollWrite;
  if (errorOrHangup) {
    // Windows shows a reset as readable/writable and lets recv()/send()
    // report it. A socket that asked for neither would be reported at once
    // on every pass, so there it is an exception condition.
    if (want & kPollRead) got |= kPollRead;
    if (want & kPollWrite) got |= kPollWrite;
    if ((want & (kPollRead | kPollWrite)) == 0) got |= kPollExcept;
  }
  return got;
}

std::uint32_t EpollEvents(unsigned want) {
  std::uint32_t events = EPOLLPRI;
  if (want & kPollRead) events |= EPOLLIN;
  if (want & kPollWrite) events |= EPOLLOUT;
  return events;
}

}  // namespace

struct Poller::Impl {
  struct Entry {
    std::uint64_t tag = 0;
    unsigned want = 0;
    std::uint32_t serial = 0;
    bool watched = false;
    bool refused = false;  // the system would not watch it
  };
  struct Probe {
    std::uint64_t tag;
    unsigned want;
  };

  int epoll = -1;
  std::atomic<int> wakeFd{-1};  // read by Wake() on any thread
  std::atomic<bool> wakePending{false};
  RecursiveLock* guard = nullptr;
  std::vector<Entry> entries;  // indexed by descriptor
  int watchedCount = 0;
  std::vector<int> refused;
  std::uint32_t nextSerial = 0;
  std::vector<Probe> probes;
  std::vector<pollfd> pollFds;
  std::vector<epoll_event> ready;
  std::vector<Event> events;

  void DropRefused(int fd) {
    for (size_t i = 0; i < refused.size(); ++i) {
      if (refused[i] == fd) {
        refused[i] = refused.back();
        refused.pop_back();
        return;
      }
    }
  }

  Entry* Find(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= entries.size()) return nullptr;
    return &entries[static_cast<size_t>(fd)];
  }

  // The eventfd is watched edge-triggered: every write to it is an event,
  // so its counter never needs reading back.
  void Drain() { wakePending.store(false); }

  // 0, or the errno of the failure.
  int Control(int op, int fd, const Entry& e) {
    epoll_event ev{};
    ev.events = EpollEvents(e.want);
    ev.data.u64 = EventData(fd, e.serial);
    return ::epoll_ctl(epoll, op, fd, &ev) == 0 ? 0 : errno;
  }
};

Poller::Poller() : impl_(new Impl) { Open(); }

bool Poller::Open() {
  Impl& m = *impl_;
  if (m.epoll >= 0 && m.wakeFd.load() >= 0) return true;
  if (m.epoll < 0) m.epoll = ::epoll_create1(EPOLL_CLOEXEC);
  Record(m.epoll < 0);
  if (m.epoll < 0) return false;
  const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  Record(wakeFd < 0);
  if (wakeFd < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kWakeData;
  const bool added = ::epoll_ctl(m.epoll, EPOLL_CTL_ADD, wakeFd, &ev) == 0;
  Record(!added);
  if (!added) {
    ::close(wakeFd);
    return false;
  }
  m.wakeFd.store(wakeFd);
  return true;
}

Poller::~Poller() {
  if (impl_->wakeFd.load() >= 0) ::close(impl_->wakeFd.load());
  if (impl_->epoll >= 0) ::close(impl_->epoll);
  delete impl_;
}

void Poller::Watch(Socket s, std::uint64_t tag, unsigned want) {
  Impl& m = *impl_;
  if (s < 0) return;
  if (static_cast<size_t>(s) >= m.entries.size()) m.entries.resize(static_cast<size_t>(s) + 1);
  Impl::Entry& e = m.entries[static_cast<size_t>(s)];
  const bool was = e.watched;
  e.tag = tag;
  e.want = want;
  if (was && !e.refused && m.Control(EPOLL_CTL_MOD, s, e) == 0) return;
  // New, or its registration vanished with a close since it was added.
  if (!was) ++m.watchedCount;
  e.watched = true;
  e.serial = ++m.nextSerial;
  int err = m.Control(EPOLL_CTL_ADD, s, e);
  if (err == EEXIST) err = m.Control(EPOLL_CTL_MOD, s, e);
  const bool ok = err == 0;
  if (ok && e.refused) {
    e.refused = false;
    m.DropRefused(s);
  } else if (!ok && !e.refused) {
    e.refused = true;
    m.refused.push_back(s);
  }
}

void Poller::Unwatch(Socket s, std::uint64_t tag) {
  Impl& m = *impl_;
  Impl::Entry* e = m.Find(s);
  if (e == nullptr || !e->watched || e->tag != tag) return;
  if (e->refused) {
    m.DropRefused(s);
  } else {
    // Fails harmlessly when the descriptor was closed: it left the set then.
    ::epoll_ctl(m.epoll, EPOLL_CTL_DEL, s, nullptr);
  }
  *e = Impl::Entry{};
  --m.watchedCount;
}

void Poller::Probe(Socket s, std::uint64_t tag, unsigned want) {
  Impl& m = *impl_;
  short events = POLLPRI;
  if (want & kPollRead) events |= POLLIN;
  if (want & kPollWrite) events |= POLLOUT;
  m.pollFds.resize(m.probes.size() + 1);
  m.pollFds.push_back(pollfd{s, events, 0});
  m.probes.push_back(Impl::Probe{tag, want});
}

int Poller::Watched() const {
  LockGuard hold(impl_->guard);
  return impl_->watchedCount;
}

void Poller::Guard(RecursiveLock* lock) { impl_->guard = lock; }

int Poller::Wait(int timeoutMs) {
  Impl& m = *impl_;
  m.events.clear();
  if (m.epoll < 0) {
    m.probes.clear();
    m.pollFds.clear();
    return -1;
  }
  // The probes and the arrays the system fills are this thread's own; the
  // watched entries are read under the guard only.
  bool refused;
  {
    LockGuard hold(m.guard);
    refused = !m.refused.empty();
    if (m.ready.size() < static_cast<size_t>(m.watchedCount) + 1) m.ready.resize(static_cast<size_t>(m.watchedCount) + 1);
  }
  bool collect = true;
  int epollTimeout = timeoutMs;
  int polled = 0;
  if (!m.probes.empty() || refused) {
    // Entry 0 is the epoll set itself; the probes follow it.
    m.pollFds.resize(m.probes.size() + 1);
    m.pollFds[0] = pollfd{m.epoll, POLLIN, 0};
    polled = ::poll(m.pollFds.data(), m.pollFds.size(), refused ? 0 : timeoutMs);
    if (polled < 0 && errno != EINTR) {
      m.probes.clear();
      m.pollFds.clear();
      return -1;
    }
    collect = polled > 0 && (m.pollFds[0].revents & POLLIN) != 0;
    epollTimeout = 0;
  }
  int n = 0;
  if (collect) {
    n = ::epoll_wait(m.epoll, m.ready.data(), static_cast<int>(m.ready.size()), epollTimeout);
    if (n < 0 && errno != EINTR) {
      m.probes.clear();
      m.pollFds.clear();
      return -1;
    }
  }
  LockGuard hold(m.guard);
  for (size_t i = 0; polled > 0 && i < m.probes.size(); ++i) {
    const pollfd& p = m.pollFds[i + 1];
    unsigned got = MapReadiness((p.revents & (POLLPRI | POLLNVAL)) != 0, (p.revents & POLLIN) != 0,
                                (p.revents & POLLOUT) != 0, (p.revents & (POLLERR | POLLHUP)) != 0,
                                m.probes[i].want);
    if (got != 0) m.events.push_back(Event{m.probes[i].tag, got});
  }
  m.probes.clear();
  m.pollFds.clear();
  for (int i = 0; i < n; ++i) {
    const epoll_event& ev = m.ready[static_cast<size_t>(i)];
    if (ev.data.u64 == kWakeData) {
      m.Drain();
      continue;
    }
    int fd = static_cast<int>(static_cast<std::uint32_t>(ev.data.u64));
    Impl::Entry* e = m.Find(fd);
    // Unwatched meanwhile, or an older registration of a number handed out again.
    if (e == nullptr || !e->watched || e->serial != static_cast<std::uint32_t>(ev.data.u64 >> 32)) continue;
    unsigned got = MapReadiness((ev.events & EPOLLPRI) != 0, (ev.events & EPOLLIN) != 0,
                                (ev.events & EPOLLOUT) != 0, (ev.events & (EPOLLERR | EPOLLHUP)) != 0, e->want);
    if (got != 0) m.events.push_back(Event{e->tag, got});
  }
  // Like poll()'s POLLNVAL: a socket the system would not watch is reported
  // until it is unwatched.
  for (int fd : m.refused) m.events.push_back(Event{m.entries[static_cast<size_t>(fd)].tag, kPollExcept});
  return static_cast<int>(m.events.size());
}

const Poller::Event& Poller::EventAt(int index) const { return impl_->events[static_cast<size_t>(index)]; }

void Poller::Nap(int timeoutMs) {
  if (impl_->epoll < 0) return SleepMs(static_cast<std::uint32_t>(timeoutMs));
  epoll_event ev;
  if (::epoll_wait(impl_->epoll, &ev, 1, timeoutMs) > 0 && ev.data.u64 == kWakeData) impl_->Drain();
}

void Poller::Wake() {
  const int wakeFd = impl_->wakeFd.load();
  if (wakeFd < 0 || impl_->wakePending.exchange(true)) return;
  std::uint64_t one = 1;
  ssize_t r = ::write(wakeFd, &one, sizeof one);
  // Never full: a write is made only when no wake-up is pending, and the
  // counter would take centuries of writes to fill.
  (void)r;
}

}  // namespace qvplat

// Load-time work of the shared library, the counterpart of DllMain's process
// attach. The priority puts it after the library's own early static objects
// (the log instance) and before everything else.
__attribute__((constructor(102))) static void QvLibraryConstructor() { QvOnLibraryLoaded(); }

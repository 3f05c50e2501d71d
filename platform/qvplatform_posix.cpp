// qvplatform_posix.cpp - the platform layer on Linux and other POSIX systems.
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

#if defined(__linux__)
#include <sys/eventfd.h>
#endif

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

int WaitWritable(Socket s, int timeoutMs) {
  pollfd p{s, POLLOUT, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  Record(r < 0);
  if (r == 0) tlsLastError = 10060;  // WSAETIMEDOUT, as select() leaves it
  if (r <= 0) return r < 0 ? -1 : 0;
  return 1;
}

std::uint32_t LastSocketError() { return tlsLastError; }

int LocalPort(Socket s) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

std::uint32_t InetAddr(const char* dotted) { return ::inet_addr(dotted); }

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

RecursiveLock::RecursiveLock() {
  pthread_mutexattr_t attr;
  ::pthread_mutexattr_init(&attr);
  ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  ::pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(storage_), &attr);
  ::pthread_mutexattr_destroy(&attr);
}

RecursiveLock::~RecursiveLock() { ::pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(storage_)); }

void RecursiveLock::Enter() { ::pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

void RecursiveLock::Leave() { ::pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(storage_)); }

// ------------------------------------------------------------ files, time

const char kLogDirectory[] = "Log";

bool MakeDirectory(const char* path) { return ::mkdir(path, 0777) == 0; }

bool LocalTime(std::time_t t, std::tm* out) { return ::localtime_r(&t, out) != nullptr; }

// ----------------------------------------------------------------- poller
//
// poll() rather than select(): select() is undefined for descriptors at or
// above FD_SETSIZE, and a table of 4000 sockets goes past it. Entry 0 of the
// poll array is the wake-up descriptor (an eventfd); the caller's entries
// follow it, so caller index i is poll index i + 1.

struct Poller::Impl {
  std::vector<pollfd> fds;
  std::vector<unsigned> want;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::atomic<bool> wakePending{false};

  void Drain() {
    char buf[64];
    while (::read(wakeRead, buf, sizeof buf) > 0) {
    }
    wakePending.store(false);
  }
};

Poller::Poller() : impl_(new Impl) {
#if defined(__linux__)
  impl_->wakeRead = impl_->wakeWrite = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
  int p[2];
  if (::pipe(p) == 0) {
    ::fcntl(p[0], F_SETFL, O_NONBLOCK);
    ::fcntl(p[1], F_SETFL, O_NONBLOCK);
    impl_->wakeRead = p[0];
    impl_->wakeWrite = p[1];
  }
#endif
  impl_->fds.reserve(64);
  impl_->want.reserve(64);
  Clear();
}

Poller::~Poller() {
  if (impl_->wakeRead >= 0) ::close(impl_->wakeRead);
  if (impl_->wakeWrite >= 0 && impl_->wakeWrite != impl_->wakeRead) ::close(impl_->wakeWrite);
  delete impl_;
}

void Poller::Clear() {
  impl_->fds.clear();
  impl_->want.clear();
  // A negative descriptor is ignored by poll(), so a failed eventfd costs nothing.
  impl_->fds.push_back(pollfd{impl_->wakeRead, POLLIN, 0});
  impl_->want.push_back(0);
}

int Poller::Add(Socket s, unsigned want) {
  short events = POLLPRI;
  if (want & kPollRead) events |= POLLIN;
  if (want & kPollWrite) events |= POLLOUT;
  impl_->fds.push_back(pollfd{s, events, 0});
  impl_->want.push_back(want);
  return static_cast<int>(impl_->fds.size()) - 2;
}

int Poller::Size() const { return static_cast<int>(impl_->fds.size()) - 1; }

int Poller::Wait(int timeoutMs) {
  int r = ::poll(impl_->fds.data(), impl_->fds.size(), timeoutMs);
  if (r < 0) return -1;
  if (impl_->fds[0].revents & POLLIN) {
    impl_->Drain();
    --r;
  }
  return r;
}

unsigned Poller::Ready(int index) const {
  const pollfd& p = impl_->fds[static_cast<size_t>(index) + 1];
  unsigned want = impl_->want[static_cast<size_t>(index) + 1];
  unsigned got = 0;
  if (p.revents & POLLPRI) got |= kPollExcept;
  if (p.revents & POLLNVAL) got |= kPollExcept;
  if (p.revents & POLLIN) got |= kPollRead;
  if (p.revents & POLLOUT) got |= kPollWrite;
  if (p.revents & (POLLERR | POLLHUP)) {
    // Windows shows a reset as readable/writable and lets recv()/send()
    // report it. A socket that asked for neither would make poll() return
    // at once on every pass, so there it is an exception condition.
    if (want & kPollRead) got |= kPollRead;
    if (want & kPollWrite) got |= kPollWrite;
    if ((want & (kPollRead | kPollWrite)) == 0) got |= kPollExcept;
  }
  return got;
}

void Poller::Nap(int timeoutMs) {
  pollfd p{impl_->wakeRead, POLLIN, 0};
  int r = ::poll(&p, impl_->wakeRead >= 0 ? 1 : 0, timeoutMs);
  if (r > 0) impl_->Drain();
}

void Poller::Wake() {
  if (impl_->wakeWrite < 0 || impl_->wakePending.exchange(true)) return;
#if defined(__linux__)
  std::uint64_t one = 1;
  ssize_t r = ::write(impl_->wakeWrite, &one, sizeof one);
#else
  char one = 1;
  ssize_t r = ::write(impl_->wakeWrite, &one, 1);
#endif
  (void)r;  // a full counter or pipe means a wake-up is already pending
}

}  // namespace qvplat

// Load-time work of the shared library, the counterpart of DllMain's process
// attach. The priority puts it after the library's own early static objects
// (the log instance) and before everything else.
__attribute__((constructor(102))) static void QvLibraryConstructor() { QvOnLibraryLoaded(); }

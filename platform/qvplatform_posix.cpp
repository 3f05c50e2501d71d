// qvplatform_posix.cpp - the platform layer on Linux (POSIX calls, with epoll
// and eventfd for the dispatcher's poller).
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "qvplatform_os.h"

namespace qvplat {

// ------------------------------------------------------------- errors

std::uint32_t os::CodeOf(int systemError) {
  // errno to the table's codes, once; an errno the table lacks stays itself.
  static const std::array<std::uint16_t, 256> codes = [] {
    std::array<std::uint16_t, 256> c{};
#define QV_ERRNO_ROW(name, code, errno1, errno2, text) \
  if (errno1 > 0 && errno1 < 256) c[errno1] = code;    \
  if (errno2 > 0 && errno2 < 256) c[errno2] = code;
    QV_SOCKET_ERRORS(QV_ERRNO_ROW)
#undef QV_ERRNO_ROW
    return c;
  }();
  if (systemError > 0 && systemError < 256 && codes[systemError] != 0) return codes[systemError];
  return static_cast<std::uint32_t>(systemError);
}

int os::LastSystemError() { return errno; }

bool os::ConnectUnderWay() {
  // Interrupted, a non-blocking connect goes on by itself.
  return errno == EINPROGRESS || errno == EINTR;
}

void os::BeforeBind(Socket s) {
  // A closed listening socket that the worker is still polling stays bound
  // until its poll() returns; without this a new bind to its port fails
  // meanwhile (Windows releases it at once). A socket that still listens
  // keeps its port to itself all the same.
  int reuse = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
}

// ------------------------------------------------------------ sockets

Socket TcpSocket() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  os::Record(s < 0);
  return s < 0 ? kInvalidSocket : s;
}

void CloseSocket(Socket s) { os::Record(::close(s) != 0); }

void ResetAndClose(Socket s) {
  const linger now{1, 0};
  os::Record(::setsockopt(s, SOL_SOCKET, SO_LINGER, &now, sizeof now) != 0);
  CloseSocket(s);
}

void ShutdownBoth(Socket s) { os::Record(::shutdown(s, SHUT_RDWR) != 0); }

void ShutdownSend(Socket s) { os::Record(::shutdown(s, SHUT_WR) != 0); }

bool SetNonBlocking(Socket s) {
  int flags = ::fcntl(s, F_GETFL, 0);
  bool ok = flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
  os::Record(!ok);
  return ok;
}

int os::WaitConnectDone(Socket s, int timeoutMs) {
  // A connect that failed shows as writable too (with POLLERR).
  pollfd p{s, POLLOUT, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  Record(r < 0);
  if (r == 0) RecordCode(kErrTimedOut);
  return r < 0 ? -1 : r;
}

namespace {
// One descriptor held back for DropPendingPeer: with it released there is
// room to accept the waiting peer and close it again. Between the release
// and the reopening another thread may take its number; the spare is then
// lost until a later accept finds room to open it again.
int OpenSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
std::atomic<int> spareDescriptor{OpenSpare()};

void KeepSpare() {
  if (spareDescriptor.load() >= 0) return;
  const int fd = OpenSpare();
  int none = -1;
  if (fd >= 0 && !spareDescriptor.compare_exchange_strong(none, fd)) ::close(fd);
}
}  // namespace

Socket AcceptPeer(Socket listener, PeerAddress* peer, ListenerMode mode) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  std::memset(&sa, 0, sizeof sa);
  // accept() on Linux does not pass O_NONBLOCK on; Windows does. Copy the
  // listening socket's mode so both behave alike.
  int nonBlocking = SOCK_NONBLOCK;
  if (mode == ListenerMode::kFindOut) {
    const int listenerFlags = ::fcntl(listener, F_GETFL, 0);
    nonBlocking = (listenerFlags >= 0 && (listenerFlags & O_NONBLOCK)) ? SOCK_NONBLOCK : 0;
  }
  int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | nonBlocking);
  os::Record(s < 0);
  os::FillPeer(sa, peer);
  if (s < 0) return kInvalidSocket;
  KeepSpare();  // a spare lost before is taken again while there is room
  return s;
}

bool DropPendingPeer(Socket listener) {
  KeepSpare();
  const int spare = spareDescriptor.exchange(-1);
  if (spare < 0) return false;
  ::close(spare);
  const int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (s >= 0) ::close(s);
  KeepSpare();
  return s >= 0;
}

int SendSome(Socket s, const char* data, int len) {
  ssize_t r;
  do {
    r = ::send(s, data, static_cast<size_t>(len), MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  os::Record(r < 0);
  return static_cast<int>(r);
}

int SendPieces(Socket s, const SendPiece* pieces, int count) {
  iovec vector[kMaxSendPieces];
  if (count > kMaxSendPieces) count = kMaxSendPieces;
  for (int i = 0; i < count; ++i) {
    vector[i].iov_base = const_cast<char*>(pieces[i].data);
    vector[i].iov_len = pieces[i].length;
  }
  msghdr message{};
  message.msg_iov = vector;
  message.msg_iovlen = static_cast<std::size_t>(count);
  ssize_t r;
  do {
    r = ::sendmsg(s, &message, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  os::Record(r < 0);
  return static_cast<int>(r);
}

int RecvSome(Socket s, char* data, int len) {
  ssize_t r;
  do {
    r = ::recv(s, data, static_cast<size_t>(len), 0);
  } while (r < 0 && errno == EINTR);
  os::Record(r < 0);
  return static_cast<int>(r);
}

// ------------------------------------------------------------ threads

namespace {
void* PosixThreadMain(void* start) {
  os::RunThread(start);
  return nullptr;
}
}  // namespace

int StartThread(ThreadHandle* handle, ThreadEntryFn entry, void* argument, std::uint32_t* id) {
  auto* start = new (std::nothrow) os::ThreadStart{entry, argument};
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
  *handle = 0;
  if (timeoutMs == kInfinite) return ::pthread_join(t, nullptr) == 0;
  timespec deadline;
  ::clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  if (::pthread_timedjoin_np(t, nullptr, &deadline) == 0) return true;
  ::pthread_detach(t);  // a thread that outlives the time-out finishes on its own
  return false;
}

void SleepMs(std::uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void YieldThread() { ::sched_yield(); }

std::uint64_t CoarseMillis() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

#if defined(__SANITIZE_THREAD__)
#define QV_SANITIZING_THREADS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QV_SANITIZING_THREADS 1
#endif
#endif

#if defined(QV_SANITIZING_THREADS)
// ThreadSanitizer sees the system's locks only: its builds take the
// system's recursive mutex.
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
#else
namespace {

// The lock as a futex word, its holder and its depth. The system's
// recursive mutex runs some 90 instructions for a lock and its unlock; a
// connection takes its send lock for every frame it queues, and the worker
// takes six locks for every ping-pong round trip. This one runs a compare-
// and-swap to enter and an exchange to leave when nobody waits.
//  - `word`: 0 free, 1 held, 2 held and perhaps waited for. A thread that
//    finds it held sets 2 and sleeps on it; the leaving thread wakes one
//    when it was 2.
//  - `holder`: the mark of the thread that holds it, or null. Only the
//    holder writes it, so a thread finds its own mark there only while it
//    holds the lock; the depth is only touched by the holder.
struct RecursiveParts {
  std::atomic<int> word;
  std::atomic<const void*> holder;
  unsigned depth;
};
static_assert(sizeof(RecursiveParts) <= 64, "RecursiveLock storage too small");
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "a futex word is an int");

RecursiveParts& PartsOfLock(unsigned char* storage) { return *reinterpret_cast<RecursiveParts*>(storage); }

// What tells the threads apart: the thread pointer where the compiler
// reads it in one instruction, else the address of a thread-local byte
// (which, in a shared library, costs a call to find).
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__aarch64__))
inline const void* ThreadMark() { return __builtin_thread_pointer(); }
#else
thread_local char tlsThreadMark;
inline const void* ThreadMark() { return &tlsThreadMark; }
#endif

void FutexWait(std::atomic<int>* word, int expected) {
  ::syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWakeOne(std::atomic<int>* word) {
  ::syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

RecursiveLock::RecursiveLock(int level) : level_(level) { new (storage_) RecursiveParts{{0}, {nullptr}, 0}; }

RecursiveLock::~RecursiveLock() { PartsOfLock(storage_).~RecursiveParts(); }

void RecursiveLock::Acquire() {
  RecursiveParts& parts = PartsOfLock(storage_);
  const void* const me = ThreadMark();
  if (parts.holder.load(std::memory_order_relaxed) == me) {
    ++parts.depth;
    return;
  }
  int seen = 0;
  if (!parts.word.compare_exchange_strong(seen, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
    // Held: marked as waited for, then slept on until it is free.
    if (seen != 2) seen = parts.word.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
      FutexWait(&parts.word, 2);
      seen = parts.word.exchange(2, std::memory_order_acquire);
    }
  }
  parts.holder.store(me, std::memory_order_relaxed);
  parts.depth = 1;
}

void RecursiveLock::Release() {
  RecursiveParts& parts = PartsOfLock(storage_);
  if (--parts.depth > 0) return;
  parts.holder.store(nullptr, std::memory_order_relaxed);
  if (parts.word.exchange(0, std::memory_order_release) == 2) FutexWakeOne(&parts.word);
}
#endif

namespace {

struct MonitorParts {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
};
static_assert(sizeof(MonitorParts) <= 128, "Monitor storage too small");

MonitorParts& PartsOf(unsigned char* storage) { return *reinterpret_cast<MonitorParts*>(storage); }

}  // namespace

Monitor::Monitor() {
  MonitorParts* parts = new (storage_) MonitorParts;
  ::pthread_mutex_init(&parts->mutex, nullptr);
  // Timed waits count on the clock that only goes forward.
  pthread_condattr_t attributes;
  ::pthread_condattr_init(&attributes);
  ::pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  ::pthread_cond_init(&parts->condition, &attributes);
  ::pthread_condattr_destroy(&attributes);
}

Monitor::~Monitor() {
  ::pthread_cond_destroy(&PartsOf(storage_).condition);
  ::pthread_mutex_destroy(&PartsOf(storage_).mutex);
}

void Monitor::Enter() { ::pthread_mutex_lock(&PartsOf(storage_).mutex); }

void Monitor::Leave() { ::pthread_mutex_unlock(&PartsOf(storage_).mutex); }

void Monitor::Wait() { ::pthread_cond_wait(&PartsOf(storage_).condition, &PartsOf(storage_).mutex); }

void Monitor::WaitFor(std::uint32_t ms) {
  timespec until{};
  ::clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(ms / 1000);
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  ::pthread_cond_timedwait(&PartsOf(storage_).condition, &PartsOf(storage_).mutex, &until);
}

void Monitor::WakeAll() { ::pthread_cond_broadcast(&PartsOf(storage_).condition); }

// ------------------------------------------------------ files, loading

bool MakeDirectory(const char* path) { return ::mkdir(path, 0777) == 0; }

bool LocalTime(std::time_t t, std::tm* out) { return ::localtime_r(&t, out) != nullptr; }

void WriteWhole(std::FILE* stream, const char* bytes, std::size_t length) {
#if defined(__GLIBC__) && !defined(QV_SANITIZING_THREADS)
  // A short line is copied straight into the stream's buffer under its
  // lock, as putc_unlocked does byte by byte: the room it checks is none (or
  // less) for a line-buffered or unbuffered stream, which then takes
  // fwrite's way, with its flush at the end of the line.
  // (ThreadSanitizer does not see the lock flockfile takes: its builds
  // always take fwrite's.)
  ::flockfile(stream);
  const std::ptrdiff_t room = stream->_IO_write_end - stream->_IO_write_ptr;  // below zero when line-buffered
  if (room > 0 && length <= static_cast<std::size_t>(room)) {
    std::memcpy(stream->_IO_write_ptr, bytes, length);
    stream->_IO_write_ptr += length;
  } else {
    ::fwrite_unlocked(bytes, 1, length, stream);
  }
  ::funlockfile(stream);
#else
  std::fwrite(bytes, 1, length, stream);
#endif
}

bool LoadedWithEntryFunction() { return false; }

// A weak reference: null unless the program defines the symbol. Linked into
// a program, the library finds the definition there; as a shared library,
// through the executable's dynamic symbols, where the linker puts it
// because this library refers to it.
extern "C" const int QvNetLogOffByDefault __attribute__((weak));

bool ProgramWantsLogOffByDefault() { return &QvNetLogOffByDefault != nullptr; }

// ------------------------------------------------------------- poller
//
// epoll keeps the watched set in the kernel, so a wait costs nothing per idle
// socket; select() would be undefined for descriptors at or above
// FD_SETSIZE, and poll() walks every descriptor on every wait. The wake-up
// eventfd is watched in the same epoll set, edge-triggered: every write to
// it is an event, so its counter never needs reading back.
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
unsigned MapReadiness(std::uint32_t events, unsigned want) {
  unsigned got = 0;
  if (events & EPOLLPRI) got |= kPollExcept;
  if ((events & EPOLLIN) && (want & kPollRead)) got |= kPollRead;
  if ((events & EPOLLOUT) && (want & kPollWrite)) got |= kPollWrite;
  if (events & (EPOLLERR | EPOLLHUP)) {
    // Windows shows a reset as readable/writable and lets recv()/send()
    // report it. A socket that asked for neither would be reported at once
    // on every pass, so there it is an exception condition.
    got |= want & (kPollRead | kPollWrite);
    if ((want & (kPollRead | kPollWrite)) == 0) got |= kPollExcept;
  }
  return got;
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

  int epoll = -1;
  std::atomic<int> wakeFd{-1};  // read by Wake() on any thread
  std::atomic<bool> wakePending{false};
  mutable RecursiveLock lock{kLockPoller};  // the entries, the refused list, the count
  std::vector<Entry> entries;               // indexed by descriptor
  // Changed under the lock; read without it by the waiting thread.
  std::atomic<int> watchedCount{0};
  std::atomic<int> refusedCount{0};
  std::vector<int> refused;
  std::uint32_t nextSerial = 0;
  std::vector<epoll_event> ready;  // the waiting thread's
  std::vector<Event> events;

  Entry* Find(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= entries.size()) return nullptr;
    return &entries[static_cast<size_t>(fd)];
  }

  void DropRefused(int fd) {
    for (size_t i = 0; i < refused.size(); ++i) {
      if (refused[i] != fd) continue;
      refused[i] = refused.back();
      refused.pop_back();
      refusedCount.store(static_cast<int>(refused.size()));
      return;
    }
  }

  // 0, or the errno of the failure.
  int Control(int op, int fd, const Entry& e) {
    epoll_event ev{};
    ev.events = EPOLLPRI | ((e.want & kPollRead) ? EPOLLIN : 0u) | ((e.want & kPollWrite) ? EPOLLOUT : 0u);
    ev.data.u64 = EventData(fd, e.serial);
    return ::epoll_ctl(epoll, op, fd, &ev) == 0 ? 0 : errno;
  }

  // The event for epoll's report `ev`, if it is for a registration that is
  // still watched. Lock held.
  bool Translate(const epoll_event& ev, Event* out) {
    const int fd = static_cast<int>(static_cast<std::uint32_t>(ev.data.u64));
    const Entry* e = Find(fd);
    if (e == nullptr || !e->watched || e->serial != static_cast<std::uint32_t>(ev.data.u64 >> 32)) return false;
    *out = Event{e->tag, MapReadiness(ev.events, e->want)};
    return out->ready != 0;
  }
};

Poller::Poller() : impl_(new Impl) { Open(); }

Poller::~Poller() {
  if (impl_->wakeFd.load() >= 0) ::close(impl_->wakeFd.load());
  if (impl_->epoll >= 0) ::close(impl_->epoll);
  delete impl_;
}

bool Poller::Open() {
  Impl& m = *impl_;
  if (m.epoll >= 0 && m.wakeFd.load() >= 0) return true;
  if (m.epoll < 0) m.epoll = ::epoll_create1(EPOLL_CLOEXEC);
  os::Record(m.epoll < 0);
  if (m.epoll < 0) return false;
  const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  os::Record(wakeFd < 0);
  if (wakeFd < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kWakeData;
  const bool added = ::epoll_ctl(m.epoll, EPOLL_CTL_ADD, wakeFd, &ev) == 0;
  os::Record(!added);
  if (!added) {
    ::close(wakeFd);
    return false;
  }
  m.wakeFd.store(wakeFd);
  return true;
}

void Poller::Watch(Socket s, std::uint64_t tag, unsigned want) {
  Impl& m = *impl_;
  if (s < 0) return;
  LockGuard hold(m.lock);
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
  if (err == 0 && e.refused) {
    e.refused = false;
    m.DropRefused(s);
  } else if (err != 0 && !e.refused) {
    e.refused = true;
    m.refused.push_back(s);
    m.refusedCount.store(static_cast<int>(m.refused.size()));
  }
}

void Poller::Unwatch(Socket s, std::uint64_t tag) {
  Impl& m = *impl_;
  LockGuard hold(m.lock);
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

int Poller::Watched() const { return impl_->watchedCount.load(); }

int Poller::Wait(int timeoutMs) {
  Impl& m = *impl_;
  m.events.clear();
  if (m.epoll < 0) return -1;
  // Refused sockets are reported at once, like poll()'s POLLNVAL.
  if (m.refusedCount.load() > 0) timeoutMs = 0;
  const auto room = static_cast<size_t>(m.watchedCount.load()) + 1;
  if (m.ready.size() < room) m.ready.resize(room);
  const int n = ::epoll_wait(m.epoll, m.ready.data(), static_cast<int>(m.ready.size()), timeoutMs);
  if (n < 0 && errno != EINTR) return -1;
  LockGuard hold(m.lock);
  for (int i = 0; i < n; ++i) {
    const epoll_event& ev = m.ready[static_cast<size_t>(i)];
    Event event;
    if (ev.data.u64 == kWakeData) {
      m.wakePending.store(false);
    } else if (m.Translate(ev, &event)) {
      m.events.push_back(event);
    }
  }
  for (int fd : m.refused) m.events.push_back(Event{m.entries[static_cast<size_t>(fd)].tag, kPollExcept});
  return static_cast<int>(m.events.size());
}

const Poller::Event& Poller::EventAt(int index) const { return impl_->events[static_cast<size_t>(index)]; }

void Poller::Nap(int timeoutMs) {
  if (impl_->epoll < 0) return SleepMs(static_cast<std::uint32_t>(timeoutMs));
  epoll_event ev;
  if (::epoll_wait(impl_->epoll, &ev, 1, timeoutMs) > 0 && ev.data.u64 == kWakeData) impl_->wakePending.store(false);
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

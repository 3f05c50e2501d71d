// qvplatform_win32.cpp - the platform layer on Windows (Windows Sockets 2).
//
// The library never calls WSAStartup: the application initialises Windows
// Sockets before it connects or listens.
#include <process.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "qvplatform_os.h"

namespace qvplat {

// ------------------------------------------------------------- errors

std::uint32_t os::CodeOf(int systemError) { return static_cast<std::uint32_t>(systemError); }

int os::LastSystemError() { return ::WSAGetLastError(); }

bool os::ConnectUnderWay() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }

// Windows frees a closed listening socket's port at once, and SO_REUSEADDR
// would let other sockets take a port that is still listened on.
void os::BeforeBind(Socket) {}

// ------------------------------------------------------------ sockets

Socket TcpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  os::Record(s == INVALID_SOCKET);
  return static_cast<Socket>(s);
}

void CloseSocket(Socket s) { os::Record(::closesocket(os::Native(s)) != 0); }

void ResetAndClose(Socket s) {
  const linger now{1, 0};
  os::Record(::setsockopt(os::Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&now), sizeof now) != 0);
  CloseSocket(s);
}

void ShutdownBoth(Socket s) { os::Record(::shutdown(os::Native(s), SD_BOTH) != 0); }

void ShutdownSend(Socket s) { os::Record(::shutdown(os::Native(s), SD_SEND) != 0); }

bool SetNonBlocking(Socket s) {
  u_long on = 1;
  bool ok = ::ioctlsocket(os::Native(s), FIONBIO, &on) != SOCKET_ERROR;
  os::Record(!ok);
  return ok;
}

int os::WaitConnectDone(Socket s, int timeoutMs) {
  // Windows reports a connect that failed in the exception set, one that
  // succeeded in the write set: wait on both.
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Native(s), &writable);
  FD_SET(Native(s), &failed);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int r = ::select(0, nullptr, &writable, &failed, &tv);
  Record(r == SOCKET_ERROR);
  if (r == 0) RecordCode(kErrTimedOut);
  return r == SOCKET_ERROR ? -1 : (r > 0 ? 1 : 0);
}

Socket AcceptPeer(Socket listener, PeerAddress* peer, ListenerMode) {
  sockaddr_in sa;
  int len = sizeof sa;
  std::memset(&sa, 0, sizeof sa);
  SOCKET s = ::accept(os::Native(listener), reinterpret_cast<sockaddr*>(&sa), &len);
  os::Record(s == INVALID_SOCKET);
  os::FillPeer(sa, peer);
  return static_cast<Socket>(s);
}

// Windows gives each process far more sockets than a table holds; there
// is no spare to fall back on.
bool DropPendingPeer(Socket) { return false; }

int SendSome(Socket s, const char* data, int len) {
  int r = ::send(os::Native(s), data, len, 0);
  os::Record(r == SOCKET_ERROR);
  return r;
}

int SendPieces(Socket s, const SendPiece* pieces, int count) {
  WSABUF buffers[kMaxSendPieces];
  if (count > kMaxSendPieces) count = kMaxSendPieces;
  for (int i = 0; i < count; ++i) {
    buffers[i].buf = const_cast<char*>(pieces[i].data);
    buffers[i].len = static_cast<ULONG>(pieces[i].length);
  }
  DWORD sent = 0;
  const int r = ::WSASend(os::Native(s), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr);
  os::Record(r == SOCKET_ERROR);
  return r == SOCKET_ERROR ? -1 : static_cast<int>(sent);
}

int RecvSome(Socket s, char* data, int len) {
  int r = ::recv(os::Native(s), data, len, 0);
  os::Record(r == SOCKET_ERROR);
  return r;
}

// ------------------------------------------------------------ threads

namespace {
unsigned __stdcall WinThreadMain(void* start) { return os::RunThread(start); }
}  // namespace

int StartThread(ThreadHandle* handle, ThreadEntryFn entry, void* argument, std::uint32_t* id) {
  auto* start = new (std::nothrow) os::ThreadStart{entry, argument};
  unsigned threadId = 0;
  std::uintptr_t h = 0;
  if (start != nullptr) h = ::_beginthreadex(nullptr, 0, WinThreadMain, start, 0, &threadId);
  if (h == 0) delete start;
  *handle = static_cast<ThreadHandle>(h);
  if (id != nullptr) *id = threadId;
  return h != 0 ? 0 : -1;
}

bool JoinThread(ThreadHandle* handle, std::uint32_t timeoutMs) {
  if (*handle == 0) return true;
  HANDLE h = reinterpret_cast<HANDLE>(*handle);
  const bool ended = ::WaitForSingleObject(h, timeoutMs == kInfinite ? INFINITE : timeoutMs) == WAIT_OBJECT_0;
  ::CloseHandle(h);
  *handle = 0;
  return ended;
}

void SleepMs(std::uint32_t ms) { ::Sleep(ms); }

void YieldThread() { ::SwitchToThread(); }

std::uint64_t CoarseMillis() { return ::GetTickCount64(); }

static_assert(sizeof(CRITICAL_SECTION) <= 64, "RecursiveLock storage too small");

RecursiveLock::RecursiveLock(int level) : level_(level) {
  ::InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_));
}

RecursiveLock::~RecursiveLock() { ::DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

void RecursiveLock::Acquire() { ::EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

void RecursiveLock::Release() { ::LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

namespace {

struct MonitorParts {
  SRWLOCK lock;
  CONDITION_VARIABLE condition;
};
static_assert(sizeof(MonitorParts) <= 128, "Monitor storage too small");

MonitorParts& PartsOf(unsigned char* storage) { return *reinterpret_cast<MonitorParts*>(storage); }

}  // namespace

Monitor::Monitor() {
  MonitorParts* parts = new (storage_) MonitorParts;
  ::InitializeSRWLock(&parts->lock);
  ::InitializeConditionVariable(&parts->condition);
}

// Neither part holds a resource of the system.
Monitor::~Monitor() {}

void Monitor::Enter() { ::AcquireSRWLockExclusive(&PartsOf(storage_).lock); }

void Monitor::Leave() { ::ReleaseSRWLockExclusive(&PartsOf(storage_).lock); }

void Monitor::Wait() { ::SleepConditionVariableSRW(&PartsOf(storage_).condition, &PartsOf(storage_).lock, INFINITE, 0); }

void Monitor::WaitFor(std::uint32_t ms) {
  // INFINITE is one more than the longest wait.
  ::SleepConditionVariableSRW(&PartsOf(storage_).condition, &PartsOf(storage_).lock, ms == INFINITE ? ms - 1 : ms, 0);
}

void Monitor::WakeAll() { ::WakeAllConditionVariable(&PartsOf(storage_).condition); }

// ------------------------------------------------------ files, loading

bool MakeDirectory(const char* path) { return ::CreateDirectoryA(path, nullptr) != 0; }

bool LocalTime(std::time_t t, std::tm* out) { return ::localtime_s(out, &t) == 0; }

void WriteWhole(std::FILE* stream, const char* bytes, std::size_t length) { std::fwrite(bytes, 1, length, stream); }

extern "C" IMAGE_DOS_HEADER __ImageBase;

// Built as the DLL, the library is a module of its own, and the system
// calls its DllMain; linked into a program, it is part of the program's.
bool LoadedWithEntryFunction() {
  return reinterpret_cast<HMODULE>(&__ImageBase) != ::GetModuleHandleA(nullptr);
}

// The program's executable exports it (__declspec(dllexport)); asked of the
// executable's module whether the library is the DLL or linked in.
bool ProgramWantsLogOffByDefault() {
  return ::GetProcAddress(::GetModuleHandleA(nullptr), "QvNetLogOffByDefault") != nullptr;
}

// ------------------------------------------------------------- poller
//
// select() with sets sized for every watched socket, rebuilt at every wait: a
// Windows fd_set is a count and an array, and select() honours whatever count
// it is given, so a larger array laid out the same way serves more than
// FD_SETSIZE sockets. The wake-up channel is a UDP socket on 127.0.0.1
// connected to itself; it is made on first use, since the application
// starts Windows Sockets.

namespace {

struct SocketSet {
  std::vector<SOCKET> storage;  // storage[0] holds the count
  void Reset() { storage.assign(1, 0); }
  void Add(SOCKET s) {
    storage.push_back(s);
    storage[0] = storage.size() - 1;
  }
  fd_set* Native() { return Count() != 0 ? reinterpret_cast<fd_set*>(storage.data()) : nullptr; }
  // select() leaves only the ready sockets, in order; the count is a u_int.
  u_int Count() const { return *reinterpret_cast<const u_int*>(storage.data()); }
  SOCKET At(u_int i) const { return storage[1 + i]; }
};
static_assert(offsetof(fd_set, fd_array) == sizeof(SOCKET), "fd_set layout");

// True when s is not (or no longer) a socket.
bool NotASocket(SOCKET s) {
  int type = 0;
  int len = sizeof type;
  return ::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == SOCKET_ERROR;
}

}  // namespace

struct Poller::Impl {
  struct Entry {
    std::uint64_t tag;
    unsigned want;
    bool gone;  // not a socket when it was watched
  };

  mutable RecursiveLock lock{kLockPoller};     // `watched`
  std::unordered_map<SOCKET, Entry> watched;
  std::unordered_map<SOCKET, unsigned> asked;  // the waiting thread's: one wait's sockets
  std::vector<Event> events;
  SocketSet readSet, writeSet, exceptSet;
  std::atomic<SOCKET> wake{INVALID_SOCKET};
  std::atomic<bool> wakePending{false};

  void EnsureWakeSocket();
  void Drain();
  // What this wait asks about, from the watched sockets; those that are no
  // sockets are reported at once.
  void Gather();
  // One select() over `asked`: its result, or SOCKET_ERROR.
  int SelectOnce(int timeoutMs);
  // After a select() that failed on a socket that is gone: reports those.
  void ReportGone();
  // The ready sockets the sets hold after select().
  void Collect();
  // Lock held: the event of a watched socket, if it asked for any of `bits`.
  void Report(SOCKET s, unsigned bits) {
    auto it = watched.find(s);
    if (it == watched.end()) return;  // unwatched meanwhile
    const unsigned got = bits & (it->second.want | kPollExcept);
    if (got != 0) events.push_back(Event{it->second.tag, got});
  }
};

void Poller::Impl::EnsureWakeSocket() {
  if (wake.load() != INVALID_SOCKET) return;
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in sa = os::MakeAddr(htonl(INADDR_LOOPBACK), 0);
  int len = sizeof sa;
  u_long on = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::ioctlsocket(s, FIONBIO, &on) != 0) {
    ::closesocket(s);
    return;
  }
  // The worker and a thread waking it may both get here first.
  SOCKET none = INVALID_SOCKET;
  if (!wake.compare_exchange_strong(none, s)) ::closesocket(s);
}

void Poller::Impl::Drain() {
  char buf[64];
  SOCKET s = wake.load();
  if (s != INVALID_SOCKET) {
    while (::recv(s, buf, sizeof buf, 0) > 0) {
    }
  }
  wakePending.store(false);
}

void Poller::Impl::Gather() {
  asked.clear();
  LockGuard hold(lock);
  for (const auto& w : watched) {
    if (w.second.gone) {
      events.push_back(Event{w.second.tag, kPollExcept});  // reported at every wait
    } else {
      asked[w.first] |= w.second.want;
    }
  }
}

int Poller::Impl::SelectOnce(int timeoutMs) {
  readSet.Reset();
  writeSet.Reset();
  exceptSet.Reset();
  const SOCKET w = wake.load();
  if (w != INVALID_SOCKET) readSet.Add(w);
  for (const auto& a : asked) {
    exceptSet.Add(a.first);
    if (a.second & kPollRead) readSet.Add(a.first);
    if (a.second & kPollWrite) writeSet.Add(a.first);
  }
  if (readSet.Count() == 0 && exceptSet.Count() == 0) {
    ::Sleep(static_cast<DWORD>(timeoutMs));  // select() refuses three empty sets
    return 0;
  }
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return ::select(0, readSet.Native(), writeSet.Native(), exceptSet.Native(), &tv);
}

void Poller::Impl::ReportGone() {
  LockGuard hold(lock);
  for (auto it = asked.begin(); it != asked.end();) {
    if (NotASocket(it->first)) {
      Report(it->first, kPollExcept);
      it = asked.erase(it);
    } else {
      ++it;
    }
  }
}

void Poller::Impl::Collect() {
  asked.clear();
  const SOCKET w = wake.load();
  auto take = [&](SocketSet& set, unsigned bit) {
    for (u_int k = 0; k < set.Count(); ++k) {
      if (set.At(k) == w && bit == kPollRead) {
        Drain();
      } else {
        asked[set.At(k)] |= bit;
      }
    }
  };
  take(exceptSet, kPollExcept);
  take(readSet, kPollRead);
  take(writeSet, kPollWrite);
  LockGuard hold(lock);
  for (const auto& a : asked) Report(a.first, a.second);
}

Poller::Poller() : impl_(new Impl) {}

Poller::~Poller() {
  SOCKET s = impl_->wake.load();
  if (s != INVALID_SOCKET) ::closesocket(s);
  delete impl_;
}

// select() needs nothing opened; the wake-up socket is made on first use.
bool Poller::Open() { return true; }

void Poller::Watch(Socket s, std::uint64_t tag, unsigned want) {
  const auto socket = os::Native(s);
  const bool gone = NotASocket(socket);
  LockGuard hold(impl_->lock);
  impl_->watched[socket] = Impl::Entry{tag, want, gone};
}

void Poller::Unwatch(Socket s, std::uint64_t tag) {
  LockGuard hold(impl_->lock);
  auto it = impl_->watched.find(os::Native(s));
  if (it != impl_->watched.end() && it->second.tag == tag) impl_->watched.erase(it);
}

int Poller::Watched() const {
  LockGuard hold(impl_->lock);
  return static_cast<int>(impl_->watched.size());
}

int Poller::Wait(int timeoutMs) {
  Impl& m = *impl_;
  m.events.clear();
  m.EnsureWakeSocket();
  m.Gather();
  if (!m.events.empty()) timeoutMs = 0;
  int r = m.SelectOnce(timeoutMs);
  // One closed socket fails the whole select(): the sockets that are gone
  // are reported as exceptions, as poll() reports them on POSIX, and the
  // others are looked at once more, without waiting.
  if (r == SOCKET_ERROR && ::WSAGetLastError() == WSAENOTSOCK) {
    m.ReportGone();
    r = m.SelectOnce(0);
  }
  if (r == SOCKET_ERROR) return m.events.empty() ? -1 : static_cast<int>(m.events.size());
  if (r > 0) m.Collect();
  return static_cast<int>(m.events.size());
}

const Poller::Event& Poller::EventAt(int index) const { return impl_->events[static_cast<size_t>(index)]; }

void Poller::Nap(int timeoutMs) {
  impl_->EnsureWakeSocket();
  SOCKET wake = impl_->wake.load();
  if (wake == INVALID_SOCKET) {
    ::Sleep(static_cast<DWORD>(timeoutMs));
    return;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(wake, &readable);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (::select(0, &readable, nullptr, nullptr, &tv) > 0) impl_->Drain();
}

void Poller::Wake() {
  // Made here too: a wake-up before the first wait must not be lost.
  impl_->EnsureWakeSocket();
  SOCKET s = impl_->wake.load();
  if (s == INVALID_SOCKET || impl_->wakePending.exchange(true)) return;
  char one = 1;
  ::send(s, &one, 1, 0);
}

}  // namespace qvplat

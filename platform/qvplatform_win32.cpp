// qvplatform_win32.cpp - the platform layer on Windows (Windows Sockets 2).
//
// The library never calls WSAStartup: the application initialises Windows
// Sockets before it connects or listens.
#include "qvplatform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <process.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "../module/qvloadhooks.h"

namespace qvplat {

std::atomic<bool> gProcessEnding{false};

bool ProcessEnding() { return gProcessEnding.load(); }

namespace {

thread_local std::uint32_t tlsLastError = 0;

void Record(bool failed) { tlsLastError = failed ? static_cast<std::uint32_t>(::WSAGetLastError()) : 0; }

sockaddr_in MakeAddr(std::uint32_t addrNet, int port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  sa.sin_addr.s_addr = addrNet;
  return sa;
}

}  // namespace

Socket TcpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  Record(s == INVALID_SOCKET);
  return static_cast<Socket>(s);
}

void CloseSocket(Socket s) { Record(::closesocket(static_cast<SOCKET>(s)) != 0); }

void ShutdownBoth(Socket s) { Record(::shutdown(static_cast<SOCKET>(s), SD_BOTH) != 0); }

void ShutdownSend(Socket s) { Record(::shutdown(static_cast<SOCKET>(s), SD_SEND) != 0); }

bool SetNonBlocking(Socket s) {
  u_long on = 1;
  bool ok = ::ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) != SOCKET_ERROR;
  Record(!ok);
  return ok;
}

bool ConnectIPv4(Socket s, std::uint32_t addrNet, int port) {
  sockaddr_in sa = MakeAddr(addrNet, port);
  int r = ::connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  Record(r == SOCKET_ERROR);
  return r != SOCKET_ERROR;
}

int StartConnect(Socket s, std::uint32_t addrNet, int port) {
  sockaddr_in sa = MakeAddr(addrNet, port);
  int r = ::connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  const bool underWay = r == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK;
  Record(r == SOCKET_ERROR && !underWay);
  return r != SOCKET_ERROR ? 1 : underWay ? 0 : -1;
}

bool BindIPv4(Socket s, std::uint32_t addrNet, int port) {
  sockaddr_in sa = MakeAddr(addrNet, port);
  int r = ::bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  Record(r == SOCKET_ERROR);
  return r != SOCKET_ERROR;
}

bool ListenOn(Socket s, int backlog) {
  int r = ::listen(static_cast<SOCKET>(s), backlog);
  Record(r == SOCKET_ERROR);
  return r != SOCKET_ERROR;
}

int MaxBacklog() { return SOMAXCONN; }

Socket AcceptPeer(Socket listener, PeerAddress* peer) {
  sockaddr_in sa;
  int len = sizeof sa;
  std::memset(&sa, 0, sizeof sa);
  SOCKET s = ::accept(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&sa), &len);
  Record(s == INVALID_SOCKET);
  if (peer != nullptr) {
    std::memset(peer, 0, sizeof *peer);
    peer->family = sa.sin_family;
    peer->portNet = sa.sin_port;
    peer->addrNet = sa.sin_addr.s_addr;
  }
  return static_cast<Socket>(s);
}

// Windows gives each process far more sockets than a table holds; there
// is no spare to fall back on.
bool DropPendingPeer(Socket) { return false; }

const sockaddr_in* AsSockaddrIn(const PeerAddress& peer) {
  thread_local sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = peer.family;
  sa.sin_port = peer.portNet;
  sa.sin_addr.s_addr = peer.addrNet;
  return &sa;
}

int SendSome(Socket s, const char* data, int len) {
  int r = ::send(static_cast<SOCKET>(s), data, len, 0);
  Record(r == SOCKET_ERROR);
  return r;
}

int RecvSome(Socket s, char* data, int len) {
  int r = ::recv(static_cast<SOCKET>(s), data, len, 0);
  Record(r == SOCKET_ERROR);
  return r;
}

int WaitConnectDone(Socket s, int timeoutMs) {
  // Windows reports a connect that failed in the exception set, one that
  // succeeded in the write set: wait on both.
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(static_cast<SOCKET>(s), &writable);
  FD_SET(static_cast<SOCKET>(s), &failed);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int r = ::select(0, nullptr, &writable, &failed, &tv);
  Record(r == SOCKET_ERROR);
  if (r == 0) tlsLastError = kErrTimedOut;
  if (r == SOCKET_ERROR) return -1;
  return r > 0 ? 1 : 0;
}

std::uint32_t ConnectError(Socket s) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    Record(true);
    return tlsLastError;
  }
  if (error == 0) {
    sockaddr_in peer;
    int peerLength = sizeof peer;
    Record(::getpeername(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0);
    return tlsLastError;
  }
  tlsLastError = static_cast<std::uint32_t>(error);
  return tlsLastError;
}

std::uint32_t LastSocketError() { return tlsLastError; }

int LocalPort(Socket s) {
  sockaddr_in sa;
  int len = sizeof sa;
  if (::getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
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
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&addrNet);
  std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

std::uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }
std::uint32_t AnyAddress() { return htonl(INADDR_ANY); }

// ---------------------------------------------------------------- threads

namespace {
struct ThreadStart {
  ThreadEntryFn entry;
  void* argument;
};

unsigned __stdcall WinThreadMain(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  return start.entry(start.argument);
}
}  // namespace

int StartThread(ThreadHandle* handle, ThreadEntryFn entry, void* argument, std::uint32_t* id) {
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
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

// ------------------------------------------------------------------- lock

static_assert(sizeof(CRITICAL_SECTION) <= 64, "RecursiveLock storage too small");

RecursiveLock::RecursiveLock(int level) : level_(level) { ::InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

RecursiveLock::~RecursiveLock() { ::DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

void RecursiveLock::Acquire() { ::EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

void RecursiveLock::Release() { ::LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(storage_)); }

// ------------------------------------------------------------ files, time

const char kLogDirectory[] = "log";

bool MakeDirectory(const char* path) { return ::CreateDirectoryA(path, nullptr) != 0; }

bool LocalTime(std::time_t t, std::tm* out) { return ::localtime_s(out, &t) == 0; }

// ----------------------------------------------------------------- poller
//
// select() with sets sized for every watched socket, rebuilt at every wait: a
// Windows fd_set is a count and an array, and select() honours whatever count
// it is given, so a larger array laid out the same way serves more than
// FD_SETSIZE sockets. The
// wake-up channel is a UDP socket on 127.0.0.1 connected to itself; it is
// made on first use, since the application starts Windows Sockets.

namespace {
struct SocketSet {
  std::vector<SOCKET> storage;  // storage[0] holds the count
  void Reset() { storage.assign(1, 0); }
  void Add(SOCKET s) {
    storage.push_back(s);
    storage[0] = storage.size() - 1;
  }
  fd_set* Native() { return reinterpret_cast<fd_set*>(storage.data()); }
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
  struct Probe {
    SOCKET s;
    std::uint64_t tag;
    unsigned want;
  };

  std::unordered_map<SOCKET, Entry> watched;
  std::vector<Probe> probes;
  std::vector<Event> events;
  std::unordered_map<SOCKET, unsigned> perSocket;  // scratch of one wait
  SocketSet readSet, writeSet, exceptSet;
  std::atomic<SOCKET> wake{INVALID_SOCKET};
  std::atomic<bool> wakePending{false};
  RecursiveLock* guard = nullptr;

  void EnsureWakeSocket() {
    if (wake.load() != INVALID_SOCKET) return;
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return;
    sockaddr_in sa = MakeAddr(htonl(INADDR_LOOPBACK), 0);
    int len = sizeof sa;
    u_long on = 1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::ioctlsocket(s, FIONBIO, &on) != 0) {
      ::closesocket(s);
      return;
    }
    // The worker and a thread waking it may both get here first.
    SOCKET none = INVALID_SOCKET;
    if (!wake.compare_exchange_strong(none, s)) ::closesocket(s);
  }

  void Drain() {
    char buf[64];
    SOCKET s = wake.load();
    if (s != INVALID_SOCKET) {
      while (::recv(s, buf, sizeof buf, 0) > 0) {
      }
    }
    wakePending.store(false);
  }

  // Gives every watched socket and probe its share of `bits` for socket s.
  void Report(SOCKET s, unsigned bits) {
    auto it = watched.find(s);
    if (it != watched.end()) {
      unsigned got = bits & (it->second.want | kPollExcept);
      if (got != 0) events.push_back(Event{it->second.tag, got});
    }
    for (const Probe& p : probes) {
      unsigned got = p.s == s ? bits & (p.want | kPollExcept) : 0;
      if (got != 0) events.push_back(Event{p.tag, got});
    }
  }
};

Poller::Poller() : impl_(new Impl) {}

// select() needs nothing opened; the wake-up socket is made on first use.
bool Poller::Open() { return true; }

Poller::~Poller() {
  SOCKET s = impl_->wake.load();
  if (s != INVALID_SOCKET) ::closesocket(s);
  delete impl_;
}

void Poller::Watch(Socket s, std::uint64_t tag, unsigned want) {
  const auto socket = static_cast<SOCKET>(s);
  impl_->watched[socket] = Impl::Entry{tag, want, NotASocket(socket)};
}

void Poller::Unwatch(Socket s, std::uint64_t tag) {
  auto it = impl_->watched.find(static_cast<SOCKET>(s));
  if (it != impl_->watched.end() && it->second.tag == tag) impl_->watched.erase(it);
}

void Poller::Probe(Socket s, std::uint64_t tag, unsigned want) {
  impl_->probes.push_back(Impl::Probe{static_cast<SOCKET>(s), tag, want});
}

int Poller::Watched() const {
  LockGuard hold(impl_->guard);
  return static_cast<int>(impl_->watched.size());
}

void Poller::Guard(RecursiveLock* lock) { impl_->guard = lock; }

int Poller::Wait(int timeoutMs) {
  Impl& m = *impl_;
  m.events.clear();
  m.EnsureWakeSocket();
  // What each socket is asked for, watched and probed together: a socket
  // appears once in each set.
  m.perSocket.clear();
  {
    LockGuard hold(m.guard);
    for (const auto& w : m.watched) {
      if (w.second.gone) {
        m.events.push_back(Event{w.second.tag, kPollExcept});  // reported at every wait
      } else {
        m.perSocket[w.first] |= w.second.want;
      }
    }
  }
  if (!m.events.empty()) timeoutMs = 0;
  for (const Impl::Probe& p : m.probes) m.perSocket[p.s] |= p.want;
  const SOCKET wake = m.wake.load();
  int r = 0;
  // At most twice: one closed socket fails the whole select(). The sockets
  // that are gone are then reported as exceptions, as poll() reports them on
  // POSIX, and the others are looked at once more, without waiting.
  for (int attempt = 0; attempt < 2; ++attempt) {
    m.readSet.Reset();
    m.writeSet.Reset();
    m.exceptSet.Reset();
    if (wake != INVALID_SOCKET) m.readSet.Add(wake);
    for (const auto& a : m.perSocket) {
      m.exceptSet.Add(a.first);
      if (a.second & kPollRead) m.readSet.Add(a.first);
      if (a.second & kPollWrite) m.writeSet.Add(a.first);
    }
    if (m.readSet.Count() == 0 && m.exceptSet.Count() == 0) {
      // select() refuses three empty sets; waiting is all there is to do.
      if (attempt == 0) ::Sleep(static_cast<DWORD>(timeoutMs));
      r = 0;
      break;
    }
    const int ms = attempt == 0 ? timeoutMs : 0;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    r = ::select(0, m.readSet.Count() ? m.readSet.Native() : nullptr,
                 m.writeSet.Count() ? m.writeSet.Native() : nullptr,
                 m.exceptSet.Count() ? m.exceptSet.Native() : nullptr, &tv);
    if (r != SOCKET_ERROR) break;
    if (attempt > 0 || ::WSAGetLastError() != WSAENOTSOCK) {
      m.probes.clear();
      return m.events.empty() ? -1 : static_cast<int>(m.events.size());
    }
    LockGuard hold(m.guard);
    for (auto it = m.perSocket.begin(); it != m.perSocket.end();) {
      if (NotASocket(it->first)) {
        m.Report(it->first, kPollExcept);
        it = m.perSocket.erase(it);
      } else {
        ++it;
      }
    }
  }
  // The sets come back holding only the ready sockets.
  m.perSocket.clear();
  auto collect = [&](SocketSet& set, unsigned bit) {
    for (u_int k = 0; k < set.Count(); ++k) {
      SOCKET s = set.At(k);
      if (s == wake && bit == kPollRead) {
        m.Drain();
        continue;
      }
      m.perSocket[s] |= bit;
    }
  };
  if (r > 0) {
    collect(m.exceptSet, kPollExcept);
    collect(m.readSet, kPollRead);
    collect(m.writeSet, kPollWrite);
  }
  LockGuard hold(m.guard);
  for (const auto& a : m.perSocket) m.Report(a.first, a.second);
  m.probes.clear();
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

// The library's entry function. On process attach it creates the directory
// that the log file lives in; loading never fails on account of it.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) QvOnLibraryLoaded();
  // The C runtime runs the library's static destructors after this returns.
  // A non-null `reserved` means the process is ending: Windows has already
  // ended every other thread, wherever it was, so they must not wait for
  // the worker or touch its sockets.
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) qvplat::gProcessEnding.store(true);
  return TRUE;
}

// Linked into a program instead of built as the DLL (the test suite links
// the library statically), nothing calls DllMain: the same load-time work
// runs here, after the library's log object was constructed.
extern "C" IMAGE_DOS_HEADER __ImageBase;
__attribute__((constructor(102))) static void QvStaticallyLinked() {
  if (reinterpret_cast<HMODULE>(&__ImageBase) == ::GetModuleHandleA(nullptr)) QvOnLibraryLoaded();
}

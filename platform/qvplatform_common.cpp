// qvplatform_common.cpp - the parts of the platform layer that are the same
// on every system: address helpers, the bounded connect, the thread
// trampoline, the error texts and the lock order check.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qvplatform_os.h"

namespace qvplat {

namespace {
thread_local std::uint32_t tlsLastError = 0;
std::atomic<bool> processEnding{false};
}  // namespace

// ------------------------------------------------------------- errors

void os::RecordCode(std::uint32_t code) { tlsLastError = code; }

std::uint32_t LastSocketError() { return tlsLastError; }

const char* SocketErrorText(std::uint32_t code) {
  struct Row {
    std::uint32_t code;
    const char* text;
  };
#define QV_ERROR_TEXT(name, code, errno1, errno2, text) {code, text},
  static const Row rows[] = {QV_SOCKET_ERRORS(QV_ERROR_TEXT)};
#undef QV_ERROR_TEXT
  for (const Row& row : rows) {
    if (row.code == code) return row.text;
  }
  return nullptr;
}

// ------------------------------------------------------------ sockets

sockaddr_in os::MakeAddr(std::uint32_t addrNet, int port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
  sa.sin_addr.s_addr = addrNet;
  return sa;
}

void os::FillPeer(const sockaddr_in& from, PeerAddress* peer) {
  if (peer == nullptr) return;
  std::memset(peer, 0, sizeof *peer);
  peer->family = from.sin_family;
  peer->portNet = from.sin_port;
  peer->addrNet = from.sin_addr.s_addr;
}

const sockaddr_in* AsSockaddrIn(const PeerAddress& peer) {
  thread_local sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = peer.family;
  sa.sin_port = peer.portNet;
  sa.sin_addr.s_addr = peer.addrNet;
  return &sa;
}

bool ConnectIPv4(Socket s, std::uint32_t addrNet, int port) {
  const sockaddr_in sa = os::MakeAddr(addrNet, port);
  const bool ok = ::connect(os::Native(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
  os::Record(!ok);
  return ok;
}

bool BindIPv4(Socket s, std::uint32_t addrNet, int port) {
  os::BeforeBind(s);
  const sockaddr_in sa = os::MakeAddr(addrNet, port);
  const bool ok = ::bind(os::Native(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
  os::Record(!ok);
  return ok;
}

bool ListenOn(Socket s, int backlog) {
  const bool ok = ::listen(os::Native(s), backlog) == 0;
  os::Record(!ok);
  return ok;
}

int MaxBacklog() { return SOMAXCONN; }

bool SetNoDelay(Socket s) {
  const int on = 1;
  return ::setsockopt(os::Native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

int LocalPort(Socket s) {
  sockaddr_in sa;
  os::AddressLength len = sizeof sa;
  if (::getsockname(os::Native(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

namespace {

// Starts a connect on a non-blocking socket: 1 connected at once, 0 under
// way, -1 failed.
int StartConnect(Socket s, std::uint32_t addrNet, int port) {
  const sockaddr_in sa = os::MakeAddr(addrNet, port);
  const bool done = ::connect(os::Native(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
  const bool underWay = !done && os::ConnectUnderWay();
  os::Record(!done && !underWay);
  return done ? 1 : underWay ? 0 : -1;
}

// How a connect that ended went (SO_ERROR; a socket that reports no error
// but has no peer counts as not connected): records and returns the code,
// 0 when connected.
std::uint32_t ConnectError(Socket s) {
  int error = 0;
  os::AddressLength length = sizeof error;
  if (::getsockopt(os::Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    os::Record(true);
  } else if (error != 0) {
    os::RecordCode(os::CodeOf(error));
  } else {
    sockaddr_in peer;
    os::AddressLength peerLength = sizeof peer;
    os::Record(::getpeername(os::Native(s), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0);
  }
  return LastSocketError();
}

}  // namespace

ConnectOutcome ConnectWithin(Socket s, std::uint32_t addrNet, int port, int timeoutMs) {
  // Non-blocking before connect(): a blocking connect() waits for the
  // system's own time-out (minutes, against a peer that drops the SYN).
  if (!SetNonBlocking(s)) return ConnectOutcome::kFailed;
  const int started = StartConnect(s, addrNet, port);
  if (started != 0) return started > 0 ? ConnectOutcome::kConnected : ConnectOutcome::kFailed;
  if (os::WaitConnectDone(s, timeoutMs) < 1) return ConnectOutcome::kWaitFailed;
  return ConnectError(s) == 0 ? ConnectOutcome::kConnected : ConnectOutcome::kFailed;
}

// ---------------------------------------------------------- addresses

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
  char* at = out;
  for (int i = 0; i < 4; ++i) {
    const unsigned v = b[i];
    if (v >= 100) *at++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *at++ = static_cast<char>('0' + v / 10 % 10);
    *at++ = static_cast<char>('0' + v % 10);
    *at++ = i < 3 ? '.' : '\0';
  }
}

std::uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }
std::uint32_t AnyAddress() { return htonl(INADDR_ANY); }

// ------------------------------------------------------------ threads

unsigned os::RunThread(void* start) {
  const ThreadStart copy = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  return copy.entry(copy.argument);
}

bool ProcessEnding() { return processEnding.load(); }
void NoteProcessEnding() { processEnding.store(true); }

// ------------------------------------------------------ the lock order

#if !defined(NDEBUG)
namespace {

// The locks this thread holds, innermost last; re-entries are listed again.
// Deeper nesting than this is not checked.
struct HeldLocks {
  static constexpr int kDepth = 64;
  const RecursiveLock* locks[kDepth];
  int count = 0;
  int overflow = 0;
};
thread_local HeldLocks tlsHeld;

bool Holds(const HeldLocks& held, const RecursiveLock* lock) {
  for (int i = 0; i < held.count; ++i) {
    if (held.locks[i] == lock) return true;
  }
  return false;
}

// Aborts when taking `lock` now would break the order of qvlockorder.h.
void CheckOrder(const RecursiveLock* lock) {
  const HeldLocks& held = tlsHeld;
  const int level = lock->Level();
  if (level == kLockUnordered || held.count == 0 || Holds(held, lock)) return;
  int highest = kLockUnordered;
  for (int i = 0; i < held.count; ++i) {
    if (held.locks[i]->Level() > highest) highest = held.locks[i]->Level();
  }
  if (level > highest || (level == highest && NestableLevel(level))) return;
  std::fprintf(stderr, "lock order broken: a lock of level %d taken while one of level %d is held\n", level,
               highest);
  std::fflush(stderr);
  std::abort();
}

void NoteEntered(const RecursiveLock* lock) {
  HeldLocks& held = tlsHeld;
  if (held.count < HeldLocks::kDepth) {
    held.locks[held.count++] = lock;
  } else {
    ++held.overflow;
  }
}

void NoteLeft(const RecursiveLock* lock) {
  HeldLocks& held = tlsHeld;
  if (held.overflow > 0) {
    --held.overflow;
    return;
  }
  for (int i = held.count - 1; i >= 0; --i) {
    if (held.locks[i] != lock) continue;
    for (int k = i; k + 1 < held.count; ++k) held.locks[k] = held.locks[k + 1];
    --held.count;
    return;
  }
}

}  // namespace

void RecursiveLock::Enter() {
  CheckOrder(this);
  Acquire();
  NoteEntered(this);
}

void RecursiveLock::Leave() {
  NoteLeft(this);
  Release();
}
#endif

}  // namespace qvplat

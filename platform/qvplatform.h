// qvplatform.h - the library's one view of the operating system (internal).
//
// Everything else in the library talks to sockets, threads, locks, clocks
// and the file system through this header only. qvplatform_posix.cpp and
// qvplatform_win32.cpp implement it; the build picks one. What is the same
// on both, built only on the calls below, is in qvplatform_common.cpp. No
// operating system header is included here, so subsystem code never sees
// one.
//
// Error codes: every socket call below records the error of its own failure
// (0 on success) in a per-thread slot that LastSocketError() returns, as
// WSAGetLastError() does on Windows. On POSIX the errno values are mapped to
// the Windows Sockets codes the library's error table knows (10035, 10038,
// 10048, 10054, 10057, 10061, ...), so diagnostics read the same everywhere.
#ifndef QV_PLATFORM_QVPLATFORM_H
#define QV_PLATFORM_QVPLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "qvlockorder.h"

struct sockaddr_in;

namespace qvplat {

#if defined(_WIN32)
// A Windows Sockets SOCKET. 0 is never handed out as a socket, so it marks
// "no socket"; INVALID_SOCKET (all bits set) is what socket()/accept() return
// on failure.
using Socket = std::uintptr_t;
constexpr Socket kNoSocket = 0;
constexpr Socket kInvalidSocket = ~static_cast<Socket>(0);
#else
// A POSIX descriptor. Descriptor 0 is a perfectly good socket when standard
// input is closed, so 0 cannot mark "no socket" here. Descriptors are never
// negative, so -1 can: it is also what socket()/accept() return on failure,
// which makes "no socket" and "invalid socket" the same value on POSIX.
using Socket = int;
constexpr Socket kNoSocket = -1;
constexpr Socket kInvalidSocket = -1;
#endif

// Windows Sockets error codes that the library itself tests for.
constexpr std::uint32_t kErrWouldBlock = 10035;   // WSAEWOULDBLOCK
constexpr std::uint32_t kErrNotSocket = 10038;    // WSAENOTSOCK
constexpr std::uint32_t kErrAddrInUse = 10048;    // WSAEADDRINUSE
constexpr std::uint32_t kErrConnReset = 10054;    // WSAECONNRESET
constexpr std::uint32_t kErrNotConn = 10057;      // WSAENOTCONN
constexpr std::uint32_t kErrConnRefused = 10061;  // WSAECONNREFUSED
constexpr std::uint32_t kErrTooManyFiles = 10024; // WSAEMFILE
// Codes the library records itself: an argument it refuses, a connect that
// got no answer in time, a name that does not resolve.
constexpr std::uint32_t kErrInvalidArgument = 10022;  // WSAEINVAL
constexpr std::uint32_t kErrTimedOut = 10060;         // WSAETIMEDOUT
constexpr std::uint32_t kErrHostNotFound = 11001;     // WSAHOST_NOT_FOUND

// IPv4 endpoint in network byte order, as accept() reports it.
struct PeerAddress {
  std::uint16_t family;
  std::uint16_t portNet;
  std::uint32_t addrNet;
  unsigned char zero[8];
};

// Sockets. Each call records its error for LastSocketError().
Socket TcpSocket();                                      // AF_INET, SOCK_STREAM, TCP
void CloseSocket(Socket s);
void ShutdownBoth(Socket s);
void ShutdownSend(Socket s);                             // no more sends; the peer sees the end of stream
bool SetNonBlocking(Socket s);                           // FIONBIO / O_NONBLOCK
bool ConnectIPv4(Socket s, std::uint32_t addrNet, int port);   // blocking connect
bool BindIPv4(Socket s, std::uint32_t addrNet, int port);
bool ListenOn(Socket s, int backlog);
// The longest accept queue the system allows (SOMAXCONN).
int MaxBacklog();

// A connect whose handshake, not only what follows it, is bounded in time.
enum class ConnectOutcome {
  kConnected,
  // The system failed the connect (refused, unreachable, ...), or s could
  // not be made non-blocking.
  kFailed,
  // No answer within the time (LastSocketError() is then 10060), or the
  // wait itself failed.
  kWaitFailed,
};
// Makes s non-blocking and connects it to addrNet:port within timeoutMs.
// s stays non-blocking. LastSocketError() tells why it failed.
ConnectOutcome ConnectWithin(Socket s, std::uint32_t addrNet, int port, int timeoutMs);
// ConnectWithin's steps, which differ between systems. StartConnect starts
// a connect on a non-blocking socket: 1 connected at once, 0 under way
// (EINPROGRESS / WSAEWOULDBLOCK), -1 failed. WaitConnectDone waits until the
// connect under way has ended, either way (on Windows a failed one shows in
// the exception set, not the write set): 1 ended, 0 time-out (10060
// recorded), -1 the wait failed. ConnectError reads how it ended (SO_ERROR;
// a socket that reports no error but has no peer counts as not connected)
// and records and returns that code, 0 when connected.
int StartConnect(Socket s, std::uint32_t addrNet, int port);
int WaitConnectDone(Socket s, int timeoutMs);
std::uint32_t ConnectError(Socket s);

// Accepts one peer. The accepted socket inherits the listening socket's
// non-blocking mode on every platform (as Windows does).
Socket AcceptPeer(Socket listener, PeerAddress* peer);
// When accept() fails for lack of descriptors, takes the waiting peer off
// the listening socket and closes it, so that readiness does not persist
// and turn the dispatcher into a busy loop. False where that is not possible.
bool DropPendingPeer(Socket listener);
// The peer as the system's own sockaddr_in, valid until the next call on
// this thread.
const ::sockaddr_in* AsSockaddrIn(const PeerAddress& peer);
// send()/recv() with flags 0; send never raises SIGPIPE. Result as the calls.
int SendSome(Socket s, const char* data, int len);
int RecvSome(Socket s, char* data, int len);
std::uint32_t LastSocketError();
// Port the socket is bound to (host order), 0 when unknown.
int LocalPort(Socket s);

// Addresses.
bool ResolveIPv4(const char* name, std::uint32_t* addrNet);  // thread-safe
void FormatIPv4(std::uint32_t addrNet, char out[16]);     // dotted text, like inet_ntoa
std::uint32_t LoopbackAddress();                         // htonl(INADDR_LOOPBACK)
std::uint32_t AnyAddress();                              // htonl(INADDR_ANY)

// Threads.
using ThreadHandle = std::uintptr_t;   // 0 = no thread
using ThreadEntryFn = unsigned (*)(void*);
// Starts a thread at once on entry(argument). 0 when a handle was obtained.
int StartThread(ThreadHandle* handle, ThreadEntryFn entry, void* argument, std::uint32_t* id);
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
// Waits for the thread (at most timeoutMs), releases the handle, sets it to
// 0. True when the thread has ended.
bool JoinThread(ThreadHandle* handle, std::uint32_t timeoutMs);
void SleepMs(std::uint32_t ms);
void YieldThread();
// True while the library's static objects are destroyed because the process
// is ending with its other threads already gone (Windows ends them before it
// unloads libraries); nothing may then wait for them.
bool ProcessEnding();

// A re-entrant lock with the semantics of a critical section: the thread
// that holds it may enter it again. Its level places it in the library's
// lock order (qvlockorder.h), which debug builds check on every Enter.
class RecursiveLock {
 public:
  explicit RecursiveLock(int level = kLockUnordered);
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  void Enter();
  void Leave();
  int Level() const { return level_; }

 private:
  void Acquire();  // the system's lock; one source per OS
  void Release();

  alignas(8) unsigned char storage_[64];
  int level_;
};

// Holds a lock for its scope; given a null pointer, holds nothing.
class LockGuard {
 public:
  explicit LockGuard(RecursiveLock& lock) : LockGuard(&lock) {}
  explicit LockGuard(RecursiveLock* lock) : lock_(lock) {
    if (lock_ != nullptr) lock_->Enter();
  }
  ~LockGuard() {
    if (lock_ != nullptr) lock_->Leave();
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RecursiveLock* lock_;
};

// Files and time.
// The directory the library makes at load time for "./Log/Network.log".
// Windows names it "log" (its file system ignores case); a case-sensitive
// file system needs the "Log" of the file's path.
extern const char kLogDirectory[];
bool MakeDirectory(const char* path);                    // false when it failed or existed
bool LocalTime(std::time_t t, std::tm* out);              // thread-safe localtime

// Readiness wait for the dispatcher. Sockets stay watched from Watch() until
// Unwatch(), so a wait costs nothing per idle socket (epoll on Linux; on
// Windows the select() sets are rebuilt from the watched sockets). A socket
// may also be looked at for one wait only with Probe(). Each socket carries
// a caller's tag, which comes back with its readiness. One thread probes and
// waits; Wake() may be called from any thread, and Watch()/Unwatch() too
// when the poller has a guard and the caller holds it.
enum : unsigned { kPollRead = 1, kPollWrite = 2, kPollExcept = 4 };

class Poller {
 public:
  struct Event {
    std::uint64_t tag;
    unsigned ready;  // kPollRead/kPollWrite/kPollExcept
  };

  // Opens the system's waiting object; see Open().
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // Opens what the poller waits with (an epoll set and a wake-up eventfd
  // on Linux), if it is not open yet: true once it is. It can fail, at the
  // descriptor limit say, with the error for LastSocketError(); it may be
  // tried again. Until it is open, Wait() fails at once and Nap() sleeps.
  bool Open();

  // Watches s for the readiness in want (kPollRead/kPollWrite), or changes
  // what it is watched for and its tag; exception conditions are always
  // watched. A socket the system refuses to watch (one already closed, say)
  // reports an exception at every wait until it is unwatched.
  void Watch(Socket s, std::uint64_t tag, unsigned want);
  // Stops watching s, but only when it is watched under tag: a socket
  // number that was closed and handed out again may be watched anew already.
  void Unwatch(Socket s, std::uint64_t tag);
  // Looks at s for want in the next Wait only.
  void Probe(Socket s, std::uint64_t tag, unsigned want);
  // The number of watched sockets.
  int Watched() const;
  // Makes `lock` guard the watched sockets: Wait then holds it whenever it
  // reads them, and lets go of it while it is blocked in the system.
  void Guard(RecursiveLock* lock);
  // Waits until a watched or probed socket is ready, Wake() is called, or
  // timeoutMs passes. Negative on failure, else the number of events, which
  // EventAt() returns until the next Wait (one socket may give two: one
  // from its watch and one from its probe). A reset or hang-up shows as
  // readable and writable where those were asked for, so that recv()/send()
  // report it with its error code; on a socket that asked for neither it
  // shows as an exception.
  int Wait(int timeoutMs);
  const Event& EventAt(int index) const;
  // Sleeps timeoutMs unless Wake() is called first.
  void Nap(int timeoutMs);
  // Ends the current or next Wait/Nap early. Any thread; cheap when a
  // wake-up is already pending.
  void Wake();

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace qvplat

#endif  // QV_PLATFORM_QVPLATFORM_H

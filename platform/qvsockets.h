// qvsockets.h - sockets and IPv4 addresses (internal).
//
// Every call records the error of its own failure (0 on success) in a
// per-thread slot that LastSocketError() returns, as WSAGetLastError()
// does on Windows; the codes are those of qverrors.h on every system.
#ifndef QV_PLATFORM_QVSOCKETS_H
#define QV_PLATFORM_QVSOCKETS_H

#include <cstddef>
#include <cstdint>

#include "qverrors.h"

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

// IPv4 endpoint in network byte order, as accept() reports it.
struct PeerAddress {
  std::uint16_t family;
  std::uint16_t portNet;
  std::uint32_t addrNet;
  unsigned char zero[8];
};

Socket TcpSocket();  // AF_INET, SOCK_STREAM, TCP
void CloseSocket(Socket s);
void ShutdownBoth(Socket s);
// Closes the socket with a reset: the peer's next call fails at once
// instead of reading an orderly end of the stream.
void ResetAndClose(Socket s);
void ShutdownSend(Socket s);  // no more sends; the peer sees the end of stream
bool SetNonBlocking(Socket s);
// TCP_NODELAY: small writes go out at once, not held for an acknowledgement.
bool SetNoDelay(Socket s);
// Whether the sockets accepted from a listening socket with TCP_NODELAY
// have it too. Linux copies a listener's TCP options into every socket it
// accepts, so the one call on the listener spares each connection its own;
// Windows does not promise that.
#if defined(__linux__)
constexpr bool kAcceptedKeepNoDelay = true;
#else
constexpr bool kAcceptedKeepNoDelay = false;
#endif
bool ConnectIPv4(Socket s, std::uint32_t addrNet, int port);  // blocking connect
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

// What the caller knows of the listening socket's mode.
enum class ListenerMode {
  kFindOut,      // ask the system
  kNonBlocking,  // it was made non-blocking
};
// Accepts one peer. The accepted socket inherits the listening socket's
// non-blocking mode on every platform (as Windows does). On POSIX an accept
// that succeeds also takes back DropPendingPeer's spare if it was lost.
Socket AcceptPeer(Socket listener, PeerAddress* peer, ListenerMode mode = ListenerMode::kFindOut);
// When accept() fails for lack of descriptors, takes the waiting peer off
// the listening socket with a descriptor kept spare for it, and closes it.
// False when it could not: no spare could be had (another thread may take
// its number while it is let go, or the system has none), or the accept
// failed all the same; the peer then stays waiting. Windows keeps no spare.
bool DropPendingPeer(Socket listener);
// The peer as the system's own sockaddr_in, valid until the next call on
// this thread.
const ::sockaddr_in* AsSockaddrIn(const PeerAddress& peer);
// send()/recv() with flags 0; send never raises SIGPIPE. Result as the calls.
int SendSome(Socket s, const char* data, int len);
int RecvSome(Socket s, char* data, int len);
// A run of bytes to send, one of several sent by one call.
struct SendPiece {
  const char* data;
  std::size_t length;
};
// The most pieces SendPieces takes at once.
constexpr int kMaxSendPieces = 16;
// Sends the pieces in order with one system call (at most kMaxSendPieces of
// them, together below 2 GiB). Result as SendSome: the bytes taken (which
// may end inside a piece), or -1 with LastSocketError() set.
int SendPieces(Socket s, const SendPiece* pieces, int count);
std::uint32_t LastSocketError();
// Port the socket is bound to (host order), 0 when unknown.
int LocalPort(Socket s);

// Addresses, in network byte order.
bool ResolveIPv4(const char* name, std::uint32_t* addrNet);  // thread-safe
void FormatIPv4(std::uint32_t addrNet, char out[16]);        // dotted text, like inet_ntoa
std::uint32_t LoopbackAddress();                             // htonl(INADDR_LOOPBACK)
std::uint32_t AnyAddress();                                  // htonl(INADDR_ANY)

}  // namespace qvplat

#endif  // QV_PLATFORM_QVSOCKETS_H

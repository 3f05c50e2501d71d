// qverrors.h - the socket error codes the library knows, in one table
// (internal).
//
// Codes are Windows Sockets codes (what WSAGetLastError returns), on every
// system: on POSIX the platform layer maps errno to them, so that logs read
// the same everywhere. Each row of QV_SOCKET_ERRORS gives
//   X(name, code, errno, another errno, text)
// and everything else comes from it: the constant qvplat::kErr<name>, the
// errno mapping (POSIX; QV_NO_ERRNO where there is none) and the log's text
// for the code (GBK; every row has one, a short form of the code's standard
// Windows Sockets meaning; codes not in the table get the logger's default
// text). Texts are quoted in the comment beside each row.
#ifndef QV_PLATFORM_QVERRORS_H
#define QV_PLATFORM_QVERRORS_H

#include <cstdint>

#define QV_NO_ERRNO 0

// clang-format off
#define QV_SOCKET_ERRORS(X)                                                                               \
  /* "套接字非空，检查该SOCKET否已经连接成功？": the socket is not empty; check whether this  */          \
  /* SOCKET has already connected. Not a Windows Sockets code.                               */          \
  X(SocketNotEmpty, 3, QV_NO_ERRNO, QV_NO_ERRNO,                                                          \
    "\xCC\xD7\xBD\xD3\xD7\xD6\xB7\xC7\xBF\xD5\xA3\xAC\xBC\xEC\xB2\xE9\xB8\xC3SOCKET"                       \
    "\xB7\xF1\xD2\xD1\xBE\xAD\xC1\xAC\xBD\xD3\xB3\xC9\xB9\xA6\xA3\xBF")                                    \
  /* "操作被中断": the operation was interrupted. */                                                      \
  X(Interrupted, 10004, EINTR, QV_NO_ERRNO, "\xB2\xD9\xD7\xF7\xB1\xBB\xD6\xD0\xB6\xCF")                   \
  /* "访问被拒绝": access was denied. */                                                                  \
  X(AccessDenied, 10013, EACCES, QV_NO_ERRNO, "\xB7\xC3\xCE\xCA\xB1\xBB\xBE\xDC\xBE\xF8")                 \
  /* "无效的指针地址": an invalid pointer address. */                                                     \
  X(BadAddress, 10014, EFAULT, QV_NO_ERRNO, "\xCE\xDE\xD0\xA7\xB5\xC4\xD6\xB8\xD5\xEB\xB5\xD8\xD6\xB7")   \
  /* "提供了一个无效的参数": an invalid argument was supplied. */                                           \
  X(InvalidArgument, 10022, EINVAL, QV_NO_ERRNO, "\xCC\xE1\xB9\xA9\xC1\xCB\xD2\xBB\xB8\xF6\xCE\xDE\xD0\xA7\xB5\xC4\xB2\xCE\xCA\xFD") \
  /* "打开的套接字太多": too many open sockets. */                                                        \
  X(TooManyFiles, 10024, EMFILE, ENFILE,                                                                  \
    "\xB4\xF2\xBF\xAA\xB5\xC4\xCC\xD7\xBD\xD3\xD7\xD6\xCC\xAB\xB6\xE0")                                   \
  /* "对方已经关闭": the peer has already closed. */                                                       \
  X(WouldBlock, 10035, EWOULDBLOCK, EAGAIN, "\xB6\xD4\xB7\xBD\xD2\xD1\xBE\xAD\xB9\xD8\xB1\xD5")           \
  /* "操作正在进行": an operation is now in progress. */                                                  \
  X(InProgress, 10036, EINPROGRESS, QV_NO_ERRNO, "\xB2\xD9\xD7\xF7\xD5\xFD\xD4\xDA\xBD\xF8\xD0\xD0")      \
  /* "操作已在进行": an operation is already in progress. */                                              \
  X(Already, 10037, EALREADY, QV_NO_ERRNO, "\xB2\xD9\xD7\xF7\xD2\xD1\xD4\xDA\xBD\xF8\xD0\xD0")            \
  /* "在一个非套接字上尝试了一个操作": an operation on something that is not a socket. */                \
  X(NotSocket, 10038, ENOTSOCK, EBADF,                                                                    \
    "\xD4\xDA\xD2\xBB\xB8\xF6\xB7\xC7\xCC\xD7\xBD\xD3\xD7\xD6\xC9\xCF\xB3\xA2\xCA\xD4\xC1\xCB\xD2\xBB"     \
    "\xB8\xF6\xB2\xD9\xD7\xF7")                                                                           \
  /* "需要目标地址": a destination address is required. */                                                \
  X(DestAddrRequired, 10039, EDESTADDRREQ, QV_NO_ERRNO,                                                   \
    "\xD0\xE8\xD2\xAA\xC4\xBF\xB1\xEA\xB5\xD8\xD6\xB7")                                                   \
  /* "消息太长": the message is too long. */                                                              \
  X(MessageSize, 10040, EMSGSIZE, QV_NO_ERRNO, "\xCF\xFB\xCF\xA2\xCC\xAB\xB3\xA4")                        \
  /* "协议类型不正确": the wrong protocol type for the socket. */                                         \
  X(ProtocolType, 10041, EPROTOTYPE, QV_NO_ERRNO,                                                         \
    "\xD0\xAD\xD2\xE9\xC0\xE0\xD0\xCD\xB2\xBB\xD5\xFD\xC8\xB7")                                           \
  /* "协议选项无效": a bad protocol option. */                                                            \
  X(NoProtocolOption, 10042, ENOPROTOOPT, QV_NO_ERRNO,                                                    \
    "\xD0\xAD\xD2\xE9\xD1\xA1\xCF\xEE\xCE\xDE\xD0\xA7")                                                   \
  /* "不支持该协议": the protocol is not supported. */                                                    \
  X(ProtocolNotSupported, 10043, EPROTONOSUPPORT, QV_NO_ERRNO,                                            \
    "\xB2\xBB\xD6\xA7\xB3\xD6\xB8\xC3\xD0\xAD\xD2\xE9")                                                   \
  /* "不支持该操作": the operation is not supported. */                                                   \
  X(NotSupported, 10045, EOPNOTSUPP, QV_NO_ERRNO, "\xB2\xBB\xD6\xA7\xB3\xD6\xB8\xC3\xB2\xD9\xD7\xF7")     \
  /* "不支持该地址族": the address family is not supported. */                                            \
  X(FamilyNotSupported, 10047, EAFNOSUPPORT, QV_NO_ERRNO,                                                 \
    "\xB2\xBB\xD6\xA7\xB3\xD6\xB8\xC3\xB5\xD8\xD6\xB7\xD7\xE5")                                           \
  /* "特定的地址已在使用中": the address is already in use. */                                             \
  X(AddrInUse, 10048, EADDRINUSE, QV_NO_ERRNO,                                                            \
    "\xCC\xD8\xB6\xA8\xB5\xC4\xB5\xD8\xD6\xB7\xD2\xD1\xD4\xDA\xCA\xB9\xD3\xC3\xD6\xD0")                   \
  /* "请求的地址无效": the requested address is not valid here. */                                         \
  X(AddrNotAvailable, 10049, EADDRNOTAVAIL, QV_NO_ERRNO, "\xC7\xEB\xC7\xF3\xB5\xC4\xB5\xD8\xD6\xB7\xCE\xDE\xD0\xA7") \
  /* "网络已断开": the network is down. */                                                                \
  X(NetDown, 10050, ENETDOWN, QV_NO_ERRNO, "\xCD\xF8\xC2\xE7\xD2\xD1\xB6\xCF\xBF\xAA")                    \
  /* "网络不可达": the network is unreachable. */                                                         \
  X(NetUnreachable, 10051, ENETUNREACH, QV_NO_ERRNO, "\xCD\xF8\xC2\xE7\xB2\xBB\xBF\xC9\xB4\xEF")          \
  /* "网络重置，连接已断开": the network dropped the connection on reset. */                              \
  X(NetReset, 10052, ENETRESET, QV_NO_ERRNO,                                                              \
    "\xCD\xF8\xC2\xE7\xD6\xD8\xD6\xC3\xA3\xAC\xC1\xAC\xBD\xD3\xD2\xD1\xB6\xCF\xBF\xAA")                   \
  /* "本机中止了连接": software on this host aborted the connection. */                                   \
  X(ConnAborted, 10053, ECONNABORTED, QV_NO_ERRNO,                                                        \
    "\xB1\xBE\xBB\xFA\xD6\xD0\xD6\xB9\xC1\xCB\xC1\xAC\xBD\xD3")                                           \
  /* "与主机的连接被关闭": the connection to the host was closed. Writing to a stream the peer */         \
  /* has closed (EPIPE) is a reset on Windows. */                                                          \
  X(ConnReset, 10054, ECONNRESET, EPIPE,                                                                  \
    "\xD3\xEB\xD6\xF7\xBB\xFA\xB5\xC4\xC1\xAC\xBD\xD3\xB1\xBB\xB9\xD8\xB1\xD5")                           \
  /* "缓冲区空间不足": no buffer space is available. */                                                   \
  X(NoBuffers, 10055, ENOBUFS, ENOMEM, "\xBB\xBA\xB3\xE5\xC7\xF8\xBF\xD5\xBC\xE4\xB2\xBB\xD7\xE3")        \
  /* "套接字已经连接": the socket is already connected. */                                                \
  X(IsConnected, 10056, EISCONN, QV_NO_ERRNO,                                                             \
    "\xCC\xD7\xBD\xD3\xD7\xD6\xD2\xD1\xBE\xAD\xC1\xAC\xBD\xD3")                                           \
  /* "对方没有启动": the peer has not started. */                                                          \
  X(NotConn, 10057, ENOTCONN, QV_NO_ERRNO, "\xB6\xD4\xB7\xBD\xC3\xBB\xD3\xD0\xC6\xF4\xB6\xAF")             \
  /* "套接字已关闭，无法发送": cannot send after the socket was shut down. */                             \
  X(Shutdown, 10058, ESHUTDOWN, QV_NO_ERRNO,                                                              \
    "\xCC\xD7\xBD\xD3\xD7\xD6\xD2\xD1\xB9\xD8\xB1\xD5\xA3\xAC\xCE\xDE\xB7\xA8\xB7\xA2\xCB\xCD")           \
  /* "连接超时": the connection timed out. */                                                              \
  X(TimedOut, 10060, ETIMEDOUT, QV_NO_ERRNO, "\xC1\xAC\xBD\xD3\xB3\xAC\xCA\xB1")                           \
  /* "连接的尝试被拒绝": the connection attempt was refused. */                                            \
  X(ConnRefused, 10061, ECONNREFUSED, QV_NO_ERRNO,                                                        \
    "\xC1\xAC\xBD\xD3\xB5\xC4\xB3\xA2\xCA\xD4\xB1\xBB\xBE\xDC\xBE\xF8")                                   \
  /* "主机已关闭": the host is down. */                                                                   \
  X(HostDown, 10064, EHOSTDOWN, QV_NO_ERRNO, "\xD6\xF7\xBB\xFA\xD2\xD1\xB9\xD8\xB1\xD5")                  \
  /* "主机不可达": there is no route to the host. */                                                      \
  X(HostUnreachable, 10065, EHOSTUNREACH, QV_NO_ERRNO, "\xD6\xF7\xBB\xFA\xB2\xBB\xBF\xC9\xB4\xEF")        \
  /* "初始化错误": initialisation error (Windows Sockets was not started). */                              \
  X(NotInitialised, 10093, QV_NO_ERRNO, QV_NO_ERRNO, "\xB3\xF5\xCA\xBC\xBB\xAF\xB4\xED\xCE\xF3")         \
  /* "不知道这样的主机": no such host is known. */                                                         \
  X(HostNotFound, 11001, QV_NO_ERRNO, QV_NO_ERRNO, "\xB2\xBB\xD6\xAA\xB5\xC0\xD5\xE2\xD1\xF9\xB5\xC4\xD6\xF7\xBB\xFA")
// clang-format on

namespace qvplat {

#define QV_ERROR_CONSTANT(name, code, errno1, errno2, text) constexpr std::uint32_t kErr##name = code;
QV_SOCKET_ERRORS(QV_ERROR_CONSTANT)
#undef QV_ERROR_CONSTANT

// The library's text for a code (GBK), or null when the table has none.
const char* SocketErrorText(std::uint32_t code);

}  // namespace qvplat

#endif  // QV_PLATFORM_QVERRORS_H

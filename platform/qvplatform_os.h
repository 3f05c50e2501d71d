// qvplatform_os.h - what the platform sources share (internal to platform/:
// the only header of the library that includes operating system headers).
#ifndef QV_PLATFORM_QVPLATFORM_OS_H
#define QV_PLATFORM_QVPLATFORM_OS_H

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>

#include "qvplatform.h"

namespace qvplat {
namespace os {

#if defined(_WIN32)
using NativeSocket = SOCKET;
using AddressLength = int;
#else
using NativeSocket = int;
using AddressLength = socklen_t;
#endif

inline NativeSocket Native(Socket s) { return static_cast<NativeSocket>(s); }

// The code of qverrors.h for a system error number (errno on POSIX, a
// Windows Sockets code on Windows).
std::uint32_t CodeOf(int systemError);
// The system error number of the call that just failed.
int LastSystemError();
// Records this thread's last error, as LastSocketError() returns it.
void RecordCode(std::uint32_t code);
// Records the outcome of the call that just returned: its error when it
// failed, 0 when it did not.
inline void Record(bool failed) { RecordCode(failed ? CodeOf(LastSystemError()) : 0); }

// True right after connect() on a non-blocking socket returned the error
// that means the connect goes on by itself.
bool ConnectUnderWay();
// Waits until a connect under way has ended, either way: 1 ended, 0 time-out
// (10060 recorded), -1 the wait failed.
int WaitConnectDone(Socket s, int timeoutMs);
// Just before bind(): what the system needs for a port to be bound again.
void BeforeBind(Socket s);

sockaddr_in MakeAddr(std::uint32_t addrNet, int port);
void FillPeer(const sockaddr_in& from, PeerAddress* peer);

// What StartThread hands the new thread; RunThread runs it and frees it.
struct ThreadStart {
  ThreadEntryFn entry;
  void* argument;
};
unsigned RunThread(void* start);

}  // namespace os
}  // namespace qvplat

#endif  // QV_PLATFORM_QVPLATFORM_OS_H

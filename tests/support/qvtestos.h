// qvtestos.h - the operating system's socket API for tests that poke at
// sockets directly, the same on POSIX and Windows.
#ifndef QV_TESTS_QVTESTOS_H
#define QV_TESTS_QVTESTOS_H

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
// Windows Sockets has poll() under another name.
inline int poll(pollfd* fds, unsigned long count, int timeoutMs) { return ::WSAPoll(fds, count, timeoutMs); }
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;
#endif

#include "platform/qvplatform.h"

namespace qvtest {

// setsockopt() for any option value (the two systems type the value apart).
template <class T>
int SetOption(qvplat::Socket s, int level, int name, const T& value) {
  return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), static_cast<int>(sizeof value));
}

// Whether TCP_NODELAY is set on s.
inline bool NoDelayOf(qvplat::Socket s) {
  int on = 0;  // Windows writes one byte or four; either way 0 means off
#if defined(_WIN32)
  int length = sizeof on;
#else
  socklen_t length = sizeof on;
#endif
  return ::getsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), &length) == 0 && on != 0;
}

// Bounds every blocking send and receive on s to `seconds`.
inline void SetTimeouts(qvplat::Socket s, int seconds) {
#if defined(_WIN32)
  DWORD ms = static_cast<DWORD>(seconds) * 1000;
  SetOption(s, SOL_SOCKET, SO_RCVTIMEO, ms);
  SetOption(s, SOL_SOCKET, SO_SNDTIMEO, ms);
#else
  timeval t{seconds, 0};
  SetOption(s, SOL_SOCKET, SO_RCVTIMEO, t);
  SetOption(s, SOL_SOCKET, SO_SNDTIMEO, t);
#endif
}

// Bytes received on s that nobody has read yet, or -1.
inline int BytesPending(qvplat::Socket s) {
#if defined(_WIN32)
  u_long n = 0;
  return ::ioctlsocket(s, FIONREAD, &n) == 0 ? static_cast<int>(n) : -1;
#else
  int n = 0;
  return ::ioctl(s, FIONREAD, &n) == 0 ? n : -1;
#endif
}

// True when the peer of a socket closed with a zero linger time sees a
// reset. Wine closes such a socket in order (its peer reads an end of
// stream); Windows and Linux reset it.
inline bool ZeroLingerResets() {
#if defined(_WIN32)
  return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
#else
  return true;
#endif
}

#if !defined(_WIN32)
// Starts `program` with `arguments` and this process's environment, its
// standard input, output and error on the descriptors in `stdio` (-1: this
// process's own), in `directory` (this process's own when empty), with
// SIGPIPE at its default whatever this process does with it. The child's
// pid, or -1.
inline pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, const int (&stdio)[3],
                   const std::string& directory = "") {
  std::vector<std::string> texts{program};
  texts.insert(texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(&t[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) {
    if (stdio[fd] >= 0) ::posix_spawn_file_actions_adddup2(&actions, stdio[fd], fd);
  }
  if (!directory.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const bool spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  return spawned ? pid : -1;
}
#endif

}  // namespace qvtest

#endif  // QV_TESTS_QVTESTOS_H

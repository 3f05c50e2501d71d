// qvtestsupport.cpp - helpers for the test groups (POSIX).
#include "qvtestsupport.h"

#include "qvnet.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qvtest {

void Event::Notify() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  changed_.notify_all();
}

bool Event::WaitFor(int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
}

int Event::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SocketPair::Close() {
  if (local != qvplat::kNoSocket) qvplat::CloseSocket(local);
  if (remote != qvplat::kNoSocket) qvplat::CloseSocket(remote);
  local = remote = qvplat::kNoSocket;
}

qvplat::Socket ListenLoopback(int* port) {
  qvplat::Socket s = qvplat::TcpSocket();
  if (s == qvplat::kInvalidSocket) return s;
  if (!qvplat::BindIPv4(s, qvplat::LoopbackAddress(), 0) || !qvplat::ListenOn(s, 128)) {
    qvplat::CloseSocket(s);
    return qvplat::kInvalidSocket;
  }
  *port = qvplat::LocalPort(s);
  return s;
}

bool MakeLoopbackPair(SocketPair* pair) {
  int port = 0;
  qvplat::Socket listener = ListenLoopback(&port);
  if (listener == qvplat::kInvalidSocket) return false;
  pair->remote = qvplat::TcpSocket();
  bool ok = pair->remote != qvplat::kInvalidSocket &&
            qvplat::ConnectIPv4(pair->remote, qvplat::LoopbackAddress(), port);
  if (ok) {
    pair->local = qvplat::AcceptPeer(listener, nullptr);
    ok = pair->local != qvplat::kInvalidSocket;
  }
  qvplat::CloseSocket(listener);
  if (!ok) pair->Close();
  return ok;
}

int FreePort() {
  qvplat::Socket s = qvplat::TcpSocket();
  int port = qvplat::BindIPv4(s, qvplat::LoopbackAddress(), 0) ? qvplat::LocalPort(s) : 0;
  qvplat::CloseSocket(s);
  return port;
}

int ListenOnFreePort(QvListenerApi* listener, const char* address) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    int port = FreePort();
    if (port != 0 && listener->Listen(address, port)) return port;
  }
  return 0;
}

qvplat::Socket RawConnect(int port) {
  qvplat::Socket s = qvplat::TcpSocket();
  if (s == qvplat::kInvalidSocket) return s;
  timeval limit{10, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (!qvplat::ConnectIPv4(s, qvplat::LoopbackAddress(), port)) {
    qvplat::CloseSocket(s);
    return qvplat::kInvalidSocket;
  }
  return s;
}

std::string Frame(const std::string& payload) {
  const std::uint32_t n = static_cast<std::uint32_t>(payload.size()) + 4;
  std::string f(4, '\0');
  for (int i = 0; i < 4; ++i) f[static_cast<size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return f + payload;
}

std::string Receive(qvplat::Socket s, size_t n) {
  std::string data(n, '\0');
  return RecvExactly(s, &data[0], n) ? data : "<nothing>";
}

bool SendAll(qvplat::Socket s, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    int k = qvplat::SendSome(s, p, static_cast<int>(n));
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool RecvExactly(qvplat::Socket s, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    int k = qvplat::RecvSome(s, p, static_cast<int>(n));
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool SendUrgent(qvplat::Socket s) {
  char b = '!';
  return ::send(s, &b, 1, MSG_OOB) == 1;
}

void RaiseDescriptorLimit(int count) {
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = static_cast<rlim_t>(count);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max < wanted ? limit.rlim_max : wanted;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qvnet-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

int RunInChild(const std::string& dir, const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int code = ::chdir(dir.c_str()) == 0 ? body() : 125;
    std::fflush(nullptr);
    ::_exit(code);
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BeginCapture() { testing::internal::CaptureStdout(); }

std::string EndCapture() { return testing::internal::GetCapturedStdout(); }

}  // namespace qvtest

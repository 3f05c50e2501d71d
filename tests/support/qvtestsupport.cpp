// qvtestsupport.cpp - helpers for the test groups.
#include "qvtestsupport.h"

#include "qvtestos.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "qvnet.h"

namespace qvtest {

#if defined(_WIN32)
namespace {
// Applications start Windows Sockets, not the library; so do the tests.
struct WinsockStartup {
  WinsockStartup() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
} winsockStartup;
}  // namespace
#endif

int FreePort() {
  int port = 0;
  const qvplat::Socket s = RefusingPort(&port);
  if (s != qvplat::kInvalidSocket) qvplat::CloseSocket(s);
  return port;
}

int ListenOnAnyPort(QvListenerApi* listener, const char* address) {
  return listener->Listen(address, 0) ? listener->LocalPort() : 0;
}

qvplat::Socket RawConnect(int port) {
  qvplat::Socket s = qvplat::TcpSocket();
  if (s == qvplat::kInvalidSocket) return s;
  SetTimeouts(s, 10);
  if (!qvplat::ConnectIPv4(s, qvplat::LoopbackAddress(), port)) {
    qvplat::CloseSocket(s);
    return qvplat::kInvalidSocket;
  }
  return s;
}

int StartConnect(qvplat::Socket s, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = qvplat::LoopbackAddress();
  if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 1;
#if defined(_WIN32)
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
#else
  return errno == EINPROGRESS ? 0 : -1;
#endif
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

size_t FillSendBuffer(qvplat::Socket s) {
  static char chunk[64 * 1024];
  size_t queued = 0;
  if (!qvplat::SetNonBlocking(s)) return 0;
  auto fill = [&] {
    for (int r; (r = qvplat::SendSome(s, chunk, sizeof chunk)) > 0;) queued += static_cast<size_t>(r);
  };
  // Full once it stays so: the system (Wine's above all) may still move
  // bytes on to the peer and make room a moment after a send would block.
  // The last fill takes the room below the writable mark that freed
  // meanwhile.
  for (int settle = 0; settle < 20; ++settle) {
    fill();
    pollfd p{s, POLLOUT, 0};
    if (::poll(&p, 1, 50) != 1) break;
  }
  fill();
  return queued;
}

bool Discard(qvplat::Socket s, size_t n) {
  char chunk[64 * 1024];
  for (int r; n > 0; n -= static_cast<size_t>(r)) {
    if ((r = qvplat::RecvSome(s, chunk, static_cast<int>(std::min(n, sizeof chunk)))) <= 0) return false;
  }
  return true;
}

bool SendUrgent(qvplat::Socket s) {
  char b = '!';
  return ::send(s, &b, 1, MSG_OOB) == 1;
}

void RaiseDescriptorLimit(int count) {
#if !defined(_WIN32)  // Windows sets no such limit on sockets
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = static_cast<rlim_t>(count);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max < wanted ? limit.rlim_max : wanted;
  ::setrlimit(RLIMIT_NOFILE, &limit);
#else
  (void)count;
#endif
}

std::string ReadFile(const std::string& path, std::ios::openmode mode) {
  std::ifstream in(path, mode);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string ReadText(const std::string& path) { return ReadFile(path, std::ios::in); }

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

std::string FreshDir(const std::string& name) {
  std::filesystem::path p = std::filesystem::current_path() / "scratch" / name;
  std::error_code ignored;
  std::filesystem::remove_all(p, ignored);
  std::filesystem::create_directories(p, ignored);
  return p.string();
}

void ExitWithin(const std::string& dir, const std::function<int()>& body) {
  std::error_code failed;
  std::filesystem::current_path(dir, failed);
  int code = failed ? 125 : body();
  std::fflush(nullptr);
  std::exit(code);
}

#if defined(_WIN32)

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& errorFile) {
  Kill();  // one that ended stays open until then
  std::string command = "\"" + program + "\"";
  for (const std::string& a : arguments) command += " \"" + a + "\"";
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE nowhere = ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  HANDLE error = errorFile.empty() ? nowhere
                                   : ::CreateFileA(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                   &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = nowhere;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  BOOL ok = error != INVALID_HANDLE_VALUE &&
            ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  if (error != nowhere && error != INVALID_HANDLE_VALUE) ::CloseHandle(error);
  ::CloseHandle(nowhere);
  if (!ok) return false;
  ::CloseHandle(process.hThread);
  handle_ = reinterpret_cast<std::intptr_t>(process.hProcess);
  return true;
}

bool ChildProcess::Running() {
  return handle_ != 0 && ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 0) == WAIT_TIMEOUT;
}

bool ChildProcess::Kill() {
  if (handle_ == 0) return false;
  HANDLE process = reinterpret_cast<HANDLE>(handle_);
  const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::TerminateProcess(process, 1);
  ::WaitForSingleObject(process, 10000);
  ::CloseHandle(process);
  handle_ = 0;
  return running;
}

#else

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& errorFile) {
  Kill();
  const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int error = errorFile.empty() ? nowhere : ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = nowhere >= 0 && error >= 0 ? Spawn(program, arguments, {-1, nowhere, error}) : -1;
  if (error != nowhere && error >= 0) ::close(error);
  if (nowhere >= 0) ::close(nowhere);
  if (pid < 0) return false;
  handle_ = pid;
  return true;
}

bool ChildProcess::Running() {
  if (handle_ == 0) return false;
  if (::waitpid(static_cast<pid_t>(handle_), nullptr, WNOHANG) != static_cast<pid_t>(handle_)) return true;
  handle_ = 0;  // it ended, and is reaped now
  return false;
}

bool ChildProcess::Kill() {
  if (handle_ == 0) return false;
  const pid_t pid = static_cast<pid_t>(handle_);
  handle_ = 0;
  ::kill(pid, SIGTERM);
  int status = 0;
  const bool reaped = ::waitpid(pid, &status, 0) == pid;
  return reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
}

#endif

int StartOnAnyPort(ChildProcess* child, const std::string& program) {
  // A directory of the test's own: the tests of a group run side by side in
  // one working directory, and one must not read another's port.
  const std::string name = std::filesystem::path(program).stem().string() + "-in-" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string errorFile = FreshDir("stderr-of-" + name) + "/stderr.txt";
  if (!child->Start(program, {"0"}, errorFile)) return 0;
  int port = 0;
  WaitUntil([&] {
    const std::string text = ReadText(errorFile);
    const size_t end = text.find('\n');
    const size_t colon = text.rfind(':', end);
    if (end != std::string::npos && colon != std::string::npos) port = std::atoi(text.c_str() + colon + 1);
    return port != 0 || end != std::string::npos || !child->Running();
  });
  return port;
}

void BeginCapture() { testing::internal::CaptureStdout(); }

std::string EndCapture() { return testing::internal::GetCapturedStdout(); }

}  // namespace qvtest

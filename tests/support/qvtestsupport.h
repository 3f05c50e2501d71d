// qvtestsupport.h - helpers for the test groups (GoogleTest ones among
// them); what the fuzz targets share with them is in qvtestnet.h.
#ifndef QV_TESTS_QVTESTSUPPORT_H
#define QV_TESTS_QVTESTSUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <ios>
#include <mutex>
#include <string>
#include <vector>

#include "platform/qvplatform.h"
#include "qvtestnet.h"

class QvListenerApi;

namespace qvtest {

// A port on 127.0.0.1 that nobody listened on a moment ago (0 if none), for
// the few tests that must name a port before anything binds it; the others
// bind port 0 and read the port back (ListenOnAnyPort, ListenLoopback,
// RefusingPort).
int FreePort();
// Listens on port 0, the system choosing; the port bound, or 0.
int ListenOnAnyPort(QvListenerApi* listener, const char* address = "127.0.0.1");
// A blocking client connected to 127.0.0.1:port whose reads give up after
// ten seconds; kInvalidSocket when it could not connect.
qvplat::Socket RawConnect(int port);

// Starts a connect of the non-blocking socket s to 127.0.0.1:port: 1 when
// it connected at once, 0 when it is under way, -1 when it failed.
int StartConnect(qvplat::Socket s, int port);

// The wire frame of a payload: a 4-byte little-endian length that counts
// itself, then the payload.
std::string Frame(const std::string& payload);
// n bytes that differ with the seed and along the text.
inline std::string Pattern(unsigned seed, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((seed * 131u + i * 7u + (i >> 8)) & 0xFF);
  return s;
}
// The next n bytes from s, or "<nothing>" when they did not all come.
std::string Receive(qvplat::Socket s, size_t n);

// Makes s non-blocking and sends until it would block and stays so for
// 50 ms (the caller may check LastSocketError() right after); returns the
// bytes it took.
size_t FillSendBuffer(qvplat::Socket s);
// Reads and drops the next n bytes (blocking). False on failure.
bool Discard(qvplat::Socket s, size_t n);
// Sends one byte of out-of-band data, which the dispatcher sees as an
// exception condition.
bool SendUrgent(qvplat::Socket s);

// Lets the process open `count` descriptors if the hard limit allows.
void RaiseDescriptorLimit(int count);

std::string ReadFile(const std::string& path, std::ios::openmode mode = std::ios::in | std::ios::binary);
// A text file as a program reads text: Windows' CR LF line ends (which the
// log writes there) come back as LF.
std::string ReadText(const std::string& path);
bool FileExists(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);

// A directory of the given name under ./scratch, emptied if it was there.
// The same name gives the same directory in a child process (below).
std::string FreshDir(const std::string& name);

// Runs `body` (a callable returning int) in a child process whose current
// directory is `dir`, and expects the child to exit with status 0. The
// child is the test executable started again, so the test's code before
// this line runs again there; keep it deterministic (FreshDir is).
#define QVTEST_EXPECT_CHILD(dir, body)                                                       \
  do {                                                                                      \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                         \
    EXPECT_EXIT(::qvtest::ExitWithin((dir), (body)), ::testing::ExitedWithCode(0), ".*"); \
  } while (false)
// Changes to `dir`, runs `body` and exits with its result (through exit(),
// so that the process's exit handlers run).
[[noreturn]] void ExitWithin(const std::string& dir, const std::function<int()>& body);

// A program started in the background with its standard output sent
// nowhere, and its standard error too or to a file; killed when the object
// goes.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Kill(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `errorFile`: where standard error goes (made anew); nowhere when empty.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& errorFile = "");
  // True while it runs.
  bool Running();
  // Ends it and waits for it; true when it was still running until then.
  bool Kill();

 private:
  std::intptr_t handle_ = 0;  // a pid or a process handle
};

// Starts `program 0`, a server that listens on a port the system chooses
// and names it on standard error in a line "...:PORT\n" once it listens,
// and waits for that line. The port, or 0.
int StartOnAnyPort(ChildProcess* child, const std::string& program);

// Captures what the process writes to standard output between the calls
// (the library's console traces).
void BeginCapture();
std::string EndCapture();

}  // namespace qvtest

#endif  // QV_TESTS_QVTESTSUPPORT_H

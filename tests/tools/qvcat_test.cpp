// qvcat as a user runs it: child processes with their standard input, output
// and error on pipes, against the echo_server example and against each
// other, on loopback. Every wait is bounded; a child still running at the
// end of a wait is killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diag/qvtexts.h"
#include "support/qvtestos.h"
#include "support/qvtestsupport.h"
#include "support/qvworkerfixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLargestPayload = 40955;

// qvcat with pipes on its standard input, output and error.
class Qvcat {
 public:
  Qvcat() = default;
  Qvcat(const Qvcat&) = delete;
  Qvcat& operator=(const Qvcat&) = delete;
  ~Qvcat() { Reset(); }

  // Starts qvcat in `directory` (this process's own when empty).
  bool Start(const std::vector<std::string>& arguments, const std::string& directory = "") {
    Reset();
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
    // The test ignores SIGPIPE (a child may go before it reads its input);
    // the child starts with the default.
    pid_ = qvtest::Spawn(QVNET_QVCAT, arguments, {in[0], out[1], err[1]}, directory);
    for (int fd : {in[0], out[1], err[1]}) ::close(fd);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    return pid_ > 0;
  }

  bool Write(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  void CloseInput() { CloseFd(&in_); }

  // Collects output until `done` holds; false when it did not in time.
  bool WaitFor(const std::function<bool()>& done) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      Pump(10);
    }
    return true;
  }
  // Until `stream` (out or err) holds `text`.
  bool WaitForText(const std::string& stream, const std::string& text) {
    return WaitFor([&] { return stream.find(text) != std::string::npos; });
  }
  // Waits for the end, collecting the output; false (and killed) when it
  // did not end in time.
  bool Wait() {
    const bool ended = WaitFor([&] { return !Running(); });
    Kill();
    while ((out_ >= 0 || err_ >= 0) && Pump(100)) {
    }  // drains what is left (a grandchild could hold the pipes)
    return ended;
  }
  bool Running() {
    if (pid_ <= 0 || ::waitpid(pid_, &status_, WNOHANG) != pid_) return pid_ > 0;
    pid_ = -1;
    return false;
  }
  // The exit status, or -1 when it did not exit by itself.
  int ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

  std::string out;
  std::string err;

 private:
  static void CloseFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
  }
  void Reset() {
    Kill();
    for (int* fd : {&in_, &out_, &err_}) CloseFd(fd);
    out.clear();
    err.clear();
    status_ = 0;
  }
  // Reads what standard output and error have, waiting up to `timeoutMs`
  // for something; false when nothing came.
  bool Pump(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // only the exit is left to see
      return false;
    }
    if (::poll(fds, 2, timeoutMs) <= 0) return false;
    ReadFrom(fds[0], &out_, &out);
    ReadFrom(fds[1], &err_, &err);
    return true;
  }
  static void ReadFrom(const pollfd& p, int* fd, std::string* into) {
    if (*fd < 0 || p.revents == 0) return;
    char buffer[65536];
    const ssize_t n = ::read(*fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      CloseFd(fd);  // end of output
    }
  }

  pid_t pid_ = -1;
  int status_ = 0;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
};

class QvcatTest : public ::testing::Test {
 protected:
  void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }

  // Runs qvcat with `input` on standard input (then closed) to its end;
  // false when it did not end in time.
  static bool Run(Qvcat* qvcat, const std::vector<std::string>& arguments, const std::string& input = "",
                  const std::string& directory = "") {
    if (!qvcat->Start(arguments, directory)) return false;
    qvcat->Write(input);  // fails harmlessly when qvcat ended without reading
    qvcat->CloseInput();
    return qvcat->Wait();
  }
  // The echo_server example, accepting connections; its port, or 0.
  int StartEchoServer() { return qvtest::StartOnAnyPort(&echoServer, QVNET_ECHO_SERVER); }
  // `qvcat listen 0` with the extra arguments, once it says it listens; the
  // port its first line names, or 0.
  static int StartListener(Qvcat* listener, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments{"listen", "0"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    if (!listener->Start(arguments)) return 0;
    const std::string ready = "qvcat: listening on 127.0.0.1:";
    listener->WaitFor([&] { return listener->err.find('\n') != std::string::npos || !listener->Running(); });
    return listener->err.rfind(ready, 0) == 0 ? std::atoi(listener->err.c_str() + ready.size()) : 0;
  }

  qvtest::ChildProcess echoServer;
};

// ------------------------------------------------------- single runs

// In the arguments and expected texts "PORT" stands for the echo_server's
// port, "NOPORT" for one nobody listens on, "FILE" for a file holding `file`.
struct RunCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string input;
  std::string file;
  int exit;
  std::string out;  // "*": not checked
  std::string err;
};

std::string Letters(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}

TEST_F(QvcatTest, SingleRunsPrintExitAndFailAsTheyShould) {
  const RunCase cases[] = {
      // An empty line, a CR LF line end, and bytes that text output escapes;
      // nothing but qvcat's own lines: the library's traces are kept out.
      {"lines", {"connect", "127.0.0.1", "PORT", "--count", "4"}, "hello\nworld\n\n\tx\\y\x01\r\n", "", 0,
       "[5] hello\n[5] world\n[0]\n[5] \\tx\\\\y\\x01\n", ""},
      {"hex dump of a file", {"--hex", "--count", "1", "--file", "FILE", "connect", "127.0.0.1", "PORT"}, "",
       std::string("\0\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10" "A", 18), 0,
       "[18]\n"
       "00000000  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  |................|\n"
       "00000010  10 41                                             |.A|\n",
       ""},
      {"largest file", {"connect", "127.0.0.1", "PORT", "--file", "FILE", "--count", "1"}, "",
       Letters(kLargestPayload), 0, "[40955] " + Letters(kLargestPayload) + "\n", ""},
      {"line over the limit", {"connect", "127.0.0.1", "PORT"}, "short\n" + std::string(kLargestPayload + 1, 'y') + "\n",
       "", 1, "*", "qvcat: line 2 of the input is 40956 bytes, over the 40955-byte limit of one frame\n"},
      {"refused", {"connect", "127.0.0.1", "NOPORT"}, "never sent\n", "", 1, "",
       "qvcat: cannot connect to 127.0.0.1:NOPORT (refused or unreachable)\n"},
      // Refused before connecting: a connect to NOPORT would fail differently.
      {"file over the limit", {"connect", "127.0.0.1", "NOPORT", "--file", "FILE"}, "",
       std::string(kLargestPayload + 1, 'x'), 2, "", "qvcat: FILE is 40956 bytes, over the 40955-byte limit of one frame\n"},
      {"port in use", {"listen", "PORT"}, "", "", 1, "", "qvcat: cannot listen on 127.0.0.1:PORT\n"},
  };
  const int port = StartEchoServer();
  ASSERT_NE(port, 0);
  int noPort = 0;
  qvtest::RawSocket closed(qvtest::RefusingPort(&noPort));  // bound, never listening
  ASSERT_TRUE(closed.Valid());
  const std::string file = qvtest::FreshDir("single-runs") + "/frame.bin";
  auto fill = [&](std::string text) {
    for (const auto& [token, value] : {std::pair<std::string, std::string>{"NOPORT", std::to_string(noPort)},
                                       {"PORT", std::to_string(port)}, {"FILE", file}}) {
      for (size_t at; (at = text.find(token)) != std::string::npos;) text.replace(at, token.size(), value);
    }
    return text;
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(qvtest::WriteFile(file, c.file));
    std::vector<std::string> arguments;
    for (const std::string& a : c.arguments) arguments.push_back(fill(a));
    Qvcat qvcat;
    ASSERT_TRUE(Run(&qvcat, arguments, c.input));
    EXPECT_EQ(qvcat.ExitCode(), c.exit) << qvcat.err;
    EXPECT_TRUE(c.out == "*" || qvcat.out == c.out) << qvcat.out.substr(0, 300);
    EXPECT_EQ(qvcat.err, fill(c.err));
  }
  EXPECT_TRUE(echoServer.Running()) << "echo_server ended";
}

// Traces show with --traces (on standard output, among the frames), or
// where the library's settings in the environment say; never otherwise.
TEST_F(QvcatTest, TracesShowOnlyWhenAskedFor) {
  const int port = StartEchoServer();
  ASSERT_NE(port, 0);
  char connected[64];
  std::snprintf(connected, sizeof connected, qvtext::kTraceConnected, "127.0.0.1");
  const struct {
    const char* option;
    const char* where;  // QVNET_TRACE in qvcat's environment
    const char* encoding;
    std::string out, err;  // a trace they hold, beside the frame printed
  } cases[] = {
      {"--traces", nullptr, nullptr, connected, ""},
      {"--hex", "stderr", "utf-8", "", u8"已连接：127.0.0.1"},
      {"--traces", "off", nullptr, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " " + (c.where != nullptr ? c.where : "-"));
    if (c.where != nullptr) ::setenv("QVNET_TRACE", c.where, 1);
    if (c.encoding != nullptr) ::setenv("QVNET_TRACE_ENCODING", c.encoding, 1);
    Qvcat qvcat;
    const bool ran = Run(&qvcat, {c.option, "connect", "127.0.0.1", std::to_string(port), "--count", "1"}, "x\n");
    ::unsetenv("QVNET_TRACE");
    ::unsetenv("QVNET_TRACE_ENCODING");
    ASSERT_TRUE(ran);
    EXPECT_EQ(qvcat.ExitCode(), 0) << qvcat.err;
    const std::string frame = std::string(c.option) == "--hex" ? "[1]\n00000000  78 " : "[1] x\n";
    EXPECT_NE(qvcat.out.find(frame), std::string::npos) << qvcat.out;
    if (c.out.empty()) {
      EXPECT_EQ(qvcat.out.rfind(frame, 0), 0u) << qvcat.out;  // nothing before the frame
    } else {
      EXPECT_NE(qvcat.out.find(c.out), std::string::npos) << qvcat.out;
    }
    if (c.err.empty()) {
      EXPECT_EQ(qvcat.err, "");
    } else {
      EXPECT_NE(qvcat.err.find(c.err), std::string::npos) << qvcat.err;
    }
  }
}

TEST_F(QvcatTest, CountEndsTheRunOrFailsItAfterTheWait) {
  const int port = StartEchoServer();
  ASSERT_NE(port, 0);
  Qvcat open, closed;
  ASSERT_TRUE(open.Start({"connect", "127.0.0.1", std::to_string(port), "--count", "2"}));
  ASSERT_TRUE(open.Write("one\ntwo\nthree\nfour\n"));  // all four come back; two are printed
  ASSERT_TRUE(open.Wait()) << "qvcat did not end after 2 frames with its input open: " << open.out;
  EXPECT_EQ(open.ExitCode(), 0) << open.err;
  EXPECT_EQ(open.out, "[3] one\n[3] two\n");

  ASSERT_TRUE(closed.Start({"connect", "127.0.0.1", std::to_string(port), "--count", "2", "--wait", "1"}));
  ASSERT_TRUE(closed.Write("a\n"));
  ASSERT_TRUE(closed.WaitForText(closed.out, "[1] a\n"));
  closed.CloseInput();  // the second frame never comes
  ASSERT_TRUE(closed.Wait());
  EXPECT_EQ(closed.ExitCode(), 1);
  EXPECT_EQ(closed.out, "[1] a\n");
  EXPECT_EQ(closed.err, "qvcat: gave up waiting after 1 s: 1 of 2 frames came\n");
}

TEST_F(QvcatTest, BadArgumentsFailWithAOneLineReasonAndHelpShowsUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"connect", "127.0.0.1"},
      {"connect", "127.0.0.1", "http"},
      {"listen", "70000"},
      {"listen", "65536"},
      {"listen", "-1"},
      {"listen", "seven"},
      {"listen", "7000", "extra"},
      {"--count", "0", "connect", "127.0.0.1", "7000"},
      {"--count"},
      {"--wait", "soon", "listen", "7000"},
      {"--bogus", "listen", "7000"},
      {"--hex=yes", "listen", "7000"},
      {"serve", "7000"},
      {"--bind", "127.0.0.1", "connect", "127.0.0.1", "7000"},
      {"--wait", "3", "listen", "7000"},
  };
  for (const auto& arguments : bad) {
    std::string shown = "qvcat";
    for (const std::string& a : arguments) shown += " " + a;
    SCOPED_TRACE(shown);
    Qvcat qvcat;
    ASSERT_TRUE(Run(&qvcat, arguments));
    EXPECT_EQ(qvcat.ExitCode(), 2);
    EXPECT_EQ(qvcat.out, "");
    EXPECT_EQ(qvcat.err.rfind("qvcat: ", 0), 0u) << qvcat.err;
    EXPECT_EQ(qvcat.err.find('\n'), qvcat.err.size() - 1) << qvcat.err;  // one line
  }
  Qvcat help;
  ASSERT_TRUE(Run(&help, {"--help"}));
  EXPECT_EQ(help.ExitCode(), 0);
  EXPECT_EQ(help.out.rfind("usage: qvcat [options] connect HOST PORT\n       qvcat [options] listen PORT\n", 0), 0u)
      << help.out;
  for (const char* option : {"--file", "--hex", "--count", "--echo", "--bind", "--traces", "--wait", "QVNET_TRACE=",
                             "QVNET_TRACE_ENCODING=", "QVNET_LOG=", "QVNET_LOG_FILE=", "QVNET_SEND_LIMIT",
                             "QVNET_LINGER_SECONDS"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(help.err, "");
}

// qvcat's log is off unless the environment asks for one: run in a
// server's directory, it leaves the server's log as it was.
TEST_F(QvcatTest, LogIsOffUnlessTheEnvironmentAsksForIt) {
  const std::string serverLines = "a line of the server's\n";
  const struct {
    const char* log;   // QVNET_LOG
    const char* file;  // QVNET_LOG_FILE
    std::string serverLog;  // Log/Network.log afterwards
    bool ownLog;            // qvcat.log was made
  } cases[] = {
      {nullptr, nullptr, serverLines, false},
      {"on", nullptr, "", false},
      {nullptr, "qvcat.log", serverLines, true},
      {"off", "qvcat.log", serverLines, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.log ? c.log : "-") + " " + (c.file ? c.file : "-"));
    const std::string dir = qvtest::FreshDir("server-dir-" + std::to_string(&c - cases));
    std::filesystem::create_directory(dir + "/Log");
    ASSERT_TRUE(qvtest::WriteFile(dir + "/Log/Network.log", serverLines));
    if (c.log != nullptr) ::setenv("QVNET_LOG", c.log, 1);
    if (c.file != nullptr) ::setenv("QVNET_LOG_FILE", c.file, 1);
    Qvcat help;
    const bool ran = Run(&help, {"--help"}, "", dir);
    ::unsetenv("QVNET_LOG");
    ::unsetenv("QVNET_LOG_FILE");
    ASSERT_TRUE(ran);
    EXPECT_EQ(help.ExitCode(), 0) << help.err;
    EXPECT_EQ(qvtest::ReadFile(dir + "/Log/Network.log"), c.serverLog);
    EXPECT_EQ(qvtest::FileExists(dir + "/qvcat.log"), c.ownLog);
  }
}

// qvcat sends its input, closes and returns from main; its peer reads it
// all and never ends its stream. With nothing left to send, qvcat exits at
// once, not after the linger time (an hour here).
TEST_F(QvcatTest, ExitWaitsOnlyForBytesStillOwed) {
  int port = 0;
  qvtest::RawSocket listening{qvtest::ListenLoopback(&port)};
  ASSERT_NE(listening.Get(), qvplat::kInvalidSocket);
  ::setenv("QVNET_LINGER_SECONDS", "3600", 1);
  Qvcat client;
  const bool started = client.Start({"connect", "127.0.0.1", std::to_string(port)});
  ::unsetenv("QVNET_LINGER_SECONDS");
  ASSERT_TRUE(started);
  pollfd waiting{listening.Get(), POLLIN, 0};
  ASSERT_EQ(::poll(&waiting, 1, 10000), 1) << "qvcat did not connect";
  qvtest::RawSocket peer{qvplat::AcceptPeer(listening.Get(), nullptr)};
  ASSERT_TRUE(peer.Valid());
  qvtest::SetTimeouts(peer.Get(), 10);
  constexpr int kFrames = 300;
  const std::string line = Letters(1000);
  std::string input;
  for (int i = 0; i < kFrames; ++i) input += line + "\n";
  ASSERT_TRUE(client.Write(input));
  client.CloseInput();
  std::string payload;
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(qvtest::RecvFrame(peer.Get(), &payload) && payload == line) << "frame " << i;
  }
  ASSERT_TRUE(client.Wait()) << "qvcat did not exit once its peer had everything";
  EXPECT_EQ(client.ExitCode(), 0) << client.err;
}

// ------------------------------------------------------ qvcat and qvcat

TEST_F(QvcatTest, ListenPrintsWhatConnectSendsAndConnectSeesItGo) {
  Qvcat listener;
  const int port = StartListener(&listener, {"--count", "2"});
  ASSERT_NE(port, 0);
  Qvcat client;
  ASSERT_TRUE(client.Start({"connect", "127.0.0.1", std::to_string(port)}));
  ASSERT_TRUE(client.Write("hello\nworld\n"));  // the input stays open
  ASSERT_TRUE(listener.Wait()) << "the listener did not end after 2 frames: " << listener.out;
  EXPECT_EQ(listener.ExitCode(), 0) << listener.err;
  EXPECT_EQ(listener.out, "[5] hello\n[5] world\n");
  EXPECT_NE(listener.err.find("qvcat: peer 127.0.0.1:"), std::string::npos) << listener.err;
  EXPECT_NE(listener.err.find(" connected\n"), std::string::npos) << listener.err;
  // The listener went away while the client's input was still open.
  ASSERT_TRUE(client.Wait());
  EXPECT_EQ(client.ExitCode(), 1);
  EXPECT_EQ(client.err, "qvcat: connection closed by the peer\n");
  EXPECT_EQ(client.out, "");
}

TEST_F(QvcatTest, ConnectPrintsWhatListenSendsAsAHexDump) {
  Qvcat listener;
  const int port = StartListener(&listener);
  ASSERT_NE(port, 0);
  Qvcat client;
  ASSERT_TRUE(client.Start({"connect", "127.0.0.1", std::to_string(port), "--count", "2", "--hex"}));
  // The listener reads its input once a peer is there, and sends it to every peer.
  ASSERT_TRUE(listener.Write("hi\n\x01\x02z\n"));
  ASSERT_TRUE(client.Wait()) << "the client did not end after 2 frames: " << client.out;
  EXPECT_EQ(client.ExitCode(), 0) << client.err;
  EXPECT_EQ(client.out,
            "[2]\n"
            "00000000  68 69                                             |hi|\n"
            "[3]\n"
            "00000000  01 02 7a                                          |..z|\n");
  EXPECT_TRUE(listener.WaitForText(listener.err, " left\n")) << listener.err;
  EXPECT_TRUE(listener.Running()) << "the listener ended by itself";
}

TEST_F(QvcatTest, ListenEchoAndFileServeEveryPeerAtOnce) {
  const std::string file = qvtest::FreshDir("listen-file") + "/greeting.txt";
  ASSERT_TRUE(qvtest::WriteFile(file, "welcome"));
  Qvcat listener;
  const int port = StartListener(&listener, {"--echo", "--file", file});
  ASSERT_NE(port, 0);
  Qvcat first, second;
  ASSERT_TRUE(first.Start({"connect", "127.0.0.1", std::to_string(port), "--count", "3"}));
  ASSERT_TRUE(first.WaitForText(first.out, "[7] welcome\n")) << first.out << first.err;
  ASSERT_TRUE(first.Write("a\n"));
  ASSERT_TRUE(first.WaitForText(first.out, "[1] a\n")) << first.out << first.err;
  // The first peer stays connected while the second is served.
  ASSERT_TRUE(Run(&second, {"connect", "127.0.0.1", std::to_string(port), "--count", "2"}, "bb\n"));
  EXPECT_EQ(second.ExitCode(), 0) << second.err;
  EXPECT_EQ(second.out, "[7] welcome\n[2] bb\n");
  ASSERT_TRUE(first.Write("ccc\n"));
  ASSERT_TRUE(first.Wait());
  EXPECT_EQ(first.ExitCode(), 0) << first.err;
  EXPECT_EQ(first.out, "[7] welcome\n[1] a\n[3] ccc\n");
  // The listener printed all three frames too, in the order they came.
  EXPECT_TRUE(listener.WaitForText(listener.out, "[1] a\n[2] bb\n[3] ccc\n")) << listener.out;
  EXPECT_TRUE(listener.Running());
}

}  // namespace

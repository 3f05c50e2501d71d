// qvcat as a user runs it: child processes with their standard input, output
// and error on pipes, against the echo_server example and against each
// other, on loopback. Every wait is bounded; a child still running at the
// end of a wait is killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/qvtestsupport.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using qvtest::FreePort;

constexpr std::chrono::seconds kTimeout{20};
constexpr int kLargestPayload = 40955;

// A program with pipes on its standard input, output and error.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    Kill();
    for (int* fd : {&in_, &out_, &err_}) CloseFd(fd);
  }

  bool Start(const std::string& program, const std::vector<std::string>& arguments) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The test ignores SIGPIPE (a child may go before it reads its input);
    // the child starts with the default.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (spawned != 0) pid_ = -1;
    return spawned == 0;
  }

  bool Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  void CloseInput() { CloseFd(&in_); }

  // Collects output until `done` holds; false when it did not within the
  // time-out.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = kTimeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      Pump(10);
    }
    return true;
  }
  bool OutputHas(const std::string& text) {
    return WaitFor([&] { return out.find(text) != std::string::npos; });
  }
  bool ErrorHas(const std::string& text) {
    return WaitFor([&] { return err.find(text) != std::string::npos; });
  }

  // Waits for the child to end, collecting its output; false (and the child
  // killed) when it did not end within the time-out.
  bool Wait(std::chrono::milliseconds timeout = kTimeout) {
    if (pid_ <= 0) return true;
    const bool ended = WaitFor([&] { return Reaped(); }, timeout);
    if (!ended) Kill();
    while (out_ >= 0 || err_ >= 0) {
      if (!Pump(100)) break;  // drain what is left (a grandchild could hold the pipes)
    }
    return ended;
  }

  // True while it has not ended.
  bool Running() { return pid_ > 0 && !Reaped(); }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    killed_ = true;
  }

  // The exit status, or -1 when it did not exit by itself.
  int ExitCode() const { return !killed_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  bool ExitedBySignal(int signal) const { return WIFSIGNALED(status_) && WTERMSIG(status_) == signal; }

  std::string out;
  std::string err;

 private:
  static void CloseFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }

  bool Reaped() {
    if (pid_ <= 0) return true;
    if (::waitpid(pid_, &status_, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
  }

  // Reads what is there on standard output and error, waiting up to
  // `timeoutMs` for something; false when nothing came.
  bool Pump(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // only the exit is left to see
      return false;
    }
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready <= 0) return false;
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
  bool killed_ = false;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
};

class QvcatTest : public ::testing::Test {
 protected:
  void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }

  // Starts qvcat with the arguments.
  bool StartQvcat(Child* child, const std::vector<std::string>& arguments) {
    return child->Start(QVNET_QVCAT, arguments);
  }

  // Runs qvcat with `input` on standard input (then closed) to its end.
  // False when it did not end in time.
  bool RunQvcat(Child* child, const std::vector<std::string>& arguments, const std::string& input = "") {
    if (!StartQvcat(child, arguments)) return false;
    child->Write(input);  // fails harmlessly when qvcat ended without reading
    child->CloseInput();
    return child->Wait();
  }

  // The echo_server example on a free port, accepting connections.
  bool StartEchoServer(Child* server, int* port) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      *port = FreePort();
      if (!server->Start(QVNET_ECHO_SERVER, {std::to_string(*port)})) return false;
      bool exited = false;  // the port was taken meanwhile
      const bool ready = server->WaitFor([&] {
        if (!server->Running()) return exited = true;
        qvplat::Socket probe = qvtest::RawConnect(*port);
        if (probe == qvplat::kInvalidSocket) return false;
        qvplat::CloseSocket(probe);
        return true;
      });
      if (ready && !exited) return true;
      if (!exited) return false;
      server->Wait();
    }
    return false;
  }

  // `qvcat listen` on a free port, with the extra arguments; waits until it
  // says it listens.
  bool StartListener(Child* listener, int* port, const std::vector<std::string>& extra = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      *port = FreePort();
      std::vector<std::string> arguments{"listen", std::to_string(*port)};
      arguments.insert(arguments.end(), extra.begin(), extra.end());
      if (!StartQvcat(listener, arguments)) return false;
      const std::string ready = "qvcat: listening on 127.0.0.1:" + std::to_string(*port) + "\n";
      bool exited = false;
      listener->WaitFor([&] {
        if (listener->err.find(ready) != std::string::npos) return true;
        return exited = !listener->Running();
      });
      if (listener->err.find(ready) != std::string::npos) return true;
      if (!exited) return false;
      listener->Wait();
      listener->err.clear();
    }
    return false;
  }

  std::string Connect(int port) { return "127.0.0.1:" + std::to_string(port); }
};

int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// ------------------------------------------------------------ echo_server

TEST_F(QvcatTest, LinesComeBackFromTheEchoServerOneLineEach) {
  Child server;
  int port = 0;
  ASSERT_TRUE(StartEchoServer(&server, &port));
  Child qvcat;
  // An empty line, a CR LF line end, and bytes that text output escapes.
  ASSERT_TRUE(RunQvcat(&qvcat, {"connect", "127.0.0.1", std::to_string(port), "--count", "4"},
                       "hello\nworld\n\n\tx\\y\x01\r\n"));
  EXPECT_EQ(qvcat.ExitCode(), 0) << qvcat.err;
  // Nothing but qvcat's own lines: the library's traces are kept out.
  EXPECT_EQ(qvcat.out, "[5] hello\n[5] world\n[0]\n[5] \\tx\\\\y\\x01\n");
  EXPECT_EQ(qvcat.err, "");
  EXPECT_TRUE(server.Running()) << "echo_server ended";
}

TEST_F(QvcatTest, FileComesBackFromTheEchoServerAsAHexDump) {
  Child server;
  int port = 0;
  ASSERT_TRUE(StartEchoServer(&server, &port));
  qvtest::TempDir dir;
  std::string bytes;
  for (int i = 0; i < 18; ++i) bytes += static_cast<char>(i == 17 ? 'A' : i);
  const std::string file = dir.Path() + "/bytes.bin";
  ASSERT_TRUE(qvtest::WriteFile(file, bytes));
  Child qvcat;
  ASSERT_TRUE(RunQvcat(&qvcat, {"--hex", "--count", "1", "--file", file, "connect", "127.0.0.1", std::to_string(port)}));
  EXPECT_EQ(qvcat.ExitCode(), 0) << qvcat.err;
  EXPECT_EQ(qvcat.out,
            "[18]\n"
            "00000000  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  |................|\n"
            "00000010  10 41                                             |.A|\n");
}

TEST_F(QvcatTest, LargestFileComesBackWhole) {
  Child server;
  int port = 0;
  ASSERT_TRUE(StartEchoServer(&server, &port));
  qvtest::TempDir dir;
  std::string bytes;
  for (int i = 0; i < kLargestPayload; ++i) bytes += static_cast<char>('a' + i % 26);
  const std::string file = dir.Path() + "/largest.txt";
  ASSERT_TRUE(qvtest::WriteFile(file, bytes));
  Child qvcat;
  ASSERT_TRUE(RunQvcat(&qvcat, {"connect", "127.0.0.1", std::to_string(port), "--file", file, "--count", "1"}));
  EXPECT_EQ(qvcat.ExitCode(), 0) << qvcat.err;
  EXPECT_TRUE(qvcat.out == "[40955] " + bytes + "\n") << qvcat.out.substr(0, 100);
}

TEST_F(QvcatTest, CountEndsAfterThatManyFramesWhileTheInputStaysOpen) {
  Child server;
  int port = 0;
  ASSERT_TRUE(StartEchoServer(&server, &port));
  Child qvcat;
  ASSERT_TRUE(StartQvcat(&qvcat, {"connect", "127.0.0.1", std::to_string(port), "--count", "2"}));
  ASSERT_TRUE(qvcat.Write("one\ntwo\nthree\nfour\n"));  // all four come back; two are printed
  ASSERT_TRUE(qvcat.Wait()) << "qvcat did not end after 2 frames; output: " << qvcat.out;
  EXPECT_EQ(qvcat.ExitCode(), 0) << qvcat.err;
  EXPECT_EQ(qvcat.out, "[3] one\n[3] two\n");
}

TEST_F(QvcatTest, MissingFramesAfterTheInputEndedFailAfterTheWait) {
  Child server;
  int port = 0;
  ASSERT_TRUE(StartEchoServer(&server, &port));
  Child qvcat;
  ASSERT_TRUE(StartQvcat(&qvcat, {"connect", "127.0.0.1", std::to_string(port), "--count", "2", "--wait", "1"}));
  ASSERT_TRUE(qvcat.Write("a\n"));
  ASSERT_TRUE(qvcat.OutputHas("[1] a\n"));
  qvcat.CloseInput();  // the second frame never comes
  ASSERT_TRUE(qvcat.Wait());
  EXPECT_EQ(qvcat.ExitCode(), 1);
  EXPECT_EQ(qvcat.out, "[1] a\n");
  EXPECT_EQ(qvcat.err, "qvcat: gave up waiting after 1 s: 1 of 2 frames came\n");
}

TEST_F(QvcatTest, TracesShowOnlyWhenAskedFor) {
  Child server;
  int port = 0;
  ASSERT_TRUE(StartEchoServer(&server, &port));
  Child quiet, traced;
  ASSERT_TRUE(RunQvcat(&quiet, {"connect", "127.0.0.1", std::to_string(port), "--count", "1"}, "x\n"));
  ASSERT_TRUE(RunQvcat(&traced, {"--traces", "connect", "127.0.0.1", std::to_string(port), "--count", "1"}, "x\n"));
  EXPECT_EQ(quiet.ExitCode(), 0) << quiet.err;
  EXPECT_EQ(traced.ExitCode(), 0) << traced.err;
  EXPECT_EQ(quiet.out, "[1] x\n");
  EXPECT_NE(traced.out.find("[1] x\n"), std::string::npos) << traced.out;
  // The connect trace names the peer's address.
  EXPECT_NE(traced.out.find("127.0.0.1"), std::string::npos) << traced.out;
}

// --------------------------------------------------------------- failures

TEST_F(QvcatTest, RefusedConnectionFailsWithAOneLineReason) {
  const int port = FreePort();  // nobody listens there
  ASSERT_NE(port, 0);
  Child qvcat;
  ASSERT_TRUE(RunQvcat(&qvcat, {"connect", "127.0.0.1", std::to_string(port)}, "never sent\n"));
  EXPECT_EQ(qvcat.ExitCode(), 1);
  EXPECT_EQ(qvcat.out, "");
  EXPECT_EQ(qvcat.err, "qvcat: cannot connect to 127.0.0.1:" + std::to_string(port) + " (refused or unreachable)\n");
}

TEST_F(QvcatTest, FileOverTheLimitIsRefusedBeforeConnecting) {
  qvtest::TempDir dir;
  const std::string file = dir.Path() + "/big.bin";
  ASSERT_TRUE(qvtest::WriteFile(file, std::string(kLargestPayload + 1, 'x')));
  const int port = FreePort();  // nobody listens: a connect would fail differently
  Child qvcat;
  ASSERT_TRUE(RunQvcat(&qvcat, {"connect", "127.0.0.1", std::to_string(port), "--file", file}));
  EXPECT_EQ(qvcat.ExitCode(), 2);
  EXPECT_EQ(qvcat.out, "");
  EXPECT_EQ(qvcat.err, "qvcat: " + file + " is 40956 bytes, over the 40955-byte limit of one frame\n");
}

TEST_F(QvcatTest, LineOverTheLimitFails) {
  Child server;
  int port = 0;
  ASSERT_TRUE(StartEchoServer(&server, &port));
  Child qvcat;
  ASSERT_TRUE(RunQvcat(&qvcat, {"connect", "127.0.0.1", std::to_string(port)},
                       "short\n" + std::string(kLargestPayload + 1, 'y') + "\n"));
  EXPECT_EQ(qvcat.ExitCode(), 1);
  EXPECT_EQ(qvcat.err, "qvcat: line 2 of the input is 40956 bytes, over the 40955-byte limit of one frame\n");
}

TEST_F(QvcatTest, BadArgumentsFailWithAOneLineReason) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"connect", "127.0.0.1"},
      {"connect", "127.0.0.1", "http"},
      {"listen", "70000"},
      {"listen", "0"},
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
    std::string shown;
    for (const std::string& a : arguments) shown += " " + a;
    Child qvcat;
    ASSERT_TRUE(RunQvcat(&qvcat, arguments)) << "qvcat" << shown;
    EXPECT_EQ(qvcat.ExitCode(), 2) << "qvcat" << shown;
    EXPECT_EQ(qvcat.out, "") << "qvcat" << shown;
    EXPECT_EQ(qvcat.err.rfind("qvcat: ", 0), 0u) << "qvcat" << shown << ": " << qvcat.err;
    EXPECT_EQ(CountLines(qvcat.err), 1) << "qvcat" << shown << ": " << qvcat.err;
  }
}

TEST_F(QvcatTest, HelpShowsUsage) {
  Child qvcat;
  ASSERT_TRUE(RunQvcat(&qvcat, {"--help"}));
  EXPECT_EQ(qvcat.ExitCode(), 0);
  EXPECT_EQ(qvcat.out.rfind("usage: qvcat [options] connect HOST PORT\n       qvcat [options] listen PORT\n", 0), 0u)
      << qvcat.out;
  for (const char* option : {"--file", "--hex", "--count", "--echo", "--bind", "--traces", "--wait"}) {
    EXPECT_NE(qvcat.out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(qvcat.err, "");
}

// ------------------------------------------------------ qvcat and qvcat

TEST_F(QvcatTest, ListenPrintsWhatConnectSendsAndConnectSeesItGo) {
  Child listener;
  int port = 0;
  ASSERT_TRUE(StartListener(&listener, &port, {"--count", "2"}));
  Child client;
  ASSERT_TRUE(StartQvcat(&client, {"connect", "127.0.0.1", std::to_string(port)}));
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
  Child listener;
  int port = 0;
  ASSERT_TRUE(StartListener(&listener, &port));
  Child client;
  ASSERT_TRUE(StartQvcat(&client, {"connect", "127.0.0.1", std::to_string(port), "--count", "2", "--hex"}));
  // The listener reads its input once a peer is there, and sends it to every peer.
  ASSERT_TRUE(listener.Write("hi\n\x01\x02z\n"));
  ASSERT_TRUE(client.Wait()) << "the client did not end after 2 frames: " << client.out;
  EXPECT_EQ(client.ExitCode(), 0) << client.err;
  EXPECT_EQ(client.out,
            "[2]\n"
            "00000000  68 69                                             |hi|\n"
            "[3]\n"
            "00000000  01 02 7a                                          |..z|\n");
  EXPECT_TRUE(listener.ErrorHas(" left\n")) << listener.err;
  EXPECT_TRUE(listener.Running()) << "the listener ended by itself";
}

TEST_F(QvcatTest, ListenEchoServesEveryPeerAtOnce) {
  Child listener;
  int port = 0;
  ASSERT_TRUE(StartListener(&listener, &port, {"--echo"}));
  Child first, second;
  ASSERT_TRUE(StartQvcat(&first, {"connect", "127.0.0.1", std::to_string(port), "--count", "2"}));
  ASSERT_TRUE(first.Write("a\n"));
  ASSERT_TRUE(first.OutputHas("[1] a\n")) << first.out << first.err;
  // The first peer stays connected while the second is served.
  ASSERT_TRUE(RunQvcat(&second, {"connect", "127.0.0.1", std::to_string(port), "--count", "1"}, "bb\n"));
  EXPECT_EQ(second.ExitCode(), 0) << second.err;
  EXPECT_EQ(second.out, "[2] bb\n");
  ASSERT_TRUE(first.Write("ccc\n"));
  ASSERT_TRUE(first.Wait());
  EXPECT_EQ(first.ExitCode(), 0) << first.err;
  EXPECT_EQ(first.out, "[1] a\n[3] ccc\n");
  // The listener printed all three frames too.
  EXPECT_TRUE(listener.WaitFor([&] { return CountLines(listener.out) == 3; })) << listener.out;
  EXPECT_NE(listener.out.find("[1] a\n"), std::string::npos);
  EXPECT_NE(listener.out.find("[2] bb\n"), std::string::npos);
  EXPECT_NE(listener.out.find("[3] ccc\n"), std::string::npos);
  EXPECT_TRUE(listener.Running());
}

TEST_F(QvcatTest, ListenFileGoesToEveryPeerAsItConnects) {
  qvtest::TempDir dir;
  const std::string file = dir.Path() + "/greeting.txt";
  ASSERT_TRUE(qvtest::WriteFile(file, "welcome"));
  Child listener;
  int port = 0;
  ASSERT_TRUE(StartListener(&listener, &port, {"--file", file}));
  for (int peer = 0; peer < 2; ++peer) {
    Child client;
    ASSERT_TRUE(StartQvcat(&client, {"connect", "127.0.0.1", std::to_string(port), "--count", "1"}));
    ASSERT_TRUE(client.Wait());
    EXPECT_EQ(client.ExitCode(), 0) << client.err;
    EXPECT_EQ(client.out, "[7] welcome\n");
  }
  EXPECT_TRUE(listener.Running());
}

TEST_F(QvcatTest, ListenOnAPortInUseFails) {
  Child first;
  int port = 0;
  ASSERT_TRUE(StartListener(&first, &port));
  Child second;
  ASSERT_TRUE(RunQvcat(&second, {"listen", std::to_string(port)}));
  EXPECT_EQ(second.ExitCode(), 1);
  EXPECT_EQ(second.err, "qvcat: cannot listen on 127.0.0.1:" + std::to_string(port) + "\n");
}

}  // namespace

// The whole library at work: a listener and clients in one process, the
// echo_server example in a second process, and a peer written in Python
// against it. Every echo is checked byte for byte.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/qvnetclientimpl.h"
#include "qvnet.h"
#include "support/qvtestsupport.h"

extern char** environ;

namespace {

using qvtest::Frame;
using qvtest::FreePort;
using qvtest::RawConnect;

constexpr int kLargestPayload = 40955;

std::string Payload(int seed, int size) {
  std::string p(static_cast<size_t>(size), '\0');
  for (int i = 0; i < size; ++i) p[static_cast<size_t>(i)] = static_cast<char>((seed * 131 + i * 31) & 0xFF);
  return p;
}

// Sizes for a run that keeps up to 3 frames in flight. Together they pass
// through each queue many times over; kept at most 6000 bytes, so that 3 of
// them always find room in a 40960-byte send queue, however it is cut.
std::vector<int> PipelinedSizes(int seed) {
  std::vector<int> sizes;
  for (int i = 0; i < 100; ++i) sizes.push_back((i * 977 + seed * 131) % 6000 + 1);
  return sizes;
}

// Frames as a byte stream handed over in pieces: piece i is the rest of frame
// i - 1 and the head (1 byte up to all but 1) of frame i, the last piece the
// rest of the last frame. A receiver never finds a piece ending with a frame,
// so what it has queued never drains, and its queue wraps round.
struct CutStream {
  std::vector<std::string> payloads;
  std::vector<std::string> pieces;
};

CutStream MakeCutStream(int seed, int frames) {
  CutStream stream;
  std::string rest;
  for (int i = 0; i < frames; ++i) {
    stream.payloads.push_back(Payload(seed + i, (i * 1777 + seed) % 5000));
    const std::string f = Frame(stream.payloads.back());
    // Every other cut falls inside the 4-byte header.
    const size_t head = 1 + static_cast<size_t>(i) * 7919 % (i % 2 == 1 ? 3 : f.size() - 1);
    stream.pieces.push_back(rest + f.substr(0, head));
    rest = f.substr(head);
  }
  stream.pieces.push_back(rest);
  return stream;
}

// Whether the next bytes from `s` are the frame of `payload`.
bool ReceivedFrame(qvplat::Socket s, const std::string& payload) {
  const std::string f = Frame(payload);
  std::string got(f.size(), '\0');
  return qvtest::RecvExactly(s, &got[0], got.size()) && got == f;
}

bool EchoedBack(qvplat::Socket s, const std::string& payload) {
  const std::string f = Frame(payload);
  return qvtest::SendAll(s, f.data(), f.size()) && ReceivedFrame(s, payload);
}

// The server side: echoes every frame on the connection it came from.
class EchoSession : public QvConnectionSink {
 public:
  void OnConnected(QvSocket* c) override { connection.store(c); }
  void OnConnectFailed() override {}
  void OnDisconnected() override {}
  void OnPacket(const char* data, int length) override { connection.load()->Send(data, length); }
  std::atomic<QvSocket*> connection{nullptr};
};

// The sessions the echo listener made; kept by the test, so they outlive the
// handler ReleaseHandlers deletes.
class EchoSessions {
 public:
  EchoSession* Add() {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.push_back(std::make_unique<EchoSession>());
    return sessions_.back().get();
  }
  std::vector<QvSocket*> Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<QvSocket*> all;
    for (auto& s : sessions_) {
      if (QvSocket* c = s->connection.load()) all.push_back(c);
    }
    return all;
  }
  // Not under the lock: deleting waits for the worker to leave the connection.
  void DeleteConnections() {
    std::vector<QvSocket*> doomed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& s : sessions_) doomed.push_back(s->connection.exchange(nullptr));
    }
    for (QvSocket* c : doomed) delete c;
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<EchoSession>> sessions_;
};

class EchoAcceptor : public QvAcceptHandler {
 public:
  explicit EchoAcceptor(EchoSessions* sessions) : sessions_(sessions) {}
  void OnAccept(const sockaddr_in*) override {}
  QvConnectionSink* CreateSink() override { return sessions_->Add(); }

 private:
  EchoSessions* sessions_;
};

// The client side of one connection: collects what comes back.
class Collector : public QvConnectionSink {
 public:
  void OnConnected(QvSocket* c) override { connection.store(c); }
  void OnConnectFailed() override {}
  void OnDisconnected() override {}
  void OnPacket(const char* data, int length) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      payloads_.emplace_back(data, static_cast<size_t>(length));
    }
    received.Notify();
  }
  std::string Echo(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return i < payloads_.size() ? payloads_[i] : "<missing>";
  }

  // Sends one payload per size, with at most `window` of them awaiting their
  // echo; checks the echoes in order. Returns what went wrong, or "".
  std::string EchoRun(int seed, const std::vector<int>& sizes, int window) {
    QvSocket* c = connection.load();
    if (c == nullptr) return "not connected";
    const int before = received.Count();
    std::vector<std::string> sent;
    for (size_t i = 0; i < sizes.size(); ++i) {
      const int due = before + static_cast<int>(i) - window + 1;
      if (due > before && !received.WaitFor(due)) return "no echo of frame " + std::to_string(due - before - 1);
      sent.push_back(Payload(seed + static_cast<int>(i), sizes[i]));
      c->Send(sent.back().data(), sizes[i]);
    }
    if (!received.WaitFor(before + static_cast<int>(sizes.size()))) return "echoes missing";
    for (size_t i = 0; i < sent.size(); ++i) {
      if (Echo(static_cast<size_t>(before) + i) != sent[i]) {
        return "echo " + std::to_string(i) + " (" + std::to_string(sent[i].size()) + " bytes) differs";
      }
    }
    return "";
  }

  std::atomic<QvSocket*> connection{nullptr};
  qvtest::Event received;

 private:
  std::mutex mutex_;
  std::vector<std::string> payloads_;
};

// A module with a connector; every connection it made is deleted at the end.
class ClientSide {
 public:
  ClientSide() : module(CreateNetModule()), connector(module->CreateClient(0)) {
    codec_ = static_cast<QvNetClientImpl*>(connector)->Codec();
    module->Start(0);
  }
  ~ClientSide() {
    for (auto& c : collectors_) delete c->connection.exchange(nullptr);
    if (connector != nullptr) connector->Release();
    delete codec_;  // a connector never deletes its own codec; its connections are gone
    if (module != nullptr) module->Release();
  }
  Collector& Connect(int port) {
    collectors_.push_back(std::make_unique<Collector>());
    connector->SetSink(collectors_.back().get());
    connector->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
    return *collectors_.back();
  }

  QvNetModule* module;
  QvNetClient* connector;

 private:
  QvPacketCodec* codec_;
  std::vector<std::unique_ptr<Collector>> collectors_;
};

// A library listener echoing every frame, plus the client side, in one process.
class InProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = client.module->CreateListener();
    listener->SetAcceptHandler(new EchoAcceptor(&sessions));
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
      const int candidate = FreePort();
      if (listener->Listen("127.0.0.1", candidate)) port = candidate;
    }
    ASSERT_NE(port, 0);
  }
  void TearDown() override {
    listener->Close();
    sessions.DeleteConnections();
    listener->ReleaseHandlers();
    delete listener;
  }

  ClientSide client;
  EchoSessions sessions;
  QvListenerApi* listener = nullptr;
  int port = 0;
};

TEST_F(InProcessTest, FramesFromEmptyToLargestComeBackWhole) {
  Collector& c = client.Connect(port);
  ASSERT_NE(c.connection.load(), nullptr);
  EXPECT_EQ(c.EchoRun(1, {0, 1, 1000, kLargestPayload, 0, kLargestPayload - 1, 1}, 1), "");
}

TEST_F(InProcessTest, PipelinedFramesOnTwoConnectionsComeBackInOrder) {
  Collector& first = client.Connect(port);
  Collector& second = client.Connect(port);
  ASSERT_NE(first.connection.load(), nullptr);
  ASSERT_NE(second.connection.load(), nullptr);
  std::string results[2];
  std::thread other([&] { results[1] = second.EchoRun(200, PipelinedSizes(2), 3); });
  results[0] = first.EchoRun(100, PipelinedSizes(1), 3);
  other.join();
  EXPECT_EQ(results[0], "");
  EXPECT_EQ(results[1], "");
}

TEST_F(InProcessTest, StreamCutInsideEveryFrameWrapsBothReceivingQueues) {
  // The listener's connection receives the cut stream and echoes each frame.
  CutStream toServer = MakeCutStream(300, 120);
  qvplat::Socket raw = RawConnect(port);
  ASSERT_NE(raw, qvplat::kInvalidSocket);
  for (size_t i = 0; i < toServer.pieces.size(); ++i) {
    ASSERT_TRUE(qvtest::SendAll(raw, toServer.pieces[i].data(), toServer.pieces[i].size()));
    if (i > 0) {
      ASSERT_TRUE(ReceivedFrame(raw, toServer.payloads[i - 1])) << "frame " << i - 1;
    }
  }
  qvplat::CloseSocket(raw);

  // A client's connection receives it from a raw server.
  CutStream toClient = MakeCutStream(400, 120);
  int serverPort = 0;
  qvplat::Socket server = qvtest::ListenLoopback(&serverPort);
  ASSERT_NE(server, qvplat::kInvalidSocket);
  Collector& c = client.Connect(serverPort);
  qvplat::Socket peer = qvplat::AcceptPeer(server, nullptr);
  qvplat::CloseSocket(server);
  ASSERT_NE(c.connection.load(), nullptr);
  for (size_t i = 0; i < toClient.pieces.size(); ++i) {
    ASSERT_TRUE(qvtest::SendAll(peer, toClient.pieces[i].data(), toClient.pieces[i].size()));
    if (i > 0) {
      ASSERT_TRUE(c.received.WaitFor(static_cast<int>(i))) << "frame " << i - 1;
    }
  }
  for (size_t i = 0; i < toClient.payloads.size(); ++i) EXPECT_EQ(c.Echo(i), toClient.payloads[i]) << "frame " << i;
  qvplat::CloseSocket(peer);
}

TEST_F(InProcessTest, ConnectionsOutliveTheModuleAndTheConnector) {
  Collector& c = client.Connect(port);
  ASSERT_NE(c.connection.load(), nullptr);
  client.module->Release();
  client.module = nullptr;
  client.connector->Release();
  client.connector = nullptr;
  EXPECT_EQ(c.EchoRun(3, {10, 5000, kLargestPayload}, 1), "");
  // The listener goes on accepting too.
  qvplat::Socket raw = RawConnect(port);
  ASSERT_NE(raw, qvplat::kInvalidSocket);
  EXPECT_TRUE(EchoedBack(raw, "late"));
  qvplat::CloseSocket(raw);
}

TEST_F(InProcessTest, HundredPeersAtOnceAreEachEchoedOnTheirOwnConnection) {
  constexpr int kPeers = 100;
  // The listener's backlog is 5: handshakes beyond it are dropped by the
  // system and retried only seconds later, all together again. So no more
  // than that are under way at once; once every peer is in, all talk at once.
  std::atomic<int> handshakes{0};
  qvtest::Event allIn;
  std::vector<int> echoed(kPeers, 0);
  std::vector<std::thread> peers;
  for (int i = 0; i < kPeers; ++i) {
    peers.emplace_back([&, i] {
      const bool admitted = qvtest::WaitUntil([&] {
        int n = handshakes.load();
        return n < 5 && handshakes.compare_exchange_strong(n, n + 1);
      });
      qvplat::Socket s = RawConnect(port);
      bool ok = s != qvplat::kInvalidSocket && EchoedBack(s, Payload(i, 100 + i));
      if (admitted) --handshakes;
      allIn.Notify();
      ok = ok && allIn.WaitFor(kPeers) && EchoedBack(s, Payload(1000 + i, 3000 + 37 * i));
      echoed[static_cast<size_t>(i)] = ok;
      if (s != qvplat::kInvalidSocket) qvplat::CloseSocket(s);
    });
  }
  for (std::thread& t : peers) t.join();
  for (int i = 0; i < kPeers; ++i) EXPECT_TRUE(echoed[static_cast<size_t>(i)]) << "peer " << i;
  EXPECT_EQ(sessions.Connections().size(), static_cast<size_t>(kPeers));  // each its own
}

// ------------------------------------------------------------ two processes

// examples/echo_server as a child process on a free port.
class EchoServerProcess {
 public:
  // Starts it and waits until it accepts connections; false when it never did.
  bool Start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = FreePort();
      if (!child_.Start(QVNET_ECHO_SERVER, {std::to_string(port)})) return false;
      bool exited = false;
      const bool settled = qvtest::WaitUntil([&] {
        if (!child_.Running()) return exited = true;  // port taken meanwhile
        qvplat::Socket probe = RawConnect(port);
        if (probe == qvplat::kInvalidSocket) return false;
        qvplat::CloseSocket(probe);
        return true;
      });
      if (exited) continue;
      if (settled) return true;
      child_.Kill();
      return false;
    }
    return false;
  }

  // Ends it; true when it was still running until then.
  bool Stop() { return child_.Kill(); }

  int port = 0;

 private:
  qvtest::ChildProcess child_;
};

TEST(EchoServerProcessTest, LibraryClientExchangesFramesWithTheExample) {
  EchoServerProcess server;
  ASSERT_TRUE(server.Start());
  {
    ClientSide client;
    Collector& c = client.Connect(server.port);
    ASSERT_NE(c.connection.load(), nullptr);
    EXPECT_EQ(c.EchoRun(1, {0, 1, 1000, kLargestPayload}, 1), "");
    EXPECT_EQ(c.EchoRun(7, PipelinedSizes(7), 3), "");
  }
  EXPECT_TRUE(server.Stop()) << "echo_server ended before it was stopped";
}

// POSIX only: the peer is a Python program, which a Windows test process
// under Wine cannot start.
#if !defined(_WIN32)
TEST(EchoServerProcessTest, ForeignPeerFindsFramesEchoedAndBadOnesRefused) {
  EchoServerProcess server;
  ASSERT_TRUE(server.Start());
  const std::string command =
      "timeout 60 python3 '" QVNET_FOREIGN_PEER "' --port " + std::to_string(server.port) + " 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "foreign peer: " << output;
  EXPECT_TRUE(server.Stop()) << "echo_server ended before it was stopped";
}

#endif

}  // namespace

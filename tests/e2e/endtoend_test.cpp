// The whole library at work: a listener and clients in one process, the
// echo_server example in a second process, and a peer written in Python
// against it. Every echo is checked byte for byte.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "qvnet.h"
#include "support/qvtestpeers.h"
#include "support/qvtestsupport.h"

namespace {

using qvtest::Frame;
using qvtest::RawConnect;
using qvtest::Sink;

constexpr int kLargestPayload = 40955;

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
    stream.payloads.push_back(qvtest::Pattern(seed + i, (i * 1777 + seed) % 5000));
    const std::string f = Frame(stream.payloads.back());
    // Every other cut falls inside the 4-byte header.
    const size_t head = 1 + static_cast<size_t>(i) * 7919 % (i % 2 == 1 ? 3 : f.size() - 1);
    stream.pieces.push_back(rest + f.substr(0, head));
    rest = f.substr(head);
  }
  stream.pieces.push_back(rest);
  return stream;
}

bool EchoedBack(qvplat::Socket s, const std::string& payload) {
  const std::string f = Frame(payload);
  return qvtest::SendAll(s, f.data(), f.size()) && qvtest::Receive(s, f.size()) == f;
}

// Sends one payload per size on the sink's connection, with at most `window`
// of them awaiting their echo, and checks the echoes in order. What went
// wrong, or "".
std::string EchoRun(Sink& sink, int seed, const std::vector<int>& sizes, int window) {
  QvSocket* c = sink.connection.load();
  if (c == nullptr) return "not connected";
  const int before = sink.packets.Count();
  std::vector<std::string> sent;
  for (size_t i = 0; i < sizes.size(); ++i) {
    const int due = before + static_cast<int>(i) - window + 1;
    if (due > before && !sink.packets.WaitFor(due)) return "no echo of frame " + std::to_string(due - before - 1);
    sent.push_back(qvtest::Pattern(seed + static_cast<int>(i), sizes[i]));
    c->Send(sent.back().data(), sizes[i]);
  }
  if (!sink.packets.WaitFor(before + static_cast<int>(sizes.size()))) return "echoes missing";
  for (size_t i = 0; i < sent.size(); ++i) {
    if (sink.Packet(static_cast<size_t>(before) + i) != sent[i]) {
      return "echo " + std::to_string(i) + " (" + std::to_string(sent[i].size()) + " bytes) differs";
    }
  }
  return "";
}

// A library listener echoing every frame, and a connector, in one process.
class InProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = client.module->CreateListener();
    listener->SetAcceptHandler(sessions.NewHandler());
    ASSERT_NE(port = qvtest::ListenOnAnyPort(listener), 0);
  }
  void TearDown() override { qvtest::DestroyListener(listener, &sessions); }

  qvtest::Connector client;
  qvtest::Peers sessions{true};
  QvListenerApi* listener = nullptr;
  int port = 0;
};

TEST_F(InProcessTest, PipelinedFramesOnTwoConnectionsComeBackInOrder) {
  Sink& first = client.Connect(port);
  Sink& second = client.Connect(port);
  std::string other;
  std::thread thread([&] { other = EchoRun(second, 200, PipelinedSizes(2), 3); });
  EXPECT_EQ(EchoRun(first, 100, PipelinedSizes(1), 3), "");
  thread.join();
  EXPECT_EQ(other, "");
}

TEST_F(InProcessTest, StreamCutInsideEveryFrameWrapsBothReceivingQueues) {
  // The listener's connection receives the cut stream and echoes each frame.
  const CutStream toServer = MakeCutStream(300, 120);
  qvplat::Socket raw = RawConnect(port);
  ASSERT_NE(raw, qvplat::kInvalidSocket);
  for (size_t i = 0; i < toServer.pieces.size(); ++i) {
    ASSERT_TRUE(qvtest::SendAll(raw, toServer.pieces[i].data(), toServer.pieces[i].size()));
    if (i > 0) {
      const std::string f = Frame(toServer.payloads[i - 1]);
      ASSERT_TRUE(qvtest::Receive(raw, f.size()) == f) << "frame " << i - 1;
    }
  }
  qvplat::CloseSocket(raw);

  // A client's connection receives it from a raw server.
  const CutStream toClient = MakeCutStream(400, 120);
  int serverPort = 0;
  qvplat::Socket server = qvtest::ListenLoopback(&serverPort);
  ASSERT_NE(server, qvplat::kInvalidSocket);
  Sink& c = client.Connect(serverPort);
  qvplat::Socket peer = qvplat::AcceptPeer(server, nullptr);
  qvplat::CloseSocket(server);
  ASSERT_NE(c.connection.load(), nullptr);
  for (size_t i = 0; i < toClient.pieces.size(); ++i) {
    ASSERT_TRUE(qvtest::SendAll(peer, toClient.pieces[i].data(), toClient.pieces[i].size()));
    ASSERT_TRUE(c.packets.WaitFor(static_cast<int>(i))) << "frame " << i - 1;
  }
  for (size_t i = 0; i < toClient.payloads.size(); ++i) EXPECT_EQ(c.Packet(i), toClient.payloads[i]) << "frame " << i;
  qvplat::CloseSocket(peer);
}

TEST_F(InProcessTest, ConnectionsOutliveTheModuleAndTheConnector) {
  Sink& c = client.Connect(port);
  client.module->Release();
  client.module = nullptr;
  client.client->Release();
  client.client = nullptr;
  EXPECT_EQ(EchoRun(c, 3, {10, 5000, kLargestPayload}, 1), "");
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
      bool ok = s != qvplat::kInvalidSocket && EchoedBack(s, qvtest::Pattern(i, 100 + i));
      if (admitted) --handshakes;
      allIn.Notify();
      ok = ok && allIn.WaitFor(kPeers) && EchoedBack(s, qvtest::Pattern(1000 + i, 3000 + 37 * i));
      echoed[static_cast<size_t>(i)] = ok;
      if (s != qvplat::kInvalidSocket) qvplat::CloseSocket(s);
    });
  }
  for (std::thread& t : peers) t.join();
  for (int i = 0; i < kPeers; ++i) EXPECT_TRUE(echoed[static_cast<size_t>(i)]) << "peer " << i;
  EXPECT_EQ(sessions.Count(), static_cast<size_t>(kPeers));  // each its own connection
}

// ------------------------------------------------ examples/echo_server

TEST(EchoServerProcessTest, LibraryClientExchangesFramesWithTheExample) {
  qvtest::ChildProcess server;
  const int port = qvtest::StartOnAnyPort(&server, QVNET_ECHO_SERVER);
  ASSERT_NE(port, 0);
  {
    qvtest::Connector client;
    Sink& c = client.Connect(port);
    EXPECT_EQ(EchoRun(c, 1, {0, 1, 1000, kLargestPayload, 0, kLargestPayload - 1, 1}, 1), "");
    EXPECT_EQ(EchoRun(c, 7, PipelinedSizes(7), 3), "");
  }
  EXPECT_TRUE(server.Kill()) << "echo_server ended before it was stopped";
}

// POSIX only: the peer is a Python program, which a Windows test process
// under Wine cannot start.
#if !defined(_WIN32)
TEST(EchoServerProcessTest, ForeignPeerFindsFramesEchoedAndBadOnesRefused) {
  qvtest::ChildProcess server;
  const int port = qvtest::StartOnAnyPort(&server, QVNET_ECHO_SERVER);
  ASSERT_NE(port, 0);
  const std::string command = "timeout 60 python3 '" QVNET_FOREIGN_PEER "' --port " + std::to_string(port) + " 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "foreign peer: " << output;
  EXPECT_TRUE(server.Kill()) << "echo_server ended before it was stopped";
}
#endif

}  // namespace

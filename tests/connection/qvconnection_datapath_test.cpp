// A connection's data path over loopback, against a peer made of plain
// sockets: framing on the way out, frame cutting on the way in, both queues
// wrapping round, the size limits, malformed headers, and sends, closes and
// sink callbacks racing the worker.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connectiontestpeer.h"

namespace {

using namespace conntest;

class ConnectionDataTest : public ConnectionTest {
 protected:
  // Has the worker read `bytes` sent by the peer in one go: stops it, lets
  // them all arrive, then starts it, so that one recv() takes them all.
  void DeliverInOneRead(QvConnection& conn, const RawSocket& peer, const std::string& bytes) {
    manager.Stop();
    ASSERT_TRUE(qvtest::SendAll(peer.Get(), bytes.data(), bytes.size()));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Pending(conn.GetSocket()) == static_cast<int>(bytes.size()); }));
    ASSERT_EQ(manager.Start(), 0);
  }
};

TEST_F(ConnectionDataTest, SendsQueuedBeforeTheWorkerRunsLeaveAsFramesInOrder) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  manager.Stop();
  RawSocket peer = ConnectPeer(*conn);
  const std::string a = Pattern(1, 10), b = Pattern(2, 20);

  qvtest::BeginCapture();
  conn->Send(a.data(), 10);
  conn->Send(b.data(), 20);
  EXPECT_EQ(qvtest::EndCapture(), "14 \n24 \n");
  ASSERT_EQ(manager.Start(), 0);

  std::string wire(38, '\0');
  ASSERT_TRUE(qvtest::RecvExactly(peer.Get(), &wire[0], wire.size()));
  EXPECT_EQ(wire, Frame(a) + Frame(b));
}

TEST_F(ConnectionDataTest, FrameTrickledByteByByteArrivesOnceAndWhole) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  const std::string frame = Frame(Pattern(3, 21));

  for (char byte : frame) {
    ASSERT_TRUE(qvtest::SendAll(peer.Get(), &byte, 1));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return Pending(conn->GetSocket()) == 0; }));  // read alone
  }
  const std::string next = Frame("next");
  ASSERT_TRUE(qvtest::SendAll(peer.Get(), next.data(), next.size()));
  ASSERT_TRUE(sink.packet.WaitFor(2));
  EXPECT_EQ(sink.Packets(), (std::vector<std::string>{Pattern(3, 21), "next"}));
}

TEST_F(ConnectionDataTest, FramesOfOneReadIncludingAnEmptyOneAreDeliveredInOrder) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  const std::vector<std::string> payloads{"first", "", Pattern(4, 3000)};

  qvtest::BeginCapture();
  DeliverInOneRead(*conn, peer, Frame(payloads[0]) + Frame(payloads[1]) + Frame(payloads[2]));
  ASSERT_TRUE(sink.packet.WaitFor(3));
  manager.Stop();
  const std::string out = qvtest::EndCapture();

  EXPECT_EQ(sink.Packets(), payloads);
  EXPECT_EQ(Occurrences(out, qvtext::kTraceConnectionKind), 1u);  // one read served them all
}

// Frames of many sizes, up to the largest, in one stream: the queue fills,
// wraps round, and has frames (and headers) straddle its end.
TEST_F(ConnectionDataTest, ReceiveQueueWrapsRoundWithoutLosingAByte) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  static const size_t kSizes[] = {6997, 0, 1, 40956, 13, 7001, 25000, 2, 33333, 40000, 3, 9999};
  std::vector<std::string> payloads;
  std::string wire;
  for (unsigned i = 0; i < 240; ++i) {
    payloads.push_back(Pattern(i, kSizes[i % 12]));
    wire += Frame(payloads.back());
  }
  ASSERT_TRUE(qvtest::SendAll(peer.Get(), wire.data(), wire.size()));
  ASSERT_TRUE(sink.packet.WaitFor(static_cast<int>(payloads.size())));
  const std::vector<std::string> got = sink.Packets();
  ASSERT_EQ(got.size(), payloads.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(got[i] == payloads[i]) << "frame " << i;
  EXPECT_EQ(sink.disconnected.Count(), 0);
}

TEST_F(ConnectionDataTest, HeaderStraddlingTheQueueEndIsReadAcrossIt) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  // 40958 bytes leave two of the queue's 40960 for the next header.
  const std::string big = Pattern(5, 40954), next = Pattern(6, 96);

  DeliverInOneRead(*conn, peer, Frame(big) + Frame(next));
  ASSERT_TRUE(sink.packet.WaitFor(2));
  EXPECT_TRUE(sink.Packets() == (std::vector<std::string>{big, next}));
}

TEST_F(ConnectionDataTest, FrameBegunMidQueueStillGetsRoomForAllItsBytes) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  // The 30000-byte frame starts at 25000 with its first 1000 bytes; behind
  // them there is less room than in front, and neither alone is enough.
  const std::string first = Pattern(7, 24996), second = Frame(Pattern(8, 29996));

  DeliverInOneRead(*conn, peer, Frame(first) + second.substr(0, 1000));
  ASSERT_TRUE(sink.packet.WaitFor(1));
  ASSERT_TRUE(qvtest::SendAll(peer.Get(), second.data() + 1000, second.size() - 1000));
  ASSERT_TRUE(sink.packet.WaitFor(2));
  EXPECT_TRUE(sink.Packets() == (std::vector<std::string>{first, Pattern(8, 29996)}));
  EXPECT_EQ(sink.disconnected.Count(), 0);
}

TEST_F(ConnectionDataTest, SendQueueWrapsRoundWhileThePeerLags) {
  RecordingSink sink;
  int port = 0;
  RawSocket listener = Listen(&port);
  // Small socket buffers keep most unsent bytes in the connection's queue.
  int small = 4096;
  qvtest::SetOption(listener.Get(), SOL_SOCKET, SO_RCVBUF, small);
  auto conn = NewConnection(&sink);
  conn->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  RawSocket peer = Accept(listener);
  qvtest::SetOption(conn->GetSocket(), SOL_SOCKET, SO_SNDBUF, small);

  // Never more than 17000 bytes outstanding: the queue always has a free
  // stretch for the largest frame, however its regions lie.
  auto payloadOf = [](size_t i) { return Pattern(static_cast<unsigned>(i), (i * 977u) % 2900); };
  std::vector<std::string> sent;
  size_t outstanding = 0;
  std::string received;
  qvtest::BeginCapture();
  while (sent.size() < 600) {
    for (std::string p = payloadOf(sent.size()); outstanding + p.size() + 4 <= 17000; p = payloadOf(sent.size())) {
      conn->Send(p.data(), static_cast<int>(p.size()));
      outstanding += p.size() + 4;
      sent.push_back(p);
    }
    std::string chunk(3000 < outstanding ? 3000 : outstanding, '\0');
    ASSERT_TRUE(qvtest::RecvExactly(peer.Get(), &chunk[0], chunk.size()));
    received += chunk;
    outstanding -= chunk.size();
  }
  std::string rest(outstanding, '\0');
  ASSERT_TRUE(qvtest::RecvExactly(peer.Get(), &rest[0], rest.size()));
  EXPECT_EQ(Occurrences(qvtest::EndCapture(), qvtext::kTraceBufferFull), 0u);

  std::string expected;
  for (const std::string& p : sent) expected += Frame(p);
  ASSERT_EQ(received.size() + rest.size(), expected.size());
  EXPECT_TRUE(received + rest == expected);  // not printed: 1.5 MB
}

TEST_F(ConnectionDataTest, LargestPayloadIsSentAndOneByteMoreIsSilentlyIgnored) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  const std::string largest = Pattern(9, 40955);

  conn->Send(largest.data(), 40955);
  std::string payload;
  ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
  EXPECT_EQ(payload.size() + 4, 40959u);
  EXPECT_TRUE(payload == largest);

  manager.Stop();
  const std::string tooLarge = Pattern(10, 40956);
  qvtest::BeginCapture();
  conn->Send(tooLarge.data(), 40956);
  EXPECT_EQ(qvtest::EndCapture(), "");
  ASSERT_EQ(manager.Start(), 0);
  conn->Send("after", 5);
  ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
  EXPECT_EQ(payload, "after");  // nothing went out before it
}

TEST_F(ConnectionDataTest, FullQueueRefusesAFrameThatFitsOnceDrained) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);

  manager.Stop();
  for (unsigned i = 0; i < 4; ++i) conn->Send(Pattern(i, 10000).data(), 10000);  // 40016 of 40960
  const std::string refused = Pattern(99, 10000);
  qvtest::BeginCapture();
  conn->Send(refused.data(), 10000);
  EXPECT_EQ(qvtest::EndCapture(), std::string("10004 \n") + qvtext::kTraceBufferFull);
  ASSERT_EQ(manager.Start(), 0);

  std::string payload;
  for (unsigned i = 0; i < 4; ++i) {
    ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
    EXPECT_TRUE(payload == Pattern(i, 10000)) << "frame " << i;
  }
  conn->Send(refused.data(), 10000);
  ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
  EXPECT_TRUE(payload == refused);
}

// A header below 4 describes no frame: the frames before it are delivered,
// then the connection closes.
class MalformedHeaderTest : public ConnectionDataTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(MalformedHeaderTest, ClosesTheConnectionOnce) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);

  const std::string wire = Frame("ok") + Header(GetParam()) + Frame("never");
  ASSERT_TRUE(qvtest::SendAll(peer.Get(), wire.data(), wire.size()));
  ASSERT_TRUE(sink.disconnected.WaitFor(1));
  manager.Stop();

  EXPECT_EQ(sink.disconnected.Count(), 1);
  EXPECT_EQ(sink.Packets(), std::vector<std::string>{"ok"});
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_TRUE(SeesEnd(peer.Get()));
}

INSTANTIATE_TEST_SUITE_P(Headers, MalformedHeaderTest, ::testing::Values(0u, 1u, 2u, 3u));

TEST_F(ConnectionDataTest, FrameLongerThanTheQueueClosesTheConnection) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);

  const std::string wire = Header(50000) + std::string(40960, 'z');
  qvtest::SendAll(peer.Get(), wire.data(), wire.size());  // may fail once the connection is gone
  ASSERT_TRUE(sink.disconnected.WaitFor(1));
  manager.Stop();
  EXPECT_EQ(sink.disconnected.Count(), 1);
  EXPECT_EQ(sink.packet.Count(), 0);
  EXPECT_EQ(UsedSlots(), 0);
}

TEST_F(ConnectionDataTest, WithoutASinkFramesAreDroppedAndTheConnectionServes) {
  qvtest::SocketPair pair;
  ASSERT_TRUE(qvtest::MakeLoopbackPair(&pair));
  RawSocket peer(pair.remote);
  BoundWaits(peer.Get());
  ASSERT_TRUE(qvplat::SetNonBlocking(pair.local));  // as the listener's sockets are
  auto conn = NewConnection(nullptr);
  ASSERT_TRUE(conn->Attach(pair.local));

  const std::string wire = Frame("one") + Frame("") + Frame(Pattern(11, 5000));
  ASSERT_TRUE(qvtest::SendAll(peer.Get(), wire.data(), wire.size()));
  conn->Send("reply", 5);
  std::string payload;
  ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
  EXPECT_EQ(payload, "reply");

  peer.Reset();  // read through the frames to the end of the stream
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !conn->IsConnected(); }));
  EXPECT_EQ(UsedSlots(), 0);
}

TEST_F(ConnectionDataTest, ConcurrentSendersNeverInterleaveFrames) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  constexpr int kThreads = 4, kFrames = 500;
  // Payload: thread, sequence number (2 bytes), then a pattern of both.
  auto payloadOf = [](int t, int i) {
    std::string p{static_cast<char>(t), static_cast<char>(i & 0xFF), static_cast<char>(i >> 8)};
    return p + Pattern(static_cast<unsigned>(t * kFrames + i), static_cast<size_t>((i * 37 + t * 11) % 400));
  };

  std::atomic<int> frames{0};
  std::mutex faultsMutex;
  std::vector<std::string> faults;
  std::thread reader([&] {
    int last[kThreads] = {-1, -1, -1, -1};
    std::string p;
    while (RecvFrame(peer.Get(), &p)) {
      int t = p.size() >= 3 ? p[0] : -1;
      int i = p.size() >= 3 ? (static_cast<unsigned char>(p[1]) | static_cast<unsigned char>(p[2]) << 8) : -1;
      if (t < 0 || t >= kThreads || i <= last[t] || p != payloadOf(t, i)) {
        std::lock_guard<std::mutex> lock(faultsMutex);
        faults.push_back("bad frame after " + std::to_string(frames.load()));
        return;
      }
      last[t] = i;
      ++frames;
    }
  });

  qvtest::BeginCapture();
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kFrames; ++i) {
        std::string p = payloadOf(t, i);
        conn->Send(p.data(), static_cast<int>(p.size()));
      }
    });
  }
  for (std::thread& s : senders) s.join();
  const int refused = static_cast<int>(Occurrences(qvtest::EndCapture(), qvtext::kTraceBufferFull));

  EXPECT_TRUE(qvtest::WaitUntil([&] { return frames.load() == kThreads * kFrames - refused; }))
      << frames.load() << " frames, " << refused << " refused";
  conn->Close();  // ends the reader's stream
  reader.join();
  EXPECT_EQ(faults, std::vector<std::string>{});
  EXPECT_EQ(frames.load(), kThreads * kFrames - refused);
}

TEST_F(ConnectionDataTest, CloseWhileThePeerStreamsIsFinalAndQuiet) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    RecordingSink sink;
    auto conn = NewConnection(&sink);
    RawSocket peer = ConnectPeer(*conn);
    std::thread streamer([&] {
      const std::string frame = Frame(Pattern(static_cast<unsigned>(round), 700));
      for (int i = 0; i < 1000000 && qvtest::SendAll(peer.Get(), frame.data(), frame.size()); ++i) {
      }
    });
    ASSERT_TRUE(sink.packet.WaitFor(5));
    conn->Close();
    const int packetsAtClose = sink.packet.Count();
    streamer.join();

    EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
    EXPECT_EQ(UsedSlots(), 0);
    EXPECT_EQ(sink.packet.Count(), packetsAtClose);
    EXPECT_EQ(sink.disconnected.Count(), 0);
  }
}

TEST_F(ConnectionDataTest, SinkMaySendFromInsideOnPacket) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  QvConnection* raw = conn.get();
  sink.onPacket = [raw](const char* data, int length) { raw->Send(data, length); };
  RawSocket peer = ConnectPeer(*conn);

  const std::vector<std::string> payloads{"echo", Pattern(12, 4000), ""};
  std::string wire;
  for (const std::string& p : payloads) wire += Frame(p);
  ASSERT_TRUE(qvtest::SendAll(peer.Get(), wire.data(), wire.size()));
  std::string back(wire.size(), '\0');
  ASSERT_TRUE(qvtest::RecvExactly(peer.Get(), &back[0], back.size()));
  EXPECT_TRUE(back == wire);
}

TEST_F(ConnectionDataTest, SinkMayCloseFromInsideOnPacket) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  QvConnection* raw = conn.get();
  sink.onPacket = [raw](const char*, int) { raw->Close(); };
  RawSocket peer = ConnectPeer(*conn);

  DeliverInOneRead(*conn, peer, Frame("a") + Frame("b") + Frame("c"));
  ASSERT_TRUE(sink.packet.WaitFor(1));
  EXPECT_TRUE(SeesEnd(peer.Get()));
  manager.Stop();
  EXPECT_EQ(sink.disconnected.Count(), 0);
  EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
  EXPECT_EQ(UsedSlots(), 0);
}

// The peer resets the stream while a frame waits to go: the read still
// delivers what came before the reset, the write then fails, and the
// connection closes once, logging the reset. (Closing from the write side
// must keep the lock order of every other close.)
TEST_F(ConnectionDataTest, ResetWhileAFrameWaitsToGoDisconnectsOnce) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  const size_t linesBefore = LogLines().size();

  manager.Stop();
  conn->Send("waiting", 7);
  const std::string frame = Frame("last words");
  ASSERT_TRUE(qvtest::SendAll(peer.Get(), frame.data(), frame.size()));
  linger abort{1, 0};
  qvtest::SetOption(peer.Get(), SOL_SOCKET, SO_LINGER, abort);
  peer.Reset();
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Ready(conn->GetSocket(), POLLERR); }));
  ASSERT_EQ(manager.Start(), 0);

  ASSERT_TRUE(sink.disconnected.WaitFor(1));
  manager.Stop();
  EXPECT_EQ(sink.disconnected.Count(), 1);
  EXPECT_EQ(sink.Packets(), std::vector<std::string>{"last words"});
  EXPECT_EQ(UsedSlots(), 0);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), linesBefore + 1);
  EXPECT_NE(lines.back().find(qvtext::kErrConnReset), std::string::npos);
}

}  // namespace

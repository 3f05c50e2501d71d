// A connection's data path over loopback, against a peer made of plain
// sockets: framing on the way out, frame cutting on the way in, frames that
// cross reads and queue blocks, the size limits, bad headers, and sends,
// closes and sink callbacks racing the worker.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connection/qvchunkpool.h"
#include "support/qvtestpeers.h"
#include "support/qvworkerfixture.h"

namespace {

using namespace qvtest;
using Payloads = std::vector<std::string>;

class ConnectionDataTest : public ConnectionTest {
 protected:
  // Has the worker read `bytes` sent by the peer in one go: stops it, lets
  // them all arrive, then starts it, so that one recv() takes them all.
  void DeliverInOneRead(const RawSocket& peer, const std::string& bytes) {
    manager.Stop();
    ASSERT_TRUE(SendAll(peer, bytes));
    ASSERT_TRUE(
        qvtest::WaitUntil([&] { return qvtest::BytesPending(conn->GetSocket()) == static_cast<int>(bytes.size()); }));
    ASSERT_EQ(manager.Start(), 0);
  }
};

// Reads of chosen sizes that leave the start of a frame where the receive
// queue's free stretches cannot complete it in place: a frame whose bytes
// straddle the queue's two regions, and one that needs all the room there
// is, are delivered whole.
TEST_F(ConnectionDataTest, FramesAcrossTheReceiveQueuesRegionsArriveWhole) {
  struct Case {
    const char* what;
    std::vector<size_t> payloads;
    std::vector<size_t> reads;
  };
  const Case cases[] = {
      // 5000 bytes of the second frame end region A; the rest begins region B.
      {"a frame across both regions", {29996, 7996, 100}, {35000, 3104}},
      // 10000 bytes of the 40960-byte frame wait behind 20000 free at the
      // base and 10960 behind them: moved to the base, it completes.
      {"the largest frame behind another", {19996, 40956}, {30000, 20000, 10960}},
  };
  RawSocket peer = Connected();
  Payloads payloads;  // of every case so far
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string wire;
    for (size_t n : c.payloads) {
      payloads.push_back(Pattern(static_cast<unsigned>(payloads.size()), n));
      wire += Frame(payloads.back());
    }
    size_t at = 0;
    for (size_t n : c.reads) {
      ASSERT_NO_FATAL_FAILURE(DeliverInOneRead(peer, wire.substr(at, n)));
      ASSERT_TRUE(qvtest::WaitUntil([&] { return qvtest::BytesPending(conn->GetSocket()) == 0; }));
      at += n;
    }
    ASSERT_EQ(at, wire.size());
    ASSERT_TRUE(sink.packet.WaitFor(static_cast<int>(payloads.size())));
    EXPECT_TRUE(sink.Packets() == payloads);
    EXPECT_EQ(conn->Carried(), 0u);  // the next case starts with an empty queue
  }
}

TEST_F(ConnectionDataTest, FrameTrickledByteByByteArrivesOnceAndWhole) {
  RawSocket peer = Connected();
  for (char byte : Frame(Pattern(3, 21))) {
    ASSERT_TRUE(SendAll(peer, std::string(1, byte)));
    ASSERT_TRUE(qvtest::WaitUntil([&] { return qvtest::BytesPending(conn->GetSocket()) == 0; }));  // read alone
  }
  ASSERT_TRUE(SendAll(peer, Frame("next")));
  ASSERT_TRUE(sink.packet.WaitFor(2));
  EXPECT_EQ(sink.Packets(), (Payloads{Pattern(3, 21), "next"}));
}

// Frames of many sizes, up to the largest, in one stream: frames (and
// headers) straddle the reads, and their starts are carried to the next.
TEST_F(ConnectionDataTest, FramesOfEverySizeCrossReadsWithoutLosingAByte) {
  RawSocket peer = Connected();
  static const size_t kSizes[] = {6997, 0, 1, 40956, 13, 7001, 25000, 2, 33333, 40000, 3, 9999};
  Payloads payloads;
  std::string wire;
  for (unsigned i = 0; i < 240; ++i) {
    payloads.push_back(Pattern(i, kSizes[i % 12]));
    wire += Frame(payloads.back());
  }
  ASSERT_TRUE(SendAll(peer, wire));
  ASSERT_TRUE(sink.packet.WaitFor(static_cast<int>(payloads.size())));
  const Payloads got = sink.Packets();
  ASSERT_EQ(got.size(), payloads.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(got[i] == payloads[i]) << "frame " << i;
  EXPECT_EQ(sink.disconnected.Count(), 0);
}

// Frames of the given sizes: the first `split` bytes of their stream come
// in one read, the rest once the frames complete in them were delivered.
struct OneRead {
  std::vector<size_t> sizes;
  size_t split;
};
class OneReadTest : public ConnectionDataTest, public ::testing::WithParamInterface<OneRead> {};

TEST_P(OneReadTest, FramesArriveWholeAndInOrder) {
  RawSocket peer = Connected();
  Payloads payloads;
  std::string wire;
  int inFirstRead = 0;
  for (size_t size : GetParam().sizes) {
    payloads.push_back(Pattern(static_cast<unsigned>(payloads.size()), size));
    wire += Frame(payloads.back());
    inFirstRead += wire.size() <= GetParam().split ? 1 : 0;
  }
  DeliverInOneRead(peer, wire.substr(0, GetParam().split));
  if (GetParam().split < wire.size()) {
    ASSERT_TRUE(sink.packet.WaitFor(inFirstRead));
    ASSERT_TRUE(SendAll(peer, wire.substr(GetParam().split)));
  }
  ASSERT_TRUE(sink.packet.WaitFor(static_cast<int>(payloads.size())));
  EXPECT_TRUE(sink.Packets() == payloads);
  EXPECT_EQ(sink.disconnected.Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Splits, OneReadTest,
                         ::testing::Values(
                             // Several frames, one of them empty, in one read.
                             OneRead{{5, 0, 3000}, std::string::npos},
                             // 40958 bytes leave two of the queue's 40960 for the next header.
                             OneRead{{40954, 96}, std::string::npos},
                             // The 30000-byte frame starts at 25000 with its first 1000 bytes;
                             // behind them there is less room than in front, and neither alone
                             // is enough.
                             OneRead{{24996, 29996}, 26000}));

TEST_F(ConnectionDataTest, SendQueueCrossesBlocksWhileThePeerLags) {
  // Small socket buffers keep most unsent bytes in the connection's queue.
  int small = 4096;
  qvtest::SetOption(listener.Get(), SOL_SOCKET, SO_RCVBUF, small);
  conn = NewConnection(&sink);
  conn->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  RawSocket peer = Accept(listener);
  qvtest::SetOption(conn->GetSocket(), SOL_SOCKET, SO_SNDBUF, small);

  // Never more than 17000 bytes outstanding: the queue always has a free
  // stretch for the largest frame, however its regions lie.
  auto payloadOf = [](size_t i) { return Pattern(static_cast<unsigned>(i), (i * 977u) % 2900); };
  std::string expected, received;
  size_t sent = 0, outstanding = 0;
  qvtest::BeginCapture();
  while (sent < 600 || outstanding > 0) {
    for (std::string p = payloadOf(sent); sent < 600 && outstanding + p.size() + 4 <= 17000; p = payloadOf(++sent)) {
      conn->Send(p.data(), static_cast<int>(p.size()));
      outstanding += p.size() + 4;
      expected += Frame(p);
    }
    std::string chunk(std::min<size_t>(3000, outstanding), '\0');
    ASSERT_TRUE(qvtest::RecvExactly(peer.Get(), &chunk[0], chunk.size()));
    received += chunk;
    outstanding -= chunk.size();
  }
  EXPECT_EQ(Occurrences(qvtest::EndCapture(), qvtext::kTraceBufferFull), 0u);
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);  // not printed: 1.5 MB
}

// The largest payload goes out and one byte more is refused without a word;
// frames the queue cannot take yet wait behind it, with one trace when it
// fills, and go out in order.
TEST_F(ConnectionDataTest, SendSizeLimitsAndAFullQueue) {
  RawSocket peer = Connected();
  const std::string largest = Pattern(9, 40955), tooLarge = Pattern(10, 40956);
  std::string payload;
  conn->Send(largest.data(), 40955);
  ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
  EXPECT_TRUE(payload == largest);

  // Twice: once the overflow has gone out, the next fill is told again.
  for (int fill = 0; fill < 2; ++fill) {
    SCOPED_TRACE(fill);
    manager.Stop();
    qvtest::BeginCapture();
    conn->Send(tooLarge.data(), 40956);
    for (unsigned i = 0; i < 6; ++i) conn->Send(Pattern(i, 10000).data(), 10000);  // 40016 of 40960 fit
    EXPECT_EQ(qvtest::EndCapture(),
              std::string("10004 \n10004 \n10004 \n10004 \n10004 \n") + qvtext::kTraceBufferFull + "10004 \n");
    EXPECT_EQ(conn->QueuedBytes(), 6u * 10004u);
    ASSERT_EQ(manager.Start(), 0);
    for (unsigned i = 0; i < 6; ++i) {
      ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
      EXPECT_TRUE(payload == Pattern(i, 10000)) << "frame " << i;
    }
    ASSERT_TRUE(qvtest::WaitUntil([&] { return conn->QueuedBytes() == 0; }));
  }
}

// Whatever Send refuses queues nothing and asks the worker for nothing.
TEST_F(ConnectionDataTest, RefusedSendsQueueAndArmNothing) {
  RawSocket peer = Connected();
  manager.Stop();  // the interest stays as Send leaves it
  const std::string big = Pattern(3, 40956);
  qvtest::MarkerCodec marker;  // its '#' makes 40955 bytes one too many
  struct Case {
    const char* what;
    QvPacketCodec* codec;
    const char* data;
    int length;
  };
  for (const Case& c : {Case{"null with a length", &codec, nullptr, 5}, Case{"negative length", &codec, big.data(), -1},
                        Case{"over the framing", &codec, big.data(), 40956},
                        Case{"refused by the application's codec", &marker, big.data(), 40955}}) {
    SCOPED_TRACE(c.what);
    conn->SetCodec(c.codec);
    conn->Send(c.data, c.length);
    EXPECT_FALSE(conn->SendWithin(c.data, c.length, 0));
    EXPECT_FALSE(conn->SendWithin(c.data, c.length, 100));  // refused before any wait
    EXPECT_EQ(conn->QueuedBytes(), 0u);
    EXPECT_EQ(conn->Unsent(), 0);
    EXPECT_EQ(InterestOf(conn->GetSocket()) & WriteInterest, 0);
  }
  conn->SetCodec(&codec);
  // Nor does a connection that is not connected.
  std::unique_ptr<QvConnection> idle = NewConnection(&sink);
  EXPECT_FALSE(idle->SendWithin("x", 1, 100));
  EXPECT_EQ(idle->Unsent(), -1);
}

// SendWithin queues at once while no more than QVNET_SEND_HIGH_WATER (64K
// here) waits to be sent; above it, it waits for the worker's drain, and
// gives up when its time runs out or the session ends by Close or delete.
// With the send limit at the mark, it also waits while the frame would take
// the queue past the limit, instead of ending the connection. On the worker
// (in OnPacket) it never waits. In processes of their own, for the settings.
TEST_F(ConnectionDataTest, SendWithinWaitsWhileAboveTheHighWaterMark) {
  enum class End { kDrain, kTimeOut, kClose, kDelete, kOnTheWorker };
  const struct {
    const char* what;
    End end;
    bool queued;
    const char* limit = nullptr;
  } cases[] = {
      {"the worker drains the queue", End::kDrain, true},
      {"the wait runs out", End::kTimeOut, false},
      {"Close", End::kClose, false},
      {"delete", End::kDelete, false},
      {"no wait on the worker", End::kOnTheWorker, false},
      {"a frame that would pass the limit waits for room", End::kDrain, true, "64K"},
  };
  const std::string here = std::filesystem::current_path().string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QVTEST_EXPECT_CHILD(here, [&] {
      qvtest::SetEnvironment("QVNET_SEND_HIGH_WATER", "64K");
      if (c.limit != nullptr) qvtest::SetEnvironment("QVNET_SEND_LIMIT", c.limit);
      RawSocket peer = Connected();
      if (!conn->SendWithin("below", 5, 0)) return 1;
      std::string payload;
      if (!RecvFrame(peer.Get(), &payload) || payload != "below") return 2;
      const std::string big = Pattern(1, 40955);
      std::atomic<int> result{-1};
      qvtest::Event returned;
      if (c.end == End::kOnTheWorker) {
        // The worker drains nothing while it is inside OnPacket.
        sink.onPacket = [&](const char*, int) {
          for (int i = 0; i < 2; ++i) conn->Send(big.data(), static_cast<int>(big.size()));
          result = conn->SendWithin("last", 4, 3600000) ? 1 : 0;
          returned.Notify();
        };
        if (!SendAll(peer, Frame("go")) || !returned.WaitFor(1)) return 11;
        return result == 0 ? 0 : 12;
      }
      manager.Stop();  // nothing drains until the case says so
      // Above the mark; or, at the limit, below it with no room for the last.
      const int before = c.limit != nullptr ? 1 : 2;
      const std::string last = c.limit != nullptr ? big : std::string("last");
      const int lastLength = static_cast<int>(last.size());
      for (int i = 0; i < before; ++i) conn->Send(big.data(), static_cast<int>(big.size()));
      if (conn->Unsent() != before * 40959) return 3;
      if (conn->SendWithin(last.data(), lastLength, 0) || conn->SendWithin(last.data(), lastLength, -5)) return 4;
      std::thread waiter([&] {
        result = conn->SendWithin(last.data(), lastLength, c.end == End::kTimeOut ? 20 : 3600000) ? 1 : 0;
        returned.Notify();
      });
      if (c.end != End::kTimeOut && !qvtest::WaitUntil([&] { return conn->SendWaiters() == 1; })) return 5;
      if (c.end == End::kDrain && manager.Start() != 0) return 6;
      if (c.end == End::kClose) conn->Close();
      if (c.end == End::kDelete) conn.reset();  // returns once the waiter has left
      const bool woken = returned.WaitFor(1);
      waiter.join();
      if (!woken || result != (c.queued ? 1 : 0)) return 7;
      if (c.end != End::kDrain) return manager.Start() == 0 ? 0 : 8;
      for (int i = 0; i < before; ++i) {
        if (!RecvFrame(peer.Get(), &payload) || payload != big) return 9;
      }
      return RecvFrame(peer.Get(), &payload) && payload == last && conn->IsConnected() ? 0 : 10;
    });
  }
}

// A header below 4 describes no frame, and one above the queue's size a
// frame that never fits: the frames before it are delivered, then the
// connection closes once.
class BadHeaderTest : public ConnectionDataTest, public ::testing::WithParamInterface<std::uint32_t> {};

// Below 4, or above the 40960 bytes the receive queue holds: the header
// alone closes the connection, with a log line that gives the length; the
// peer sends nothing after it.
TEST_P(BadHeaderTest, ClosesTheConnectionOnceTheHeaderArrivesAndLogsIt) {
  RawSocket peer = Connected();
  const size_t linesBefore = LogLines().size();
  ASSERT_TRUE(SendAll(peer, Frame("ok") + Header(GetParam())));
  ExpectDisconnectedOnce(linesBefore, Format(qvtext::kLogBadHeader, GetParam()).c_str());
  EXPECT_EQ(sink.Packets(), Payloads{"ok"});
  EXPECT_TRUE(SeesEnd(peer.Get()));
}

INSTANTIATE_TEST_SUITE_P(Headers, BadHeaderTest, ::testing::Values(0u, 1u, 2u, 3u, 40961u, 50000u, 0x7FFFFFFFu));

// Connections, outgoing and accepted, send small frames at once
// (TCP_NODELAY) unless QVNET_NODELAY=off. In processes of their own, for
// the setting.
TEST_F(ConnectionDataTest, ConnectionsSetNoDelayUnlessToldOtherwise) {
  const struct {
    const char* setting;
    bool noDelay;
  } cases[] = {{nullptr, true}, {"off", false}, {"ON", true}};
  const std::string here = std::filesystem::current_path().string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting != nullptr ? c.setting : "not set");
    QVTEST_EXPECT_CHILD(here, [&] {
      if (c.setting != nullptr) qvtest::SetEnvironment("QVNET_NODELAY", c.setting);
      RawSocket peer = Connected();
      if (qvtest::NoDelayOf(conn->GetSocket()) != c.noDelay) return 1;
      qvtest::SocketPair pair;
      if (!qvtest::MakeLoopbackPair(&pair)) return 2;
      RawSocket acceptedPeer(pair.remote);
      if (!qvplat::SetNonBlocking(pair.local)) return 3;  // as the listener's sockets are
      RecordingSink acceptedSink;
      std::unique_ptr<QvConnection> accepted = NewConnection(&acceptedSink);
      if (!accepted->Attach(pair.local)) return 4;
      return qvtest::NoDelayOf(pair.local) == c.noDelay ? 0 : 5;
    });
  }
}

TEST_F(ConnectionDataTest, WithoutASinkFramesAreDroppedAndTheConnectionServes) {
  qvtest::SocketPair pair;
  ASSERT_TRUE(qvtest::MakeLoopbackPair(&pair));
  RawSocket peer(pair.remote);
  qvtest::SetTimeouts(peer.Get(), 10);
  ASSERT_TRUE(qvplat::SetNonBlocking(pair.local));  // as the listener's sockets are
  conn = NewConnection(nullptr);
  ASSERT_TRUE(conn->Attach(pair.local));

  ASSERT_TRUE(SendAll(peer, Frame("one") + Frame("") + Frame(Pattern(11, 5000))));
  conn->Send("reply", 5);
  std::string payload;
  ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
  EXPECT_EQ(payload, "reply");
  peer.Reset();  // read through the frames to the end of the stream
  EXPECT_TRUE(qvtest::WaitUntil([&] { return !conn->IsConnected(); }));
  EXPECT_EQ(UsedSlots(), 0);
}

TEST_F(ConnectionDataTest, ConcurrentSendersNeverInterleaveFrames) {
  RawSocket peer = Connected();
  constexpr int kThreads = 4, kFrames = 500;
  // Payload: thread, sequence number (2 bytes), then a pattern of both.
  auto payloadOf = [](int t, int i) {
    std::string p{static_cast<char>(t), static_cast<char>(i & 0xFF), static_cast<char>(i >> 8)};
    return p + Pattern(static_cast<unsigned>(t * kFrames + i), static_cast<size_t>((i * 37 + t * 11) % 400));
  };
  constexpr int kExpected = kThreads * kFrames;  // none is dropped, whatever the queue holds
  std::atomic<int> frames{0};
  std::atomic<bool> fault{false};
  // Bounded by the peer's time-out on each frame, not by one deadline for
  // all: under Wine on a busy machine a receive can take milliseconds.
  std::thread reader([&] {
    int last[kThreads] = {-1, -1, -1, -1};
    for (std::string p; frames.load() < kExpected && RecvFrame(peer.Get(), &p); ++frames) {
      int t = p.size() >= 3 ? p[0] : -1;
      int i = p.size() >= 3 ? (static_cast<unsigned char>(p[1]) | static_cast<unsigned char>(p[2]) << 8) : -1;
      if (t < 0 || t >= kThreads || i <= last[t] || p != payloadOf(t, i)) return fault.store(true);
      last[t] = i;
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
  qvtest::EndCapture();
  reader.join();
  EXPECT_FALSE(fault.load()) << "bad frame after " << frames.load();
  EXPECT_EQ(frames.load(), kExpected);
}

// A sink may Send and Close from inside OnPacket, under the receive lock.
TEST_F(ConnectionDataTest, SinkMaySendFromInsideOnPacket) {
  sink.onPacket = [this](const char* data, int length) { conn->Send(data, length); };
  RawSocket peer = Connected();
  const std::string wire = Frame("echo") + Frame(Pattern(12, 4000)) + Frame("");
  ASSERT_TRUE(SendAll(peer, wire));
  EXPECT_TRUE(qvtest::Receive(peer.Get(), wire.size()) == wire);
}

// The payload stays the sink's to read after its Close: the memory the
// connection lets go of may be taken again at once, by any thread.
TEST_F(ConnectionDataTest, SinkMayCloseFromInsideOnPacket) {
  std::string before, after;
  sink.onPacket = [&](const char* data, int length) {
    before.assign(data, static_cast<size_t>(length));
    conn->Close();
    void* taken[] = {QvChunkPool::Buffers().Take(), QvChunkPool::Buffers().Take()};
    for (void* block : taken) std::memset(block, 'x', QvChunkPool::kBufferSize);
    after.assign(data, static_cast<size_t>(length));
    for (void* block : taken) QvChunkPool::Buffers().Give(block);
  };
  RawSocket peer = Connected();
  DeliverInOneRead(peer, Frame("a") + Frame("b") + Frame("c"));
  ASSERT_TRUE(sink.packet.WaitFor(1));
  EXPECT_TRUE(SeesEnd(peer.Get()));
  manager.Stop();
  EXPECT_EQ(before, "a");
  EXPECT_EQ(after, before);
  EXPECT_EQ(sink.disconnected.Count(), 0);
  EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
  EXPECT_EQ(UsedSlots(), 0);
}

// The peer resets the stream while a frame waits to go: the read still
// delivers what came before the reset, the write then fails, and the
// connection closes once, logging the reset. (Closing from the write side
// must keep the lock order of every other close.)
TEST_F(ConnectionDataTest, ResetWhileAFrameWaitsToGoDisconnectsOnce) {
  RawSocket peer = Connected();
  const size_t linesBefore = LogLines().size();
  manager.Stop();
  conn->Send("waiting", 7);
  ASSERT_TRUE(SendAll(peer, Frame("last words")));
  qvtest::SetOption(peer.Get(), SOL_SOCKET, SO_LINGER, linger{1, 0});
  peer.Reset();
  ASSERT_TRUE(qvtest::WaitUntil([&] { return Ready(conn->GetSocket(), POLLERR); }));
  ASSERT_EQ(manager.Start(), 0);
  ExpectDisconnectedOnce(linesBefore, qvplat::SocketErrorText(qvplat::kErrConnReset));
  EXPECT_EQ(sink.Packets(), Payloads{"last words"});
}

// Once Close has begun, the worker delivers no further frame, not even one
// cut from the read under way, and Close waits no longer than the callback
// in progress.
TEST_F(ConnectionDataTest, CloseStopsDeliveryAtTheNextFrame) {
  RawSocket peer = Connected();
  qvtest::Event inside;
  sink.onPacket = [&](const char*, int) {
    if (inside.Count() > 0) return;
    inside.Notify();
    ASSERT_TRUE(qvtest::WaitUntil([&] { return conn->Closing(); }));  // the Close waits for this callback
  };
  std::string wire;
  for (unsigned i = 0; i < 50; ++i) wire += Frame(Pattern(i, 100));
  manager.Stop();
  ASSERT_TRUE(SendAll(peer, wire));
  ASSERT_TRUE(qvtest::WaitUntil([&] { return qvtest::BytesPending(conn->GetSocket()) == static_cast<int>(wire.size()); }));
  ASSERT_EQ(manager.Start(), 0);
  ASSERT_TRUE(inside.WaitFor(1));
  conn->Close();
  EXPECT_EQ(sink.packet.Count(), 1);
  EXPECT_EQ(sink.disconnected.Count(), 0);
}

// Frames sent and then closed at once all reach the peer, whether or not
// it goes on sending meanwhile; the object's next session starts with
// empty queues, so none of them reaches the next peer.
class SendThenCloseTest : public ConnectionDataTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SendThenCloseTest, DeliversEveryFrameQueuedBeforeTheClose) {
  RawSocket peer = Connected();
  std::atomic<bool> stop{false};
  std::thread streamer([&] {
    const std::string frame = Frame(Pattern(1, 500));
    while (GetParam() && !stop.load() && SendAll(peer, frame)) {
    }
  });
  constexpr unsigned kFrames = 300;  // 300 KB: far more than the send queue holds
  for (unsigned i = 0; i < kFrames; ++i) conn->Send(Pattern(i, 1000).data(), 1000);
  conn->Close();
  RawSocket next = ConnectPeer(*conn);
  conn->Send("fresh", 5);

  std::string payload;
  for (unsigned i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(RecvFrame(peer.Get(), &payload)) << "frame " << i;
    ASSERT_TRUE(payload == Pattern(i, 1000)) << "frame " << i;
  }
  EXPECT_TRUE(SeesEnd(peer.Get()));
  stop.store(true);
  streamer.join();
  ASSERT_TRUE(RecvFrame(next.Get(), &payload));
  EXPECT_EQ(payload, "fresh");
}

INSTANTIATE_TEST_SUITE_P(PeerSending, SendThenCloseTest, ::testing::Bool());

// A burst far larger than the send queue reaches a peer that reads only
// after it: every frame, in order, byte for byte.
TEST_F(ConnectionDataTest, BurstToASlowReaderArrivesWholeAndInOrder) {
  RawSocket peer = Connected();
  constexpr unsigned kFrames = 1000;  // 2 MB
  for (unsigned i = 0; i < kFrames; ++i) conn->Send(Pattern(i, 2000 + i % 7).data(), static_cast<int>(2000 + i % 7));
  std::string payload;
  for (unsigned i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(RecvFrame(peer.Get(), &payload)) << "frame " << i;
    ASSERT_TRUE(payload == Pattern(i, 2000 + i % 7)) << "frame " << i;
  }
  EXPECT_TRUE(qvtest::WaitUntil([&] { return conn->QueuedBytes() == 0; }));
}

// The peer's last request is answered before its connection ends, whether
// the request is followed by the end of its stream or by a header that
// describes no frame.
TEST_F(ConnectionDataTest, RepliesQueuedBeforeThePeerEndsStillGoOut) {
  for (const bool badHeader : {false, true}) {
    SCOPED_TRACE(badHeader);
    RecordingSink echo;
    std::unique_ptr<QvConnection> c = NewConnection(&echo);
    echo.onPacket = [&](const char* data, int length) { c->Send(data, length); };
    RawSocket peer = ConnectPeer(*c);
    ASSERT_TRUE(SendAll(peer, Frame("request") + (badHeader ? Header(2) : std::string())));
    if (!badHeader) qvplat::ShutdownSend(peer.Get());
    std::string payload;
    ASSERT_TRUE(RecvFrame(peer.Get(), &payload));
    EXPECT_EQ(payload, "request");
    EXPECT_TRUE(SeesEnd(peer.Get()));
    ASSERT_TRUE(echo.disconnected.WaitFor(1));
  }
}

// A peer that never reads costs its connection once the bytes waiting for
// it pass the send limit, or once the bytes waiting over all connections
// pass the total limit and it holds the most of them, whichever connection
// sent last. The connection ends once, with a reset and one log line, and
// its memory goes; the worker serves the others all the while. In
// processes of their own, for the settings; small socket buffers keep the
// bytes in the queues.
TEST_F(ConnectionDataTest, PeerThatNeverReadsIsCutAtTheLimits) {
  const size_t kFrameBytes = 40959;
  const struct {
    const char* what;
    const char* limit;
    const char* total;
    size_t otherQueues;  // on the other connection first, whose peer never reads
    int frames;          // sent on the connection at most, until one is cut
    bool otherIsCut;
    const char* logged;
  } cases[] = {
      {"the send limit", "1M", nullptr, 0, 2000, false, qvtext::kLogSendLimit},
      // 3.5M waits on the other connection; this one's 3M stay below its own
      // limit, but pass the total: the other holds the most.
      {"the total limit", "4M", "6M", 86 * kFrameBytes, 75, true, qvtext::kLogSendTotal},
  };
  const std::string here = std::filesystem::current_path().string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QVTEST_EXPECT_CHILD(here, [&] {
      qvtest::SetEnvironment("QVNET_SEND_LIMIT", c.limit);
      if (c.total != nullptr) qvtest::SetEnvironment("QVNET_SEND_TOTAL_LIMIT", c.total);
      const int small = 4096;
      qvtest::SetOption(listener.Get(), SOL_SOCKET, SO_RCVBUF, small);
      RecordingSink otherSink;
      std::unique_ptr<QvConnection> other = NewConnection(&otherSink);
      RawSocket otherPeer = ConnectPeer(*other);
      RawSocket peer = Connected();
      for (QvConnection* each : {conn.get(), other.get()}) {
        qvtest::SetOption(each->GetSocket(), SOL_SOCKET, SO_SNDBUF, small);
      }
      const size_t linesBefore = LogLines().size();
      const std::string big = Pattern(1, kFrameBytes - kFrameHeaderSize);
      for (size_t queued = 0; queued < c.otherQueues; queued += kFrameBytes) {
        other->Send(big.data(), static_cast<int>(big.size()));
      }
      RecordingSink& cutSink = c.otherIsCut ? otherSink : sink;
      for (int i = 0; i < c.frames && cutSink.disconnected.Count() == 0; ++i) {
        conn->Send(big.data(), static_cast<int>(big.size()));
        if (c.otherQueues > 0 || i % 100 != 0) continue;
        other->Send("ping", 4);  // served meanwhile
        std::string payload;
        if (!RecvFrame(otherPeer.Get(), &payload) || payload != "ping") return 1;
      }
      if (!cutSink.disconnected.WaitFor(1)) return 2;
      QvConnection& cut = c.otherIsCut ? *other : *conn;
      QvConnection& kept = c.otherIsCut ? *conn : *other;
      if (cut.IsConnected() || cut.QueuedBytes() != 0 || !kept.IsConnected()) return 3;
      // The worker counts a send once it returned, maybe after the peer read it.
      if (!qvtest::WaitUntil([&] { return QvConnection::TotalQueued() == kept.QueuedBytes(); })) return 4;
      if (!SeesReset((c.otherIsCut ? otherPeer : peer).Get())) return 5;
      const std::vector<std::string> lines = LogLines();
      if (lines.size() != linesBefore + 1) return 6;
      return lines.back().find(TextBefore(c.logged)) != std::string::npos ? 0 : 7;
    });
  }
}

// A closed connection whose peer never ends its stream is let go after the
// linger time without progress. When the peer took nothing more, one line
// in the log says how many bytes were dropped; when every byte went to the
// system, nothing was lost and nothing is logged. In a process of its own,
// for QVNET_LINGER_SECONDS.
TEST_F(ConnectionDataTest, LingerWithoutProgressEndsAfterItsTime) {
  const std::string here = std::filesystem::current_path().string();
  const struct {
    int frames;
    size_t size;
    size_t linesLogged;
  } cases[] = {{20, 40000, 1}, {1, 100, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frames);
    QVTEST_EXPECT_CHILD(here, [&] {
      qvtest::SetEnvironment("QVNET_LINGER_SECONDS", "1");
      const int small = 4096;
      qvtest::SetOption(listener.Get(), SOL_SOCKET, SO_RCVBUF, small);
      conn = NewConnection(&sink);
      RawSocket peer = ConnectPeer(*conn);  // never reads, never closes
      qvtest::SetOption(conn->GetSocket(), SOL_SOCKET, SO_SNDBUF, small);
      const size_t linesBefore = LogLines().size();
      const std::string payload = Pattern(2, c.size);
      for (int i = 0; i < c.frames; ++i) conn->Send(payload.data(), static_cast<int>(payload.size()));
      conn->Close();
      if (!qvtest::WaitUntil([&] { return manager.Lingering() == 1; })) return 1;
      if (!qvtest::WaitUntil([&] { return manager.Lingering() == 0; })) return 2;
      const std::vector<std::string> lines = LogLines();
      if (lines.size() != linesBefore + c.linesLogged) return 3;
      if (c.linesLogged == 0) return 0;
      return lines.back().find(TextBefore(qvtext::kLogLingerExpired)) != std::string::npos ? 0 : 4;
    });
  }
}

// The peer of a connection with bytes still unsent, for the exit handler
// below, which ends its stream: the worker then hands the socket over to
// linger, and first reads the linger time there.
qvplat::Socket gPeerEndedAtExit = qvplat::kNoSocket;
void EndThePeerAndWaitForTheLinger() {
  qvplat::ShutdownSend(gPeerEndedAtExit);
  if (!qvtest::WaitUntil([] { return QvSocketManager::Instance().Lingering() == 1; })) std::_Exit(3);
}

// A setting the worker reads for the first time while the process exits
// holds up neither the worker nor the exit (Windows runs the exit handlers
// under the lock that registering a static's destructor takes). In a
// process of its own, with an exit handler that runs before the library's.
TEST_F(ConnectionDataTest, ExitGoesOnWhileTheWorkerFirstReadsASetting) {
  const std::string here = std::filesystem::current_path().string();
  QVTEST_EXPECT_CHILD(here, [&] {
    const int small = 4096;
    qvtest::SetOption(listener.Get(), SOL_SOCKET, SO_RCVBUF, small);
    static RawSocket peer;
    peer = Connected();
    qvtest::SetOption(conn->GetSocket(), SOL_SOCKET, SO_SNDBUF, small);
    const std::string big = Pattern(5, 40955);
    for (int i = 0; i < 20; ++i) conn->Send(big.data(), static_cast<int>(big.size()));
    gPeerEndedAtExit = peer.Get();
    std::atexit(EndThePeerAndWaitForTheLinger);
    return 0;
  });
}

// A peer cannot hold its slot for ever: a frame still incomplete
// QVNET_FRAME_SECONDS after its first byte, more than the high-water mark
// waiting for a peer that takes no byte for QVNET_SEND_STALL_SECONDS, or,
// with QVNET_IDLE_SECONDS, a connection that moves no byte that long, ends
// with a reset, one OnDisconnected and a log line giving the bytes held. In
// processes of their own, for the settings.
TEST_F(ConnectionDataTest, StalledFrameOrIdlePeerIsResetAfterItsTime) {
  const struct {
    const char* setting;
    std::string sent;  // by the peer, then nothing more
    size_t answered;   // bytes the connection sends the peer then
    std::string logged;
  } cases[] = {
      {"QVNET_FRAME_SECONDS", Frame("whole") + Header(100) + "partial", 0, Format(qvtext::kLogFrameExpired, 1, 11u)},
      {"QVNET_SEND_STALL_SECONDS", Frame("then never reads"), 20 * 40959,
       Format(std::strstr(qvtext::kLogSendStalled, "%s") + 2, 1)},
      {"QVNET_IDLE_SECONDS", Frame("then quiet"), 0, Format(qvtext::kLogIdleExpired, 1, 0u, "0")},
  };
  const std::string here = std::filesystem::current_path().string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    QVTEST_EXPECT_CHILD(here, [&] {
      qvtest::SetEnvironment(c.setting, "1");
      qvtest::SetEnvironment("QVNET_SEND_HIGH_WATER", "64K");
      const int small = 4096;
      qvtest::SetOption(listener.Get(), SOL_SOCKET, SO_RCVBUF, small);
      RawSocket peer = Connected();
      qvtest::SetOption(conn->GetSocket(), SOL_SOCKET, SO_SNDBUF, small);
      const size_t linesBefore = LogLines().size();
      if (!SendAll(peer, c.sent)) return 1;
      const std::string big = Pattern(4, 40955);
      for (size_t sent = 0; sent < c.answered; sent += big.size() + kFrameHeaderSize) {
        conn->Send(big.data(), static_cast<int>(big.size()));
      }
      if (!sink.disconnected.WaitFor(1)) return 2;
      if (!SeesReset(peer.Get())) return 3;
      const std::vector<std::string> lines = LogLines();
      if (lines.size() != linesBefore + 1 || !EndsWith(lines.back(), c.logged)) return 4;
      return sink.Calls() == "connected packet disconnected" ? 0 : 5;
    });
  }
}

}  // namespace

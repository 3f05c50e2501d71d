// The worker's dispatch loop over real loopback sockets: trace order, when
// interest is cleared, exceptions served alone, handlers that close or
// recycle sockets during a pass, many sockets, wake-ups, and ReleaseAndWait.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/qvworkerfixture.h"

namespace {

using namespace qvtest;

class DispatchTest : public WorkerTest {
 protected:
  void TearDown() override {
    WorkerTest::TearDown();
    for (SocketPair& p : pairs) p.Close();
  }

  SocketPair& NewPair() {
    pairs.emplace_back();
    EXPECT_TRUE(qvtest::MakeLoopbackPair(&pairs.back()));
    return pairs.back();
  }

  static bool Poke(const SocketPair& pair) { return qvtest::SendAll(pair.remote, "x", 1); }

  // Pokes the pair (with urgent data for kPollExcept) and waits until its
  // local end reports `bits`.
  static void MakeReady(const SocketPair& pair, unsigned bits) {
    ASSERT_TRUE(Poke(pair));
    if (bits & qvplat::kPollExcept) {
      ASSERT_TRUE(qvtest::SendUrgent(pair.remote));
    }
    qvplat::Poller poller;
    poller.Watch(pair.local, 0, qvplat::kPollRead);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return poller.Wait(100) > 0 && (poller.EventAt(0).ready & bits) == bits; }));
  }

  std::deque<SocketPair> pairs;  // stable references
};

// One socket's first pass: the calls the worker makes, each with the slot's
// interest when it began, the traces it prints, and the interest left.
struct Pass {
  bool urgent;             // urgent data as well: an exception condition
  std::uint32_t interest;  // registered with
  bool closeInOnRead;      // OnRead unregisters and closes the socket
  const char* calls;
  const char* trace;  // %d: the socket
  int interestAfter;  // -1: no slot holds the socket
  Flushed flushed = Flushed::kDrained;  // what OnWrite reports
};
class PassTest : public DispatchTest, public ::testing::WithParamInterface<Pass> {};

TEST_P(PassTest, CallsTracesAndInterest) {
  const Pass& c = GetParam();
  SocketPair& p = NewPair();
  const qvplat::Socket s = p.local;
  MakeReady(p, qvplat::kPollRead | (c.urgent ? qvplat::kPollExcept : 0u));
  RecordingHandler h(s);
  h.onRead = [&](RecordingHandler& self) {
    self.Drain();
    if (!c.closeInOnRead) return;
    manager.Unregister(s);
    qvplat::CloseSocket(s);
    p.local = qvplat::kNoSocket;
  };
  h.onWrite = [&](RecordingHandler& self) { self.flushed = c.flushed; };
  h.onError = [&](RecordingHandler&) { manager.Unregister(s); };
  qvtest::BeginCapture();
  ASSERT_EQ(manager.Register(s, c.interest, &h), 1);
  ASSERT_TRUE(h.called.WaitFor(static_cast<int>(Occurrences(c.calls, "@"))));
  manager.Stop();  // let the pass end before looking at the traces
  EXPECT_EQ(qvtest::EndCapture(), Format(c.trace, static_cast<int>(s)));
  EXPECT_EQ(h.Calls(), c.calls);
  EXPECT_EQ(InterestOf(s), c.interestAfter);
}

INSTANTIATE_TEST_SUITE_P(Readiness, PassTest,
                         ::testing::Values(
                             // Read interest is cleared before OnRead, and stays cleared.
                             Pass{false, ReadInterest, false, "read@0", "eReadEvent\nso_connection\n", 0},
                             // Readable and writable: the read first, then the write, its
                             // interest cleared before OnWrite.
                             Pass{false, ReadInterest | WriteInterest, false, "read@2 write@0",
                                  "eReadEvent\nso_connection\n[%d]eWriteEvent\n", 0},
                             // A send that fails ends the session: the write step calls OnError.
                             Pass{false, ReadInterest | WriteInterest, false, "read@2 write@0 error@0",
                                  "eReadEvent\nso_connection\n[%d]eWriteEvent\n", -1, Flushed::kFailed},
                             // A handler that closes its socket in OnRead gets no OnWrite.
                             Pass{false, ReadInterest | WriteInterest, true, "read@2", "eReadEvent\nso_connection\n",
                                  -1},
                             // Readable, writable and with urgent data: only the exception is served.
                             Pass{true, ReadInterest | WriteInterest, false, "error@3", "eExceptEvent\n", -1}));

TEST_F(DispatchTest, ListenerKeepsReadInterestAcrossAccepts) {
  int port = 0;
  RawSocket listener(qvtest::ListenLoopback(&port));
  ASSERT_TRUE(listener.Valid());
  std::vector<RawSocket> accepted;
  RecordingHandler h(listener.Get(), so_listener);
  h.onAccept = [&](RecordingHandler& self) { accepted.emplace_back(qvplat::AcceptPeer(self.socket, nullptr)); };

  qvtest::BeginCapture();
  ASSERT_EQ(manager.Register(listener.Get(), ReadInterest, &h), 1);
  RawSocket clients[2];
  for (int i = 0; i < 2; ++i) {
    clients[i].Reset(qvplat::TcpSocket());
    ASSERT_TRUE(qvplat::ConnectIPv4(clients[i].Get(), qvplat::LoopbackAddress(), port));
    ASSERT_TRUE(h.called.WaitFor(i + 1));
  }
  manager.Stop();
  EXPECT_EQ(qvtest::EndCapture(), "eReadEvent\nso_listener!\neReadEvent\nso_listener!\n");
  EXPECT_EQ(h.Calls(), "accept@1 accept@1");
  EXPECT_EQ(InterestOf(listener.Get()), static_cast<int>(ReadInterest));
}

// A descriptor closed during a pass and reused at once by a new registration
// in the same slot must not receive the old descriptor's readiness. POSIX
// only: it needs dup2() to give a new stream a closed descriptor's number;
// Windows does not hand a closed socket's handle out again at once.
#if !defined(_WIN32)
TEST_F(DispatchTest, RecycledDescriptorGetsNoStaleEventInTheSamePass) {
  SocketPair& a = NewPair();
  SocketPair& b = NewPair();
  SocketPair& quiet = NewPair();  // nothing will ever arrive on it
  MakeReady(a, qvplat::kPollRead);
  MakeReady(b, qvplat::kPollRead);

  RecordingHandler ha(a.local), hb(b.local), hc(qvplat::kNoSocket);
  hb.onRead = hc.onRead = [](RecordingHandler&) {};  // a stale event must not block in recv()
  ha.onRead = [&](RecordingHandler& self) {
    self.Drain();
    manager.Unregister(b.local);
    qvplat::CloseSocket(b.local);
    hc.socket = ::dup2(quiet.local, b.local);        // b's descriptor number, now for another stream
    manager.Register(hc.socket, ReadInterest, &hc);  // takes b's slot
  };
  manager.Stop();  // register both before the worker looks at them
  ASSERT_EQ(manager.Register(a.local, ReadInterest, &ha), 1);
  ASSERT_EQ(manager.Register(b.local, ReadInterest, &hb), 1);
  ASSERT_EQ(manager.Start(), 0);
  ASSERT_TRUE(ha.called.WaitFor(1));
  manager.Stop();

  EXPECT_EQ(hc.socket, b.local) << "the descriptor number was not reused; the case is not exercised";
  b.local = hc.socket;  // closed with the pair
  EXPECT_EQ(hb.Calls(), "");
  EXPECT_EQ(hc.Calls(), "");
}
#endif

class ManySocketsTest : public DispatchTest, public ::testing::WithParamInterface<int> {};

TEST_P(ManySocketsTest, EveryRegisteredSocketIsServed) {
  const int count = GetParam();
  qvtest::RaiseDescriptorLimit(2 * count + 64);
  std::vector<std::unique_ptr<RecordingHandler>> handlers;
  for (int i = 0; i < count; ++i) {
    handlers.push_back(std::make_unique<RecordingHandler>(NewPair().local));
    ASSERT_EQ(manager.Register(pairs.back().local, ReadInterest, handlers.back().get()), 1);
  }
  qvtest::BeginCapture();
  for (SocketPair& p : pairs) ASSERT_TRUE(Poke(p));
  const bool all = qvtest::WaitUntil([&] {
    for (auto& h : handlers) {
      if (h->called.Count() == 0) return false;
    }
    return true;
  });
  manager.Stop();
  qvtest::EndCapture();
  ASSERT_TRUE(all) << "not every socket was served";
  for (auto& h : handlers) EXPECT_EQ(h->Calls(), "read@0");
}

INSTANTIATE_TEST_SUITE_P(SlotCounts, ManySocketsTest, ::testing::Values(70, 1000));

// With an empty table the worker naps; a registration wakes it (the
// poller's tests show that a wake ends a nap) and is served.
TEST_F(DispatchTest, RegistrationDuringIdleNapIsServed) {
  SocketPair& p = NewPair();
  MakeReady(p, qvplat::kPollRead);
  RecordingHandler h(p.local);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // most likely into a nap by now
  ASSERT_EQ(manager.Register(p.local, ReadInterest, &h), 1);
  ASSERT_TRUE(h.called.WaitFor(1));
  EXPECT_EQ(h.Calls(), "read@0");
}

// Runs `body` while a thread keeps sending bytes to `pair` (served by a
// handler that re-arms read interest), with the console traces captured.
template <typename Body>
void WhileChattering(const SocketPair& pair, Body body) {
  std::atomic<bool> stop{false};
  qvtest::BeginCapture();
  std::thread chatter([&] {
    while (!stop.load()) qvtest::SendAll(pair.remote, "x", 1);
  });
  body();
  stop.store(true);
  chatter.join();
  QvSocketManager::Instance().Stop();
  qvtest::EndCapture();
}

// Interest bits set by an application thread are never lost to the worker
// clearing the other bit at the same time.
TEST_F(DispatchTest, WriteInterestArmedDuringReadsIsNeverLost) {
  SocketPair& p = NewPair();
  RecordingHandler h(p.local);
  h.rearm = true;
  qvtest::Event written;
  h.onWrite = [&](RecordingHandler&) { written.Notify(); };
  ASSERT_EQ(manager.Register(p.local, ReadInterest, &h), 1);
  bool ok = true;
  WhileChattering(p, [&] {
    for (int i = 1; i <= 200 && ok; ++i) {
      manager.Arm(p.local, WriteInterest, &h);
      ok = written.WaitFor(i);
    }
  });
  EXPECT_TRUE(ok) << "an armed write interest was lost after " << written.Count() << " writes";
}

TEST_F(DispatchTest, TableReinitialisedWhileTheWorkerRunsStaysSafe) {
  SocketPair& p = NewPair();
  RecordingHandler h(p.local);
  h.rearm = true;
  // A write tried unasked in every pass, listed from a table Init may drop.
  h.onWrite = [](RecordingHandler& self) { QvSocketManager::Instance().Arm(self.socket, WriteInterest, &self); };
  WhileChattering(p, [&] {
    for (int i = 0; i < 200; ++i) {
      manager.Init(i % 2 == 0 ? 100 : QvSocketManager::kDefaultCapacity);
      manager.Register(p.local, ReadInterest | WriteInterest, &h);
    }
  });
  EXPECT_EQ(manager.Capacity(), QvSocketManager::kDefaultCapacity);
}

// Write interest on a socket whose send buffer is full: no write event
// while it stays full, and one as soon as the peer has drained it, however
// many passes went by in between.
TEST_F(DispatchTest, WriteInterestOnAFullSocketIsServedOnceThePeerDrains) {
  SocketPair& full = NewPair();
  SocketPair& tick = NewPair();  // its reads show that passes go by
  const size_t queued = qvtest::FillSendBuffer(full.local);
  ASSERT_EQ(qvplat::LastSocketError(), qvplat::kErrWouldBlock);

  RecordingHandler writer(full.local), ticker(tick.local);
  std::atomic<bool> writable{false};
  std::atomic<int> writes{0};
  std::atomic<size_t> refilled{0};
  writer.onWrite = [&](RecordingHandler& self) {
    // The first write is the one tried without asking, and the socket must
    // be full for it: the system may have made room since the fill (late
    // acknowledgements, a window opened by the peer's buffer compacting).
    if (writes++ == 0) refilled.store(qvtest::FillSendBuffer(self.socket));
    RecordingHandler::SendByte(self);
    writable.store(self.flushed == Flushed::kDrained);
  };
  ticker.rearm = true;
  qvtest::BeginCapture();
  ASSERT_EQ(manager.Register(full.local, WriteInterest, &writer), 1);
  ASSERT_EQ(manager.Register(tick.local, ReadInterest, &ticker), 1);
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(Poke(tick));
    ASSERT_TRUE(ticker.called.WaitFor(i));
  }
  // One try without asking, which would block; after it the worker asks.
  EXPECT_EQ(writer.Calls(), "write@0") << "a write event while the socket was full";
  EXPECT_EQ(InterestOf(full.local), static_cast<int>(WriteInterest)) << "not armed again after it would block";

  ASSERT_TRUE(qvtest::Discard(full.remote, queued + refilled.load()));
  ASSERT_TRUE(writer.called.WaitFor(2)) << "the write interest was lost";
  manager.Stop();
  EXPECT_TRUE(writable.load());
  EXPECT_EQ(writer.Calls(), "write@0 write@0");
  EXPECT_EQ(Occurrences(qvtest::EndCapture(), "eWriteEvent"), 1u);
}

TEST_F(DispatchTest, ReleaseAndWaitWaitsUntilTheWorkerLeavesTheHandler) {
  SocketPair& p = NewPair();
  qvtest::Event inside, release;
  RecordingHandler h(p.local);
  h.onRead = [&](RecordingHandler&) {
    inside.Notify();
    release.WaitFor(1);
  };
  ASSERT_EQ(manager.Register(p.local, ReadInterest, &h), 1);
  ASSERT_TRUE(Poke(p));
  ASSERT_TRUE(inside.WaitFor(1));

  std::atomic<bool> forgotten{false};
  std::thread app([&] {
    manager.ReleaseAndWait(&h);
    forgotten.store(true);
  });
  EXPECT_TRUE(qvtest::WaitUntil([&] { return InterestOf(p.local) == -1; }));  // freed at once
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(forgotten.load());
  release.Notify();
  app.join();
  EXPECT_TRUE(forgotten.load());
}

// A worker that cannot open its poller (no descriptor left) says so in the
// log once and tries again after a pause instead of spinning; once it can,
// it serves as usual. In a process of its own, with its descriptor limit
// lowered. POSIX only: on Windows the poller opens nothing. Not with the
// address sanitizer's build, whose type checks need descriptors of their
// own and report false faults without any.
#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
TEST(PollerFailureTest, WorkerLogsOnceTriesAgainAndThenServes) {
  const std::string here = std::filesystem::current_path().string();
  QVTEST_EXPECT_CHILD(here, [] {
    SocketPair pair;
    if (!qvtest::MakeLoopbackPair(&pair)) return 1;
    const auto logSize = [] { return std::filesystem::file_size("Log/Network.log"); };  // needs no descriptor
    const auto sizeBefore = logSize();
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t usual = limit.rlim_cur;
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    limit.rlim_cur = static_cast<rlim_t>(lowestFree);  // the next descriptor fails
    ::setrlimit(RLIMIT_NOFILE, &limit);
    QvSocketManager& manager = QvSocketManager::Instance();
    manager.Init(QvSocketManager::kDefaultCapacity);
    if (manager.Start() != 0) return 2;
    const std::string failed = TextBefore(qvtext::kLogPollerFailed);
    auto failures = [&] {
      size_t n = 0;
      for (const std::string& line : LogLines()) n += line.find(failed) != std::string::npos;
      return n;
    };
    if (!qvtest::WaitUntil([&] { return logSize() > sizeBefore; })) return 3;
    limit.rlim_cur = usual;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (failures() != 1) return 6;
    RecordingHandler h(pair.local);
    manager.Register(pair.local, ReadInterest, &h);
    if (!qvtest::SendAll(pair.remote, "x", 1) || !h.called.WaitFor(1)) return 4;
    manager.Stop();
    return failures() == 1 ? 0 : 5;
  });
}
#endif

}  // namespace

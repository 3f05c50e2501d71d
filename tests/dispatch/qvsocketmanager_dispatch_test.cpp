// The worker's dispatch loop over real loopback sockets: trace order, when
// interest is cleared, exceptions served alone, handlers that close or
// recycle sockets during a pass, many sockets, wake-ups, and Forget.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/qvsocketmanager.h"
#include "recordinghandler.h"
#include "support/qvtestsupport.h"

namespace {

using qvtest::SocketPair;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(manager.Init(QvSocketManager::kDefaultCapacity));
    ASSERT_EQ(manager.Start(), 0);
  }
  void TearDown() override {
    manager.Stop();
    manager.Init(QvSocketManager::kDefaultCapacity);
    for (SocketPair& p : pairs) p.Close();
  }

  SocketPair& NewPair() {
    pairs.emplace_back();
    EXPECT_TRUE(qvtest::MakeLoopbackPair(&pairs.back()));
    return pairs.back();
  }

  // Sends one byte from the peer and waits until `socket` reports `bits`.
  static void MakeReady(const SocketPair& pair, unsigned bits, bool urgent = false) {
    char b = 'x';
    ASSERT_TRUE(qvtest::SendAll(pair.remote, &b, 1));
    if (urgent) {
      ASSERT_TRUE(qvtest::SendUrgent(pair.remote));
    }
    qvplat::Poller poller;
    poller.Watch(pair.local, 0, qvplat::kPollRead);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return poller.Wait(100) > 0 && (poller.EventAt(0).ready & bits) == bits; }));
  }

  QvSocketManager& manager = QvSocketManager::Instance();
  std::deque<SocketPair> pairs;  // stable references
};

TEST_F(DispatchTest, ReadableConnectionHasReadInterestClearedBeforeOnRead) {
  SocketPair& p = NewPair();
  RecordingHandler h(p.local);
  h.onRead = [](RecordingHandler& self) { self.Drain(); };  // and no re-arm

  qvtest::BeginCapture();
  ASSERT_EQ(manager.Register(p.local, ReadInterest, &h), 1);
  char b = 'x';
  qvtest::SendAll(p.remote, &b, 1);
  ASSERT_TRUE(h.called.WaitFor(1));
  manager.Stop();  // let the pass end before looking at the traces
  EXPECT_EQ(qvtest::EndCapture(), "eReadEvent\nso_connection\n");
  ASSERT_EQ(h.Calls().size(), 1u);
  EXPECT_EQ(h.Calls()[0].interest, 0);
  EXPECT_EQ(InterestOf(p.local), 0);

  // Not reported again until read interest is armed once more.
  ASSERT_EQ(manager.Start(), 0);
  qvtest::SendAll(p.remote, &b, 1);
  EXPECT_EQ(manager.Arm(p.local, ReadInterest, &h), 1);
  ASSERT_TRUE(h.called.WaitFor(2));
  EXPECT_EQ(h.Names(), (std::vector<std::string>{"read", "read"}));
}

TEST_F(DispatchTest, ListenerKeepsReadInterestAcrossAccepts) {
  int port = 0;
  qvplat::Socket listener = qvtest::ListenLoopback(&port);
  ASSERT_NE(listener, qvplat::kInvalidSocket);
  std::vector<qvplat::Socket> accepted;
  RecordingHandler h(listener, so_listener);
  h.onAccept = [&](RecordingHandler& self) { accepted.push_back(qvplat::AcceptPeer(self.socket, nullptr)); };

  qvtest::BeginCapture();
  ASSERT_EQ(manager.Register(listener, ReadInterest, &h), 1);
  SocketPair clients[2];
  for (int i = 0; i < 2; ++i) {
    clients[i].remote = qvplat::TcpSocket();
    ASSERT_TRUE(qvplat::ConnectIPv4(clients[i].remote, qvplat::LoopbackAddress(), port));
    ASSERT_TRUE(h.called.WaitFor(i + 1));
  }
  manager.Stop();
  std::string out = qvtest::EndCapture();
  EXPECT_EQ(out, "eReadEvent\nso_listener!\neReadEvent\nso_listener!\n");
  for (const RecordingHandler::Call& c : h.Calls()) EXPECT_EQ(c.interest, static_cast<int>(ReadInterest));
  EXPECT_EQ(InterestOf(listener), static_cast<int>(ReadInterest));
  for (qvplat::Socket s : accepted) qvplat::CloseSocket(s);
  qvplat::CloseSocket(listener);
}

TEST_F(DispatchTest, ExceptionConditionIsServedAlone) {
  SocketPair& p = NewPair();
  MakeReady(p, qvplat::kPollRead | qvplat::kPollExcept, /*urgent=*/true);
  RecordingHandler h(p.local);
  h.onError = [&](RecordingHandler& self) { manager.Unregister(self.socket); };

  qvtest::BeginCapture();
  // Readable, writable and with urgent data: only the exception is served.
  ASSERT_EQ(manager.Register(p.local, ReadInterest | WriteInterest, &h), 1);
  ASSERT_TRUE(h.called.WaitFor(1));
  manager.Stop();
  EXPECT_EQ(qvtest::EndCapture(), "eExceptEvent\n");
  EXPECT_EQ(h.Names(), std::vector<std::string>{"error"});
}

TEST_F(DispatchTest, ReadableAndWritableInOnePassReadsFirstThenWrites) {
  SocketPair& p = NewPair();
  MakeReady(p, qvplat::kPollRead);
  RecordingHandler h(p.local);
  h.onRead = [](RecordingHandler& self) { self.Drain(); };

  qvtest::BeginCapture();
  ASSERT_EQ(manager.Register(p.local, ReadInterest | WriteInterest, &h), 1);
  ASSERT_TRUE(h.called.WaitFor(2));
  manager.Stop();
  EXPECT_EQ(qvtest::EndCapture(),
            "eReadEvent\nso_connection\n[" + std::to_string(p.local) + "]eWriteEvent\n");
  std::vector<RecordingHandler::Call> calls = h.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].what, "read");
  EXPECT_EQ(calls[0].interest, static_cast<int>(WriteInterest));
  EXPECT_EQ(calls[1].what, "write");
  EXPECT_EQ(calls[1].interest, 0);
}

TEST_F(DispatchTest, HandlerThatClosesItselfInOnReadGetsNoOnWrite) {
  SocketPair& p = NewPair();
  MakeReady(p, qvplat::kPollRead);
  RecordingHandler h(p.local);
  h.onRead = [&](RecordingHandler& self) {
    manager.Unregister(self.socket);
    qvplat::CloseSocket(self.socket);
    p.local = qvplat::kNoSocket;
  };

  ASSERT_EQ(manager.Register(p.local, ReadInterest | WriteInterest, &h), 1);
  ASSERT_TRUE(h.called.WaitFor(1));
  manager.Stop();
  EXPECT_EQ(h.Names(), std::vector<std::string>{"read"});
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
  qvplat::Socket recycled = qvplat::kNoSocket;
  ha.onRead = [&](RecordingHandler& self) {
    self.Drain();
    manager.Unregister(b.local);
    qvplat::CloseSocket(b.local);
    recycled = ::dup2(quiet.local, b.local);  // b's descriptor number, now for another stream
    hc.socket = recycled;
    manager.Register(recycled, ReadInterest, &hc);  // takes b's slot
  };

  manager.Stop();  // register both before the worker looks at them
  ASSERT_EQ(manager.Register(a.local, ReadInterest, &ha), 1);
  ASSERT_EQ(manager.Register(b.local, ReadInterest, &hb), 1);
  ASSERT_EQ(manager.Start(), 0);
  ASSERT_TRUE(ha.called.WaitFor(1));
  manager.Stop();

  EXPECT_EQ(recycled, b.local) << "the descriptor number was not reused; the case is not exercised";
  b.local = qvplat::kNoSocket;
  EXPECT_TRUE(hb.Calls().empty());
  EXPECT_TRUE(hc.Calls().empty());
  if (recycled != qvplat::kNoSocket) qvplat::CloseSocket(recycled);
}
#endif

class ManySocketsTest : public DispatchTest, public ::testing::WithParamInterface<int> {};

TEST_P(ManySocketsTest, EveryRegisteredSocketIsServed) {
  const int count = GetParam();
  qvtest::RaiseDescriptorLimit(2 * count + 64);
  std::vector<std::unique_ptr<RecordingHandler>> handlers;
  qvtest::Event served;
  for (int i = 0; i < count; ++i) {
    SocketPair& p = NewPair();
    handlers.push_back(std::make_unique<RecordingHandler>(p.local));
    handlers.back()->onRead = [&served](RecordingHandler& self) {
      self.Drain();
      served.Notify();
    };
    ASSERT_EQ(manager.Register(p.local, ReadInterest, handlers.back().get()), 1);
  }
  qvtest::BeginCapture();
  char b = 'x';
  for (SocketPair& p : pairs) ASSERT_TRUE(qvtest::SendAll(p.remote, &b, 1));
  bool all = served.WaitFor(count);
  manager.Stop();
  qvtest::EndCapture();
  ASSERT_TRUE(all) << served.Count() << " of " << count << " served";
  for (auto& h : handlers) EXPECT_EQ(h->Calls().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(SlotCounts, ManySocketsTest, ::testing::Values(70, 1000));

TEST_F(DispatchTest, RegistrationDuringIdleNapIsServedPromptly) {
  SocketPair& p = NewPair();
  MakeReady(p, qvplat::kPollRead);
  RecordingHandler h(p.local);
  h.onRead = [](RecordingHandler& self) { self.Drain(); };
  // With an empty table the worker naps for 500 ms at a time; land in a nap.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));

  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(manager.Register(p.local, ReadInterest, &h), 1);
  ASSERT_TRUE(h.called.WaitFor(1));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(250));
}

// Interest bits set by an application thread are never lost to the worker
// clearing the other bit at the same time.
TEST_F(DispatchTest, WriteInterestArmedDuringReadsIsNeverLost) {
  SocketPair& p = NewPair();
  RecordingHandler h(p.local);
  std::atomic<bool> stop{false};
  qvtest::Event written;
  h.onRead = [&](RecordingHandler& self) {
    self.Drain();
    manager.Arm(self.socket, ReadInterest, &self);
  };
  h.onWrite = [&](RecordingHandler&) { written.Notify(); };
  ASSERT_EQ(manager.Register(p.local, ReadInterest, &h), 1);

  qvtest::BeginCapture();
  std::thread chatter([&] {
    char b = 'x';
    while (!stop.load()) qvtest::SendAll(p.remote, &b, 1);
  });
  bool ok = true;
  for (int i = 1; i <= 200 && ok; ++i) {
    manager.Arm(p.local, WriteInterest, &h);
    ok = written.WaitFor(i);
  }
  stop.store(true);
  chatter.join();
  manager.Stop();
  qvtest::EndCapture();
  EXPECT_TRUE(ok) << "an armed write interest was lost after " << written.Count() << " writes";
}

// Write interest on a socket whose send buffer is full: no write event
// while it stays full, and one as soon as the peer has drained it, however
// many passes went by in between.
TEST_F(DispatchTest, WriteInterestOnAFullSocketIsServedOnceThePeerDrains) {
  SocketPair& full = NewPair();
  SocketPair& tick = NewPair();  // its reads show that passes go by
  ASSERT_TRUE(qvplat::SetNonBlocking(full.local));
  std::vector<char> chunk(64 * 1024, 'f');
  size_t queued = 0;
  for (int r; (r = qvplat::SendSome(full.local, chunk.data(), static_cast<int>(chunk.size()))) > 0;) {
    queued += static_cast<size_t>(r);
  }
  ASSERT_EQ(qvplat::LastSocketError(), qvplat::kErrWouldBlock);

  RecordingHandler writer(full.local), ticker(tick.local);
  std::atomic<bool> writable{false};
  writer.onWrite = [&](RecordingHandler& self) {
    char b = 'w';
    writable.store(qvplat::SendSome(self.socket, &b, 1) == 1);
  };
  ticker.onRead = [&](RecordingHandler& self) {
    self.Drain();
    manager.Arm(self.socket, ReadInterest, &self);
  };
  ASSERT_EQ(manager.Register(full.local, WriteInterest, &writer), 1);
  ASSERT_EQ(manager.Register(tick.local, ReadInterest, &ticker), 1);
  for (int i = 1; i <= 3; ++i) {
    char b = 't';
    ASSERT_TRUE(qvtest::SendAll(tick.remote, &b, 1));
    ASSERT_TRUE(ticker.called.WaitFor(i));
  }
  EXPECT_TRUE(writer.Calls().empty()) << "a write event while the socket was full";

  std::vector<char> sink(64 * 1024);
  for (size_t got = 0; got < queued;) {
    int r = qvplat::RecvSome(full.remote, sink.data(), static_cast<int>(sink.size()));
    ASSERT_GT(r, 0);
    got += static_cast<size_t>(r);
  }
  ASSERT_TRUE(writer.called.WaitFor(1)) << "the write interest was lost";
  manager.Stop();
  EXPECT_TRUE(writable.load());
  EXPECT_EQ(writer.Names(), std::vector<std::string>{"write"});
}

TEST_F(DispatchTest, ForgetWaitsUntilTheWorkerLeavesTheHandler) {
  SocketPair& p = NewPair();
  qvtest::Event inside, release;
  RecordingHandler h(p.local);
  h.onRead = [&](RecordingHandler&) {
    inside.Notify();
    release.WaitFor(1);
  };
  ASSERT_EQ(manager.Register(p.local, ReadInterest, &h), 1);
  char b = 'x';
  qvtest::SendAll(p.remote, &b, 1);
  ASSERT_TRUE(inside.WaitFor(1));

  std::atomic<bool> forgotten{false};
  std::thread app([&] {
    manager.Forget(&h);
    forgotten.store(true);
  });
  EXPECT_TRUE(qvtest::WaitUntil([&] { return InterestOf(p.local) == -1; }));  // freed at once
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(forgotten.load());
  release.Notify();
  app.join();
  EXPECT_TRUE(forgotten.load());
}

TEST_F(DispatchTest, TableReinitialisedWhileTheWorkerRunsStaysSafe) {
  SocketPair& p = NewPair();
  RecordingHandler h(p.local);
  h.onRead = [&](RecordingHandler& self) {
    self.Drain();
    manager.Arm(self.socket, ReadInterest, &self);
  };
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    char b = 'x';
    while (!stop.load()) qvtest::SendAll(p.remote, &b, 1);
  });
  qvtest::BeginCapture();
  for (int i = 0; i < 200; ++i) {
    manager.Init(i % 2 == 0 ? 100 : QvSocketManager::kDefaultCapacity);
    manager.Register(p.local, ReadInterest, &h);
  }
  stop.store(true);
  chatter.join();
  manager.Stop();
  qvtest::EndCapture();
  EXPECT_EQ(manager.Capacity(), QvSocketManager::kDefaultCapacity);
}

}  // namespace

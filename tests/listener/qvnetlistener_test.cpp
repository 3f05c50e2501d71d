// The listener: where it binds, what it prints and logs, the order of the
// callbacks for an accepted peer, its codec and handler, and its place in the
// slot table. Peers are raw blocking sockets on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diag/qvtexts.h"
#include "dispatch/qvsocketmanager.h"
#include "listener/qvnetlistener.h"
#include "qvnet.h"
#include "support/qvtestos.h"
#include "support/qvtestpeers.h"
#include "support/qvtestslots.h"
#include "support/qvtestsupport.h"
#include "support/qvworkerfixture.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using namespace qvtest;

int SlotsHeldBy(const QvSocketBase* handler) {
  return qvtest::SlotsWhere([&](const QvSocketManager::SlotView& v) { return v.handler == handler; });
}

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module = CreateNetModule();
    module->Start(0);
    listener = module->CreateListener();
  }
  void TearDown() override {
    qvtest::DestroyListener(listener, &peers);
    module->Release();
    for (qvplat::Socket s : raw) qvplat::CloseSocket(s);
  }
  // Sets a handler and listens on a free port; 0 on failure.
  int ListenWithHandler() {
    listener->SetAcceptHandler(peers.NewHandler());
    return ListenOnAnyPort(listener);
  }
  qvplat::Socket Connect(int port) {
    qvplat::Socket s = RawConnect(port);
    if (s != qvplat::kInvalidSocket) raw.push_back(s);
    return s;
  }
  QvNetListener* Impl() { return static_cast<QvNetListener*>(listener); }
  QvSocketBase* Side() { return Impl(); }
  static std::string AcceptedFrom(qvplat::Socket client) {
    return "accept 127.0.0.1:" + std::to_string(qvplat::LocalPort(client));
  }

  qvtest::Peers peers;
  QvNetModule* module = nullptr;
  QvListenerApi* listener = nullptr;
  std::vector<qvplat::Socket> raw;
};

TEST_F(ListenerTest, BindsADottedAddressOrEveryInterfaceAndThePortArgument) {
  // The port inside the address text is ignored; an address may be written
  // short; a name is bound to the address it resolves to; "", "0.0.0.0" and
  // "*" mean every interface. Port 0 lets the system choose, and LocalPort
  // tells which (ListenOnAnyPort); -1 before and after listening.
  const std::pair<const char*, const char*> cases[] = {
      {"127.0.0.1:9000", "127.0.0.1"}, {"127.1", "127.0.0.1"}, {"", "0.0.0.0"}, {"0.0.0.0", "0.0.0.0"},
      {"localhost", "127.0.0.1"}, {"localhost:80", "127.0.0.1"}, {"*", "0.0.0.0"}};
  listener->SetAcceptHandler(peers.NewHandler());
  EXPECT_EQ(listener->LocalPort(), -1);
  int entries = 0;
  for (const auto& [address, bound] : cases) {
    SCOPED_TRACE(address);
    const int port = ListenOnAnyPort(listener, address);
    ASSERT_NE(port, 0);
    sockaddr_in name{};
    socklen_t length = sizeof name;
    ASSERT_EQ(::getsockname(Impl()->ListenSocket(), reinterpret_cast<sockaddr*>(&name), &length), 0);
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &name.sin_addr, dotted, sizeof dotted);
    EXPECT_STREQ(dotted, bound);
    EXPECT_EQ(ntohs(name.sin_port), port);
    qvplat::Socket client = Connect(port);
    ASSERT_TRUE(peers.journal.changed.WaitFor(entries += 3));
    EXPECT_EQ(peers.journal.Entries()[static_cast<size_t>(entries - 3)], AcceptedFrom(client));
  }
  listener->Close();
  EXPECT_EQ(listener->LocalPort(), -1);
}

// Where the listener cannot listen as asked, it does not listen at all, and
// says why in one log line: a name that does not resolve, a digit-led text
// that is no IPv4 address (never looked up as a name), no text at all,
// a text that begins with ':' or holds more than one (an IPv6 text never
// means every interface), a port outside 0-65535 (not cut to its low 16
// bits), an address not on this machine.
// The reports name fixed line numbers (see qvnetlistener.cpp), whatever
// line the code stands on.
TEST_F(ListenerTest, OperationsNotMeantForAListenerReportTheirFixedLines) {
  testing::internal::CaptureStderr();
  Side()->ReservedA(0, 0, 0);
  Side()->Send("", 0);
  Side()->Close();  // the dispatcher's Close: SocketClose
  Side()->Reconnect();
  EXPECT_FALSE(Side()->IsConnected());
  Side()->ReservedC(0);
  Side()->OnRead();
  std::string expected;
#if !defined(NDEBUG)
  for (int line : {35, 37, 38, 22, 23, 25, 33}) {
    expected += "Assertion failed: false, file qvnetlistener, line " + std::to_string(line) + "\n";
  }
#endif
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

TEST_F(ListenerTest, AnAddressOrPortItCannotUseFailsWithOneLogLine) {
  listener->SetAcceptHandler(peers.NewHandler());
  // Port 0 (the system would choose): any of the ports out of range below,
  // cut to its low 16 bits, would listen there.
  const int port = 0;
  struct Case {
    const char* address;
    int port;
    const char* logged;
  };
  const Case cases[] = {
      {"no-such-host.invalid", port, qvplat::SocketErrorText(qvplat::kErrHostNotFound)},
      {"127.0.0.256", port, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {"127.0.0.1.", port, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {"1e3", port, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {nullptr, port, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {":80", port, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {"::", port, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {"::1", port, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {"1::2", port, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {"127.0.0.1", port + 65536, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {"127.0.0.1", port - 65536, qvplat::SocketErrorText(qvplat::kErrInvalidArgument)},
      {"192.0.2.1", port, qvplat::SocketErrorText(qvplat::kErrAddrNotAvailable)},  // a documentation address
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address != nullptr ? c.address : "(null)") + " port " + std::to_string(c.port));
    const std::string before = qvtest::ReadText("Log/Network.log");
    EXPECT_FALSE(listener->Listen(c.address, c.port));
    const std::string log = qvtest::ReadText("Log/Network.log");
    const std::string added = log.size() > before.size() ? log.substr(before.size()) : "";
    EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 1) << added;
    EXPECT_NE(added.find(": " + Format(qvtext::kLogNetError, c.logged) + "\n"), std::string::npos) << added;
    EXPECT_EQ(Impl()->ListenSocket(), qvplat::kNoSocket);
    EXPECT_EQ(SlotsHeldBy(Side()), 0);
  }
}

TEST_F(ListenerTest, ListenPrintsStartListeningAndLogsABusyPort) {
  qvtest::BeginCapture();
  const int port = ListenWithHandler();
  EXPECT_EQ(qvtest::EndCapture(), qvtext::kTraceListening);  // no line end
  ASSERT_NE(port, 0);

  int busy = 0;
  qvplat::Socket other = qvtest::ListenLoopback(&busy);
  ASSERT_NE(other, qvplat::kInvalidSocket);
  raw.push_back(other);
  qvtest::BeginCapture();
  EXPECT_FALSE(listener->Listen("127.0.0.1", busy));
  EXPECT_EQ(qvtest::EndCapture(), "");
  const std::string log = qvtest::ReadText("Log/Network.log");
  EXPECT_NE(log.find(": " + Format(qvtext::kLogNetError, qvplat::SocketErrorText(qvplat::kErrAddrInUse)) + "\n"), std::string::npos) << log;
  EXPECT_EQ(SlotsHeldBy(Side()), 0);  // the old socket went before the new one failed
}

TEST_F(ListenerTest, AcceptedPeerMeetsHandlerThenSinkThenConnectionThenTrace) {
  const int port = ListenWithHandler();
  ASSERT_NE(port, 0);
  qvtest::BeginCapture();
  qvplat::Socket client = Connect(port);
  const bool accepted = peers.journal.changed.WaitFor(3);
  QvSocketManager::Instance().Stop();  // the accepting pass is over
  const std::string out = qvtest::EndCapture();
  ASSERT_TRUE(accepted);

  const std::string from = AcceptedFrom(client);
  EXPECT_EQ(peers.journal.Entries(), (std::vector<std::string>{from, "sink", "connected"}));
  QvSocket* connection = peers.ConnectionOf(client);
  ASSERT_NE(connection, nullptr);
  const int fd = static_cast<QvSocketBase*>(connection)->GetSocket();
  EXPECT_TRUE(qvtest::NoDelayOf(fd));  // small frames go at once
  EXPECT_EQ(out, "eReadEvent\nso_listener!\nnew accept!\n" + std::to_string(fd) + " client connect OK!\n<" + from +
                     "><sink><connected>" + Format(qvtext::kTraceAcceptedFrom, "127.0.0.1"));

  module->Start(0);
  EXPECT_TRUE(connection->IsConnected());
  connection->Send("abc", 3);  // the listener's default codec frames it
  EXPECT_EQ(Receive(client, 7), Frame("abc"));
}

TEST_F(ListenerTest, PeersWaitingTogetherEachGetTheirOwnConnection) {
  const int port = ListenWithHandler();
  ASSERT_NE(port, 0);
  QvSocketManager::Instance().Stop();
  qvplat::Socket clients[3];
  for (qvplat::Socket& c : clients) ASSERT_NE(c = Connect(port), qvplat::kInvalidSocket);
  module->Start(0);
  ASSERT_TRUE(peers.journal.changed.WaitFor(9));

  std::vector<QvSocket*> seen;
  for (qvplat::Socket c : clients) {
    QvSocket* connection = peers.ConnectionOf(c);
    ASSERT_NE(connection, nullptr);
    for (QvSocket* other : seen) EXPECT_NE(other, connection);
    seen.push_back(connection);
    const std::string text = "to " + std::to_string(qvplat::LocalPort(c));
    connection->Send(text.data(), static_cast<int>(text.size()));
    EXPECT_EQ(Receive(c, text.size() + 4), Frame(text));
  }
}

// A peer accepted in a pass is read right after its listener, before the
// pass goes on: the frame of a peer that speaks first is delivered before
// that of a peer in a later slot, though both were there together.
TEST_F(ListenerTest, APeerThatSpeaksFirstIsReadRightAfterItsAccept) {
  const int port = ListenWithHandler();
  ASSERT_NE(port, 0);
  std::vector<std::string> order;  // the worker's, read once it has stopped
  qvtest::Event delivered;
  peers.onPacket = [&](const char* data, int length) {
    order.emplace_back(data, static_cast<size_t>(length));
    delivered.Notify();
  };
  const qvplat::Socket earlier = Connect(port);
  ASSERT_TRUE(peers.journal.changed.WaitFor(3));  // accepted, in the slot after the listener's
  QvSocketManager::Instance().Stop();
  const qvplat::Socket later = Connect(port);
  for (auto [peer, text] : {std::pair{earlier, "earlier"}, std::pair{later, "later"}}) {
    const std::string frame = Frame(text);
    ASSERT_TRUE(qvtest::SendAll(peer, frame.data(), frame.size()));
  }
  module->Start(0);
  ASSERT_TRUE(delivered.WaitFor(2));
  QvSocketManager::Instance().Stop();
  EXPECT_EQ(order, (std::vector<std::string>{"later", "earlier"}));
}

// A burst of peers that all connect while the worker accepts none: the
// accept queue takes every one, so each handshake completes at once instead
// of having its SYN dropped and retried a second or more later. Then every
// peer is served. One generous bound for the whole burst.
TEST_F(ListenerTest, ABurstOfPeersIsQueuedWholeAndServed) {
  qvtest::Peers echoing(true);
  QvListenerApi* burst = module->CreateListener();
  burst->SetAcceptHandler(echoing.NewHandler());
  const int port = ListenOnAnyPort(burst);
  ASSERT_NE(port, 0);
  QvSocketManager::Instance().Stop();
  constexpr int kPeers = 64;
  std::vector<qvplat::Socket> clients;
  for (int i = 0; i < kPeers; ++i) {
    const qvplat::Socket c = qvplat::TcpSocket();
    ASSERT_NE(c, qvplat::kInvalidSocket);
    raw.push_back(c);
    clients.push_back(c);
    ASSERT_TRUE(qvplat::SetNonBlocking(c));
    ASSERT_GE(qvtest::StartConnect(c, port), 0);
  }
  const auto deadline = std::chrono::steady_clock::now() + qvtest::kEventTimeout;
  auto waitFor = [&](qvplat::Socket c, short events) {
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{c, events, 0};
    return left > 0 && ::poll(&p, 1, static_cast<int>(left)) == 1;
  };
  int queued = 0;  // connected, though nobody has accepted them yet
  for (qvplat::Socket c : clients) queued += waitFor(c, POLLOUT) ? 1 : 0;
  EXPECT_EQ(queued, kPeers);

  module->Start(0);
  auto echoed = [&](qvplat::Socket c) {
    const std::string frame = Frame("peer " + std::to_string(qvplat::LocalPort(c)));
    const int length = static_cast<int>(frame.size());
    if (!waitFor(c, POLLOUT) || qvplat::SendSome(c, frame.data(), length) != length) return false;
    std::string echo;
    char buffer[64];
    while (echo.size() < frame.size()) {
      const int n = waitFor(c, POLLIN) ? qvplat::RecvSome(c, buffer, sizeof buffer) : 0;
      if (n <= 0) return false;
      echo.append(buffer, static_cast<size_t>(n));
    }
    return echo == frame;
  };
  int served = 0;
  for (qvplat::Socket c : clients) served += echoed(c) ? 1 : 0;
  EXPECT_EQ(served, kPeers);
  qvtest::DestroyListener(burst, &echoing);
}

TEST_F(ListenerTest, ApplicationCodecServesLaterPeersAndGoesBeforeTheHandler) {
  std::vector<std::string> deaths;
  listener->SetAcceptHandler(peers.NewHandler(&deaths));
  const int port = ListenOnAnyPort(listener);
  ASSERT_NE(port, 0);
  qvplat::Socket early = Connect(port);
  ASSERT_TRUE(peers.journal.changed.WaitFor(3));
  listener->SetCodec(new qvtest::MarkerCodec(&deaths));
  qvplat::Socket late = Connect(port);
  ASSERT_TRUE(peers.journal.changed.WaitFor(6));
  peers.ConnectionOf(early)->Send("x", 1);
  peers.ConnectionOf(late)->Send("x", 1);
  EXPECT_EQ(Receive(early, 5), Frame("x"));
  EXPECT_EQ(Receive(late, 6), Frame("#x"));

  peers.DeleteConnections();
  EXPECT_EQ(InterestOf(Impl()->ListenSocket()), static_cast<int>(ReadInterest));
  listener->ReleaseHandlers();
  EXPECT_EQ(deaths, (std::vector<std::string>{"codec", "handler"}));
  EXPECT_EQ(InterestOf(Impl()->ListenSocket()), 0);  // no handler: no accepting
  listener->ReleaseHandlers();
  EXPECT_EQ(deaths.size(), 2u);
}

TEST_F(ListenerTest, NoPeerIsAcceptedBeforeAHandlerIsSet) {
  const int port = ListenOnAnyPort(listener);
  ASSERT_NE(port, 0);
  EXPECT_EQ(InterestOf(Impl()->ListenSocket()), 0);
  qvtest::BeginCapture();
  qvplat::Socket waiting = Connect(port);
  // A later listener with a handler: once the worker has served it, it has
  // passed over the first one (earlier slot) with its peer already waiting.
  qvtest::Peers fencePeers;
  QvListenerApi* fence = module->CreateListener();
  fence->SetAcceptHandler(fencePeers.NewHandler());
  Connect(ListenOnAnyPort(fence));
  const bool fenced = fencePeers.journal.changed.WaitFor(3);
  QvSocketManager::Instance().Stop();
  const std::string out = qvtest::EndCapture();
  qvtest::DestroyListener(fence, &fencePeers);
  ASSERT_TRUE(fenced);
  EXPECT_TRUE(peers.journal.Entries().empty());
  EXPECT_EQ(out.find("so_listener!"), out.rfind("so_listener!")) << out;  // the fence's only

  module->Start(0);
  listener->SetAcceptHandler(peers.NewHandler());
  EXPECT_EQ(InterestOf(Impl()->ListenSocket()), static_cast<int>(ReadInterest));
  ASSERT_TRUE(peers.journal.changed.WaitFor(3));
  EXPECT_EQ(peers.journal.Entries()[0], AcceptedFrom(waiting));
}

// Close on an application thread returns only once an accept under way
// has finished, so that ReleaseHandlers may follow at once.
TEST_F(ListenerTest, CloseWaitsForAnAcceptUnderWay) {
  std::mutex mutex;
  std::vector<std::string> order;
  qvtest::Event inside, release;
  qvtest::Journal journal;
  qvtest::Sink sink(&journal, false);
  class SlowHandler : public QvAcceptHandler {
   public:
    SlowHandler(std::function<void(const char*)> note, qvtest::Event& inside, qvtest::Event& release,
                QvConnectionSink* sink)
        : note_(std::move(note)), inside_(inside), release_(release), sink_(sink) {}
    ~SlowHandler() override { note_("deleted"); }
    void OnAccept(const sockaddr_in*) override {
      inside_.Notify();
      release_.WaitFor(1);
      note_("accepted");
    }
    QvConnectionSink* CreateSink() override { return sink_; }

   private:
    std::function<void(const char*)> note_;
    qvtest::Event& inside_;
    qvtest::Event& release_;
    QvConnectionSink* sink_;
  };
  auto note = [&](const char* what) {
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(what);
  };
  listener->SetAcceptHandler(new SlowHandler(note, inside, release, &sink));
  const int port = ListenOnAnyPort(listener);
  ASSERT_NE(port, 0);
  ASSERT_NE(Connect(port), qvplat::kInvalidSocket);
  ASSERT_TRUE(inside.WaitFor(1));
  qvtest::Event closed;
  std::thread closer([&] {
    listener->Close();
    listener->ReleaseHandlers();
    closed.Notify();
  });
  EXPECT_FALSE(closed.WaitFor(1, std::chrono::milliseconds(200)));  // held up by the accept
  release.Notify();
  closer.join();
  EXPECT_EQ(order, (std::vector<std::string>{"accepted", "deleted"}));
  ASSERT_TRUE(journal.changed.WaitFor(1));  // the peer's connection, made before the handler went
  delete sink.connection.load();
}

// ReleaseHandlers, and deleting a listener that was never closed, wait as
// Close does for an accept under way: the handler is not deleted while the
// worker is inside it. Peers keep connecting meanwhile; the address
// sanitizer's build tells a handler used after it went.
TEST_F(ListenerTest, ReleaseHandlersAndDeleteWaitForAnAcceptUnderWay) {
  constexpr int kRounds = 20;
  constexpr int kPeers = 16;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const bool release = round % 2 == 0;  // else deleted with its handler set
    qvtest::Peers racing;
    QvAcceptHandler* handler = racing.NewHandler();
    QvListenerApi* racer = module->CreateListener();
    racer->SetAcceptHandler(handler);
    const int port = ListenOnAnyPort(racer);
    ASSERT_NE(port, 0);
    std::thread connecting([port] {
      for (int i = 0; i < kPeers; ++i) {
        const qvplat::Socket s = RawConnect(port);
        if (s == qvplat::kInvalidSocket) return;  // the listener is gone
        qvplat::CloseSocket(s);
      }
    });
    EXPECT_TRUE(racing.journal.changed.WaitFor(1));  // accepting
    if (release) racer->ReleaseHandlers();
    delete racer;
    if (!release) delete handler;
    connecting.join();
    racing.DeleteConnections();
  }
}

// ReleaseHandlers inside the listener's own OnAccept: the codec goes at
// once and the handler when the accept is over; the peer, which would have
// needed both, is turned away.
TEST_F(ListenerTest, ReleaseHandlersInsideItsOwnAcceptTurnsThePeerAway) {
  class Releasing : public QvAcceptHandler {
   public:
    Releasing(QvListenerApi* listener, std::vector<std::string>* notes, qvtest::Event* gone)
        : listener_(listener), notes_(notes), gone_(gone) {}
    ~Releasing() override {
      notes_->push_back("handler");
      gone_->Notify();
    }
    void OnAccept(const sockaddr_in*) override {
      listener_->ReleaseHandlers();
      notes_->push_back("accepted");
    }
    QvConnectionSink* CreateSink() override {
      notes_->push_back("sink");
      return nullptr;
    }

   private:
    QvListenerApi* listener_;
    std::vector<std::string>* notes_;
    qvtest::Event* gone_;
  };
  std::vector<std::string> notes;  // the worker's until `gone`
  qvtest::Event gone;
  listener->SetCodec(new qvtest::MarkerCodec(&notes));
  listener->SetAcceptHandler(new Releasing(listener, &notes, &gone));
  const qvplat::Socket client = Connect(ListenOnAnyPort(listener));
  ASSERT_NE(client, qvplat::kInvalidSocket);
  ASSERT_TRUE(gone.WaitFor(1));
  EXPECT_EQ(notes, (std::vector<std::string>{"codec", "accepted", "handler"}));
  char byte;
  EXPECT_EQ(qvplat::RecvSome(client, &byte, 1), 0);  // end of stream
  EXPECT_EQ(InterestOf(Impl()->ListenSocket()), 0);
}

// A connection's OnPacket runs with its receive lock held; from there a
// listener may still be closed, listen again, or be released and deleted.
// Debug builds check the lock order on the way.
TEST_F(ListenerTest, AConnectionsCallbackMayCloseListenOrDeleteAListener) {
  const std::function<bool(QvListenerApi*&)> calls[] = {
      [](QvListenerApi*& other) {
        other->Close();
        return true;
      },
      [](QvListenerApi*& other) { return other->Listen("127.0.0.1", 0); },
      [](QvListenerApi*& other) {
        other->ReleaseHandlers();
        delete other;
        other = nullptr;
        return true;
      },
  };
  std::atomic<size_t> row{0};
  std::atomic<bool> succeeded{false};
  QvListenerApi* other = nullptr;  // handed to the worker with each frame
  qvtest::Event called;
  peers.onPacket = [&](const char*, int) {
    succeeded.store(calls[row.load()](other));
    called.Notify();
  };
  const qvplat::Socket client = Connect(ListenWithHandler());
  ASSERT_NE(client, qvplat::kInvalidSocket);
  ASSERT_TRUE(peers.journal.changed.WaitFor(3));
  for (size_t i = 0; i < std::size(calls); ++i) {
    SCOPED_TRACE(i);
    qvtest::Peers otherPeers;
    other = module->CreateListener();
    other->SetAcceptHandler(otherPeers.NewHandler());
    ASSERT_NE(ListenOnAnyPort(other), 0);
    row.store(i);
    const std::string frame = Frame("x");
    ASSERT_TRUE(qvtest::SendAll(client, frame.data(), frame.size()));
    ASSERT_TRUE(called.WaitFor(static_cast<int>(i) + 1));
    EXPECT_TRUE(succeeded.load());
    if (other != nullptr) qvtest::DestroyListener(other, &otherPeers);
  }
}

// ------------------------------------------------------------- slot table

TEST_F(ListenerTest, OnlyTheApplicationsCloseClosesAndItFreesTheSlot) {
  const int port = ListenWithHandler();
  ASSERT_NE(port, 0);
  Side()->Close();  // the dispatcher's Close is not the application's
  EXPECT_EQ(SlotsHeldBy(Side()), 1);

  listener->Close();
  EXPECT_EQ(SlotsHeldBy(Side()), 0);
  EXPECT_EQ(Impl()->ListenSocket(), qvplat::kNoSocket);
  EXPECT_EQ(RawConnect(port), qvplat::kInvalidSocket);  // refused at once
  listener->Close();
  EXPECT_EQ(SlotsHeldBy(Side()), 0);

  QvListenerApi* other = module->CreateListener();
  const int otherPort = ListenOnAnyPort(other);
  ASSERT_NE(otherPort, 0);
  const qvplat::Socket s = static_cast<QvNetListener*>(other)->ListenSocket();
  other->ReleaseHandlers();  // its own codec; the slot stays
  EXPECT_EQ(InterestOf(s), 0);
  delete other;
  EXPECT_EQ(InterestOf(s), -1);
  EXPECT_EQ(RawConnect(otherPort), qvplat::kInvalidSocket);
}

TEST_F(ListenerTest, ListeningAgainReplacesTheSocketEvenOnTheSamePort) {
  const int first = ListenWithHandler();
  const int second = ListenOnAnyPort(listener);
  ASSERT_NE(first, 0);
  ASSERT_NE(second, 0);
  EXPECT_EQ(SlotsHeldBy(Side()), 1);
  EXPECT_EQ(qvplat::LocalPort(Impl()->ListenSocket()), second);
  EXPECT_EQ(RawConnect(first), qvplat::kInvalidSocket);
#if !defined(_WIN32)
  // POSIX only: there binding sets SO_REUSEADDR, so the port is free again
  // at once. Windows keeps it while the worker's select() still holds the
  // closed socket, and the option would let others take the port there.
  for (int round = 1; round <= 6; ++round) {
    // Having just accepted through it, the worker is back polling the socket.
    ASSERT_NE(Connect(second), qvplat::kInvalidSocket) << "round " << round;
    ASSERT_TRUE(peers.journal.changed.WaitFor(3 * round));
    if (round % 2 == 0) listener->Close();  // else Listen closes it
    ASSERT_TRUE(listener->Listen("127.0.0.1", second)) << "round " << round;
  }
#endif
  EXPECT_EQ(SlotsHeldBy(Side()), 1);
}

// Each refusal is logged: the listener's, and each peer's.
TEST_F(ListenerTest, FullTableRefusesTheListenerAndClosesAcceptedPeers) {
  const std::string tableFull = ": " + std::string(qvtext::kLogTableFull) + "\n";
  auto timesLogged = [&] {
    const std::string log = qvtest::ReadText("Log/Network.log");
    size_t n = 0;
    for (size_t at = log.find(tableFull); at != std::string::npos; at = log.find(tableFull, at + 1)) ++n;
    return n;
  };
  const size_t loggedBefore = timesLogged();
  QvSocketManager& table = QvSocketManager::Instance();
  table.Stop();
  // A table of one slot, taken by a socket of its own.
  table.Init(1);
  qvtest::SocketPair filler;
  ASSERT_TRUE(qvtest::MakeLoopbackPair(&filler));
  ASSERT_EQ(table.Register(filler.local, 0, nullptr), 1);
  // A port the listener binds before the full table refuses it, so that
  // the connect below can tell whether it was left listening: one that was
  // free a moment ago (a socket holding it would keep the listener from
  // binding at all, and port 0 names no port to connect to).
  const int refused = qvtest::FreePort();
  EXPECT_FALSE(listener->Listen("127.0.0.1", refused));
  EXPECT_EQ(RawConnect(refused), qvplat::kInvalidSocket);  // not left listening
  EXPECT_EQ(timesLogged(), loggedBefore + 1);

  table.Unregister(filler.local);  // room for the listener alone
  filler.Close();
  const int port = ListenWithHandler();
  ASSERT_NE(port, 0);
  module->Start(0);
  qvtest::BeginCapture();
  qvplat::Socket client = Connect(port);
  ASSERT_NE(client, qvplat::kInvalidSocket);
  char byte;
  EXPECT_EQ(qvplat::RecvSome(client, &byte, 1), 0);  // end of stream
  ASSERT_TRUE(peers.journal.changed.WaitFor(3));
  table.Stop();
  const std::string out = qvtest::EndCapture();
  // The sink made for the peer hears that its connection could not be made.
  EXPECT_EQ(peers.journal.Entries(), (std::vector<std::string>{AcceptedFrom(client), "sink", "failed"}));
  EXPECT_NE(out.find(qvtext::kTraceTableFull), std::string::npos) << out;
  EXPECT_EQ(timesLogged(), loggedBefore + 2);
  table.Init(QvSocketManager::kDefaultCapacity);
}

// ---------------------------------------------------- out of descriptors

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
// Lets the process open no descriptor above `count` - 1; true on success.
bool LimitDescriptors(rlim_t count) {
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  limit.rlim_cur = count;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// The descriptor the process would open next.
rlim_t LowestFreeDescriptor() {
  const int lowest = ::dup(0);
  ::close(lowest);
  return static_cast<rlim_t>(lowest);
}

// Connects the test's socket s, and true once the listener turned it away.
bool TurnedAway(qvplat::Socket s, int port) {
  char byte;
  return qvplat::ConnectIPv4(s, qvplat::LoopbackAddress(), port) && qvplat::RecvSome(s, &byte, 1) == 0;
}

// Out of descriptors, a listener turns each waiting peer away with the one
// it keeps spare for that. With no descriptor at all, the spare it let go
// for a peer cannot be had back (as when another thread took its number):
// then the listener rests between tries instead of being ready on every
// pass, which an echo's round trips count meanwhile. The log has one line
// from the first failure to the next accept, which also takes the spare
// back. In a process of its own, with its descriptor limit lowered; POSIX
// only, and not with the address sanitizer's build (see PollerFailureTest).
TEST_F(ListenerTest, OutOfDescriptorsItLogsOnceAndRestsWithoutASpare) {
  const std::string here = std::filesystem::current_path().string();
  QVTEST_EXPECT_CHILD(here, [this] {
    constexpr int kTrips = 40;
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 11;
    const rlim_t usual = limit.rlim_cur;
    qvtest::Peers echoing(true);
    listener->SetAcceptHandler(echoing.NewHandler());
    const int port = ListenOnAnyPort(listener);
    const qvplat::Socket echo = Connect(port);
    qvplat::Socket waiting[3];  // made now: none can be made later
    for (qvplat::Socket& w : waiting) raw.push_back(w = qvplat::TcpSocket());
    if (port == 0 || echo == qvplat::kInvalidSocket || !echoing.journal.changed.WaitFor(3)) return 1;
    qvtest::BeginCapture();
    if (!LimitDescriptors(LowestFreeDescriptor()) || !TurnedAway(waiting[0], port)) return 2;
    std::printf("<no spare>");
    if (!LimitDescriptors(0) || !qvplat::ConnectIPv4(waiting[1], qvplat::LoopbackAddress(), port)) return 3;
    const std::string ping = Frame("ping");
    for (int i = 0; i < kTrips; ++i) {
      if (!qvtest::SendAll(echo, ping.data(), ping.size()) || Receive(echo, ping.size()) != ping) return 4;
    }
    std::printf("<echoed>");
    if (!LimitDescriptors(usual)) return 5;
    const std::string out = qvtest::EndCapture();
    const std::string resting = out.substr(out.find("<no spare>"), out.find("<echoed>") - out.find("<no spare>"));
    if (qvtest::Occurrences(resting, "so_listener!") >= kTrips / 2) return 6;
    if (!echoing.journal.changed.WaitFor(6)) return 7;  // accepted once there are descriptors
    if (!LimitDescriptors(LowestFreeDescriptor()) || !TurnedAway(waiting[2], port)) return 8;
    if (!LimitDescriptors(usual)) return 9;
    const std::string tooMany = ": " + Format(qvtext::kLogNetError, qvplat::SocketErrorText(qvplat::kErrTooManyFiles));
    return qvtest::Occurrences(qvtest::ReadText("Log/Network.log"), tooMany) == 2 ? 0 : 10;
  });
}
#endif

}  // namespace

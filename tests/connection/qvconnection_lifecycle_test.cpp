// A connection's life over loopback, against a peer made of plain sockets:
// the outgoing connect and its host texts, Reconnect, closes from either
// side, a full slot table, and deleting a connection that is still live.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "connectiontestpeer.h"

namespace {

using namespace conntest;

class ConnectionLifecycleTest : public ConnectionTest {};

TEST_F(ConnectionLifecycleTest, ConnectRegistersReportsTracesAndLogs) {
  RecordingSink sink;
  int port = 0;
  RawSocket listener = Listen(&port);
  auto conn = NewConnection(&sink);

  qvtest::BeginCapture();
  conn->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  std::string out = qvtest::EndCapture();
  RawSocket peer = Accept(listener);

  EXPECT_EQ(sink.ConnectedWith(), std::vector<QvSocket*>{conn.get()});
  EXPECT_EQ(sink.connectFailed.Count(), 0);
  EXPECT_TRUE(conn->IsConnected());
  const qvplat::Socket s = conn->GetSocket();
  ASSERT_NE(s, qvplat::kNoSocket);
  EXPECT_EQ(SlotsWhere([&](const QvSocketManager::SlotView& v) {
              return v.socketHandle == s && v.handler == conn.get() && v.interest == ReadInterest;
            }),
            1);
  EXPECT_NE(out.find(Format(qvtext::kTraceConnected, "127.0.0.1")), std::string::npos);
  std::vector<std::string> lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(EndsWith(lines.back(), Format(qvtext::kLogConnectSuccess, static_cast<int>(s), "127.0.0.1", port)))
      << lines.back();
}

TEST_F(ConnectionLifecycleTest, RefusedConnectFailsOnceAndLeavesNothingBehind) {
  RecordingSink sink;
  int port = 0;
  Listen(&port);  // closed again at once: nobody listens on the port now
  const std::string logBefore = qvtest::ReadFile("./Log/Network.log");
  auto conn = NewConnection(&sink);

  conn->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);

  EXPECT_EQ(sink.connectFailed.Count(), 1);
  EXPECT_EQ(sink.connected.Count(), 0);
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
  EXPECT_EQ(UsedSlots(), 0);
  EXPECT_EQ(qvtest::ReadFile("./Log/Network.log"), logBefore);
}

// Whatever the host text, these all end up at 127.0.0.1 on the port argument.
class HostTextTest : public ConnectionTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(HostTextTest, ConnectsToLoopbackOnThePortArgument) {
  RecordingSink sink;
  int port = 0;
  RawSocket listener = Listen(&port);
  auto conn = NewConnection(&sink);

  conn->Connect(GetParam().c_str(), port, 0, nullptr, 0, nullptr, nullptr);
  RawSocket peer = Accept(listener);

  EXPECT_EQ(sink.connected.Count(), 1);
  EXPECT_TRUE(conn->IsConnected());
  ASSERT_FALSE(LogLines().empty());
  EXPECT_TRUE(EndsWith(LogLines().back(), Format(",Addr:127.0.0.1,Port:%d", port)));
}

std::string HostCaseName(const ::testing::TestParamInfo<std::string>& info) {
  static const char* const kNames[] = {"PortInText", "UnresolvedName", "OverlongText"};
  return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostTextTest,
                         ::testing::Values("127.0.0.1:8000",  // the text's port does not count
                                           "no-such-host.invalid",  // unresolved: loopback
                                           "127.0.0.1:" + std::string(600, 'x')),  // cut, then cut at ':'
                         HostCaseName);

TEST_F(ConnectionLifecycleTest, ReconnectGoesBackToTheResolvedAddress) {
  RecordingSink sink;
  int port = 0;
  RawSocket listener = Listen(&port);
  auto conn = NewConnection(&sink);

  conn->Connect("localhost", port, 0, nullptr, 0, nullptr, nullptr);
  RawSocket first = Accept(listener);
  conn->Close();
  EXPECT_TRUE(SeesEnd(first.Get()));

  conn->Reconnect();
  RawSocket second = Accept(listener);
  EXPECT_EQ(sink.connected.Count(), 2);
  EXPECT_EQ(sink.connectFailed.Count(), 0);
  ASSERT_TRUE(conn->IsConnected());
  EXPECT_TRUE(EndsWith(LogLines().back(), Format(",Addr:127.0.0.1,Port:%d", port)));

  conn->Send("again", 5);
  std::string payload;
  ASSERT_TRUE(RecvFrame(second.Get(), &payload));
  EXPECT_EQ(payload, "again");
}

TEST_F(ConnectionLifecycleTest, ReconnectWithoutAnEarlierConnectOnlyFails) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);

  conn->Reconnect();

  EXPECT_EQ(sink.connectFailed.Count(), 1);
  EXPECT_EQ(sink.connected.Count(), 0);
  EXPECT_EQ(sink.disconnected.Count(), 0);
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
  EXPECT_EQ(UsedSlots(), 0);
}

TEST_F(ConnectionLifecycleTest, OtherModesFailWithoutContactingThePeer) {
  RecordingSink sink;
  int port = 0;
  RawSocket listener = Listen(&port);
  auto conn = NewConnection(&sink);

  conn->Connect("127.0.0.1", port, 1, nullptr, 0, nullptr, nullptr);

  EXPECT_EQ(sink.connectFailed.Count(), 1);
  EXPECT_EQ(sink.connected.Count(), 0);
  EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
  EXPECT_FALSE(Ready(listener.Get(), POLLIN));  // nobody knocked
  EXPECT_EQ(UsedSlots(), 0);
}

TEST_F(ConnectionLifecycleTest, ConnectOnALiveConnectionClosesTheOldSocketFirst) {
  RecordingSink sink;
  int port = 0;
  RawSocket listener = Listen(&port);
  auto conn = NewConnection(&sink);

  conn->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  RawSocket first = Accept(listener);
  conn->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  RawSocket second = Accept(listener);

  char b;
  EXPECT_EQ(qvplat::RecvSome(first.Get(), &b, 1), 0);  // a clean end of stream
  EXPECT_EQ(sink.connected.Count(), 2);
  EXPECT_EQ(sink.disconnected.Count(), 0);
  EXPECT_EQ(UsedSlots(), 1);
  EXPECT_EQ(SlotsWhere([&](const QvSocketManager::SlotView& v) { return v.handler == conn.get(); }), 1);
}

TEST_F(ConnectionLifecycleTest, ApplicationCloseIsSilentAndRepeatable) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);

  conn->Close();
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
  EXPECT_EQ(UsedSlots(), 0);
  EXPECT_TRUE(SeesEnd(peer.Get()));
  conn->Close();

  manager.Stop();  // nothing can still be on its way to the sink
  EXPECT_EQ(sink.disconnected.Count(), 0);
  EXPECT_EQ(sink.connectFailed.Count(), 0);
  EXPECT_EQ(sink.packet.Count(), 0);
}

TEST_F(ConnectionLifecycleTest, PeerCloseDisconnectsOnceAndLogsOneLine) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  const size_t linesBefore = LogLines().size();

  peer.Reset();
  ASSERT_TRUE(sink.disconnected.WaitFor(1));
  manager.Stop();

  EXPECT_EQ(sink.disconnected.Count(), 1);
  EXPECT_FALSE(conn->IsConnected());
  EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
  EXPECT_EQ(UsedSlots(), 0);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), linesBefore + 1);
  const std::string prefix(qvtext::kLogNetError, sizeof qvtext::kLogNetError - 3);  // without "%s"
  EXPECT_NE(lines.back().find(prefix), std::string::npos) << lines.back();
}

TEST_F(ConnectionLifecycleTest, AttachToAFullTableFailsQuietlyAndLeavesTheSocketToClose) {
  RecordingSink sink;
  qvtest::SocketPair pair;
  ASSERT_TRUE(qvtest::MakeLoopbackPair(&pair));
  RawSocket remote(pair.remote);
  BoundWaits(remote.Get());
  auto conn = NewConnection(&sink);
  auto placeholder = NewConnection(nullptr);

  manager.Stop();  // the worker must never see the made-up socket numbers
  for (int i = 0; i < manager.Capacity(); ++i) {
    ASSERT_EQ(manager.Register(static_cast<qvplat::Socket>(1000 + i), 0, placeholder.get()), 1);
  }
  qvtest::BeginCapture();
  const bool attached = conn->Attach(pair.local);
  const std::string out = qvtest::EndCapture();
  ASSERT_TRUE(manager.Init(QvSocketManager::kDefaultCapacity));
  ASSERT_EQ(manager.Start(), 0);

  EXPECT_FALSE(attached);
  EXPECT_EQ(out, qvtext::kTraceTableFull);
  EXPECT_EQ(sink.connected.Count(), 0);
  EXPECT_FALSE(conn->IsConnected());
  // The listener turns such a peer away with Close: it closes the socket.
  conn->Close();
  EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
  EXPECT_TRUE(SeesEnd(remote.Get()));
  EXPECT_EQ(sink.disconnected.Count(), 0);
}

TEST_F(ConnectionLifecycleTest, DeletingALiveConnectionWhileThePeerStreamsFreesEverything) {
  RecordingSink sink;
  auto conn = NewConnection(&sink);
  RawSocket peer = ConnectPeer(*conn);
  const qvplat::Socket s = conn->GetSocket();
  const auto handler = reinterpret_cast<std::uintptr_t>(conn.get());

  std::thread streamer([&] {
    const std::string frame = Frame(Pattern(1, 1000));
    for (int i = 0; i < 1000000 && qvtest::SendAll(peer.Get(), frame.data(), frame.size()); ++i) {
    }
  });
  ASSERT_TRUE(sink.packet.WaitFor(50));  // the worker is busy with it
  conn.reset();
  streamer.join();  // its sends fail once the socket is gone

  EXPECT_EQ(SlotsWhere([&](const QvSocketManager::SlotView& v) {
              return v.socketHandle == s || reinterpret_cast<std::uintptr_t>(v.handler) == handler;
            }),
            0);
  EXPECT_TRUE(SeesEnd(peer.Get()));
  EXPECT_EQ(sink.disconnected.Count(), 0);
}

TEST_F(ConnectionLifecycleTest, OverlongExtraTextsAreCutAndSurviveReconnect) {
  RecordingSink sink;
  int port = 0;
  RawSocket listener = Listen(&port);
  auto conn = NewConnection(&sink);
  const std::string a(200, 'a'), b(200, 'b'), c(200, 'c');

  conn->Connect("127.0.0.1", port, 0, a.c_str(), 7, b.c_str(), c.c_str());
  RawSocket first = Accept(listener);
  conn->Close();
  conn->Reconnect();
  RawSocket second = Accept(listener);

  EXPECT_EQ(sink.connected.Count(), 2);
  EXPECT_TRUE(conn->IsConnected());
}

// A peer that sends and leaves the moment it is accepted: whatever the
// worker makes of that comes after OnConnected, and leaves the connection
// closed for good.
TEST_F(ConnectionLifecycleTest, PeerLeavingAtOnceIsReportedAfterOnConnected) {
  for (int round = 0; round < 500; ++round) {
    SCOPED_TRACE(round);
    RecordingSink sink;
    int port = 0;
    RawSocket listener = Listen(&port);
    std::thread peer([&] {
      RawSocket accepted(qvplat::AcceptPeer(listener.Get(), nullptr));
      const std::string frame = Frame("bye");
      if (round % 2 == 0) qvtest::SendAll(accepted.Get(), frame.data(), frame.size());
    });
    auto conn = NewConnection(&sink);
    conn->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
    peer.join();
    ASSERT_TRUE(sink.disconnected.WaitFor(1));

    const std::vector<std::string> calls = sink.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "connected");
    EXPECT_EQ(calls.back(), "disconnected");
    EXPECT_FALSE(conn->IsConnected());
    EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
    if (HasFailure()) break;
  }
}

}  // namespace

// The client connector: the framing of the connections it makes, its codec,
// failed and repeated connects, its release, and the record of its attempts.
// The server is a raw blocking socket on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "client/qvnetclientimpl.h"
#include "diag/qvtexts.h"
#include "dispatch/qvsocketbase.h"
#include "qvnet.h"
#include "support/qvrecordingsink.h"
#include "support/qvtestos.h"
#include "support/qvtestpeers.h"
#include "support/qvtestsupport.h"

namespace {

using qvtest::Frame;
using qvtest::Receive;
using qvtest::Sink;

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(server = qvtest::ListenLoopback(&port), qvplat::kInvalidSocket); }
  void TearDown() override {
    for (qvplat::Socket s : accepted) qvplat::CloseSocket(s);
    if (server != qvplat::kInvalidSocket) qvplat::CloseSocket(server);
  }
  QvNetClientImpl* Impl() { return static_cast<QvNetClientImpl*>(connector.client); }
  // The new connection, told to its sink before Connect returned; or null.
  QvSocket* Connect(const std::string& host = "127.0.0.1") { return connector.Connect(port, host).connection.load(); }
  // The server's end of the next connection, with reads that give up.
  qvplat::Socket Accept() {
    qvplat::Socket s = qvplat::AcceptPeer(server, nullptr);
    qvtest::SetTimeouts(s, 10);
    accepted.push_back(s);
    return s;
  }
  // Sends the frame of `payload` from `peer`; `sink` must get it.
  void ExpectPacket(qvplat::Socket peer, Sink& sink, const std::string& payload) {
    const int before = sink.packets.Count();
    const std::string f = Frame(payload);
    ASSERT_TRUE(qvtest::SendAll(peer, f.data(), f.size()));
    ASSERT_TRUE(sink.packets.WaitFor(before + 1));
    EXPECT_EQ(sink.Packet(static_cast<size_t>(before)), payload);
  }

  qvtest::MarkerCodec marker;  // outlives the connections that use it
  qvtest::Connector connector;
  qvplat::Socket server = qvplat::kInvalidSocket;
  int port = 0;
  std::vector<qvplat::Socket> accepted;
};

TEST_F(ClientTest, ConnectionFramesWithTheLengthPrefixAndConnectsOnTheCallersThread) {
  Sink& sink = connector.Connect(port);
  QvSocket* c = sink.connection.load();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(sink.connectedOn, std::this_thread::get_id());
  EXPECT_TRUE(c->IsConnected());
  qvplat::Socket peer = Accept();

  c->Send("hello", 5);
  c->Send("", 0);
  EXPECT_EQ(Receive(peer, 13), std::string("\x09\0\0\0hello\x04\0\0\0", 13));
  ExpectPacket(peer, sink, "pong");
}

TEST_F(ClientTest, ApplicationCodecServesOnlyLaterConnections) {
  QvSocket* before = Connect();
  ASSERT_NE(before, nullptr);
  qvplat::Socket peerBefore = Accept();
  connector.client->SetCodec(&marker);
  QvSocket* after = Connect();
  ASSERT_NE(after, nullptr);
  qvplat::Socket peerAfter = Accept();

  before->Send("x", 1);
  after->Send("x", 1);
  EXPECT_EQ(Receive(peerBefore, 5), Frame("x"));
  EXPECT_EQ(Receive(peerAfter, 6), Frame("#x"));
}

TEST_F(ClientTest, RefusedConnectReportsFailureThenPrintsIt) {
  qvplat::CloseSocket(server);  // nobody listens on the port now
  server = qvplat::kInvalidSocket;
  qvtest::BeginCapture();
  QvSocket* c = Connect();
  const std::string out = qvtest::EndCapture();
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(connector.journal.Entries(), std::vector<std::string>{"failed"});
  EXPECT_EQ(out, std::string("<failed>") + qvtext::kTraceConnectFailed);
  EXPECT_FALSE(Impl()->HasConnected());
  EXPECT_EQ(Impl()->ClientSocket(), qvplat::kNoSocket);
}

TEST_F(ClientTest, TwoConnectsGiveTwoIndependentConnections) {
  Sink& firstSink = connector.Connect(port);
  Sink& secondSink = connector.Connect(port);
  QvSocket* first = firstSink.connection.load();
  QvSocket* second = secondSink.connection.load();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(Impl()->ClientSocket(), static_cast<QvSocketBase*>(second)->GetSocket());
  qvplat::Socket peerFirst = Accept();  // accepted in the order of the connects
  qvplat::Socket peerSecond = Accept();

  first->Send("one", 3);
  second->Send("two", 3);
  EXPECT_EQ(Receive(peerFirst, 7), Frame("one"));
  EXPECT_EQ(Receive(peerSecond, 7), Frame("two"));
  ExpectPacket(peerFirst, firstSink, "a");
  ExpectPacket(peerSecond, secondSink, "b");

  first->Close();
  char byte;
  EXPECT_EQ(qvplat::RecvSome(peerFirst, &byte, 1), 0);
  EXPECT_TRUE(second->IsConnected());
  second->Send("still", 5);
  EXPECT_EQ(Receive(peerSecond, 9), Frame("still"));
}

TEST_F(ClientTest, ReleasedConnectorLeavesItsConnectionsWorking) {
  Sink& sink = connector.Connect(port);
  ASSERT_NE(sink.connection.load(), nullptr);
  qvplat::Socket peer = Accept();
  connector.client->Release();
  connector.client = nullptr;

  sink.connection.load()->Send("after", 5);
  EXPECT_EQ(Receive(peer, 9), Frame("after"));
  ExpectPacket(peer, sink, "back");
}

TEST_F(ClientTest, RecordKeepsTheFirst127CharactersOfTheHostText) {
  const std::string host = "127.0.0.1:" + std::string(200, 'x');
  QvSocket* c = Connect(host);  // the attempt itself cuts at ':'
  ASSERT_NE(c, nullptr);
  Accept();
  EXPECT_EQ(std::string(Impl()->HostText()), host.substr(0, 127));
  EXPECT_EQ(Impl()->Port(), port);
  EXPECT_TRUE(Impl()->HasConnected());
  EXPECT_EQ(Impl()->ClientSocket(), static_cast<QvSocketBase*>(c)->GetSocket());
}

// Once a connection is the worker's, the connector does not touch it
// again: here the peer has gone before the connect returns, and another
// thread deletes the connection the moment it hears so (the sanitizer
// builds tell if the connector still reads it).
TEST_F(ClientTest, ConnectionDeletedAsSoonAsItEndsIsNotTouchedAgain) {
  for (int round = 0; round < 50 && !HasFailure(); ++round) {
    qvtest::RecordingSink sink;
    sink.onConnected = [this](QvSocket* c) {  // the peer leaves, and the connection sees it
      qvplat::CloseSocket(Accept());
      accepted.pop_back();
      const qvplat::Socket s = static_cast<QvSocketBase*>(c)->GetSocket();
      ASSERT_TRUE(qvtest::WaitUntil([&] {
        pollfd p{s, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
      }));
    };
    connector.client->SetSink(&sink);
    std::thread deleter([&] {
      if (sink.disconnected.WaitFor(1)) delete sink.connectedWith.load();
    });
    connector.client->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
    deleter.join();
    EXPECT_EQ(sink.disconnected.Count(), 1);
  }
}

}  // namespace

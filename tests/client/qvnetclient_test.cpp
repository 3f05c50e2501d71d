// The client connector: the framing of the connections it makes, its codec,
// failed and repeated connects, its release, and the record of its attempts.
// The server is a raw blocking socket on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/qvnetclientimpl.h"
#include "diag/qvtexts.h"
#include "dispatch/qvsocketbase.h"
#include "qvnet.h"
#include "support/qvtestos.h"
#include "support/qvtestsupport.h"

namespace {

using qvtest::Frame;
using qvtest::Receive;

// The default framing with a marker byte before the payload.
class MarkerCodec : public QvPacketCodec {
 public:
  int Encode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) override {
    std::string f = Frame("#" + std::string(src, length));
    *dstLength = f.size() < *dstLength ? static_cast<unsigned int>(f.size()) : 0;
    std::memcpy(dst, f.data(), *dstLength);
    return static_cast<int>(*dstLength);
  }
  int Decode(const char*, unsigned int, char*, unsigned int* dstLength) override { return *dstLength = 0; }
};

// One sink for every connection a connector makes; prints markers among the
// traces for its connect callbacks, which run on the thread that connects.
class ClientSink : public QvConnectionSink {
 public:
  void OnConnected(QvSocket* c) override {
    std::printf("<connected>");
    connections.push_back(c);
    threads.push_back(std::this_thread::get_id());
  }
  void OnConnectFailed() override {
    std::printf("<failed>");
    ++failures;
  }
  void OnDisconnected() override {}
  void OnPacket(const char* data, int length) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      packets_.emplace_back(data, static_cast<size_t>(length));
    }
    packet.Notify();
  }
  std::string LastPacket() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_.empty() ? "<none>" : packets_.back();
  }

  std::vector<QvSocket*> connections;
  std::vector<std::thread::id> threads;
  int failures = 0;
  qvtest::Event packet;

 private:
  std::mutex mutex_;
  std::vector<std::string> packets_;
};

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module = CreateNetModule();
    module->Start(0);
    server = qvtest::ListenLoopback(&port);
    ASSERT_NE(server, qvplat::kInvalidSocket);
    client = module->CreateClient(0);
    ownCodec = Impl()->Codec();
    client->SetSink(&sink);
  }
  void TearDown() override {
    for (QvSocket* c : sink.connections) delete c;
    if (client != nullptr) client->Release();
    delete ownCodec;  // a connector never deletes its own codec; its connections are gone
    module->Release();
    for (qvplat::Socket s : accepted) qvplat::CloseSocket(s);
    if (server != qvplat::kInvalidSocket) qvplat::CloseSocket(server);
  }
  QvNetClientImpl* Impl() { return static_cast<QvNetClientImpl*>(client); }
  // The new connection, told to the sink before Connect returned; or null.
  QvSocket* Connect(const char* host = "127.0.0.1") {
    const size_t before = sink.connections.size();
    client->Connect(host, port, 0, nullptr, 0, nullptr, nullptr);
    return sink.connections.size() == before + 1 ? sink.connections.back() : nullptr;
  }
  // The server's end of the next connection, with reads that give up.
  qvplat::Socket Accept() {
    qvplat::Socket s = qvplat::AcceptPeer(server, nullptr);
    qvtest::SetTimeouts(s, 10);
    accepted.push_back(s);
    return s;
  }
  void ExpectPacket(qvplat::Socket from, const std::string& payload) {
    const int before = sink.packet.Count();
    std::string f = Frame(payload);
    ASSERT_TRUE(qvtest::SendAll(from, f.data(), f.size()));
    ASSERT_TRUE(sink.packet.WaitFor(before + 1));
    EXPECT_EQ(sink.LastPacket(), payload);
  }

  ClientSink sink;
  MarkerCodec marker;
  QvNetModule* module = nullptr;
  QvNetClient* client = nullptr;
  QvPacketCodec* ownCodec = nullptr;
  qvplat::Socket server = qvplat::kInvalidSocket;
  int port = 0;
  std::vector<qvplat::Socket> accepted;
};

TEST_F(ClientTest, ConnectionFramesWithTheLengthPrefixAndConnectsOnTheCallersThread) {
  QvSocket* c = Connect();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(sink.threads[0], std::this_thread::get_id());
  EXPECT_TRUE(c->IsConnected());
  qvplat::Socket peer = Accept();

  c->Send("hello", 5);
  c->Send("", 0);
  EXPECT_EQ(Receive(peer, 13), std::string("\x09\0\0\0hello\x04\0\0\0", 13));
  ExpectPacket(peer, "pong");
}

TEST_F(ClientTest, ApplicationCodecServesOnlyLaterConnections) {
  QvSocket* before = Connect();
  ASSERT_NE(before, nullptr);
  qvplat::Socket peerBefore = Accept();
  client->SetCodec(&marker);
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
  client->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  const std::string out = qvtest::EndCapture();
  EXPECT_EQ(sink.failures, 1);
  EXPECT_TRUE(sink.connections.empty());
  EXPECT_EQ(out, std::string("<failed>") + qvtext::kTraceConnectFailed);
  EXPECT_FALSE(Impl()->HasConnected());
  EXPECT_EQ(Impl()->ClientSocket(), qvplat::kNoSocket);
}

TEST_F(ClientTest, TwoConnectsGiveTwoIndependentConnectionsWithOneSink) {
  QvSocket* first = Connect();
  QvSocket* second = Connect();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_TRUE(first->IsConnected());
  EXPECT_TRUE(second->IsConnected());
  EXPECT_EQ(Impl()->ClientSocket(), static_cast<QvSocketBase*>(second)->GetSocket());
  qvplat::Socket peerFirst = Accept();  // accepted in the order of the connects
  qvplat::Socket peerSecond = Accept();

  first->Send("one", 3);
  second->Send("two", 3);
  EXPECT_EQ(Receive(peerFirst, 7), Frame("one"));
  EXPECT_EQ(Receive(peerSecond, 7), Frame("two"));
  ExpectPacket(peerFirst, "a");
  ExpectPacket(peerSecond, "b");

  first->Close();
  char byte;
  EXPECT_EQ(qvplat::RecvSome(peerFirst, &byte, 1), 0);
  EXPECT_TRUE(second->IsConnected());
  second->Send("still", 5);
  EXPECT_EQ(Receive(peerSecond, 9), Frame("still"));
}

TEST_F(ClientTest, ReleasedConnectorLeavesItsConnectionsWorking) {
  QvSocket* c = Connect();
  ASSERT_NE(c, nullptr);
  qvplat::Socket peer = Accept();
  client->Release();
  client = nullptr;

  c->Send("after", 5);
  EXPECT_EQ(Receive(peer, 9), Frame("after"));
  ExpectPacket(peer, "back");
}

TEST_F(ClientTest, RecordKeepsTheFirst127CharactersOfTheHostText) {
  const std::string host = "127.0.0.1:" + std::string(200, 'x');
  QvSocket* c = Connect(host.c_str());  // the attempt itself cuts at ':'
  ASSERT_NE(c, nullptr);
  Accept();
  EXPECT_EQ(std::string(Impl()->HostText()), host.substr(0, 127));
  EXPECT_EQ(Impl()->Port(), port);
  EXPECT_TRUE(Impl()->HasConnected());
  EXPECT_EQ(Impl()->ClientSocket(), static_cast<QvSocketBase*>(c)->GetSocket());
}

}  // namespace

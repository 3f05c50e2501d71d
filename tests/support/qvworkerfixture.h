// qvworkerfixture.h - what the dispatcher and connection tests share: a
// fixture that runs the worker over a fresh table, a socket object that
// records every call, and a peer made of plain sockets; with the slot
// queries (qvtestslots.h) and the recording sink (qvrecordingsink.h), which
// the fuzz targets share too.
#ifndef QV_TESTS_SUPPORT_QVWORKERFIXTURE_H
#define QV_TESTS_SUPPORT_QVWORKERFIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/qvconnection.h"
#include "connection/qvlengthcodec.h"
#include "diag/qvtexts.h"
#include "dispatch/qvsocketmanager.h"
#include "include/qvconnectionsink.h"
#include "support/qvquietsocket.h"
#include "support/qvrecordingsink.h"
#include "support/qvtestnet.h"
#include "support/qvtestos.h"
#include "support/qvtestslots.h"
#include "support/qvtestsupport.h"

namespace qvtest {

// Runs the worker over a fresh table for each case.
class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(manager.Init(QvSocketManager::kDefaultCapacity));
    ASSERT_EQ(manager.Start(), 0);
  }
  void TearDown() override {
    manager.Stop();
    manager.Init(QvSocketManager::kDefaultCapacity);
  }

  QvSocketManager& manager = QvSocketManager::Instance();
};

// A socket object that logs each call the worker makes, with the slot's
// interest when the call began, and runs optional per-test behaviour; by
// default it drains what it reads and, with `rearm`, asks for more, and
// its OnWrite reports `flushed` (set it in onWrite: a connection's flush
// would), as if it had written everything.
class RecordingHandler : public QuietSocket, public CallLog {
 public:
  explicit RecordingHandler(qvplat::Socket s, SocketKind kind = so_connection) : QuietSocket(kind), socket(s) {}
  // Like the library's own socket objects: never left in the table.
  ~RecordingHandler() override { QvSocketManager::Instance().ReleaseAndWait(this); }

  qvplat::Socket GetSocket() override { return socket; }
  void OnRead() override { Handle("read", onRead ? onRead : ServeRead); }
  void OnWrite() override {
    flushed = Flushed::kDrained;
    Handle("write", onWrite);
    ReportFlushed(flushed);
  }
  void OnError() override { Handle("error", onError); }
  void OnAccept() override { Handle("accept", onAccept); }
  // What a connection's flush does with one byte queued.
  static void SendByte(RecordingHandler& self) {
    const bool full = qvplat::SendSome(self.socket, "u", 1) < 0 && qvplat::LastSocketError() == qvplat::kErrWouldBlock;
    self.flushed = full ? Flushed::kWouldBlock : Flushed::kDrained;
  }

  // Reads whatever is waiting (the socket must be readable).
  void Drain() {
    char buf[4096];
    qvplat::RecvSome(socket, buf, sizeof buf);
  }
  static void ServeRead(RecordingHandler& self) {
    self.Drain();
    if (self.rearm) QvSocketManager::Instance().Arm(self.socket, ReadInterest, &self);
  }

  qvplat::Socket socket;
  bool rearm = false;
  std::function<void(RecordingHandler&)> onRead, onWrite, onError, onAccept;
  Flushed flushed = Flushed::kDrained;
  qvtest::Event called;  // notified after every call

 private:
  void Handle(const char* what, const std::function<void(RecordingHandler&)>& behaviour) {
    Log(what + ("@" + std::to_string(InterestOf(socket))));
    if (behaviour) behaviour(*this);
    called.Notify();
  }
};

// A plain descriptor of the test's own, closed at scope end.
class RawSocket {
 public:
  explicit RawSocket(qvplat::Socket s = qvplat::kNoSocket) : s_(s) {}
  RawSocket(RawSocket&& other) noexcept : s_(other.s_) { other.s_ = qvplat::kNoSocket; }
  RawSocket& operator=(RawSocket&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~RawSocket() { Reset(); }
  void Reset(qvplat::Socket s = qvplat::kNoSocket) {
    if (s_ != qvplat::kNoSocket) qvplat::CloseSocket(s_);
    s_ = s;
  }
  qvplat::Socket Get() const { return s_; }
  qvplat::Socket Release() {
    const qvplat::Socket s = s_;
    s_ = qvplat::kNoSocket;
    return s;
  }
  bool Valid() const { return s_ != qvplat::kNoSocket; }

 private:
  qvplat::Socket s_;
};

inline bool SendAll(const RawSocket& s, const std::string& bytes) {
  return qvtest::SendAll(s.Get(), bytes.data(), bytes.size());
}

inline std::string Header(std::uint32_t length) {
  char h[kFrameHeaderSize];
  StoreFrameLength(h, length);
  return std::string(h, sizeof h);
}

// Reads one frame; false when the stream ended or the frame is no frame.
inline bool RecvFrame(qvplat::Socket s, std::string* payload) {
  char h[kFrameHeaderSize];
  if (!qvtest::RecvExactly(s, h, sizeof h)) return false;
  std::uint32_t length = LoadFrameLength(h);
  if (length < kFrameHeaderSize) return false;
  payload->assign(length - kFrameHeaderSize, '\0');
  return payload->empty() || qvtest::RecvExactly(s, &(*payload)[0], payload->size());
}

// Reads s to its end, discarding what arrives: 0 at an end of stream, the
// socket error when a read fails (kErrWouldBlock: the receive time-out), -1
// when it never ends.
inline long ReadToTheEnd(qvplat::Socket s) {
  char buf[4096];
  for (int i = 0; i < 100000; ++i) {
    const int n = qvplat::RecvSome(s, buf, sizeof buf);
    if (n <= 0) return n == 0 ? 0 : static_cast<long>(qvplat::LastSocketError());
  }
  return -1;
}

// True once the other end has closed (end of stream or reset).
inline bool SeesEnd(qvplat::Socket s) {
  const long end = ReadToTheEnd(s);
  return end >= 0 && end != static_cast<long>(qvplat::kErrWouldBlock);
}

// True once the other end has reset the connection; where a zero linger
// time closes in order (Wine), an end of stream counts too.
inline bool SeesReset(qvplat::Socket s) {
  const long end = ReadToTheEnd(s);
  return end == 0 ? !qvtest::ZeroLingerResets() : end == static_cast<long>(qvplat::kErrConnReset);
}

// True when a poll() for `events` on s reports something right now.
inline bool Ready(qvplat::Socket s, short events) {
  pollfd p{s, events, 0};
  return ::poll(&p, 1, 0) == 1;
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

inline std::vector<std::string> LogLines() {
  std::vector<std::string> lines;
  std::string all = qvtest::ReadText("./Log/Network.log");
  for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(all.substr(start, end - start));
  }
  return lines;
}

// The fixed start of a log or trace format, up to its first conversion.
inline std::string TextBefore(const char* format) {
  const std::string f(format);
  return f.substr(0, f.find('%'));
}

inline bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

inline size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// Connections with a RecordingSink against plain-socket peers.
class ConnectionTest : public WorkerTest {
 protected:
  // The connection and its sink go while the worker runs, as an
  // application's would.
  void TearDown() override {
    conn.reset();
    ownSink.reset();
    WorkerTest::TearDown();
  }

  std::unique_ptr<QvConnection> NewConnection(QvConnectionSink* sink) {
    std::unique_ptr<QvConnection> c(new QvConnection);
    c->SetSink(sink);
    c->SetCodec(&codec);
    return c;
  }

  // The connect is complete when Connect returns, so a peer that is not
  // waiting now never comes: fail instead of blocking in accept().
  static RawSocket Accept(const RawSocket& listener) {
    RawSocket peer;
    if (Ready(listener.Get(), POLLIN)) peer.Reset(qvplat::AcceptPeer(listener.Get(), nullptr));
    EXPECT_TRUE(peer.Valid()) << "no peer was waiting";
    if (peer.Valid()) qvtest::SetTimeouts(peer.Get(), 10);  // a fault fails, not hangs
    return peer;
  }

  // Connects to the listener and hands back the peer.
  RawSocket ConnectPeer(QvConnection& connection) {
    connection.Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
    EXPECT_TRUE(connection.IsConnected());
    return Accept(listener);
  }

  // The common start of a case: `conn`, reporting to `sink`, and its peer.
  RawSocket Connected() {
    conn = NewConnection(&sink);
    return ConnectPeer(*conn);
  }

  // Once the peer went or sent what is no frame: one OnDisconnected, nothing
  // left registered and, with `logged`, one more log line holding it. The
  // worker goes on: the socket may still be closing gracefully.
  void ExpectDisconnectedOnce(size_t linesBefore, const char* logged) {
    ASSERT_TRUE(sink.disconnected.WaitFor(1));
    EXPECT_EQ(sink.disconnected.Count(), 1);
    EXPECT_FALSE(conn->IsConnected());
    EXPECT_EQ(conn->GetSocket(), qvplat::kNoSocket);
    EXPECT_EQ(UsedSlots(), 0);
    if (logged == nullptr) return;
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), linesBefore + 1);
    EXPECT_NE(lines.back().find(logged), std::string::npos) << lines.back();
  }

  int port = 0;
  RawSocket listener{qvtest::ListenLoopback(&port)};  // on 127.0.0.1
  QvLengthCodec& codec = QvLengthCodec::Shared();
  std::unique_ptr<RecordingSink> ownSink{new RecordingSink};
  RecordingSink& sink = *ownSink;
  std::unique_ptr<QvConnection> conn;
};

}  // namespace qvtest

#endif  // QV_TESTS_SUPPORT_QVWORKERFIXTURE_H

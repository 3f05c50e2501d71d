// connectiontestpeer.h - what the connection tests share: a sink that
// records every callback, a peer made of plain sockets, frame helpers, and a
// fixture that runs the worker.
#ifndef QV_TESTS_CONNECTION_CONNECTIONTESTPEER_H
#define QV_TESTS_CONNECTION_CONNECTIONTESTPEER_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection/qvconnection.h"
#include "connection/qvlengthcodec.h"
#include "diag/qvtexts.h"
#include "dispatch/qvsocketmanager.h"
#include "include/qvconnectionsink.h"
#include "support/qvtestos.h"
#include "support/qvtestsupport.h"

namespace conntest {

// Records every callback; safe to call from the worker and the test thread.
class RecordingSink : public QvConnectionSink {
 public:
  void OnConnected(QvSocket* connection) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connectedWith_.push_back(connection);
      calls_.push_back("connected");
    }
    connected.Notify();
  }
  void OnConnectFailed() override {
    Record("failed");
    connectFailed.Notify();
  }
  void OnDisconnected() override {
    Record("disconnected");
    disconnected.Notify();
  }
  void OnPacket(const char* data, int length) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      packets_.emplace_back(data, static_cast<size_t>(length));
      calls_.push_back("packet");
    }
    if (onPacket) onPacket(data, length);
    packet.Notify();
  }

  std::vector<std::string> Packets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }
  std::vector<QvSocket*> ConnectedWith() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectedWith_;
  }
  // Every callback in the order made: "connected", "failed", "disconnected", "packet".
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  std::function<void(const char*, int)> onPacket;  // runs on the worker
  qvtest::Event connected, connectFailed, disconnected, packet;

 private:
  void Record(const char* call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }

  std::mutex mutex_;
  std::vector<QvSocket*> connectedWith_;
  std::vector<std::string> packets_;
  std::vector<std::string> calls_;
};

// A plain descriptor of the test's own, closed at scope end.
class RawSocket {
 public:
  explicit RawSocket(qvplat::Socket s = qvplat::kNoSocket) : s_(s) {}
  RawSocket(RawSocket&& other) noexcept : s_(other.s_) { other.s_ = qvplat::kNoSocket; }
  RawSocket& operator=(RawSocket&& other) noexcept {
    Reset(other.s_);
    other.s_ = qvplat::kNoSocket;
    return *this;
  }
  ~RawSocket() { Reset(); }
  void Reset(qvplat::Socket s = qvplat::kNoSocket) {
    if (s_ != qvplat::kNoSocket) qvplat::CloseSocket(s_);
    s_ = s;
  }
  qvplat::Socket Get() const { return s_; }
  bool Valid() const { return s_ != qvplat::kNoSocket; }

 private:
  qvplat::Socket s_;
};

// Bounds every blocking call of a peer socket, so a fault fails, not hangs.
inline void BoundWaits(qvplat::Socket s) { qvtest::SetTimeouts(s, 10); }

inline std::string Header(std::uint32_t length) {
  char h[kFrameHeaderSize];
  StoreFrameLength(h, length);
  return std::string(h, sizeof h);
}

inline std::string Frame(const std::string& payload) {
  return Header(static_cast<std::uint32_t>(payload.size() + kFrameHeaderSize)) + payload;
}

// n bytes that differ with the seed and along the text.
inline std::string Pattern(unsigned seed, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((seed * 131u + i * 7u + (i >> 8)) & 0xFF);
  return s;
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

// True once the other end has closed (end of stream or reset); discards
// whatever arrives before that.
inline bool SeesEnd(qvplat::Socket s) {
  char buf[4096];
  for (int i = 0; i < 100000; ++i) {
    int n = qvplat::RecvSome(s, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) return qvplat::LastSocketError() != qvplat::kErrWouldBlock;  // not the time-out
  }
  return false;
}

// Bytes received on s that nobody has read yet.
inline int Pending(qvplat::Socket s) { return qvtest::BytesPending(s); }

// True when a poll() for `events` on s reports something right now.
inline bool Ready(qvplat::Socket s, short events) {
  pollfd p{s, events, 0};
  return ::poll(&p, 1, 0) == 1;
}

inline int SlotsWhere(const std::function<bool(const QvSocketManager::SlotView&)>& match) {
  QvSocketManager& m = QvSocketManager::Instance();
  int n = 0;
  for (int i = 0; i < m.Capacity(); ++i) n += match(m.Slot(i)) ? 1 : 0;
  return n;
}
inline int UsedSlots() {
  return SlotsWhere([](const QvSocketManager::SlotView& v) { return v.socketHandle != qvplat::kNoSocket; });
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
  size_t start = 0;
  for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(all.substr(start, end - start));
  }
  return lines;
}

inline bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

inline size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// Runs the worker over a fresh table for each case.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(manager.Init(QvSocketManager::kDefaultCapacity));
    ASSERT_EQ(manager.Start(), 0);
  }
  void TearDown() override {
    manager.Stop();
    manager.Init(QvSocketManager::kDefaultCapacity);
  }

  std::unique_ptr<QvConnection> NewConnection(QvConnectionSink* sink) {
    std::unique_ptr<QvConnection> c(new QvConnection);
    c->SetSink(sink);
    c->SetCodec(&codec);
    return c;
  }

  static RawSocket Listen(int* port) {
    RawSocket l(qvtest::ListenLoopback(port));
    EXPECT_TRUE(l.Valid());
    return l;
  }

  // The connect is complete when Connect returns, so a peer that is not
  // waiting now never comes: fail instead of blocking in accept().
  static RawSocket Accept(const RawSocket& listener) {
    RawSocket peer;
    EXPECT_TRUE(Ready(listener.Get(), POLLIN)) << "no peer is waiting";
    if (Ready(listener.Get(), POLLIN)) peer.Reset(qvplat::AcceptPeer(listener.Get(), nullptr));
    EXPECT_TRUE(peer.Valid());
    if (peer.Valid()) BoundWaits(peer.Get());
    return peer;
  }

  // Connects to a fresh listener on 127.0.0.1 and hands back the peer.
  RawSocket ConnectPeer(QvConnection& connection) {
    int port = 0;
    RawSocket listener = Listen(&port);
    connection.Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
    EXPECT_TRUE(connection.IsConnected());
    return Accept(listener);
  }

  QvSocketManager& manager = QvSocketManager::Instance();
  QvLengthCodec codec;
};

}  // namespace conntest

#endif  // QV_TESTS_CONNECTION_CONNECTIONTESTPEER_H

// qvnet-demo - both ends in one process. A listener on a free loopback port
// echoes every frame; a few clients send frames of many sizes (empty, small,
// the largest payload, and runs of frames kept in flight together so that
// the queues wrap round) and check every echo byte for byte. A summary
// closes the output. The library's console traces are off unless the
// environment asks for them (QVNET_TRACE, QVNET_TRACE_ENCODING; `make demo
// TRACES=1` shows them as UTF-8).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "qvnet.h"
#include "settingdefault.h"
#include "winsockinit.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClients = 4;
constexpr int kLargestPayload = 40955;
// Frames up to this size travel up to kWindow at a time; larger ones alone,
// so that a queue always has one stretch of room for the next frame.
constexpr int kPipelinedSize = 8000;
constexpr int kWindow = 3;

std::vector<int> FrameSizes(int client) {
  std::vector<int> sizes = {0, 1, 3, 64, 1000, kLargestPayload, 0, 30000, 12345, kLargestPayload - 1};
  for (int i = 0; i < 40; ++i) sizes.push_back((i * 977 + client * 131) % kPipelinedSize);
  sizes.push_back(kLargestPayload);
  for (int i = 0; i < 20; ++i) sizes.push_back(7001 + i);
  return sizes;
}

char PatternByte(int client, int frame, int i) { return static_cast<char>((client * 131 + frame * 31 + i) & 0xFF); }

struct Totals {
  std::mutex mutex;
  std::condition_variable changed;
  int finished = 0;
  int failed = 0;
  long long frames = 0;
  long long bytes = 0;
  int serverDisconnects = 0;
  std::vector<double> roundTripsMs;
};

// Sends its frames and checks their echoes. OnPacket runs on the worker and
// sends the next frames from there; Pump also runs once on the main thread.
class DemoClient : public QvConnectionSink {
 public:
  DemoClient(int id, Totals* totals) : id_(id), sizes_(FrameSizes(id)), totals_(totals) {}

  void OnConnected(QvSocket* c) override { connection_ = c; }
  void OnConnectFailed() override { Finish(false); }
  void OnDisconnected() override { Finish(false); }

  void OnPacket(const char* data, int length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (inFlight_.empty()) return Finish(false);
    const int frame = inFlight_.front().frame;
    const Clock::time_point sent = inFlight_.front().sent;
    inFlight_.pop_front();
    bool same = length == sizes_[static_cast<size_t>(frame)];
    for (int i = 0; same && i < length; ++i) same = data[i] == PatternByte(id_, frame, i);
    if (!same) return Finish(false);
    Record(length, std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    if (next_ == sizes_.size() && inFlight_.empty()) return Finish(true);
    PumpLocked();
  }

  void Pump() {
    std::lock_guard<std::mutex> lock(mutex_);
    PumpLocked();
  }
  QvSocket* Connection() const { return connection_; }

 private:
  struct InFlight {
    int frame;
    Clock::time_point sent;
  };

  void PumpLocked() {
    while (next_ < sizes_.size()) {
      const int size = sizes_[next_];
      const bool alone = size > kPipelinedSize;
      if (!inFlight_.empty() && (alone || inFlight_.size() >= kWindow || sizes_[static_cast<size_t>(inFlight_.back().frame)] > kPipelinedSize)) {
        return;
      }
      const int frame = static_cast<int>(next_++);
      std::string payload(static_cast<size_t>(size), '\0');
      for (int i = 0; i < size; ++i) payload[static_cast<size_t>(i)] = PatternByte(id_, frame, i);
      inFlight_.push_back(InFlight{frame, Clock::now()});
      connection_->Send(payload.data(), size);
    }
  }

  void Record(int length, double ms) {
    std::lock_guard<std::mutex> lock(totals_->mutex);
    ++totals_->frames;
    totals_->bytes += length;
    totals_->roundTripsMs.push_back(ms);
  }

  void Finish(bool ok) {
    if (done_) return;
    done_ = true;
    std::lock_guard<std::mutex> lock(totals_->mutex);
    ++totals_->finished;
    if (!ok) ++totals_->failed;
    totals_->changed.notify_all();
  }

  const int id_;
  const std::vector<int> sizes_;
  Totals* totals_;
  QvSocket* connection_ = nullptr;
  std::mutex mutex_;
  std::deque<InFlight> inFlight_;
  size_t next_ = 0;
  bool done_ = false;
};

// The server's side of one connection; counts its peer's goodbye.
class EchoSession : public QvConnectionSink {
 public:
  explicit EchoSession(Totals* totals) : totals_(totals) {}
  void OnConnected(QvSocket* c) override { connection_ = c; }
  void OnConnectFailed() override {}
  void OnDisconnected() override {
    std::lock_guard<std::mutex> lock(totals_->mutex);
    ++totals_->serverDisconnects;
    totals_->changed.notify_all();
  }
  void OnPacket(const char* data, int length) override { connection_->Send(data, length); }

 private:
  Totals* totals_;
  QvSocket* connection_ = nullptr;
};

class EchoAcceptor : public QvAcceptHandler {
 public:
  explicit EchoAcceptor(Totals* totals) : totals_(totals) {}
  void OnAccept(const sockaddr_in*) override {}
  QvConnectionSink* CreateSink() override { return new EchoSession(totals_); }  // lives as long as the process

 private:
  Totals* totals_;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

}  // namespace

int main() {
  DefaultSetting("QVNET_TRACE", "off");  // before the library's first trace
  WinsockInit sockets;
  Totals totals;
  QvNetModule* module = CreateNetModule();
  QvListenerApi* listener = module->CreateListener();
  listener->SetAcceptHandler(new EchoAcceptor(&totals));
  int port = 0;
  for (int candidate = 47000; candidate < 47200 && port == 0; ++candidate) {
    if (listener->Listen("127.0.0.1", candidate)) port = candidate;
  }
  if (port == 0) {
    std::printf("\nqvnet-demo: no free port to listen on\n");
    return 1;
  }
  module->Start(0);

  std::vector<DemoClient*> clients;
  QvNetClient* connector = module->CreateClient(0);
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(new DemoClient(i, &totals));  // outlive the worker's last call
    connector->SetSink(clients.back());
    connector->Connect("127.0.0.1", port, 0, nullptr, 0, nullptr, nullptr);
  }
  for (DemoClient* c : clients) {
    if (c->Connection() != nullptr) c->Pump();
  }

  std::unique_lock<std::mutex> lock(totals.mutex);
  bool ended = totals.changed.wait_for(lock, std::chrono::seconds(60), [&] { return totals.finished == kClients; });
  const bool verified = ended && totals.failed == 0;
  lock.unlock();

  // Close the clients and let the server see them go, so that the summary
  // comes last.
  for (DemoClient* c : clients) {
    if (c->Connection() != nullptr) c->Connection()->Close();
  }
  lock.lock();
  totals.changed.wait_for(lock, std::chrono::seconds(10), [&] { return totals.serverDisconnects == kClients; });
  std::printf("\n\nqvnet-demo summary\n");
  std::printf("  clients:     %d over 127.0.0.1:%d\n", kClients, port);
  std::printf("  frames:      %lld echoed, %lld payload bytes\n", totals.frames, totals.bytes);
  std::printf("  round trip:  p50 %.3f ms, p99 %.3f ms\n", Percentile(totals.roundTripsMs, 0.50),
              Percentile(totals.roundTripsMs, 0.99));
  std::printf("  verified:    %s\n", verified ? "every echo matched byte for byte" : "FAILED");
  lock.unlock();

  listener->Close();
  connector->Release();
  module->Release();
  return verified ? 0 : 1;
}

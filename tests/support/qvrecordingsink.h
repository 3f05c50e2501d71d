// qvrecordingsink.h - a connection sink that records every call, for tests
// and fuzz targets alike. No test framework needed.
#ifndef QV_TESTS_SUPPORT_QVRECORDINGSINK_H
#define QV_TESTS_SUPPORT_QVRECORDINGSINK_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "include/qvconnectionsink.h"
#include "qvtestnet.h"

namespace qvtest {

// Calls recorded from any thread, as one text: "read@0 write@0".
class CallLog {
 public:
  std::string Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 protected:
  void Log(const std::string& call, const std::string* payload = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_ += (calls_.empty() ? "" : " ") + call;
    if (payload != nullptr) payloads_.push_back(*payload);
  }

  std::mutex mutex_;
  std::string calls_;
  std::vector<std::string> payloads_;
};

// Logs every sink callback, as "connected packet disconnected", and the
// payloads; safe to call from the worker and the test thread.
class RecordingSink : public QvConnectionSink, public CallLog {
 public:
  void OnConnected(QvSocket* connection) override {
    connectedWith.store(connection);
    if (onConnected) onConnected(connection);
    Log("connected");
    connected.Notify();
  }
  void OnConnectFailed() override {
    if (onConnectFailed) onConnectFailed();
    Log("failed");
  }
  void OnDisconnected() override {
    if (onDisconnected) onDisconnected();
    disconnectedOn = std::this_thread::get_id();
    Log("disconnected");
    disconnected.Notify();
  }
  void OnPacket(const char* data, int length) override {
    if (onPacket) onPacket(data, length);
    const std::string payload(data, static_cast<size_t>(length));
    Log("packet", &payload);
    packet.Notify();
  }

  std::vector<std::string> Packets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return payloads_;
  }
  std::size_t PacketCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return payloads_.size();
  }

  // Each runs first in its callback; onPacket runs on the worker.
  std::function<void(const char*, int)> onPacket;
  std::function<void(QvSocket*)> onConnected;
  std::function<void()> onConnectFailed, onDisconnected;
  std::atomic<QvSocket*> connectedWith{nullptr};
  std::thread::id disconnectedOn;  // read once `disconnected` was notified
  qvtest::Event connected, disconnected, packet;
};

}  // namespace qvtest

#endif  // QV_TESTS_SUPPORT_QVRECORDINGSINK_H

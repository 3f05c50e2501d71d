// qvtestpeers.h - the application's side of the library, for the tests that
// drive listeners and connectors: sinks that keep what they are told, an
// accept handler, a connector, a codec.
#ifndef QV_TESTS_QVTESTPEERS_H
#define QV_TESTS_QVTESTPEERS_H

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/qvnetclientimpl.h"
#include "qvnet.h"
#include "qvtestos.h"
#include "qvtestsupport.h"

namespace qvtest {

// What the callbacks did, in order. Each entry is also printed as "<entry>",
// so that a captured console shows where it came among the library's traces.
class Journal {
 public:
  void Add(const std::string& entry) {
    std::printf("<%s>", entry.c_str());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.push_back(entry);
    }
    changed.Notify();
  }
  std::vector<std::string> Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  Event changed;  // once per entry

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

// One connection's sink: journals "connected" / "failed", keeps the
// connection and every payload, or with `echo` sends each one straight back.
class Sink : public QvConnectionSink {
 public:
  Sink(Journal* journal, bool echo, int peerPort = 0) : peerPort(peerPort), journal_(journal), echo_(echo) {}
  void OnConnected(QvSocket* c) override {
    connection.store(c);
    connectedOn = std::this_thread::get_id();
    journal_->Add("connected");
  }
  void OnConnectFailed() override { journal_->Add("failed"); }
  void OnDisconnected() override {}
  void OnPacket(const char* data, int length) override {
    if (onPacket) onPacket(data, length);
    if (echo_) return connection.load()->Send(data, length);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      payloads_.emplace_back(data, static_cast<size_t>(length));
    }
    packets.Notify();
  }
  // The i-th payload that came, or "<missing>".
  std::string Packet(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return i < payloads_.size() ? payloads_[i] : "<missing>";
  }

  const int peerPort;  // an accepted peer's port
  std::function<void(const char*, int)> onPacket;  // runs on the worker, first in every OnPacket
  std::atomic<QvSocket*> connection{nullptr};
  std::thread::id connectedOn;
  Event packets;  // once per payload

 private:
  Journal* journal_;
  const bool echo_;
  std::mutex mutex_;
  std::vector<std::string> payloads_;
};

// The sinks an accept handler made, one per peer. The test keeps them: they
// outlive the handler, which ReleaseHandlers deletes.
class Peers {
 public:
  explicit Peers(bool echo = false) : echo_(echo) {}
  // For SetAcceptHandler: journals "accept ADDRESS:PORT", then "sink", for
  // every peer; adds "handler" to `deaths` when deleted.
  QvAcceptHandler* NewHandler(std::vector<std::string>* deaths = nullptr) { return new Handler(this, deaths); }
  // The connection of the peer whose end is the test's socket `client`.
  QvSocket* ConnectionOf(qvplat::Socket client) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : sinks_) {
      if (s->peerPort == qvplat::LocalPort(client)) return s->connection.load();
    }
    return nullptr;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sinks_.size();
  }
  // Deletes every connection, outside the lock: deleting waits for the
  // worker, which may be in a callback that journals.
  void DeleteConnections() {
    std::vector<QvSocket*> doomed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& s : sinks_) doomed.push_back(s->connection.exchange(nullptr));
    }
    for (QvSocket* c : doomed) delete c;
  }
  Journal journal;
  // Given to the sinks made from now on (Sink::onPacket).
  std::function<void(const char*, int)> onPacket;

 private:
  class Handler : public QvAcceptHandler {
   public:
    Handler(Peers* peers, std::vector<std::string>* deaths) : peers_(peers), deaths_(deaths) {}
    ~Handler() override {
      if (deaths_ != nullptr) deaths_->push_back("handler");
    }
    void OnAccept(const sockaddr_in* peer) override {
      char dotted[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &peer->sin_addr, dotted, sizeof dotted);
      port_ = ntohs(peer->sin_port);
      peers_->journal.Add("accept " + std::string(dotted) + ":" + std::to_string(port_));
    }
    QvConnectionSink* CreateSink() override {
      Sink* sink;
      {
        std::lock_guard<std::mutex> lock(peers_->mutex_);
        peers_->sinks_.push_back(std::make_unique<Sink>(&peers_->journal, peers_->echo_, port_));
        sink = peers_->sinks_.back().get();
        sink->onPacket = peers_->onPacket;
      }
      peers_->journal.Add("sink");
      return sink;
    }

   private:
    Peers* peers_;
    std::vector<std::string>* deaths_;
    int port_ = 0;
  };

  const bool echo_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Sink>> sinks_;
};

// An accept handler that gives every peer the one sink it was made with.
class SinkGiver : public QvAcceptHandler {
 public:
  explicit SinkGiver(QvConnectionSink* sink) : sink_(sink) {}
  void OnAccept(const sockaddr_in*) override {}
  QvConnectionSink* CreateSink() override { return sink_; }

 private:
  QvConnectionSink* sink_;
};

// Closes the listener, then deletes its connections, its handlers and it.
inline void DestroyListener(QvListenerApi* listener, Peers* peers) {
  listener->Close();
  peers->DeleteConnections();
  listener->ReleaseHandlers();
  delete listener;
}

// A started module and a connector, with a Sink of its own for every
// Connect. Deletes the connections, the connector and the module, unless
// the test released them itself and set them null.
class Connector {
 public:
  Connector() : module(CreateNetModule()), client(module->CreateClient(0)) { module->Start(0); }
  ~Connector() {
    for (auto& s : sinks_) delete s->connection.exchange(nullptr);
    if (client != nullptr) client->Release();
    if (module != nullptr) module->Release();
  }
  // The sink of a fresh connect; its connection is null when it failed.
  Sink& Connect(int port, const std::string& host = "127.0.0.1") {
    sinks_.push_back(std::make_unique<Sink>(&journal, false));
    client->SetSink(sinks_.back().get());
    client->Connect(host.c_str(), port, 0, nullptr, 0, nullptr, nullptr);
    return *sinks_.back();
  }

  QvNetModule* module;
  QvNetClient* client;
  Journal journal;

 private:
  std::vector<std::unique_ptr<Sink>> sinks_;
};

// The length framing with a '#' before every payload; adds "codec" to
// `deaths` when deleted.
class MarkerCodec : public QvPacketCodec {
 public:
  explicit MarkerCodec(std::vector<std::string>* deaths = nullptr) : deaths_(deaths) {}
  ~MarkerCodec() override {
    if (deaths_ != nullptr) deaths_->push_back("codec");
  }
  int Encode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) override {
    const std::string f = Frame("#" + std::string(src, length));
    *dstLength = f.size() < *dstLength ? static_cast<unsigned int>(f.size()) : 0;
    std::memcpy(dst, f.data(), *dstLength);
    return static_cast<int>(*dstLength);
  }
  int Decode(const char*, unsigned int, char*, unsigned int* dstLength) override { return *dstLength = 0; }

 private:
  std::vector<std::string>* deaths_;
};

}  // namespace qvtest

#endif  // QV_TESTS_QVTESTPEERS_H

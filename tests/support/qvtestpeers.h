// qvtestpeers.h - the application's side of the library, for the tests that
// drive listeners and connectors: sinks that keep what they are told, an
// accept handler, a connector, a codec.
#ifndef QV_TESTS_QVTESTPEERS_H
#define QV_TESTS_QVTESTPEERS_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvnet.h"
#include "qvtestsupport.h"

namespace qvtest {

// What the callbacks did, in order. Each entry is also printed as "<entry>",
// so that a captured console shows where it came among the library's traces.
class Journal {
 public:
  void Add(const std::string& entry);
  std::vector<std::string> Entries();
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
  void OnConnected(QvSocket* c) override;
  void OnConnectFailed() override { journal_->Add("failed"); }
  void OnDisconnected() override {}
  void OnPacket(const char* data, int length) override;
  // The i-th payload that came, or "<missing>".
  std::string Packet(size_t i);

  const int peerPort;  // an accepted peer's port
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
  QvAcceptHandler* NewHandler(std::vector<std::string>* deaths = nullptr);
  // The connection of the peer whose end is the test's socket `client`.
  QvSocket* ConnectionOf(qvplat::Socket client);
  size_t Count();
  // Deletes every connection, outside the lock: deleting waits for the
  // worker, which may be in a callback that journals.
  void DeleteConnections();
  Journal journal;

 private:
  class Handler;
  const bool echo_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Sink>> sinks_;
};

// Closes the listener, then deletes its connections, its handlers and it.
void DestroyListener(QvListenerApi* listener, Peers* peers);

// A started module and a connector, with a Sink of its own for every
// Connect. Deletes the connections, the connector with the codec it made
// (a connector never deletes it) and the module, unless the test released
// them itself and set them null.
class Connector {
 public:
  Connector();
  ~Connector();
  // The sink of a fresh connect; its connection is null when it failed.
  Sink& Connect(int port, const std::string& host = "127.0.0.1");

  QvNetModule* module;
  QvNetClient* client;
  Journal journal;

 private:
  QvPacketCodec* ownCodec_;
  std::vector<std::unique_ptr<Sink>> sinks_;
};

// The length framing with a '#' before every payload; adds "codec" to
// `deaths` when deleted.
class MarkerCodec : public QvPacketCodec {
 public:
  explicit MarkerCodec(std::vector<std::string>* deaths = nullptr) : deaths_(deaths) {}
  ~MarkerCodec() override;
  int Encode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) override;
  int Decode(const char*, unsigned int, char*, unsigned int* dstLength) override { return *dstLength = 0; }

 private:
  std::vector<std::string>* deaths_;
};

}  // namespace qvtest

#endif  // QV_TESTS_QVTESTPEERS_H

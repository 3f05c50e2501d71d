// qvquietsocket.h - a socket object whose own operations do nothing, for
// tests and fuzz targets that register objects of their own with the worker.
// No test framework needed.
#ifndef QV_TESTS_SUPPORT_QVQUIETSOCKET_H
#define QV_TESTS_SUPPORT_QVQUIETSOCKET_H

#include "dispatch/qvsocketbase.h"

namespace qvtest {

// A socket object whose own operations do nothing.
class QuietSocket : public QvSocketBase {
 public:
  explicit QuietSocket(SocketKind kind = so_connection) : kind_(kind) {}
  void ReservedA(int, int, int) override {}
  void Send(const char*, int) override {}
  void Close() override {}
  void Reconnect() override {}
  bool IsConnected() override { return false; }
  SocketKind GetType() override { return kind_; }
  void SetSink(QvConnectionSink*) override {}
  void SetCodec(QvPacketCodec*) override {}

 private:
  SocketKind kind_;
};

}  // namespace qvtest

#endif  // QV_TESTS_SUPPORT_QVQUIETSOCKET_H

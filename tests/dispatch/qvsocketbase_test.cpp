// Defaults of the socket object interface: neutral answers, and a debug
// report (never an abort) for operations a class was expected to override.
#include <gtest/gtest.h>

#include "dispatch/qvsocketbase.h"

namespace {

class Minimal : public QvSocketBase {
 public:
  void ReservedA(int, int, int) override {}
  void Send(const char*, int) override {}
  void Close() override {}
  void Reconnect() override {}
  bool IsConnected() override { return false; }
  SocketKind GetType() override { return so_connection; }
  void SetSink(QvConnectionSink*) override {}
  void SetCodec(QvPacketCodec*) override {}
};

TEST(QvSocketBaseTest, DefaultsReturnNeutralValuesAndOnlyReport) {
  Minimal m;
  testing::internal::CaptureStderr();
  EXPECT_EQ(m.GetSocket(), qvplat::kInvalidSocket);
  EXPECT_EQ(m.GetSink(), nullptr);
  m.OnConnected();
  m.OnConnectFailed();
  m.OnError();
  m.OnRead();
  m.OnWrite();
  m.OnAccept();
  m.Connect("127.0.0.1", 1, 0, nullptr, 0, nullptr, nullptr);
  m.ReservedB(0);
  m.ReservedC(0);
  std::string reports = testing::internal::GetCapturedStderr();
#if defined(NDEBUG)
  EXPECT_EQ(reports, "");
#else
  // GetSocket and the seven event/connect defaults report; GetSink and the
  // reserved operations do not.
  size_t count = 0;
  for (size_t at = reports.find("Assertion failed: false, file qvsocketbase, line ");
       at != std::string::npos; at = reports.find("Assertion failed", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 8u) << reports;
#endif
}

}  // namespace

// Defaults of the socket object interface: neutral answers, and a debug
// report (never an abort) for operations a class was expected to override.
#include <gtest/gtest.h>

#include <string>

#include "support/qvworkerfixture.h"

namespace {

TEST(QvSocketBaseTest, DefaultsReturnNeutralValuesAndOnlyReport) {
  qvtest::QuietSocket m;
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
  const std::string reports = testing::internal::GetCapturedStderr();
#if defined(NDEBUG)
  EXPECT_EQ(reports, "");
#else
  // GetSocket and the seven event/connect defaults report; GetSink and the
  // reserved operations do not.
  EXPECT_EQ(qvtest::Occurrences(reports, "Assertion failed: false, file qvsocketbase, line "), 8u) << reports;
#endif
}

}  // namespace

// qvneterror_test.cpp - socket error codes as GBK texts, their lines in the
// process-wide network log, and console traces.
#include "diag/qvneterror.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <regex>
#include <set>
#include <string>

#include "diag/qvtexts.h"
#include "diag/qvtrace.h"
#include "platform/qverrors.h"
#include "support/qvtestsupport.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// The expected texts as explicit GBK bytes, independent of how this source
// file is encoded.
std::string Gbk(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

// 初始化错误
const std::string kInitError = Gbk({0xB3, 0xF5, 0xCA, 0xBC, 0xBB, 0xAF, 0xB4, 0xED, 0xCE, 0xF3});
// 未知错误
const std::string kUnknown = Gbk({0xCE, 0xB4, 0xD6, 0xAA, 0xB4, 0xED, 0xCE, 0xF3});
// 网络错误码:
const std::string kNetErrorPrefix = Gbk({0xCD, 0xF8, 0xC2, 0xE7, 0xB4, 0xED, 0xCE, 0xF3, 0xC2, 0xEB}) + ":";
// 与主机的连接被关闭
const std::string kConnClosed = Gbk({0xD3, 0xEB, 0xD6, 0xF7, 0xBB, 0xFA, 0xB5, 0xC4, 0xC1,
                                     0xAC, 0xBD, 0xD3, 0xB1, 0xBB, 0xB9, 0xD8, 0xB1, 0xD5});

// The codes an address, a port or a connect time-out fail with.
// 提供了一个无效的参数
const std::string kInvalidArgument = Gbk({0xCC, 0xE1, 0xB9, 0xA9, 0xC1, 0xCB, 0xD2, 0xBB, 0xB8, 0xF6,
                                          0xCE, 0xDE, 0xD0, 0xA7, 0xB5, 0xC4, 0xB2, 0xCE, 0xCA, 0xFD});
// 请求的地址无效
const std::string kAddrNotAvailable =
    Gbk({0xC7, 0xEB, 0xC7, 0xF3, 0xB5, 0xC4, 0xB5, 0xD8, 0xD6, 0xB7, 0xCE, 0xDE, 0xD0, 0xA7});
// 连接超时
const std::string kTimedOut = Gbk({0xC1, 0xAC, 0xBD, 0xD3, 0xB3, 0xAC, 0xCA, 0xB1});
// 不知道这样的主机
const std::string kHostNotFound =
    Gbk({0xB2, 0xBB, 0xD6, 0xAA, 0xB5, 0xC0, 0xD5, 0xE2, 0xD1, 0xF9, 0xB5, 0xC4, 0xD6, 0xF7, 0xBB, 0xFA});

std::string TextOf(const char* text) { return text != nullptr ? text : ""; }

TEST(NetErrorText, KnownCodesHaveTheirOwnGbkTextsAndOthersTheFallback) {
  EXPECT_EQ(qvdiag::NetErrorText(10093, qvtext::kErrUnknownConnection), kInitError);
  EXPECT_EQ(qvdiag::NetErrorText(10054, qvtext::kErrUnknownConnection), kConnClosed);
  EXPECT_EQ(qvdiag::NetErrorText(10022, qvtext::kErrUnknownConnection), kInvalidArgument);
  EXPECT_EQ(qvdiag::NetErrorText(10049, qvtext::kErrUnknownListener), kAddrNotAvailable);
  EXPECT_EQ(qvdiag::NetErrorText(10060, qvtext::kErrUnknownConnection), kTimedOut);
  EXPECT_EQ(qvdiag::NetErrorText(11001, qvtext::kErrUnknownListener), kHostNotFound);
  // 10035 has its own text, although it is the would-block code.
  EXPECT_STREQ(qvdiag::NetErrorText(10035, ""), qvplat::SocketErrorText(qvplat::kErrWouldBlock));
  EXPECT_EQ(std::string(qvtext::kErrUnknownConnection), kUnknown);
  EXPECT_EQ(std::string(qvtext::kErrUnknownListener), kUnknown + "!");
  EXPECT_EQ(std::string(qvtext::kLogNetError), kNetErrorPrefix + "%s");

  // Every code of the table has a text of its own; others get the fallback.
  std::set<std::string> texts;
  size_t rows = 0;
#define QV_CHECK_ROW(name, code, errno1, errno2, text)                  \
  ++rows;                                                               \
  EXPECT_STREQ(qvdiag::NetErrorText(code, "fallback"), text) << code; \
  EXPECT_NE(TextOf(text), "") << code;                                  \
  texts.insert(TextOf(text));
  QV_SOCKET_ERRORS(QV_CHECK_ROW)
#undef QV_CHECK_ROW
  EXPECT_EQ(texts.size(), rows);
  for (std::uint32_t code : {0u, 1u, 2u, 4u, 10092u, 11002u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(qvdiag::NetErrorText(code, "fallback"), "fallback") << code;
  }
}

// What LogNetError added to ./Log/Network.log, which must be one stamped
// line: the message after the stamp.
std::string LoggedMessage(std::uint32_t code, const char* fallback) {
  const std::string before = qvtest::ReadText("./Log/Network.log");
  qvdiag::LogNetError(code, fallback);
  const std::string after = qvtest::ReadText("./Log/Network.log");
  EXPECT_EQ(after.compare(0, before.size(), before), 0) << "earlier lines changed";
  const std::string added = after.size() > before.size() ? after.substr(before.size()) : "";
  // The stamp is "<Mon><dd> <hh>:<mm>:<ss>: ", 16 ASCII characters.
  static const std::regex stamp("^[A-Z][a-z]{2}\\d{2} \\d{2}:\\d{2}:\\d{2}: $");
  if (added.size() < 17 || !std::regex_match(added.substr(0, 16), stamp) || added.find('\n') != added.size() - 1) {
    ADD_FAILURE() << "not one stamped line: " << added;
    return "";
  }
  return added.substr(16, added.size() - 17);
}

TEST(LogNetError, AppendsTheCodesTextOrTheFallbackToTheNetworkLog) {
  ASSERT_TRUE(qvtest::FileExists("./Log")) << "the load hook did not make the directory";
  EXPECT_EQ(LoggedMessage(10054, qvtext::kErrUnknownConnection), kNetErrorPrefix + kConnClosed);
  EXPECT_EQ(LoggedMessage(4242, qvtext::kErrUnknownListener), kNetErrorPrefix + kUnknown + "!");
  EXPECT_EQ(LoggedMessage(4242, qvtext::kErrUnknownConnection), kNetErrorPrefix + kUnknown);
}

// Console traces: numbers formatted in place, anything else as printf does.
TEST(ConsoleTrace, PrintsItsTextWithNumbersAndStringsInPlace) {
  const std::string longText(300, 'x');
  qvtest::BeginCapture();
  qvdiag::Trace(qvtext::kTraceWriteEvent, 7);
  qvdiag::Trace(qvtext::kTraceAcceptResult, -2147483647 - 1);
  qvdiag::Trace(qvtext::kTraceFrameEncoded, 0);
  qvdiag::Trace("%d of %d\n", 40955, 40960);
  qvdiag::Trace("IP%s:%d 100%%\n", "127.0.0.1", 80);
  qvdiag::Trace("IP%s:%d\n", "127.0.0.1", 80);
  qvdiag::Trace("%s%d\n", longText.c_str(), 12);
  qvdiag::Trace((longText + "%d\n").c_str(), 345);
  // The cheaper forms of the per-event traces print the same.
  qvdiag::TraceNumber(qvtext::kTraceWriteEvent, 7);
  qvdiag::TraceNumber(qvtext::kTraceAcceptResult, -2147483647 - 1);
  qvdiag::TraceNumber(qvtext::kTraceFrameEncoded, 0);
  const std::string longFormat = longText + "%d\n";
  qvdiag::TraceNumber(longFormat.c_str(), longFormat.size(), 345);
  qvdiag::TraceText(qvtext::kTraceReadEvent);
  qvdiag::TraceTexts(qvtext::kTraceReadEvent, qvtext::kTraceConnectionKind);
  std::fflush(stdout);
  EXPECT_EQ(qvtest::EndCapture(), "[7]eWriteEvent\n-2147483648 client connect OK!\n0 \n40955 of 40960\n"
                                  "IP127.0.0.1:80 100%\nIP127.0.0.1:80\n" +
                                      longText + "12\n" + longText + "345\n" +
                                      "[7]eWriteEvent\n-2147483648 client connect OK!\n0 \n" + longText +
                                      "345\neReadEvent\neReadEvent\nso_connection\n");
}

#if !defined(_WIN32)
// On a line-buffered standard output (a terminal's) every trace line goes
// out at its end of line, also after the application wrote part of a line.
TEST(ConsoleTrace, LineBufferedOutputGetsEachLineAtItsEnd) {
  std::fflush(stdout);
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
  const int saved = ::dup(1);
  ::dup2(ends[1], 1);
  // Static: the stream keeps a buffer it was given when its mode is set back.
  static char buffer[BUFSIZ];
  std::setvbuf(stdout, buffer, _IOLBF, sizeof buffer);
  std::string mismatch;
  for (int i = 0; i < 1000 && mismatch.empty(); ++i) {  // more than the buffer holds
    std::fputs("> ", stdout);
    qvdiag::TraceText(qvtext::kTraceReadEvent);
    qvdiag::TraceNumber(qvtext::kTraceFrameEncoded, i);
    char bytes[64];
    const auto n = ::read(ends[0], bytes, sizeof bytes);
    const std::string got(bytes, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (got != "> eReadEvent\n" + std::to_string(i) + " \n") mismatch = std::to_string(i) + ": " + got;
  }
  std::fflush(stdout);
  std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(ends[0]);
  ::close(ends[1]);
  EXPECT_EQ(mismatch, "");
}
#endif

}  // namespace

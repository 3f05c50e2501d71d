// qvneterror_test.cpp - socket error codes as GBK texts, and their lines in
// the process-wide network log.
#include "diag/qvneterror.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <regex>
#include <set>
#include <string>

#include "diag/log.h"
#include "diag/qvtexts.h"
#include "support/qvtestsupport.h"

namespace {

// The expected texts as explicit GBK bytes, independent of how this source
// file is encoded.
std::string Gbk(std::initializer_list<unsigned char> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// 初始化错误
const std::string kInitError = Gbk({0xB3, 0xF5, 0xCA, 0xBC, 0xBB, 0xAF, 0xB4, 0xED, 0xCE, 0xF3});
// 未知错误
const std::string kUnknown = Gbk({0xCE, 0xB4, 0xD6, 0xAA, 0xB4, 0xED, 0xCE, 0xF3});
// 网络错误码:
const std::string kNetErrorPrefix =
    Gbk({0xCD, 0xF8, 0xC2, 0xE7, 0xB4, 0xED, 0xCE, 0xF3, 0xC2, 0xEB}) + ":";
// 与主机的连接被关闭
const std::string kConnClosed = Gbk({0xD3, 0xEB, 0xD6, 0xF7, 0xBB, 0xFA, 0xB5, 0xC4, 0xC1,
                                     0xAC, 0xBD, 0xD3, 0xB1, 0xBB, 0xB9, 0xD8, 0xB1, 0xD5});

constexpr std::uint32_t kTableCodes[] = {3, 10035, 10038, 10048, 10054, 10057, 10061, 10093};

TEST(NetErrorText, KnownTextsAreTheirGbkBytes) {
  EXPECT_EQ(qvdiag::NetErrorText(10093, qvtext::kErrUnknownConnection), kInitError);
  EXPECT_EQ(qvdiag::NetErrorText(10054, qvtext::kErrUnknownConnection), kConnClosed);
  EXPECT_EQ(std::string(qvtext::kErrUnknownConnection), kUnknown);
  EXPECT_EQ(std::string(qvtext::kErrUnknownListener), kUnknown + "!");
  EXPECT_EQ(std::string(qvtext::kLogNetError), kNetErrorPrefix + "%s");
}

TEST(NetErrorText, TableCodesMapToDistinctTexts) {
  const char* const fallback = qvtext::kErrUnknownConnection;
  std::set<std::string> texts;
  for (std::uint32_t code : kTableCodes) {
    SCOPED_TRACE(code);
    const char* text = qvdiag::NetErrorText(code, fallback);
    ASSERT_NE(text, nullptr);
    EXPECT_NE(text, fallback);
    EXPECT_NE(std::string(text), std::string(fallback));
    EXPECT_FALSE(std::string(text).empty());
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), std::size(kTableCodes));
  // 10035 has its own text, although it is the would-block code.
  EXPECT_STREQ(qvdiag::NetErrorText(10035, fallback), qvtext::kErrPeerClosed);
}

TEST(NetErrorText, UnknownCodesGiveTheCallersFallback) {
  for (std::uint32_t code : {0u, 1u, 2u, 4u, 10036u, 10053u, 10055u, 10092u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(qvdiag::NetErrorText(code, qvtext::kErrUnknownListener), qvtext::kErrUnknownListener);
    EXPECT_EQ(qvdiag::NetErrorText(code, qvtext::kErrUnknownConnection), qvtext::kErrUnknownConnection);
  }
  EXPECT_EQ(qvdiag::NetErrorText(0, qvtext::kErrUnknownListener), kUnknown + "!");
}

// The network log lives in ./Log/Network.log under the test's working
// directory; the library made the directory when the process started.
class LogNetErrorTest : public ::testing::Test {
 protected:
  static constexpr const char* kPath = "./Log/Network.log";

  // Logs through LogNetError and returns what it added to the file, which
  // must be exactly one line.
  std::string LoggedLine(std::uint32_t code, const char* fallback) {
    const std::string before = qvtest::ReadText(kPath);
    qvdiag::LogNetError(code, fallback);
    const std::string after = qvtest::ReadText(kPath);
    EXPECT_EQ(after.compare(0, before.size(), before), 0) << "earlier lines changed";
    if (after.size() <= before.size()) return "";
    std::string added = after.substr(before.size());
    EXPECT_EQ(added.back(), '\n');
    added.pop_back();
    EXPECT_EQ(added.find('\n'), std::string::npos) << "more than one line";
    return added;
  }

  // Splits "<stamp>: " off a line; the stamp is 14 ASCII characters.
  static std::string Message(const std::string& line) {
    static const std::regex stamp("^[A-Z][a-z]{2}\\d{2} \\d{2}:\\d{2}:\\d{2}: $");
    if (line.size() < 16 || !std::regex_match(line.substr(0, 16), stamp)) {
      ADD_FAILURE() << "no stamp in: " << line;
      return "";
    }
    return line.substr(16);
  }
};

TEST_F(LogNetErrorTest, AppendsTheCodesTextToTheNetworkLog) {
  ASSERT_TRUE(qvtest::FileExists("./Log")) << "the load hook did not make the directory";
  const std::string message = Message(LoggedLine(10054, qvtext::kErrUnknownConnection));
  EXPECT_EQ(message, kNetErrorPrefix + kConnClosed);
  EXPECT_EQ(message, std::string(kNetErrorPrefix) + qvtext::kErrConnReset);
}

TEST_F(LogNetErrorTest, UnknownCodeLogsTheFallback) {
  EXPECT_EQ(Message(LoggedLine(4242, qvtext::kErrUnknownListener)), kNetErrorPrefix + kUnknown + "!");
  EXPECT_EQ(Message(LoggedLine(4242, qvtext::kErrUnknownConnection)), kNetErrorPrefix + kUnknown);
}

}  // namespace

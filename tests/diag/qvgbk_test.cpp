// qvgbk_test.cpp - the library's GBK texts as UTF-8, for traces asked for
// in UTF-8: every text converts, and exactly.
#include "diag/qvgbk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/qvtexts.h"
#include "platform/qverrors.h"

namespace {

std::string Utf8(const std::string& gbk) {
  std::string out(qvdiag::Utf8Room(gbk.size()), '\0');
  out.resize(qvdiag::GbkToUtf8(gbk.data(), gbk.size(), &out[0]));
  return out;
}

// U+FFFD, what a byte pair that is no known character becomes.
const std::string kReplacement = "\xEF\xBF\xBD";

// The expected texts are UTF-8 literals, written independently of the
// library's GBK bytes.
TEST(GbkToUtf8, TracesReadAsTheirChineseTexts) {
  const struct {
    const char* gbk;
    const char* utf8;
  } cases[] = {
      {qvtext::kTraceBufferFull, u8"缓冲区满，请再次输入！\n"},
      {qvtext::kTraceConnected, u8"已连接：%s"},
      {qvtext::kTraceTableFull, u8"加入新连接，但连接区已满，无法监听\n"},
      {qvtext::kTraceConnectFailed, u8"连接失败！"},
      {qvtext::kTraceListening, u8"开始监听"},
      {qvtext::kTraceAcceptedFrom, u8":收到连接：IP%s\n"},
      {qvtext::kTraceAlreadyRegistered, u8"加入了一个已存在的连接:%d\n"},
      {qvtext::kTraceNewAccept, "new accept!\n"},
      {qvtext::kTraceWriteEvent, "[%d]eWriteEvent\n"},
      {qvtext::kLogNetError, u8"网络错误码:%s"},
      {qvtext::kLogBadHeader, u8"收到无效的帧长度%u，连接已关闭"},
      {qvtext::kErrUnknownListener, u8"未知错误!"},
      {qvplat::SocketErrorText(qvplat::kErrSocketNotEmpty), u8"套接字非空，检查该SOCKET否已经连接成功？"},
      {qvplat::SocketErrorText(qvplat::kErrConnRefused), u8"连接的尝试被拒绝"},
      {qvplat::SocketErrorText(qvplat::kErrHostUnreachable), u8"主机不可达"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8(c.gbk), c.utf8);
  }
}

// Nothing the library holds comes out with an unknown character: the
// table (tools/gbk-table.py) has every character of every text.
TEST(GbkToUtf8, EveryTextOfTheLibraryConvertsWhole) {
  std::vector<const char*> texts = {
      qvtext::kTraceFrameEncoded,    qvtext::kTraceBufferFull,     qvtext::kTraceConnected,
      qvtext::kTraceTableFull,       qvtext::kTraceConnectFailed,  qvtext::kTraceListening,
      qvtext::kTraceNewAccept,       qvtext::kTraceAcceptResult,   qvtext::kTraceAcceptedFrom,
      qvtext::kTraceExceptEvent,     qvtext::kTraceReadEvent,      qvtext::kTraceListenerKind,
      qvtext::kTraceConnectionKind,  qvtext::kTraceWriteEvent,     qvtext::kTraceAlreadyRegistered,
      qvtext::kLogConnectSuccess,    qvtext::kLogNetError,         qvtext::kLogSendLimit,
      qvtext::kLogSendStalled,       qvtext::kLogSendTotal,
      qvtext::kLogLingerExpired,     qvtext::kLogPollerFailed,     qvtext::kLogBadHeader,
      qvtext::kLogExceptEvent,       qvtext::kLogTableFull,        qvtext::kLogBadSetting,
      qvtext::kErrUnknownConnection, qvtext::kErrUnknownListener,
  };
#define QV_TEXT_OF(name, code, errno1, errno2, text) texts.push_back(text);
  QV_SOCKET_ERRORS(QV_TEXT_OF)
#undef QV_TEXT_OF
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const std::string utf8 = Utf8(text);
    EXPECT_EQ(utf8.find(kReplacement), std::string::npos) << utf8;
    EXPECT_GE(utf8.size(), std::string(text).size());
  }
}

TEST(GbkToUtf8, BytesThatAreNoKnownCharacterBecomeTheReplacementCharacter) {
  const struct {
    std::string gbk;
    std::string utf8;
  } cases[] = {
      {"plain ASCII 100%\n", "plain ASCII 100%\n"},
      {"", ""},
      {"\xC1", kReplacement},                                // a lead byte at the end
      {"\xC1%d", kReplacement + "%d"},                       // a lead byte before ASCII
      {"\x81\x40", kReplacement},                            // a character the library never uses
      {"\xC1\xAC\xFF\xC1\xAC", u8"连" + kReplacement + u8"连"},  // 0xFF is no lead byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(Utf8(c.gbk), c.utf8);
  }
}

}  // namespace

// qvsettings_test.cpp - the QVNET_* settings: what each accepts, and the
// trace settings at work. A setting is read once per process, so each case
// that sets one runs in a child process of its own.
#include "diag/qvsettings.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>

#include "diag/qvtexts.h"
#include "diag/qvtrace.h"
#include "support/qvtestsupport.h"

namespace {

// A text, whether `parse` takes it, and the value it then gives.
template <typename T>
struct Parsed {
  const char* text;
  bool valid;
  T value;
};

template <typename T, std::size_t N>
void ExpectParsed(bool (*parse)(const char*, T*), const Parsed<T> (&cases)[N]) {
  for (const Parsed<T>& c : cases) {
    SCOPED_TRACE(c.text);
    T value{};
    EXPECT_EQ(parse(c.text, &value), c.valid);
    if (c.valid) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(Settings, WordsAreTakenInAnyCaseAndAnythingElseIsRefused) {
  const Parsed<qvdiag::TraceTarget> targets[] = {
      {"stdout", true, qvdiag::TraceTarget::kStandardOutput},
      {"STDERR", true, qvdiag::TraceTarget::kStandardError},
      {"Off", true, qvdiag::TraceTarget::kNowhere},
      {"none", false, {}},
      {"stderr ", false, {}},
      {"1", false, {}},
  };
  ExpectParsed(qvdiag::ParseTraceTarget, targets);
  const Parsed<qvdiag::TextEncoding> encodings[] = {
      {"gbk", true, qvdiag::TextEncoding::kGbk},
      {"UTF-8", true, qvdiag::TextEncoding::kUtf8},
      {"utf8", true, qvdiag::TextEncoding::kUtf8},
      {"cp936", false, {}},
      {"utf-16", false, {}},
  };
  ExpectParsed(qvdiag::ParseEncoding, encodings);
  const Parsed<bool> switches[] = {
      {"on", true, true}, {"OFF", true, false}, {"yes", false, {}}, {"0", false, {}}, {"of", false, {}},
  };
  ExpectParsed(qvdiag::ParseOnOff, switches);
  std::string file;
  EXPECT_TRUE(qvdiag::ParseLogFile("logs/app.log", &file));
  EXPECT_EQ(file, "logs/app.log");
  EXPECT_TRUE(qvdiag::ParseLogFile(std::string(255, 'f').c_str(), &file));
  EXPECT_FALSE(qvdiag::ParseLogFile(std::string(256, 'f').c_str(), &file));  // more than the log's name holds
}

// Three traces (a text with a string, one with a number, a Chinese one)
// with the trace settings of each case, set before the first trace as a
// program would in main(). Exit statuses name the check that failed.
TEST(TraceSettings, TracesGoWhereAndHowTheSettingsSay) {
  std::string gbk = qvtext::kTraceConnected;
  gbk = gbk.replace(gbk.find("%s"), 2, "127.0.0.1") + "[7]eWriteEvent\n" + qvtext::kTraceBufferFull;
  const std::string utf8 = u8"已连接：127.0.0.1[7]eWriteEvent\n缓冲区满，请再次输入！\n";
  const char* kNotSet = nullptr;
  const struct {
    const char* where;
    const char* encoding;
    std::string out, err;
    const char* complaint;  // the bad-setting line's name, value, default
    const char* value;
    const char* fallback;
  } cases[] = {
      {kNotSet, kNotSet, gbk, "", nullptr, nullptr, nullptr},
      {"stdout", "gbk", gbk, "", nullptr, nullptr, nullptr},
      {"stderr", kNotSet, "", gbk, nullptr, nullptr, nullptr},
      {"off", "utf-8", "", "", nullptr, nullptr, nullptr},
      {kNotSet, "UTF-8", utf8, "", nullptr, nullptr, nullptr},
      {"stderr", "utf8", "", utf8, nullptr, nullptr, nullptr},
      {"loud", kNotSet, gbk, "", "QVNET_TRACE", "loud", "stdout"},
      {kNotSet, "latin1", gbk, "", "QVNET_TRACE_ENCODING", "latin1", "gbk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.where ? c.where : "-") + " " + (c.encoding ? c.encoding : "-"));
    // The child opens its log when it starts, before it changes to its
    // directory: named here, it is a file of its own there (emptied as it
    // opens), and this process's log is left alone. The directory is not
    // made afresh: the child runs this line again, after that opening.
    const std::filesystem::path dir =
        std::filesystem::current_path() / "scratch" / ("trace-settings-" + std::to_string(&c - cases));
    std::filesystem::create_directories(dir);
    qvtest::SetEnvironment("QVNET_LOG_FILE", (dir / "Network.log").string());
    QVTEST_EXPECT_CHILD(dir.string(), [&] {
      if (c.where != nullptr) qvtest::SetEnvironment("QVNET_TRACE", c.where);
      if (c.encoding != nullptr) qvtest::SetEnvironment("QVNET_TRACE_ENCODING", c.encoding);
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
      qvdiag::Trace(qvtext::kTraceConnected, "127.0.0.1");
      qvdiag::Trace(qvtext::kTraceWriteEvent, 7);
      qvdiag::Trace(qvtext::kTraceBufferFull);
      std::fflush(nullptr);
      const std::string err = testing::internal::GetCapturedStderr();
      const std::string out = testing::internal::GetCapturedStdout();
      if (out != c.out) return 1;
      if (err != c.err) return 2;
      const std::string log = qvtest::ReadText("Network.log");
      if (c.complaint == nullptr) return log.empty() ? 0 : 3;
      char line[256];
      std::snprintf(line, sizeof line, qvtext::kLogBadSetting, c.complaint, c.value, c.fallback);
      return log.find(": " + std::string(line) + "\n") != std::string::npos ? 0 : 4;
    });
  }
  qvtest::SetEnvironment("QVNET_LOG_FILE", "");
}

// The send settings: values taken, and values that fall back to their
// default with one log line: not a byte count, or a bound above the one
// over it (high-water mark <= limit <= total limit; the bound over it then
// stands). Unset, each default is bounded by the setting over it.
TEST(SendSettings, TakenOrFallBackWithOneLogLine) {
  const char* kNotSet = nullptr;
  constexpr std::uint64_t M = 1u << 20;
  // The total limit's default is smaller where pointers have 32 bits.
  constexpr std::uint64_t T = (sizeof(void*) < 8 ? 256 : 1024) * M;
  const char* totalText = sizeof(void*) < 8 ? "256M" : "1G";
  const struct {
    const char* total;
    const char* limit;
    const char* highWater;
    const char* stall;
    const char* noDelay;
    std::uint64_t wantTotal, wantLimit, wantHighWater;
    int wantStall;
    bool wantNoDelay;
    const char* complaint;  // the bad-setting line's name, value, default
    const char* value;
    const char* fallback;
  } cases[] = {
      {kNotSet, kNotSet, kNotSet, kNotSet, kNotSet, T, 64 * M, 4 * M, 10, true, nullptr, nullptr, nullptr},
      {"2G", "8M", "1M", "0", "OFF", 2048 * M, 8 * M, 1 * M, 0, false, nullptr, nullptr, nullptr},
      {kNotSet, "64K", kNotSet, "86400", "on", T, 64u << 10, 64u << 10, 86400, true, nullptr, nullptr, nullptr},
      {"16M", kNotSet, kNotSet, kNotSet, kNotSet, 16 * M, 16 * M, 4 * M, 10, true, nullptr, nullptr, nullptr},
      {kNotSet, kNotSet, "65M", kNotSet, kNotSet, T, 64 * M, 4 * M, 10, true, "QVNET_SEND_HIGH_WATER", "65M", "4M"},
      {"1M", "2M", kNotSet, kNotSet, kNotSet, 1 * M, 1 * M, 1 * M, 10, true, "QVNET_SEND_LIMIT", "2M", "1M"},
      {kNotSet, "100K", "200K", kNotSet, kNotSet, T, 100u << 10, 100u << 10, 10, true, "QVNET_SEND_HIGH_WATER", "200K",
       "100K"},
      {"lots", kNotSet, kNotSet, kNotSet, kNotSet, T, 64 * M, 4 * M, 10, true, "QVNET_SEND_TOTAL_LIMIT", "lots",
       totalText},
      {kNotSet, kNotSet, kNotSet, "-1", kNotSet, T, 64 * M, 4 * M, 10, true, "QVNET_SEND_STALL_SECONDS", "-1", "10"},
      {kNotSet, kNotSet, kNotSet, kNotSet, "no", T, 64 * M, 4 * M, 10, true, "QVNET_NODELAY", "no", "on"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    const std::filesystem::path dir =
        std::filesystem::current_path() / "scratch" / ("send-settings-" + std::to_string(&c - cases));
    std::filesystem::create_directories(dir);
    qvtest::SetEnvironment("QVNET_LOG_FILE", (dir / "Network.log").string());
    const std::pair<const char*, const char*> settings[] = {{"QVNET_SEND_TOTAL_LIMIT", c.total},
                                                            {"QVNET_SEND_LIMIT", c.limit},
                                                            {"QVNET_SEND_HIGH_WATER", c.highWater},
                                                            {"QVNET_SEND_STALL_SECONDS", c.stall},
                                                            {"QVNET_NODELAY", c.noDelay}};
    QVTEST_EXPECT_CHILD(dir.string(), [&] {
      for (const auto& [name, value] : settings) {
        if (value != nullptr) qvtest::SetEnvironment(name, value);
      }
      if (qvdiag::SendHighWaterBytes() != c.wantHighWater) return 1;
      if (qvdiag::SendLimitBytes() != c.wantLimit) return 2;
      if (qvdiag::SendTotalLimitBytes() != c.wantTotal) return 3;
      if (qvdiag::SendStallSeconds() != c.wantStall) return 4;
      if (qvdiag::NoDelay() != c.wantNoDelay) return 5;
      const std::string log = qvtest::ReadText("Network.log");
      if (c.complaint == nullptr) return log.empty() ? 0 : 6;
      char line[256];
      std::snprintf(line, sizeof line, qvtext::kLogBadSetting, c.complaint, c.value, c.fallback);
      const size_t at = log.find(": " + std::string(line) + "\n");
      return at != std::string::npos && log.find('\n') == log.size() - 1 ? 0 : 7;
    });
  }
  qvtest::SetEnvironment("QVNET_LOG_FILE", "");
}

}  // namespace

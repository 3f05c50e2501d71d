// log_test.cpp - time-stamped log lines: format, flushing, truncation,
// lazy opening, naming and concurrent writers.
#include "diag/log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/qvtestsupport.h"

namespace {

// "<Mon><dd> <hh>:<mm>:<ss>", as FormatStamp writes it in the C locale.
const std::string kStamp = "[A-Z][a-z]{2}\\d{2} \\d{2}:\\d{2}:\\d{2}";

// Whether the whole text of the file matches `pattern`.
bool FileMatches(const std::string& path, const std::string& pattern) {
  return std::regex_match(qvtest::ReadText(path), std::regex(pattern));
}

class LogTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return dir + "/" + name; }
  const std::string dir = qvtest::FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(LogTest, LinesAreStampedFlushedAndReplaceWhatTheFileHeld) {
  struct Case {
    const char* format;
    std::string file;  // a pattern for the whole file after the line
  };
  const Case cases[] = {
      {"hello %s", kStamp + ": hello 42\n"},
      {"done\n", kStamp + ": done\n\n"},  // a format ending in a line end leaves an empty line
      {nullptr, kStamp + " \\[error\\] log::log got NULL fmt\n"},
  };
  const std::string path = PathOf("a.log");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(qvtest::WriteFile(path, "left over\nfrom before\n"));
    class qvdiag::log l(path.c_str());
    EXPECT_EQ(qvtest::ReadText(path), "");
    qvdiag::log(l, c.format, "42");
    // No close: the line must be in the file already.
    EXPECT_TRUE(FileMatches(path, c.file)) << qvtest::ReadText(path);
    qvdiag::log(l, "%s", "second");
    EXPECT_TRUE(FileMatches(path, c.file + kStamp + ": second\n")) << qvtest::ReadText(path);
  }
}

TEST_F(LogTest, MissingDirectoryOpensForAppendingAtTheFirstLine) {
  const std::string sub = PathOf("later");
  const std::string path = sub + "/late.log";
  class qvdiag::log l(path.c_str());
  qvdiag::log(l, "dropped");  // still no directory: the line is lost, no crash
  EXPECT_FALSE(qvtest::FileExists(path));

  ASSERT_TRUE(std::filesystem::create_directory(sub));
  ASSERT_TRUE(qvtest::WriteFile(path, "kept\n"));
  qvdiag::log(l, "arrived %s", "now");
  EXPECT_TRUE(FileMatches(path, "kept\n" + kStamp + ": arrived now\n")) << qvtest::ReadText(path);
}

TEST_F(LogTest, OverlongNameIsCutTo255Characters) {
  const std::string prefix = dir + "/";
  const std::string name = prefix + std::string(300 - prefix.size(), 'n');
  class qvdiag::log l(name.c_str());
  EXPECT_EQ(std::string(l.Name()), name.substr(0, 255));
  qvdiag::log(l, "x");
  EXPECT_TRUE(qvtest::FileExists(name.substr(0, 255)));
}

TEST(LogNaming, NullNameIsMadeFromTheLocalTime) {
  const std::string dir = qvtest::FreshDir("time-named-log");
  QVTEST_EXPECT_CHILD(dir, [] {
    const std::regex timeName("^\\d{2}_\\d{2}_\\d{2}_\\d{2}\\.log$");
    class qvdiag::log l(nullptr);
    qvdiag::log(l, "named by the clock");
    if (!std::regex_match(l.Name(), timeName) || !qvtest::FileExists(l.Name())) return 1;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(".")) files += entry.is_regular_file();
    return files == 1 ? 0 : 2;  // the file lies in the current directory
  });
}

TEST(LogStamp, FormatsMonthDayAndTime) {
  char out[32];
  qvdiag::FormatStamp(nullptr, out);
  EXPECT_STREQ(out, "?");
  std::tm when{};
  when.tm_year = 124;
  when.tm_mon = 2;
  when.tm_mday = 5;
  when.tm_hour = 7;
  when.tm_min = 8;
  when.tm_sec = 9;
  qvdiag::FormatStamp(&when, out);
  EXPECT_STREQ(out, "Mar05 07:08:09");
}

TEST_F(LogTest, ConcurrentLinesAreNeverInterleaved) {
  constexpr int kWriters = 8;
  constexpr int kLinesEach = 200;
  const std::string path = PathOf("busy.log");
  {
    class qvdiag::log l(path.c_str());
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&l, w] {
        for (int i = 0; i < kLinesEach; ++i) qvdiag::log(l, "writer %d line %d %s", w, i, "payload-payload");
      });
    }
    for (std::thread& t : writers) t.join();
  }
  const std::regex line("^" + kStamp + ": writer (\\d) line (\\d+) payload-payload$");
  std::istringstream in(qvtest::ReadText(path));
  std::vector<int> next(kWriters, 0);
  int lines = 0;
  for (std::string text; std::getline(in, text); ++lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    const int w = std::stoi(m[1]);
    ASSERT_LT(w, kWriters);
    EXPECT_EQ(std::stoi(m[2]), next[static_cast<size_t>(w)]++);  // each writer's lines in its order
  }
  EXPECT_EQ(lines, kWriters * kLinesEach);
}

}  // namespace

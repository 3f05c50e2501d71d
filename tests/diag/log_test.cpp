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

std::vector<std::string> Lines(const std::string& content) {
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LogTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return dir.Path() + "/" + name; }
  qvtest::TempDir dir;
};

TEST_F(LogTest, LineIsStampedAndInTheFileWhenLogReturns) {
  const std::string path = PathOf("a.log");
  class qvdiag::log l(path.c_str());
  qvdiag::log(l, "hello %d", 42);
  // No close: the line must already have been flushed.
  const std::string content = qvtest::ReadText(path);
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.back(), '\n');
  const std::vector<std::string> lines = Lines(content);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("^" + kStamp + ": hello 42$"))) << lines[0];

  qvdiag::log(l, "second");
  EXPECT_EQ(Lines(qvtest::ReadText(path)).size(), 2u);
}

TEST_F(LogTest, NullFormatWritesAnErrorLine) {
  const std::string path = PathOf("null.log");
  class qvdiag::log l(path.c_str());
  const char* noFormat = nullptr;
  qvdiag::log(l, noFormat);
  const std::vector<std::string> lines = Lines(qvtest::ReadText(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("^" + kStamp + " \\[error\\] log::log got NULL fmt$")))
      << lines[0];
}

TEST_F(LogTest, FormatEndingInNewlineLeavesAnEmptyLine) {
  const std::string path = PathOf("nl.log");
  class qvdiag::log l(path.c_str());
  qvdiag::log(l, "done\n");
  const std::string content = qvtest::ReadText(path);
  const std::vector<std::string> lines = Lines(content);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("^" + kStamp + ": done$"))) << lines[0];
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(content.back(), '\n');
}

TEST_F(LogTest, ConstructingEmptiesAnExistingFile) {
  const std::string path = PathOf("old.log");
  ASSERT_TRUE(qvtest::WriteFile(path, "left over\nfrom before\n"));
  class qvdiag::log l(path.c_str());
  EXPECT_EQ(qvtest::ReadText(path), "");
  qvdiag::log(l, "fresh");
  const std::vector<std::string> lines = Lines(qvtest::ReadText(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("^" + kStamp + ": fresh$"))) << lines[0];
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
  const std::vector<std::string> lines = Lines(qvtest::ReadText(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "kept");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("^" + kStamp + ": arrived now$"))) << lines[1];
}

TEST_F(LogTest, OverlongNameIsCutTo255Characters) {
  const std::string prefix = dir.Path() + "/";
  const std::string name = prefix + std::string(300 - prefix.size(), 'n');
  class qvdiag::log l(name.c_str());
  EXPECT_EQ(std::strlen(l.Name()), 255u);
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
  const std::vector<std::string> lines = Lines(qvtest::ReadText(path));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kWriters * kLinesEach));
  std::vector<int> next(kWriters, 0);
  for (const std::string& text : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    const int w = std::stoi(m[1]);
    ASSERT_LT(w, kWriters);
    EXPECT_EQ(std::stoi(m[2]), next[w]++);  // each writer's lines in its order
  }
}

TEST(NetworkLog, WritesToTheLogDirectory) { EXPECT_STREQ(qvdiag::NetworkLog().Name(), "./Log/Network.log"); }

}  // namespace

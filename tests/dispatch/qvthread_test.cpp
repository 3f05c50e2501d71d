// QvThread: one thread per object, Start/Stop and their answers.
#include <gtest/gtest.h>

#include <atomic>

#include "dispatch/qvthread.h"
#include "support/qvtestsupport.h"

namespace {

class CountingThread : public QvThread {
 public:
  void Run() override {
    entered.fetch_add(1);
    started.Notify();
    while (running.load()) qvplat::SleepMs(1);
    left.store(true);
  }
  std::atomic<int> entered{0};
  std::atomic<bool> left{false};
  qvtest::Event started;
};

TEST(QvThreadTest, StartRunsOnceAndStopWaitsForRunToReturn) {
  CountingThread t;
  ASSERT_EQ(t.Start(), 0);
  ASSERT_TRUE(t.started.WaitFor(1));
  EXPECT_TRUE(t.IsRunning());
  EXPECT_EQ(t.Start(), 0);  // ignored: one thread per object
  t.Stop();
  EXPECT_TRUE(t.left.load());
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.entered.load(), 1);
}

TEST(QvThreadTest, StopWithoutStartDoesNothingAndStartAfterStopWorks) {
  CountingThread t;
  t.Stop();
  EXPECT_EQ(t.entered.load(), 0);
  ASSERT_EQ(t.Start(), 0);
  ASSERT_TRUE(t.started.WaitFor(1));
  t.Stop();
  ASSERT_EQ(t.Start(), 0);
  ASSERT_TRUE(t.started.WaitFor(2));
  t.Stop();
  EXPECT_EQ(t.entered.load(), 2);
}

}  // namespace

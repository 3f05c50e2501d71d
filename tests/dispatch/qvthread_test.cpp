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

TEST(QvThreadTest, EachStartRunsOnceAndStopWaitsForRunToReturn) {
  CountingThread t;
  t.Stop();  // without a Start: nothing to wait for
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    t.left.store(false);
    ASSERT_EQ(t.Start(), 0);
    ASSERT_TRUE(t.started.WaitFor(round));
    EXPECT_TRUE(t.IsRunning());
    EXPECT_EQ(t.Start(), 0);  // ignored: one thread per object
    t.Stop();
    EXPECT_TRUE(t.left.load());
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.entered.load(), round);
  }
}

}  // namespace

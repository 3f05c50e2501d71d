// The slot table on its own: first-fit search, duplicate and full-table
// answers, assigned versus ORed interest, re-initialisation. The worker is
// not running here, so socket numbers need not be real sockets.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "dispatch/qvsocketmanager.h"
#include "workertest.h"

namespace {

using nettest::RecordingHandler;
constexpr int kCapacity = QvSocketManager::kDefaultCapacity;

class SlotTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(table.Init(kCapacity)); }
  void TearDown() override { table.Init(kCapacity); }

  static qvplat::Socket Fake(int n) { return static_cast<qvplat::Socket>(1000 + n); }
  bool IsFree(int i) const {
    const QvSocketManager::SlotView v = table.Slot(i);
    return v.socketHandle == qvplat::kNoSocket && v.interest == 0 && v.handler == nullptr;
  }

  QvSocketManager& table = QvSocketManager::Instance();
  RecordingHandler first{Fake(0)}, second{Fake(1)};
};

// Register takes the first free slot and assigns its interest (not ORed
// into what the slot held before); Arm adds interest and replaces the handler.
TEST_F(SlotTableTest, RegisterTakesTheFirstFreeSlotAndArmAddsInterest) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(table.Register(Fake(i), ReadInterest | WriteInterest, &first), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(table.Slot(i).socketHandle, Fake(i));
  EXPECT_EQ(table.Unregister(Fake(0)), 1);
  EXPECT_EQ(table.Register(Fake(3), ReadInterest, &second), 1);
  EXPECT_EQ(table.Slot(0).socketHandle, Fake(3));
  EXPECT_EQ(table.Slot(0).interest, ReadInterest);
  EXPECT_EQ(table.Slot(0).handler, &second);
  EXPECT_TRUE(IsFree(3));
  EXPECT_EQ(table.Arm(Fake(3), WriteInterest, &first), 1);
  EXPECT_EQ(table.Slot(0).interest, ReadInterest | WriteInterest);
  EXPECT_EQ(table.Slot(0).handler, &first);
}

TEST_F(SlotTableTest, DuplicateRegisterKeepsTheSlotAndPrintsItsNumber) {
  for (int i = 0; i < 6; ++i) table.Register(Fake(i), ReadInterest, &first);
  qvtest::BeginCapture();
  EXPECT_EQ(table.Register(Fake(5), ReadInterest | WriteInterest, &second), 1);
  const std::string out = qvtest::EndCapture();
  // "加入了一个已存在的连接:6\n" in GBK, with the 1-based slot number.
  EXPECT_EQ(out, "\xBC\xD3\xC8\xEB\xC1\xCB\xD2\xBB\xB8\xF6\xD2\xD1\xB4\xE6\xD4\xDA\xB5\xC4\xC1\xAC\xBD\xD3:6\n");
  EXPECT_EQ(table.Slot(5).interest, ReadInterest);
  EXPECT_EQ(table.Slot(5).handler, &first);
  EXPECT_TRUE(IsFree(6));
}

TEST_F(SlotTableTest, FullTableRefusesAndChangesNothing) {
  for (int i = 0; i < kCapacity; ++i) ASSERT_EQ(table.Register(Fake(i), ReadInterest, &first), 1);
  qvtest::BeginCapture();
  EXPECT_EQ(table.Register(Fake(kCapacity), WriteInterest, &second), -1);
  EXPECT_EQ(qvtest::EndCapture(), "");  // the caller reports a full table
  for (int i = 0; i < kCapacity; ++i) {
    ASSERT_EQ(table.Slot(i).socketHandle, Fake(i));
    ASSERT_EQ(table.Slot(i).handler, &first);
  }
}

// Unregister frees a slot whole; the second time, like Arm of a socket the
// table does not hold, it answers 0 and takes no slot. Init forgets every
// registration, and a table without slots refuses everything.
TEST_F(SlotTableTest, UnregisterInitAndAbsentSockets) {
  table.Register(Fake(0), ReadInterest | WriteInterest, &first);
  table.Register(Fake(1), ReadInterest, &first);
  EXPECT_EQ(table.Unregister(Fake(0)), 1);
  EXPECT_EQ(table.Unregister(Fake(0)), 0);
  EXPECT_EQ(table.Arm(Fake(0), WriteInterest, &first), 0);
  for (int i = 0; i < kCapacity; ++i) ASSERT_TRUE(i == 1 || IsFree(i)) << i;

  ASSERT_TRUE(table.Init(kCapacity));
  EXPECT_EQ(table.Capacity(), kCapacity);
  EXPECT_EQ(table.Arm(Fake(1), WriteInterest, &first), 0);
  EXPECT_EQ(table.Unregister(Fake(1)), 0);
  EXPECT_TRUE(IsFree(1));

  table.Init(0);
  EXPECT_EQ(table.Capacity(), 0);
  EXPECT_EQ(table.Register(Fake(0), ReadInterest, &first), -1);
  EXPECT_EQ(table.Arm(Fake(0), ReadInterest, &first), 0);
  EXPECT_EQ(table.Unregister(Fake(0)), 0);
  EXPECT_EQ(table.Slot(0).handler, nullptr);
}

TEST_F(SlotTableTest, ConcurrentRegistrationsNeverShareASlot) {
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) table.Register(Fake(t * kEach + i), ReadInterest, &first);
    });
  }
  for (std::thread& t : threads) t.join();
  std::vector<int> seen(kThreads * kEach, 0);
  for (int i = 0; i < kCapacity; ++i) {
    qvplat::Socket s = table.Slot(i).socketHandle;
    if (s != qvplat::kNoSocket) ++seen[static_cast<size_t>(s - Fake(0))];
  }
  for (int count : seen) ASSERT_EQ(count, 1);
}

}  // namespace

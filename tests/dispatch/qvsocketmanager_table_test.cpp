// The slot table on its own: first-fit search, duplicate and full-table
// answers, assigned versus ORed interest, re-initialisation. The worker is
// not running here, so socket numbers need not be real sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dispatch/qvsocketmanager.h"
#include "recordinghandler.h"
#include "support/qvtestsupport.h"

namespace {

constexpr int kCapacity = QvSocketManager::kDefaultCapacity;

class SlotTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(table.Init(kCapacity)); }
  void TearDown() override { table.Init(kCapacity); }

  static qvplat::Socket Fake(int n) { return static_cast<qvplat::Socket>(1000 + n); }

  QvSocketManager& table = QvSocketManager::Instance();
  RecordingHandler first{Fake(0)};
  RecordingHandler second{Fake(1)};
};

TEST_F(SlotTableTest, RegisterFillsSlotsFromTheFirstAndReusesTheFirstFreed) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(table.Register(Fake(i), ReadInterest, &first), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(table.Slot(i).socketHandle, Fake(i));

  EXPECT_EQ(table.Unregister(Fake(0)), 1);
  EXPECT_EQ(table.Register(Fake(3), ReadInterest, &second), 1);
  EXPECT_EQ(table.Slot(0).socketHandle, Fake(3));
  EXPECT_EQ(table.Slot(0).handler, &second);
  EXPECT_EQ(table.Slot(3).socketHandle, qvplat::kNoSocket);
}

TEST_F(SlotTableTest, DuplicateRegisterKeepsTheSlotAndPrintsItsNumber) {
  for (int i = 0; i < 6; ++i) table.Register(Fake(i), ReadInterest, &first);
  qvtest::BeginCapture();
  EXPECT_EQ(table.Register(Fake(5), ReadInterest | WriteInterest, &second), 1);
  std::string out = qvtest::EndCapture();
  // "加入了一个已存在的连接:6\n" in GBK, with the 1-based slot number.
  EXPECT_EQ(out, "\xBC\xD3\xC8\xEB\xC1\xCB\xD2\xBB\xB8\xF6\xD2\xD1\xB4\xE6\xD4\xDA\xB5\xC4\xC1\xAC\xBD\xD3:6\n");
  EXPECT_EQ(table.Slot(5).interest, ReadInterest);
  EXPECT_EQ(table.Slot(5).handler, &first);
  EXPECT_EQ(table.Slot(6).socketHandle, qvplat::kNoSocket);
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

TEST_F(SlotTableTest, RegisterAssignsInterestWhileArmAddsToItAndReplacesTheHandler) {
  table.Register(Fake(0), ReadInterest | WriteInterest, &first);
  table.Unregister(Fake(0));
  table.Register(Fake(1), ReadInterest, &first);
  EXPECT_EQ(table.Slot(0).interest, ReadInterest);  // not ORed into the old 3

  EXPECT_EQ(table.Arm(Fake(1), WriteInterest, &second), 1);
  EXPECT_EQ(table.Slot(0).interest, ReadInterest | WriteInterest);
  EXPECT_EQ(table.Slot(0).handler, &second);
}

TEST_F(SlotTableTest, AbsentSocketsAreNotFoundAndFreeSlotsStayFree) {
  table.Register(Fake(0), ReadInterest, &first);
  EXPECT_EQ(table.Arm(Fake(7), WriteInterest, &first), 0);
  EXPECT_EQ(table.Unregister(Fake(7)), 0);
  for (int i = 1; i < kCapacity; ++i) {
    QvSocketManager::SlotView v = table.Slot(i);
    ASSERT_EQ(v.socketHandle, qvplat::kNoSocket);
    ASSERT_EQ(v.interest, 0u);
    ASSERT_EQ(v.handler, nullptr);
  }
}

TEST_F(SlotTableTest, UnregisterLeavesAnEmptySlotAndAnswersZeroTheSecondTime) {
  table.Register(Fake(0), ReadInterest | WriteInterest, &first);
  EXPECT_EQ(table.Unregister(Fake(0)), 1);
  QvSocketManager::SlotView v = table.Slot(0);
  EXPECT_EQ(v.socketHandle, qvplat::kNoSocket);
  EXPECT_EQ(v.interest, 0u);
  EXPECT_EQ(v.handler, nullptr);
  EXPECT_EQ(table.Unregister(Fake(0)), 0);
}

TEST_F(SlotTableTest, InitForgetsEveryRegistration) {
  for (int i = 0; i < 10; ++i) table.Register(Fake(i), ReadInterest, &first);
  ASSERT_TRUE(table.Init(kCapacity));
  EXPECT_EQ(table.Capacity(), kCapacity);
  EXPECT_EQ(table.Arm(Fake(3), WriteInterest, &first), 0);
  EXPECT_EQ(table.Unregister(Fake(3)), 0);
  EXPECT_EQ(table.Slot(0).socketHandle, qvplat::kNoSocket);
}

TEST_F(SlotTableTest, WithoutSlotsEveryOperationFails) {
  table.Init(0);
  EXPECT_EQ(table.Capacity(), 0);
  EXPECT_EQ(table.Register(Fake(0), ReadInterest, &first), -1);
  EXPECT_EQ(table.Arm(Fake(0), ReadInterest, &first), 0);
  EXPECT_EQ(table.Unregister(Fake(0)), 0);
  EXPECT_EQ(table.Slot(0).handler, nullptr);
}

TEST_F(SlotTableTest, ConcurrentRegistrationsNeverShareASlot) {
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
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

// The slot table on its own: first-fit search, duplicate and full-table
// answers, assigned versus ORed interest, freed slots, a table without
// slots. No worker looks at it, so socket numbers need not be real sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/qvpolltag.h"
#include "dispatch/qvslottable.h"
#include "support/qvworkerfixture.h"

namespace {

using qvtest::QuietSocket;
constexpr int kCapacity = 4000;

// A copy of one slot.
struct View {
  std::uint32_t interest;
  qvplat::Socket socketHandle;
  QvSocketBase* handler;
};

class SlotTableTest : public ::testing::Test {
 protected:
  static qvplat::Socket Fake(int n) { return static_cast<qvplat::Socket>(1000 + n); }
  View Slot(int i) const {
    const SocketSlot& s = table.At(i);
    return View{s.interest.load(), s.socketHandle.load(), s.handler.load()};
  }
  bool IsFree(int i) const {
    const View v = Slot(i);
    return v.socketHandle == qvplat::kNoSocket && v.interest == 0 && v.handler == nullptr;
  }
  // What the manager's Unregister does to the table.
  int Unregister(qvplat::Socket s) {
    const int i = table.Find(s);
    if (i < 0) return 0;
    table.Free(i);
    return 1;
  }

  QvSlotTable table{kCapacity};
  QuietSocket first, second;
};

// Register takes the first free slot and assigns its interest (not ORed
// into what the slot held before); Arm adds interest and replaces the handler.
TEST_F(SlotTableTest, RegisterTakesTheFirstFreeSlotAndArmAddsInterest) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(table.Register(Fake(i), ReadInterest | WriteInterest, &first), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Slot(i).socketHandle, Fake(i));
  EXPECT_EQ(Unregister(Fake(0)), 1);
  EXPECT_EQ(table.Register(Fake(3), ReadInterest, &second), 1);
  EXPECT_EQ(Slot(0).socketHandle, Fake(3));
  EXPECT_EQ(Slot(0).interest, ReadInterest);
  EXPECT_EQ(Slot(0).handler, &second);
  EXPECT_TRUE(IsFree(3));
  EXPECT_EQ(table.Arm(Fake(3), WriteInterest, &first), 1);
  EXPECT_EQ(Slot(0).interest, ReadInterest | WriteInterest);
  EXPECT_EQ(Slot(0).handler, &first);
}

TEST_F(SlotTableTest, DuplicateRegisterKeepsTheSlotAndPrintsItsNumber) {
  for (int i = 0; i < 6; ++i) table.Register(Fake(i), ReadInterest, &first);
  qvtest::BeginCapture();
  EXPECT_EQ(table.Register(Fake(5), ReadInterest | WriteInterest, &second), 1);
  const std::string out = qvtest::EndCapture();
  // "加入了一个已存在的连接:6\n" in GBK, with the 1-based slot number.
  EXPECT_EQ(out, "\xBC\xD3\xC8\xEB\xC1\xCB\xD2\xBB\xB8\xF6\xD2\xD1\xB4\xE6\xD4\xDA\xB5\xC4\xC1\xAC\xBD\xD3:6\n");
  EXPECT_EQ(Slot(5).interest, ReadInterest);
  EXPECT_EQ(Slot(5).handler, &first);
  EXPECT_TRUE(IsFree(6));
}

TEST_F(SlotTableTest, FullTableRefusesAndChangesNothing) {
  for (int i = 0; i < kCapacity; ++i) ASSERT_EQ(table.Register(Fake(i), ReadInterest, &first), 1);
  qvtest::BeginCapture();
  EXPECT_EQ(table.Register(Fake(kCapacity), WriteInterest, &second), -1);
  EXPECT_EQ(qvtest::EndCapture(), "");  // the caller reports a full table
  for (int i = 0; i < kCapacity; ++i) {
    ASSERT_EQ(Slot(i).socketHandle, Fake(i));
    ASSERT_EQ(Slot(i).handler, &first);
  }
}

// Unregister frees a slot whole; the second time, like Arm of a socket the
// table does not hold, it answers 0 and takes no slot. A table without
// slots refuses everything. A freed or re-registered slot no longer holds
// the registration an event was taken for, however many came before.
TEST_F(SlotTableTest, FreedSlotsAbsentSocketsAndATableWithoutSlots) {
  table.Register(Fake(0), ReadInterest | WriteInterest, &first);
  table.Register(Fake(1), ReadInterest, &first);
  const std::uint32_t generation = table.At(0).generation.load();
  EXPECT_TRUE(table.StillRegistered(0, generation));
  EXPECT_EQ(Unregister(Fake(0)), 1);
  EXPECT_FALSE(table.StillRegistered(0, generation));
  EXPECT_EQ(Unregister(Fake(0)), 0);
  EXPECT_EQ(table.Arm(Fake(0), WriteInterest, &first), 0);
  for (int i = 0; i < kCapacity; ++i) ASSERT_TRUE(i == 1 || IsFree(i)) << i;
  table.Register(Fake(2), ReadInterest, &second);  // takes slot 0 again
  EXPECT_FALSE(table.StillRegistered(0, generation));
  // Generations count modulo 2^31, what a poller tag holds: past its last
  // one the slot's registration still reads back from its tag.
  EXPECT_EQ(Unregister(Fake(2)), 1);
  table.At(0).generation.store(QvPollTag::kNumberMask);
  table.Register(Fake(2), ReadInterest, &second);
  const std::uint64_t tag = QvPollTag::ForSlot(0, table.At(0).generation.load());
  EXPECT_FALSE(QvPollTag::IsLinger(tag));
  EXPECT_TRUE(table.StillRegistered(static_cast<int>(QvPollTag::Index(tag)), QvPollTag::Number(tag)));

  QvSlotTable none(0);
  EXPECT_EQ(none.Capacity(), 0);
  EXPECT_EQ(none.Register(Fake(0), ReadInterest, &first), -1);
  EXPECT_EQ(none.Arm(Fake(0), ReadInterest, &first), 0);
  EXPECT_EQ(none.Find(Fake(0)), -1);
}

// Freed slots are taken again lowest first; socket numbers beyond the
// hints are found as well; each handler knows how many slots name it.
TEST_F(SlotTableTest, FreedSlotsAreTakenLowestFirstAndHandlersCountTheirSlots) {
  const auto large = static_cast<qvplat::Socket>(1 << 20);
  for (int i = 0; i < 10; ++i) table.Register(Fake(i), ReadInterest, &first);
  Unregister(Fake(7));
  Unregister(Fake(3));
  EXPECT_EQ(first.namedBySlots.load(), 8);
  EXPECT_EQ(table.Register(large, ReadInterest, &second), 1);
  EXPECT_EQ(table.Find(large), 3);
  table.Register(Fake(20), ReadInterest, &second);
  table.Register(Fake(21), ReadInterest, &second);
  EXPECT_EQ(table.Find(Fake(20)), 7);
  EXPECT_EQ(table.Find(Fake(21)), 10);
  EXPECT_EQ(table.Find(Fake(30)), -1);
  EXPECT_EQ(table.Arm(large, WriteInterest, &first), 1);
  EXPECT_EQ(first.namedBySlots.load(), 9);
  EXPECT_EQ(second.namedBySlots.load(), 2);
}

// Every change of a slot is marked once for the worker's next look, and
// taking the marks leaves none behind; what changes nothing is not marked.
TEST_F(SlotTableTest, ChangesAreMarkedOnceUntilTaken) {
  table.Register(Fake(0), ReadInterest, &first);
  table.Register(Fake(1), ReadInterest, &first);
  table.Arm(Fake(1), WriteInterest, &first);
  table.Register(Fake(2), 0, &first);
  Unregister(Fake(2));
  std::vector<int> changed;
  table.TakeChanged([&](int i) { changed.push_back(i); });
  EXPECT_EQ(changed, (std::vector<int>{0, 1, 2}));
  changed.clear();
  table.TakeChanged([&](int i) { changed.push_back(i); });
  EXPECT_TRUE(changed.empty());
  // Arming what is armed already changes nothing, and is no change.
  bool armed = true;
  EXPECT_EQ(table.Arm(Fake(1), WriteInterest, &first, &armed), 1);
  EXPECT_FALSE(armed);
  table.Disarm(0, ReadInterest);
  table.TakeChanged([&](int i) { changed.push_back(i); });
  EXPECT_EQ(changed, std::vector<int>{0});
  EXPECT_EQ(Slot(0).interest, 0u);
  // Marks at the edges of the bitmap's words, in a table larger than one
  // summary word covers (64 words of 64 slots).
  QvSlotTable large(4200);
  const std::vector<int> edges{0, 63, 64, 4031, 4095, 4096, 4199};
  for (auto it = edges.rbegin(); it != edges.rend(); ++it) large.MarkChanged(*it);
  changed.clear();
  large.TakeChanged([&](int i) { changed.push_back(i); });
  EXPECT_EQ(changed, edges);
  changed.clear();
  large.TakeChanged([&](int i) { changed.push_back(i); });
  EXPECT_TRUE(changed.empty());
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
    qvplat::Socket s = Slot(i).socketHandle;
    if (s != qvplat::kNoSocket) ++seen[static_cast<size_t>(s - Fake(0))];
  }
  for (int count : seen) ASSERT_EQ(count, 1);
}

// A slot is free again only once it is cleared whole: a registration that
// takes it at once keeps its interest and handler.
TEST_F(SlotTableTest, SlotFreedWhileAnotherThreadRegistersKeepsTheNewRegistration) {
  constexpr int kRounds = 1000000;
  std::atomic<int> clobbered{0};
  std::thread freeing([this] {
    for (int i = 0; i < kRounds; ++i) {
      table.Register(Fake(0), ReadInterest, &first);
      Unregister(Fake(0));
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    table.Register(Fake(1), WriteInterest, &second);
    const int at = table.Find(Fake(1));
    if (at < 0 || Slot(at).handler != &second || Slot(at).interest != WriteInterest) ++clobbered;
    Unregister(Fake(1));
  }
  freeing.join();
  EXPECT_EQ(clobbered.load(), 0);
}

}  // namespace

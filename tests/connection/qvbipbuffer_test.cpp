// qvbipbuffer_test.cpp - the two-region byte queue: region arithmetic,
// compaction and a randomized comparison against a plain queue.
#include "connection/qvbipbuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kCapacity = 40960;

// Byte i of a test stream; 251 is prime, so shifted stretches differ.
char StreamByte(std::uint64_t i) { return static_cast<char>(i % 251); }

std::string Stream(std::uint64_t from, std::uint32_t length) {
  std::string s(length, '\0');
  for (std::uint32_t i = 0; i < length; ++i) s[i] = StreamByte(from + i);
  return s;
}

class BipBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buffer.Allocate(kCapacity));
    base = buffer.WritePointer();
  }

  // Stream bytes [0, 30000) appended, [0, 20000) consumed, B opened at the
  // base and stream bytes [30000, 45000) appended there. A holds stream
  // bytes [20000, 30000) at base + 20000, B holds [30000, 45000) at base.
  void MakeWrapped() {
    ASSERT_TRUE(buffer.Append(Stream(0, 30000).data(), 30000));
    buffer.Consume(20000);
    ASSERT_EQ(buffer.FreeSpace(), 20000u);
    ASSERT_EQ(buffer.WritePointer(), base);
    ASSERT_TRUE(buffer.Append(Stream(30000, 15000).data(), 15000));
  }

  std::string Front(std::uint32_t length) const { return std::string(buffer.ReadPointer(), length); }

  QvBipBuffer buffer;
  char* base = nullptr;
};

TEST_F(BipBufferTest, FreshBufferIsEmptyAndWritesAtTheBase) {
  EXPECT_EQ(buffer.CommittedSize(), 0u);
  EXPECT_EQ(buffer.ContiguousSize(), 0u);
  EXPECT_EQ(buffer.ReadPointer(), nullptr);
  EXPECT_EQ(buffer.SecondRegion(), nullptr);
  EXPECT_EQ(buffer.FreeSpace(), kCapacity);
  // Asking again must not have opened region B in front of an empty A.
  EXPECT_EQ(buffer.FreeSpace(), kCapacity);
  EXPECT_EQ(buffer.WritePointer(), base);
}

TEST_F(BipBufferTest, AppendFillsExactlyToCapacity) {
  const std::string all = Stream(0, kCapacity + 1);
  EXPECT_FALSE(buffer.Append(all.data(), kCapacity + 1));
  EXPECT_EQ(buffer.CommittedSize(), 0u);

  ASSERT_TRUE(buffer.Append(all.data(), kCapacity));
  EXPECT_EQ(buffer.FreeSpace(), 0u);
  EXPECT_FALSE(buffer.Append(all.data(), 1));
  EXPECT_TRUE(buffer.Append(all.data(), 0));
  EXPECT_EQ(buffer.CommittedSize(), kCapacity);
  EXPECT_EQ(buffer.ContiguousSize(), kCapacity);
  EXPECT_EQ(buffer.ReadPointer(), base);
  EXPECT_EQ(Front(kCapacity), all.substr(0, kCapacity));
}

TEST_F(BipBufferTest, WrapsIntoRegionBAtTheBase) {
  ASSERT_NO_FATAL_FAILURE(MakeWrapped());
  EXPECT_EQ(buffer.ReadPointer(), base + 20000);
  EXPECT_EQ(buffer.ContiguousSize(), 10000u);
  EXPECT_EQ(buffer.CommittedSize(), 25000u);
  EXPECT_EQ(buffer.SecondRegion(), base);
  EXPECT_EQ(buffer.FreeSpace(), 5000u);

  // 10960 bytes are free behind A, but the next write goes to B only.
  EXPECT_FALSE(buffer.Append(Stream(0, 8000).data(), 8000));
  EXPECT_EQ(buffer.CommittedSize(), 25000u);

  // Draining A promotes B, which already starts at the base.
  buffer.Consume(10000);
  EXPECT_EQ(buffer.ReadPointer(), base);
  EXPECT_EQ(buffer.ContiguousSize(), 15000u);
  EXPECT_EQ(buffer.CommittedSize(), 15000u);
  EXPECT_EQ(buffer.SecondRegion(), nullptr);
  EXPECT_EQ(Front(15000), Stream(30000, 15000));
}

TEST_F(BipBufferTest, CopyOutStraddlesBothRegionsAndCompacts) {
  ASSERT_NO_FATAL_FAILURE(MakeWrapped());
  std::vector<char> out(12000);
  ASSERT_TRUE(buffer.CopyOut(out.data(), 12000));
  EXPECT_EQ(std::string(out.begin(), out.end()), Stream(20000, 12000));

  // The rest of B (at base + 2000) moved down onto itself to the base.
  EXPECT_EQ(buffer.ReadPointer(), base);
  EXPECT_EQ(buffer.ContiguousSize(), 13000u);
  EXPECT_EQ(buffer.CommittedSize(), 13000u);
  EXPECT_EQ(buffer.SecondRegion(), nullptr);
  EXPECT_EQ(Front(13000), Stream(32000, 13000));
  EXPECT_EQ(buffer.WritePointer(), base + 13000);
}

TEST_F(BipBufferTest, ConsumePastRegionAMovesTheRestOfBDown) {
  ASSERT_NO_FATAL_FAILURE(MakeWrapped());
  buffer.Consume(10000 + 1);  // all of A and B's first byte: a one-byte shift
  EXPECT_EQ(buffer.ReadPointer(), base);
  EXPECT_EQ(buffer.ContiguousSize(), 14999u);
  EXPECT_EQ(Front(14999), Stream(30001, 14999));

  // A short B, mostly eaten: the move does not overlap.
  buffer.Consume(14999);
  ASSERT_TRUE(buffer.Append(Stream(0, 30000).data(), 30000));
  buffer.Consume(20000);
  ASSERT_TRUE(buffer.Append(Stream(30000, 300).data(), 300));
  buffer.Consume(10000 + 250);
  EXPECT_EQ(buffer.ReadPointer(), base);
  EXPECT_EQ(buffer.ContiguousSize(), 50u);
  EXPECT_EQ(Front(50), Stream(30250, 50));
}

TEST_F(BipBufferTest, OversizedOrEmptyReadsAndDiscards) {
  ASSERT_NO_FATAL_FAILURE(MakeWrapped());
  std::vector<char> out(25001, 'x');
  EXPECT_FALSE(buffer.CopyOut(out.data(), 25001));
  EXPECT_EQ(out, std::vector<char>(25001, 'x'));
  EXPECT_TRUE(buffer.CopyOut(out.data(), 0));
  buffer.Consume(0);
  EXPECT_EQ(buffer.ReadPointer(), base + 20000);
  EXPECT_EQ(buffer.ContiguousSize(), 10000u);
  EXPECT_EQ(buffer.CommittedSize(), 25000u);
  EXPECT_EQ(buffer.SecondRegion(), base);
  EXPECT_EQ(buffer.WritePointer(), base + 15000);

  buffer.Consume(25001);
  EXPECT_EQ(buffer.CommittedSize(), 0u);
  EXPECT_EQ(buffer.ReadPointer(), nullptr);
  EXPECT_EQ(buffer.WritePointer(), base);
  EXPECT_EQ(buffer.FreeSpace(), kCapacity);
}

TEST_F(BipBufferTest, EqualRoomOnBothSidesGoesBehindA) {
  // A: 10000 bytes at base + 15480, so 15480 bytes free on either side.
  ASSERT_TRUE(buffer.Append(Stream(0, 25480).data(), 25480));
  buffer.Consume(15480);
  EXPECT_EQ(buffer.FreeSpace(), 15480u);
  EXPECT_EQ(buffer.WritePointer(), base + 25480);
  ASSERT_TRUE(buffer.Append(Stream(25480, 15480).data(), 15480));
  EXPECT_EQ(buffer.SecondRegion(), nullptr);
  EXPECT_EQ(buffer.ContiguousSize(), 25480u);

  // A: 9999 bytes at base + 15481, one byte more free in front than behind.
  buffer.Consume(25480);
  ASSERT_TRUE(buffer.Append(Stream(0, 25480).data(), 25480));
  buffer.Consume(15481);
  EXPECT_EQ(buffer.FreeSpace(), 15481u);
  EXPECT_EQ(buffer.WritePointer(), base);
  ASSERT_TRUE(buffer.Append(Stream(25480, 15481).data(), 15481));
  EXPECT_EQ(buffer.SecondRegion(), base);
  EXPECT_EQ(buffer.ContiguousSize(), 9999u);
  EXPECT_EQ(buffer.FreeSpace(), 0u);
}

TEST_F(BipBufferTest, FailedAppendLeavesRegionBOpenAndEmpty) {
  ASSERT_TRUE(buffer.Append(Stream(0, 30000).data(), 30000));
  buffer.Consume(20000);
  ASSERT_EQ(buffer.WritePointer(), base + 30000);  // no B yet

  EXPECT_FALSE(buffer.Append(Stream(0, 25000).data(), 25000));
  EXPECT_EQ(buffer.WritePointer(), base);
  EXPECT_EQ(buffer.FreeSpace(), 20000u);
  EXPECT_EQ(buffer.CommittedSize(), 10000u);
  EXPECT_EQ(Front(10000), Stream(20000, 10000));
}

TEST(BipBufferWithoutStorage, RefusesEveryWrite) {
  QvBipBuffer buffer;
  EXPECT_EQ(buffer.FreeSpace(), 0u);
  const char byte = 'x';
  EXPECT_FALSE(buffer.Append(&byte, 1));
  EXPECT_EQ(buffer.CommittedSize(), 0u);
  EXPECT_EQ(buffer.ReadPointer(), nullptr);
}

// Drives the queue with random appends, in-place writes, consumes and
// copies, and checks after every step that it holds exactly the bytes of a
// plain reference queue, in order, inside its storage.
void RunModel(std::uint32_t capacity, int steps, std::uint32_t seed) {
  SCOPED_TRACE("capacity " + std::to_string(capacity) + ", seed " + std::to_string(seed));
  QvBipBuffer buffer;
  ASSERT_TRUE(buffer.Allocate(capacity));
  const char* base = buffer.WritePointer();
  const char* end = base + capacity;
  std::mt19937 rng(seed);
  auto upTo = [&rng](std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n)(rng); };
  std::deque<char> model;
  std::uint64_t written = 0;
  std::vector<char> scratch(capacity + 2);

  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const std::uint32_t queued = static_cast<std::uint32_t>(model.size());
    switch (upTo(3)) {
      case 0: {  // Append: succeeds exactly when the free stretch is big enough
        const std::uint32_t n = upTo(capacity / 2);
        const std::string data = Stream(written, n);
        const std::uint32_t space = buffer.FreeSpace();
        const bool ok = buffer.Append(data.data(), n);
        ASSERT_EQ(ok, n <= space);
        if (ok) {
          model.insert(model.end(), data.begin(), data.end());
          written += n;
        }
        break;
      }
      case 1: {  // In-place write of at most what FreeSpace granted
        const std::uint32_t space = buffer.FreeSpace();
        char* at = buffer.WritePointer();
        ASSERT_LE(space, capacity - queued);
        ASSERT_GE(at, base);
        ASSERT_LE(at + space, end);
        if (buffer.CommittedSize() > 0 && at < buffer.ReadPointer()) {
          ASSERT_LE(at + space, buffer.ReadPointer());  // must not run into A
        }
        const std::uint32_t n = upTo(space);
        for (std::uint32_t i = 0; i < n; ++i) at[i] = StreamByte(written + i);
        buffer.Commit(n);
        for (std::uint32_t i = 0; i < n; ++i) model.push_back(StreamByte(written + i));
        written += n;
        break;
      }
      case 2: {  // Consume from the front, sometimes more than is queued
        const std::uint32_t n = upTo(3) == 0 ? upTo(queued + 3) : upTo(buffer.ContiguousSize());
        if (n > 0 && n <= buffer.ContiguousSize()) {
          ASSERT_TRUE(std::equal(buffer.ReadPointer(), buffer.ReadPointer() + n, model.begin()));
        }
        buffer.Consume(n);
        model.erase(model.begin(), model.begin() + std::min(n, queued));
        break;
      }
      default: {  // CopyOut across regions, sometimes more than is queued
        const std::uint32_t n = upTo(queued + 2);
        std::fill(scratch.begin(), scratch.end(), '\x7f');
        const bool ok = buffer.CopyOut(scratch.data(), n);
        ASSERT_EQ(ok, n <= queued);
        if (ok) {
          ASSERT_TRUE(std::equal(scratch.begin(), scratch.begin() + n, model.begin()));
          model.erase(model.begin(), model.begin() + n);
        }
        break;
      }
    }

    const std::uint32_t size = static_cast<std::uint32_t>(model.size());
    ASSERT_EQ(buffer.CommittedSize(), size);
    if (size == 0) {
      ASSERT_EQ(buffer.ReadPointer(), nullptr);
      continue;
    }
    const char* front = buffer.ReadPointer();
    const std::uint32_t contiguous = buffer.ContiguousSize();
    ASSERT_GT(contiguous, 0u);
    ASSERT_LE(contiguous, size);
    ASSERT_GE(front, base);
    ASSERT_LE(front + contiguous, end);
    ASSERT_TRUE(std::equal(front, front + contiguous, model.begin()));
    const std::uint32_t rest = size - contiguous;
    if (rest > 0) {
      const char* second = buffer.SecondRegion();
      ASSERT_NE(second, nullptr);
      ASSERT_GE(second, base);
      ASSERT_LE(second + rest, front);  // B lies wholly in front of A
      ASSERT_TRUE(std::equal(second, second + rest, model.begin() + contiguous));
    }
  }
}

TEST(BipBufferModel, SmallCapacityWrapsConstantly) { RunModel(257, 5000, 20240611u); }

TEST(BipBufferModel, FullCapacity) { RunModel(kCapacity, 400, 7u); }

}  // namespace

// qvbipbuffer_test.cpp - the two-region byte queue: its edge cases as
// scripts of steps (region placement, compaction, the storage taken and
// given back), and random steps, each step checked against a plain queue
// holding the same bytes.
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

// Byte i of the stream written into a queue; 251 is prime, so shifted
// stretches differ.
char StreamByte(std::uint64_t i) { return static_cast<char>(i % 251); }

// A queue beside a plain reference queue that should hold the same bytes.
class CheckedQueue {
 public:
  explicit CheckedQueue(std::uint32_t capacity) { Allocate(capacity); }

  void Allocate(std::uint32_t capacity) {
    EXPECT_TRUE(buffer.Allocate(capacity));
    base = buffer.WritePointer();
    end = base + capacity;
  }

  // One step, then a check that the queue holds the reference bytes:
  //   A<n> / a<n>  appends the next n stream bytes; must succeed / fail
  //   P<n>         writes n bytes in place, after FreeSpace
  //   C<n>         consumes n bytes (all of them, at most)
  //   O<n> / o<n>  copies n bytes out; must succeed / fail, leaving all as it was
  //   F<n> / W<n>  FreeSpace must be n / the write pointer must be base + n
  //   =<layout>    Layout() must read so
  //   X            Free: the storage goes back, and the bytes with it
  //   D            Detach: the storage is handed over, with the bytes in
  //                place, and the buffer is reset
  //   Y<n> / y<n>  Allocate n bytes of storage; must succeed / fail
  void Run(const std::string& step) {
    SCOPED_TRACE(step);
    const std::uint32_t n = step.size() == 1 || step[0] == '=' ? 0 : static_cast<std::uint32_t>(std::stoul(step.substr(1)));
    std::string bytes(n, '\x7f');
    switch (step[0]) {
      case 'A':
      case 'a':
        for (std::uint32_t i = 0; i < n; ++i) bytes[i] = StreamByte(written + i);
        ASSERT_EQ(buffer.Append(bytes.data(), n), step[0] == 'A');
        if (step[0] == 'A') Add(bytes);
        break;
      case 'P': {
        const std::uint32_t space = buffer.FreeSpace();
        char* at = buffer.WritePointer();
        ASSERT_LE(n, space);
        ASSERT_LE(space, end - base - model.size());
        ASSERT_GE(at, base);
        ASSERT_LE(at + space, end);
        if (buffer.CommittedSize() > 0 && at < buffer.ReadPointer()) {
          ASSERT_LE(at + space, buffer.ReadPointer());  // must not run into A
        }
        for (std::uint32_t i = 0; i < n; ++i) bytes[i] = at[i] = StreamByte(written + i);
        buffer.Commit(n);
        Add(bytes);
        break;
      }
      case 'C':
        buffer.Consume(n);
        model.erase(model.begin(), model.begin() + std::min<size_t>(n, model.size()));
        break;
      case 'O':
      case 'o':
        ASSERT_EQ(buffer.CopyOut(&bytes[0], n), step[0] == 'O');
        if (step[0] == 'o') {
          ASSERT_EQ(bytes, std::string(n, '\x7f'));
          break;
        }
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), model.begin()));
        model.erase(model.begin(), model.begin() + n);
        break;
      case 'F':
        EXPECT_EQ(buffer.FreeSpace(), n);
        break;
      case 'W':
        EXPECT_EQ(buffer.WritePointer() - base, n);
        break;
      case 'X':
      case 'D': {
        if (step[0] == 'X') {
          buffer.Free();
        } else {
          const char* front = buffer.ReadPointer();
          const std::uint32_t contiguous = buffer.ContiguousSize();
          char* storage = buffer.Detach();
          EXPECT_EQ(storage, base);
          EXPECT_TRUE(model.empty() || std::equal(front, front + contiguous, model.begin()));
          QvBipBuffer::GiveBack(storage);
        }
        model.clear();
        base = nullptr;
        end = nullptr;
        break;
      }
      case 'Y':
        Allocate(n);
        break;
      case 'y':
        EXPECT_FALSE(buffer.Allocate(n));
        break;
      default:
        EXPECT_EQ(Layout(), step.substr(1));
    }
    ExpectSameBytes();
  }

  // "A<offset>+<contiguous size> B<offset> of <bytes queued>", with "-" for
  // a null read pointer or second region.
  std::string Layout() const {
    auto at = [this](const char* p) { return p != nullptr ? std::to_string(p - base) : std::string("-"); };
    if (!buffer.HasStorage()) return "none of " + std::to_string(buffer.CommittedSize());
    return "A" + at(buffer.ReadPointer()) + "+" + std::to_string(buffer.ContiguousSize()) + " B" +
           at(buffer.SecondRegion()) + " of " + std::to_string(buffer.CommittedSize());
  }

  QvBipBuffer buffer;
  std::deque<char> model;

 private:
  void Add(const std::string& bytes) {
    model.insert(model.end(), bytes.begin(), bytes.end());
    written += bytes.size();
  }

  // The reference bytes, in order, in A and then B, both inside the storage
  // and B wholly in front of A.
  void ExpectSameBytes() const {
    const std::uint32_t size = static_cast<std::uint32_t>(model.size());
    ASSERT_EQ(buffer.CommittedSize(), size);
    if (size == 0) {
      ASSERT_EQ(buffer.ReadPointer(), nullptr);
      return;
    }
    const char* front = buffer.ReadPointer();
    const std::uint32_t contiguous = buffer.ContiguousSize();
    ASSERT_GT(contiguous, 0u);
    ASSERT_LE(contiguous, size);
    ASSERT_GE(front, base);
    ASSERT_LE(front + contiguous, end);
    ASSERT_TRUE(std::equal(front, front + contiguous, model.begin()));
    if (const std::uint32_t rest = size - contiguous) {
      const char* second = buffer.SecondRegion();
      ASSERT_NE(second, nullptr);
      ASSERT_GE(second, base);
      ASSERT_LE(second + rest, front);
      ASSERT_TRUE(std::equal(second, second + rest, model.begin() + contiguous));
    }
  }

  char* base;
  const char* end;
  std::uint64_t written = 0;
};

struct Script {
  const char* name;
  std::vector<std::string> steps;
};

// Most scripts start from a wrapped queue: 30000 bytes appended, 20000
// consumed, B opened at the base and 15000 bytes appended there.
#define WRAPPED "A30000", "C20000", "F20000", "W0", "A15000", "=A20000+10000 B0 of 25000"

// The edge cases, all with a capacity of 40960 bytes.
const Script kScripts[] = {
    // Asking for free space twice does not open B in front of an empty A.
    {"FreshQueueIsEmptyAndWritesAtTheBase", {"=A-+0 B- of 0", "F40960", "F40960", "W0"}},
    {"AppendFillsExactlyToCapacity", {"a40961", "A40960", "F0", "a1", "A0", "=A0+40960 B- of 40960"}},
    // 10960 bytes are free behind A, but the next write goes to B only;
    // draining A promotes B, which already starts at the base.
    {"WrapsIntoRegionBAtTheBase", {WRAPPED, "F5000", "a8000", "C10000", "=A0+15000 B- of 15000"}},
    // The rest of B (at base + 2000) moves down onto itself to the base.
    {"CopyOutStraddlesBothRegionsAndCompacts", {WRAPPED, "O12000", "=A0+13000 B- of 13000", "W13000"}},
    // All of A and B's first byte: a one-byte shift; then a short B, mostly
    // eaten, whose move does not overlap.
    {"ConsumePastRegionAMovesTheRestOfBDown",
     {WRAPPED, "C10001", "=A0+14999 B- of 14999", "C14999", "A30000", "C20000", "A300", "C10250", "=A0+50 B- of 50"}},
    {"OversizedOrEmptyReadsAndDiscards",
     {WRAPPED, "o25001", "O0", "C0", "=A20000+10000 B0 of 25000", "W15000", "C25001", "=A-+0 B- of 0", "W0", "F40960"}},
    // 15480 bytes free on either side of A: the write goes behind it; one
    // byte more in front of A: it goes to B.
    {"EqualRoomOnBothSidesGoesBehindA",
     {"A25480", "C15480", "F15480", "W25480", "A15480", "=A15480+25480 B- of 25480", "C25480", "A25480", "C15481",
      "F15481", "W0", "A15481", "=A15481+9999 B0 of 25480", "F0"}},
    {"FailedAppendLeavesRegionBOpenAndEmpty",
     {"A30000", "C20000", "W30000", "a25000", "W0", "F20000", "=A20000+10000 B0 of 10000"}},
    // Without storage: no room, no write; a block of storage is at most
    // the pool's 40960 bytes, and there is one at a time.
    {"WithoutStorageNothingIsWritten", {"X", "=none of 0", "F0", "a1", "a0", "P0", "y40961", "Y40960", "y40960", "F40960"}},
    // Free drops what was queued, in any state, and the next storage
    // starts empty.
    {"FreeResetsAndAllocateStartsOver", {WRAPPED, "X", "=none of 0", "Y40960", "=A-+0 B- of 0", "F40960", "W0", "A40960"}},
    // Detach hands the storage over with the bytes in place (a graceful
    // end gives them to the lingering socket) and leaves no storage.
    {"DetachHandsTheStorageOver", {WRAPPED, "D", "=none of 0", "F0", "a1", "Y40960", "F40960"}},
};

TEST(BipBufferEdgeCases, EachStepLeavesTheExpectedLayout) {
  for (const Script& script : kScripts) {
    SCOPED_TRACE(script.name);
    CheckedQueue q(kCapacity);
    for (const std::string& step : script.steps) {
      ASSERT_NO_FATAL_FAILURE(q.Run(step));
    }
  }
}

// Random appends, in-place writes, consumes and copies, sometimes of more
// than fits or is queued. A small capacity wraps constantly.
TEST(BipBufferModel, RandomStepsKeepTheBytesOfAPlainQueue) {
  struct Run {
    std::uint32_t capacity;
    int steps;
    std::uint32_t seed;
  };
  for (const Run& run : {Run{257, 5000, 20240611u}, Run{kCapacity, 400, 7u}}) {
    SCOPED_TRACE("capacity " + std::to_string(run.capacity));
    CheckedQueue q(run.capacity);
    std::mt19937 rng(run.seed);
    auto upTo = [&rng](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n)(rng); };
    for (int i = 0; i < run.steps && !testing::Test::HasFatalFailure(); ++i) {
      const std::uint64_t queued = q.model.size();
      std::uint64_t n;
      switch (upTo(3)) {
        case 0:
          n = upTo(run.capacity / 2);
          q.Run((n <= q.buffer.FreeSpace() ? "A" : "a") + std::to_string(n));
          break;
        case 1:
          q.Run("P" + std::to_string(upTo(q.buffer.FreeSpace())));
          break;
        case 2:
          q.Run("C" + std::to_string(upTo(3) == 0 ? upTo(queued + 3) : upTo(q.buffer.ContiguousSize())));
          break;
        default:
          n = upTo(queued + 2);
          q.Run((n <= queued ? "O" : "o") + std::to_string(n));
      }
    }
  }
}

}  // namespace

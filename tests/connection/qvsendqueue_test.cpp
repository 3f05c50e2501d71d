// qvsendqueue_test.cpp - the send queue against a plain string holding the
// same bytes, through random appends, gathered sends and take-alls.
#include "connection/qvsendqueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "connection/qvchunkpool.h"

namespace {

// Checks, in place, that what Gather hands out (at most `max` pieces, none
// empty) is `model` from `from` on; returns its length.
std::size_t GatheredAgrees(const QvSendQueue& q, int max, const std::string& model, std::size_t from) {
  qvplat::SendPiece pieces[qvplat::kMaxSendPieces];
  const int count = q.Gather(pieces, max);
  std::size_t offered = 0;
  for (int i = 0; i < count; ++i) {
    EXPECT_GT(pieces[i].length, 0u);
    if (from + offered + pieces[i].length > model.size()) {
      ADD_FAILURE() << "piece " << i << " runs past the model";
      break;
    }
    EXPECT_EQ(model.compare(from + offered, pieces[i].length, pieces[i].data, pieces[i].length), 0) << "piece " << i;
    offered += pieces[i].length;
  }
  return offered;
}

TEST(SendQueueModel, RandomStepsKeepTheBytesOfAPlainQueue) {
  std::mt19937 random(20261208);
  QvSendQueue q;
  // The bytes queued are model's from `front` on: consuming moves `front`,
  // and the consumed bytes are dropped only once they are half of it. No
  // step moves or copies the whole model, and buffers are reused: under a
  // sanitizer, large copies and allocations make this test crawl.
  std::string model;
  std::size_t front = 0;
  std::string bytes;
  std::uint64_t written = 0;
  for (int step = 0; step < 20000; ++step) {
    SCOPED_TRACE(step);
    const unsigned what = random() % 8;
    if (what < 4) {
      // Sizes around the block size too, so frames cross blocks.
      const std::size_t sizes[] = {1, 4, 68, 1000, 16388, 40960, 65536, 70000};
      const std::size_t n = sizes[random() % 8] - (random() % 2);
      bytes.assign(n, '\0');
      for (char& c : bytes) c = static_cast<char>(written++ % 251);
      // Appended in two parts, as a header and its payload are: as a frame
      // (which makes its own room), or after Reserve in two calls.
      const std::size_t head = std::min<std::size_t>(n, 4);
      if (random() % 2 == 0) {
        ASSERT_TRUE(q.AppendFrame(bytes.data(), head, bytes.data() + head, n - head));
      } else {
        ASSERT_TRUE(q.Reserve(n));
        q.Append(bytes.data(), head);
        q.Append(bytes.data() + head, n - head);
      }
      model += bytes;
    } else if (what < 7) {
      // A send that takes part of what was gathered.
      const std::size_t offered =
          GatheredAgrees(q, 1 + static_cast<int>(random() % qvplat::kMaxSendPieces), model, front);
      ASSERT_FALSE(HasFailure());
      ASSERT_TRUE(model.size() == front || offered > 0);
      const std::size_t taken = offered == 0 ? 0 : random() % (offered + 1);
      q.Consume(taken);
      front += taken;
      if (front > model.size() / 2) {
        model.erase(0, front);
        front = 0;
      }
    } else if (random() % 8 == 0) {
      std::vector<QvUnsentBytes> out;
      q.HandOver(&out);
      std::string joined;
      for (const QvUnsentBytes& part : out) joined.append(part.data(), part.size());
      ASSERT_EQ(joined, model.substr(front));  // rare: a copy costs little here
      model.clear();
      front = 0;
    }
    ASSERT_EQ(q.Size(), model.size() - front);
    ASSERT_EQ(q.Empty(), model.size() == front);
  }
  GatheredAgrees(q, qvplat::kMaxSendPieces, model, front);
}

// An emptied queue holds no block: they go back to the pool, and the next
// frames take them from there.
TEST(SendQueueModel, EmptiedQueueGivesItsBlocksBack) {
  QvSendQueue q;
  const std::string frame(100000, 'x');  // two blocks
  ASSERT_TRUE(q.Reserve(frame.size()));
  q.Append(frame.data(), frame.size());
  const int spare = QvChunkPool::Instance().Spare();
  q.Consume(frame.size() - 1);
  EXPECT_EQ(QvChunkPool::Instance().Spare(), spare + 1);
  q.Consume(1);
  EXPECT_EQ(QvChunkPool::Instance().Spare(), spare + 2);
  EXPECT_EQ(GatheredAgrees(q, qvplat::kMaxSendPieces, "", 0), 0u);
  ASSERT_TRUE(q.Reserve(10));
  EXPECT_EQ(QvChunkPool::Instance().Spare(), spare + 1);
}

}  // namespace

// What a graceful close hands over: each block goes back exactly once,
// when the piece that owns it goes, however the pieces were moved.
namespace {

int given = 0;

TEST(UnsentBytes, ABlockGoesBackOnceWhenItsOwnerGoes) {
  given = 0;
  const QvUnsentBytes::Release count = [](void*) { ++given; };
  char block[8] = "abcdefg";
  {
    std::vector<QvUnsentBytes> parts;
    parts.emplace_back(block, 3, block, nullptr);  // sent first: not the owner
    parts.emplace_back(block + 3, 4, block, count);
    QvUnsentBytes last(std::move(parts[1]));
    parts.erase(parts.begin());
    parts.clear();
    EXPECT_EQ(given, 0);
    EXPECT_EQ(std::string(last.data(), last.size()), "defg");
  }
  EXPECT_EQ(given, 1);
}

}  // namespace

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

// What Gather hands out, joined.
std::string Gathered(const QvSendQueue& q, int max) {
  qvplat::SendPiece pieces[qvplat::kMaxSendPieces];
  const int count = q.Gather(pieces, max);
  std::string joined;
  for (int i = 0; i < count; ++i) {
    EXPECT_GT(pieces[i].length, 0u);
    joined.append(pieces[i].data, pieces[i].length);
  }
  return joined;
}

TEST(SendQueueModel, RandomStepsKeepTheBytesOfAPlainQueue) {
  std::mt19937 random(20261208);
  QvSendQueue q;
  std::string model;
  std::uint64_t written = 0;
  for (int step = 0; step < 20000; ++step) {
    SCOPED_TRACE(step);
    const unsigned what = random() % 8;
    if (what < 4) {
      // Sizes around the block size too, so frames cross blocks.
      const std::size_t sizes[] = {1, 4, 68, 1000, 16388, 40960, 65536, 70000};
      const std::size_t n = sizes[random() % 8] - (random() % 2);
      std::string bytes(n, '\0');
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
      const std::string offered = Gathered(q, 1 + static_cast<int>(random() % qvplat::kMaxSendPieces));
      ASSERT_EQ(offered, model.substr(0, offered.size()));
      ASSERT_TRUE(model.empty() || !offered.empty());
      const std::size_t taken = offered.empty() ? 0 : random() % (offered.size() + 1);
      q.Consume(taken);
      model.erase(0, taken);
    } else if (random() % 8 == 0) {
      std::vector<QvUnsentBytes> out;
      q.HandOver(&out);
      std::string joined;
      for (const QvUnsentBytes& part : out) joined.append(part.data(), part.size());
      ASSERT_EQ(joined, model);
      model.clear();
    }
    ASSERT_EQ(q.Size(), model.size());
    ASSERT_EQ(q.Empty(), model.empty());
  }
  EXPECT_EQ(Gathered(q, qvplat::kMaxSendPieces), model.substr(0, Gathered(q, qvplat::kMaxSendPieces).size()));
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
  EXPECT_EQ(Gathered(q, qvplat::kMaxSendPieces), "");
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

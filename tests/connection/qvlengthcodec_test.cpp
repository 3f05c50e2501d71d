// qvlengthcodec_test.cpp - the length-prefix codec and frame recognition on
// a receive queue.
#include "connection/qvlengthcodec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "connection/qvbipbuffer.h"
#include "support/qvtestsupport.h"

namespace {

constexpr unsigned int kArea = 40960;

std::string Bytes(std::initializer_list<unsigned char> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// What one Encode call produced, with its console output.
struct Encoded {
  int result;
  unsigned int dstLength;
  std::string frame;
  std::string console;
};

// Encodes `payload` into an area of `capacity` bytes (plus one guard byte).
Encoded EncodeInto(const std::string& payload, unsigned int capacity) {
  QvLengthCodec codec;
  std::vector<char> dst(capacity + 1, '\x5a');
  Encoded e;
  e.dstLength = capacity;
  qvtest::BeginCapture();
  const unsigned int length = static_cast<unsigned int>(payload.size());
  e.result = codec.Encode(payload.data(), length, dst.data(), &e.dstLength);
  e.console = qvtest::EndCapture();
  e.frame.assign(dst.data(), e.dstLength);
  if (e.dstLength == 0) {
    // Nothing may have been written at all.
    EXPECT_EQ(std::string(dst.begin(), dst.end()), std::string(capacity + 1, '\x5a'));
  }
  return e;
}

TEST(LengthCodecEncode, PrefixCountsItselfLittleEndian) {
  Encoded empty = EncodeInto("", kArea);
  EXPECT_EQ(empty.result, 4);
  EXPECT_EQ(empty.frame, Bytes({0x04, 0x00, 0x00, 0x00}));

  Encoded abc = EncodeInto("abc", kArea);
  EXPECT_EQ(abc.result, 7);
  EXPECT_EQ(abc.dstLength, 7u);
  EXPECT_EQ(abc.frame, Bytes({0x07, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63}));
  EXPECT_EQ(abc.console, "7 \n");
}

TEST(LengthCodecEncode, FrameMustBeStrictlySmallerThanTheArea) {
  const std::string largest(40955, 'p');
  Encoded fits = EncodeInto(largest, kArea);
  EXPECT_EQ(fits.result, 40959);
  ASSERT_EQ(fits.frame.size(), 40959u);
  EXPECT_EQ(fits.frame.substr(0, 4), Bytes({0xFF, 0x9F, 0x00, 0x00}));
  EXPECT_EQ(fits.frame.substr(4), largest);

  Encoded tooBig = EncodeInto(std::string(40956, 'p'), kArea);
  EXPECT_EQ(tooBig.result, 0);
  EXPECT_EQ(tooBig.dstLength, 0u);
  EXPECT_EQ(tooBig.console, "");

  for (unsigned int capacity = 0; capacity <= 4; ++capacity) {
    SCOPED_TRACE(capacity);
    EXPECT_EQ(EncodeInto("", capacity).result, 0);
  }
  EXPECT_EQ(EncodeInto("", 5).result, 4);
}

TEST(LengthCodecEncode, HugeLengthDoesNotWrapRound) {
  QvLengthCodec codec;
  const char dummy = 'd';  // one byte: reading the "payload" would be caught
  for (unsigned int length : {0xFFFFFFFFu, 0xFFFFFFFDu, 0xFFFFFFFCu}) {
    SCOPED_TRACE(length);
    char dst[16] = {};
    unsigned int dstLength = sizeof dst;
    EXPECT_EQ(codec.Encode(&dummy, length, dst, &dstLength), 0);
    EXPECT_EQ(dstLength, 0u);
    EXPECT_EQ(std::string(dst, sizeof dst), std::string(sizeof dst, '\0'));
  }
}

TEST(LengthCodecDecode, CopiesThePayloadUnchanged) {
  QvLengthCodec codec;
  char dst[8] = {};
  unsigned int dstLength = 123;
  EXPECT_EQ(codec.Decode(nullptr, 0, dst, &dstLength), 0);
  EXPECT_EQ(dstLength, 0u);

  const char src[] = {'a', '\0', '\xFF'};
  EXPECT_EQ(codec.Decode(src, 3, dst, &dstLength), 3);
  EXPECT_EQ(dstLength, 3u);
  EXPECT_EQ(std::string(dst, 3), std::string(src, 3));
}

TEST(FrameLengthHelpers, LittleEndianWithoutSignExtension) {
  char at[4];
  StoreFrameLength(at, 0x12345678u);
  EXPECT_EQ(std::string(at, 4), Bytes({0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(LoadFrameLength(at), 0x12345678u);

  const std::string lowHigh = Bytes({0x80, 0x00, 0x00, 0x00});
  EXPECT_EQ(LoadFrameLength(lowHigh.data()), 0x80u);
  const std::string top = Bytes({0x00, 0x00, 0x00, 0x80});
  EXPECT_EQ(LoadFrameLength(top.data()), 0x80000000u);
  const std::string all = Bytes({0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(LoadFrameLength(all.data()), 0xFFFFFFFFu);
}

class PeekFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(queue.Allocate(kArea)); }
  void Put(const std::string& bytes) {
    ASSERT_TRUE(queue.Append(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
  }
  FrameStatus Peek() { return PeekFrame(queue, &length); }

  QvBipBuffer queue;
  std::uint32_t length = 0xDEADBEEF;
};

TEST_F(PeekFrameTest, CutsConsecutiveFrames) {
  Put(Bytes({0x07, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x04, 0x00, 0x00, 0x00}));
  ASSERT_EQ(Peek(), FrameStatus::kComplete);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(queue.CommittedSize(), 11u);  // peeking consumes nothing
  queue.Consume(7);
  ASSERT_EQ(Peek(), FrameStatus::kComplete);
  EXPECT_EQ(length, 4u);
  queue.Consume(4);
  EXPECT_EQ(Peek(), FrameStatus::kNeedMore);
}

TEST_F(PeekFrameTest, WaitsForTheWholeHeaderAndFrame) {
  Put(Bytes({0x07, 0x00, 0x00}));
  EXPECT_EQ(Peek(), FrameStatus::kNeedMore);
  Put(Bytes({0x00, 0x61}));
  EXPECT_EQ(Peek(), FrameStatus::kNeedMore);
  EXPECT_EQ(length, 7u);
  Put("b");
  EXPECT_EQ(Peek(), FrameStatus::kNeedMore);
  Put("c");
  EXPECT_EQ(Peek(), FrameStatus::kComplete);
  EXPECT_EQ(length, 7u);
}

TEST_F(PeekFrameTest, HeaderBelowFourIsMalformed) {
  for (unsigned char announced = 0; announced < 4; ++announced) {
    SCOPED_TRACE(static_cast<int>(announced));
    QvBipBuffer q;
    ASSERT_TRUE(q.Allocate(64));
    const std::string bytes = Bytes({announced, 0x00, 0x00, 0x00, 0x61, 0x62});
    ASSERT_TRUE(q.Append(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    EXPECT_EQ(PeekFrame(q, &length), FrameStatus::kMalformed);
  }
}

TEST_F(PeekFrameTest, LargeHeaderComparesUnsigned) {
  Put(Bytes({0x00, 0x00, 0x00, 0x80, 0x61}));
  EXPECT_EQ(Peek(), FrameStatus::kNeedMore);
  EXPECT_EQ(length, 0x80000000u);

  queue.Consume(5);
  Put(Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Peek(), FrameStatus::kNeedMore);
  EXPECT_EQ(length, 0xFFFFFFFFu);
}

// Leaves the first `front` header bytes as region A at the very end of a
// 16-byte storage and the rest of the header, then `tail`, in region B.
void QueueStraddlingHeader(QvBipBuffer* q, const std::string& header, std::uint32_t front,
                           const std::string& tail) {
  ASSERT_TRUE(q->Allocate(16));
  const std::string filler(16 - front, 'f');
  ASSERT_TRUE(q->Append(filler.data(), 16 - front));
  ASSERT_TRUE(q->Append(header.data(), front));
  q->Consume(16 - front);
  const std::string rest = header.substr(front) + tail;
  ASSERT_TRUE(q->Append(rest.data(), static_cast<std::uint32_t>(rest.size())));
  ASSERT_EQ(q->ContiguousSize(), front);
  ASSERT_NE(q->SecondRegion(), nullptr);
}

TEST(PeekFrameStraddling, HeaderSplitAcrossTheEndOfTheStorage) {
  for (std::uint32_t front = 1; front <= 3; ++front) {
    SCOPED_TRACE(front);
    std::uint32_t length = 0;
    {
      QvBipBuffer q;
      ASSERT_NO_FATAL_FAILURE(QueueStraddlingHeader(&q, Bytes({0x09, 0x00, 0x00, 0x00}), front, "hello"));
      EXPECT_EQ(PeekFrame(q, &length), FrameStatus::kComplete);
      EXPECT_EQ(length, 9u);
    }
    {
      // Every header byte distinct, so a byte from the wrong place shows.
      QvBipBuffer q;
      ASSERT_NO_FATAL_FAILURE(QueueStraddlingHeader(&q, Bytes({0x0C, 0x0B, 0x0A, 0x09}), front, ""));
      EXPECT_EQ(PeekFrame(q, &length), FrameStatus::kNeedMore);
      EXPECT_EQ(length, 0x090A0B0Cu);
    }
  }
}

}  // namespace

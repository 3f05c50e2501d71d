// qvlengthcodec_test.cpp - the length-prefix codec and frame recognition on
// received bytes and on a receive queue.
#include "connection/qvlengthcodec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/qvtestsupport.h"

namespace {

constexpr unsigned int kArea = 40960;

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

// A frame is the little-endian length, which counts itself, then the
// payload; header and payload must be strictly smaller than the area. What
// does not fit is neither written (not even the guard byte behind the area)
// nor traced.
TEST(LengthCodecEncode, FramesWhatFitsAndTracesItsLength) {
  struct Case {
    std::string payload;
    unsigned int area;
    std::string header;  // empty: refused
  };
  const Case cases[] = {
      {"abc", kArea, Bytes({0x07, 0x00, 0x00, 0x00})},
      {"", kArea, Bytes({0x04, 0x00, 0x00, 0x00})},
      {std::string(40955, 'p'), kArea, Bytes({0xFF, 0x9F, 0x00, 0x00})},
      {std::string(40956, 'p'), kArea, ""},
      {"", 0, ""},
      {"", 1, ""},
      {"", 4, ""},
      {"", 5, Bytes({0x04, 0x00, 0x00, 0x00})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.payload.size()) + " bytes into " + std::to_string(c.area));
    QvLengthCodec codec;
    std::vector<char> area(c.area + 1, '\x5a');
    unsigned int length = c.area;
    qvtest::BeginCapture();
    const int result =
        codec.Encode(c.payload.data(), static_cast<unsigned int>(c.payload.size()), area.data(), &length);
    const std::string console = qvtest::EndCapture();
    const std::string frame = c.header.empty() ? "" : c.header + c.payload;
    EXPECT_EQ(result, static_cast<int>(frame.size()));
    EXPECT_EQ(length, frame.size());
    EXPECT_TRUE(std::string(area.data(), frame.size()) == frame);
    EXPECT_EQ(std::string(area.begin() + static_cast<long>(frame.size()), area.end()),
              std::string(c.area + 1 - frame.size(), '\x5a'));
    EXPECT_EQ(console, frame.empty() ? "" : std::to_string(frame.size()) + " \n");
  }
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
  EXPECT_EQ(codec.Decode("a\0\xFF", 3, dst, &dstLength), 3);
  EXPECT_EQ(dstLength, 3u);
  EXPECT_EQ(std::string(dst, 3), std::string("a\0\xFF", 3));
}

// A limit no header reaches, for the cases about reading headers.
constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;

// Frames are cut only once all their bytes are there, one after the other.
TEST(PeekFrame, WaitsForWholeFramesAndCutsThemInTurn) {
  std::uint32_t length = 0;
  const std::string stream = Bytes({0x07, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x04, 0x00, 0x00, 0x00});
  for (std::uint32_t i = 0; i <= 7; ++i) {  // the first frame byte by byte
    EXPECT_EQ(PeekFrame(stream.data(), i, kNoLimit, &length), i < 7 ? FrameStatus::kNeedMore : FrameStatus::kComplete)
        << i;
    EXPECT_TRUE(i < 4 || length == 7u) << i;
  }
  EXPECT_EQ(PeekFrame(stream.data(), 11, kNoLimit, &length), FrameStatus::kComplete);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(PeekFrame(stream.data() + 7, 4, kNoLimit, &length), FrameStatus::kComplete);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(PeekFrame(stream.data() + 11, 0, kNoLimit, &length), FrameStatus::kNeedMore);
}

// The bytes of a case put into a 16-byte queue so that region A ends after
// the first `front` of them and region B holds the rest (front 0: all in
// region A).
void Straddle(QvBipBuffer* q, const std::string& bytes, std::uint32_t front) {
  ASSERT_TRUE(q->Allocate(16));
  const std::string filler(16 - front, 'f'), rest = bytes.substr(front);
  ASSERT_TRUE(q->Append(filler.data(), 16 - front));
  ASSERT_TRUE(q->Append(bytes.data(), front));
  q->Consume(16 - front);
  ASSERT_TRUE(q->Append(rest.data(), static_cast<std::uint32_t>(rest.size())));
  ASSERT_TRUE(front == 0 || (q->ContiguousSize() == front && q->SecondRegion() != nullptr));
}

// What a header announces: below 4 no frame at all; above, a length read
// little-endian and unsigned, no byte sign-extended; from a queue too, also
// when the header straddles the end of its storage.
TEST(PeekFrame, ReadsTheAnnouncedLength) {
  struct Case {
    std::string bytes;
    FrameStatus status;
    std::uint32_t length;
  };
  const std::string ab = "ab", hello = "hello";
  const Case cases[] = {
      {Bytes({0x00, 0x00, 0x00, 0x00}) + ab, FrameStatus::kMalformed, 0},
      {Bytes({0x01, 0x00, 0x00, 0x00}) + ab, FrameStatus::kMalformed, 1},
      {Bytes({0x02, 0x00, 0x00, 0x00}) + ab, FrameStatus::kMalformed, 2},
      {Bytes({0x03, 0x00, 0x00, 0x00}) + ab, FrameStatus::kMalformed, 3},
      {Bytes({0x80, 0x00, 0x00, 0x00}), FrameStatus::kNeedMore, 0x80u},
      {Bytes({0x78, 0x56, 0x34, 0x12}), FrameStatus::kNeedMore, 0x12345678u},
      {Bytes({0x00, 0x00, 0x00, 0x80, 0x61}), FrameStatus::kNeedMore, 0x80000000u},
      {Bytes({0xFF, 0xFF, 0xFF, 0xFF}), FrameStatus::kNeedMore, 0xFFFFFFFFu},
      {Bytes({0x09, 0x00, 0x00, 0x00}) + hello, FrameStatus::kComplete, 9},
      {Bytes({0x0C, 0x0B, 0x0A, 0x09}), FrameStatus::kNeedMore, 0x090A0B0Cu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length));
    std::uint32_t length = 0xDEADBEEF;
    EXPECT_EQ(PeekFrame(c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size()), kNoLimit, &length), c.status);
    EXPECT_EQ(length, c.length);
    for (std::uint32_t front = 0; front < 4; ++front) {
      SCOPED_TRACE("queued, front " + std::to_string(front));
      QvBipBuffer q;
      ASSERT_NO_FATAL_FAILURE(Straddle(&q, c.bytes, front));
      length = 0xDEADBEEF;
      EXPECT_EQ(PeekFrame(q, kNoLimit, &length), c.status);
      EXPECT_EQ(length, c.length);
      EXPECT_EQ(q.CommittedSize(), c.bytes.size());  // nothing consumed
    }
  }
  // Above the largest frame the receiver takes: refused at once.
  for (std::uint32_t limit : {40960u, 9u}) {
    for (std::uint32_t header : {limit - 1, limit, limit + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
      SCOPED_TRACE(std::to_string(header) + " of at most " + std::to_string(limit));
      char h[4];
      StoreFrameLength(h, header);
      std::uint32_t length = 0;
      EXPECT_EQ(PeekFrame(h, 4, limit, &length), header > limit ? FrameStatus::kMalformed : FrameStatus::kNeedMore);
      EXPECT_EQ(length, header);
    }
  }
  char at[4];
  StoreFrameLength(at, 0x12345678u);
  EXPECT_EQ(std::string(at, 4), Bytes({0x78, 0x56, 0x34, 0x12}));
}

}  // namespace

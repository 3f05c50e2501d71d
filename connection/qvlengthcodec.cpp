// qvlengthcodec.cpp - the length-prefix codec and frame rule.
#include "qvlengthcodec.h"

#include <cstring>

#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"

void StoreFrameLength(char* at, std::uint32_t length) {
  at[0] = static_cast<char>(length & 0xFF);
  at[1] = static_cast<char>((length >> 8) & 0xFF);
  at[2] = static_cast<char>((length >> 16) & 0xFF);
  at[3] = static_cast<char>((length >> 24) & 0xFF);
}

QvLengthCodec& QvLengthCodec::Shared() {
  static QvLengthCodec* const codec = new QvLengthCodec;
  return *codec;
}

bool QvLengthCodec::Frames(unsigned int length, unsigned int room) {
  // Compared in 64 bits: a length near 4 GiB must not wrap round and pass.
  return static_cast<std::uint64_t>(length) + kFrameHeaderSize < room;
}

void QvLengthCodec::Encoded(std::uint32_t frameLength) {
  qvdiag::TraceNumber(qvtext::kTraceFrameEncoded, static_cast<int>(frameLength));
}

int QvLengthCodec::Encode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) {
  if (Frames(length, *dstLength)) {
    std::uint32_t header = length + kFrameHeaderSize;
    StoreFrameLength(dst, header);
    if (length > 0) std::memcpy(dst + kFrameHeaderSize, src, length);
    *dstLength = header;
    Encoded(header);
  } else {
    *dstLength = 0;
  }
  return static_cast<int>(*dstLength);
}

int QvLengthCodec::Decode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) {
  if (length > 0) std::memcpy(dst, src, length);
  *dstLength = length;
  return static_cast<int>(length);
}

FrameStatus PeekFrame(const char* bytes, std::uint32_t size, std::uint32_t largestFrame, std::uint32_t* frameLength) {
  if (size < kFrameHeaderSize) return FrameStatus::kNeedMore;
  const std::uint32_t length = LoadFrameLength(bytes);
  *frameLength = length;
  if (length < kFrameHeaderSize || length > largestFrame) return FrameStatus::kMalformed;
  return length > size ? FrameStatus::kNeedMore : FrameStatus::kComplete;
}

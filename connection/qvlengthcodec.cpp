// qvlengthcodec.cpp - the length-prefix codec and frame rule.
#include "qvlengthcodec.h"

#include <cstring>

#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"

QvLengthCodec& QvLengthCodec::Shared() {
  static QvLengthCodec* const codec = new QvLengthCodec;
  return *codec;
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

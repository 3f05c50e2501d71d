// qvlengthcodec.h - the library's length-prefix codec and frame rule
// (internal).
//
// Wire frame: a 4-byte little-endian unsigned length that counts itself,
// then the payload. Nothing else: the smallest frame is 4 bytes.
#ifndef QV_CONNECTION_QVLENGTHCODEC_H
#define QV_CONNECTION_QVLENGTHCODEC_H

#include <cstdint>
#include <cstring>

#include "../include/qvpacketcodec.h"
#include "qvbipbuffer.h"

constexpr std::uint32_t kFrameHeaderSize = 4;

// Stateless; one instance may serve any number of connections and threads.
class QvLengthCodec : public QvPacketCodec {
 public:
  // The instance every connector and listener of the library starts with;
  // never freed, so no connection outlives it, at exit included. A
  // connection that has it frames payloads straight into its queue: it is
  // known by its address, since an application's codec may come from
  // another compiler, whose objects carry no type information this one can
  // read.
  static QvLengthCodec& Shared();

  // Frames the payload when header and payload are strictly smaller than
  // *dstLength (so a 40960-byte area takes payloads up to 40955 bytes), and
  // prints the frame length as a trace; otherwise writes nothing and sets
  // *dstLength to 0.
  int Encode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) override;
  // Encode's rule: true when a payload of `length` bytes is framed in an
  // area of `room` bytes.
  static bool Frames(unsigned int length, unsigned int room) {
    // Compared in 64 bits: a length near 4 GiB must not wrap round and pass.
    return static_cast<std::uint64_t>(length) + kFrameHeaderSize < room;
  }
  // Encode's trace, for a frame of `frameLength` bytes written elsewhere
  // under its rule.
  static void Encoded(std::uint32_t frameLength);
  // Copies the payload unchanged; the caller provides room for length bytes.
  int Decode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) override;
};

// Frame recognition on received bytes.
enum class FrameStatus {
  kNeedMore,   // fewer bytes than the header announces (or no header yet)
  kComplete,   // the first *frameLength bytes are one frame
  kMalformed,  // the header announces fewer than 4 bytes, or more than
               // largestFrame: no frame this receiver could ever cut
};

// Reads the header of the first frame of `size` bytes. largestFrame is the
// longest frame the receiver takes: a header announcing more is refused as
// soon as it has arrived, not once that many bytes have.
FrameStatus PeekFrame(const char* bytes, std::uint32_t size, std::uint32_t largestFrame, std::uint32_t* frameLength);

// Header helpers: little-endian, independent of the host's byte order.
inline void StoreFrameLength(char* at, std::uint32_t length) {
  at[0] = static_cast<char>(length & 0xFF);
  at[1] = static_cast<char>((length >> 8) & 0xFF);
  at[2] = static_cast<char>((length >> 16) & 0xFF);
  at[3] = static_cast<char>((length >> 24) & 0xFF);
}
inline std::uint32_t LoadFrameLength(const char* at) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(at);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// PeekFrame for the oldest frame of a queue, whose header may straddle its
// two regions; nothing is consumed. Inline: it runs once for every frame.
inline FrameStatus PeekFrame(const QvBipBuffer& queue, std::uint32_t largestFrame, std::uint32_t* frameLength) {
  const std::uint32_t queued = queue.CommittedSize();
  if (queued < kFrameHeaderSize) return FrameStatus::kNeedMore;
  char header[kFrameHeaderSize];
  const std::uint32_t front = queue.ContiguousSize();
  if (front >= kFrameHeaderSize) {
    std::memcpy(header, queue.ReadPointer(), kFrameHeaderSize);
  } else {
    // The header straddles the end of the storage: its rest starts region B.
    std::memcpy(header, queue.ReadPointer(), front);
    std::memcpy(header + front, queue.SecondRegion(), kFrameHeaderSize - front);
  }
  const std::uint32_t length = LoadFrameLength(header);
  *frameLength = length;
  if (length < kFrameHeaderSize || length > largestFrame) return FrameStatus::kMalformed;
  return length > queued ? FrameStatus::kNeedMore : FrameStatus::kComplete;
}

#endif  // QV_CONNECTION_QVLENGTHCODEC_H

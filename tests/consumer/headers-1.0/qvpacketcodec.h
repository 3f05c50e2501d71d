// qvpacketcodec.h - framing of outgoing payloads.
#ifndef QVNET_QVPACKETCODEC_H
#define QVNET_QVPACKETCODEC_H

#include "qvdestructor.h"

/// Turns a payload into the bytes that go on the wire. The library's default
/// writes a 4-byte little-endian length that counts itself, then the payload;
/// a receiving connection of this library cuts frames by that rule, so an
/// application codec whose output it receives must produce the same frames.
class QvPacketCodec {
 public:
  /// On entry *dstLength is the capacity of dst; on return it holds the
  /// number of bytes written, which is also the result. 0: nothing written.
  virtual int Encode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) = 0;
  /// Copies a payload out; *dstLength receives the number of bytes written,
  /// which is also the result. Not used by the library itself.
  virtual int Decode(const char* src, unsigned int length, char* dst, unsigned int* dstLength) = 0;
  QVNET_DESTRUCTOR(QvPacketCodec)
};

#endif  // QVNET_QVPACKETCODEC_H

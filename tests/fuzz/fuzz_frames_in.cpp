// fuzz_frames_in.cpp - frames from a peer: an arbitrary byte stream, cut
// into arbitrary reads, through a connection's receive path.
//
// Input:
//   byte 0      bits 0-4: number of cuts C; bit 5: with bit 7, the peer
//               resets the connection instead (it closes with bytes from
//               the connection unread); bit 6: the sink closes the
//               connection from inside OnPacket (byte 1 says at which
//               frame); bit 7: the peer ends its stream after the last byte
//   [byte 1]    with bit 6: the frame (0-based) whose OnPacket calls Close
//   2*C bytes   the cuts: little-endian sizes of the first reads; 0 is a
//               read event with nothing to read
//   the rest    the stream; what the cuts leave arrives in reads of at most
//               65536 bytes
// The peer writes each piece whole, then the connection's OnRead is called,
// as the worker calls it, until the piece is read.
//
// Invariants, after every piece:
//  - the payloads delivered are those a plain decoder finds in the bytes
//    sent so far, all of them, in order, byte for byte;
//  - once the bytes sent hold a whole header below 4 or above 40960 at a
//    frame boundary, the connection has ended, with one OnDisconnected, and
//    nothing after that header was delivered; before that, it has not;
//  - a Close from inside OnPacket stops delivery at once, without
//    OnDisconnected;
//  - the peer's end of stream, or its reset, ends the connection once,
//    after every whole frame;
//  - each read makes progress: no more read events than bytes, plus one.
// The sanitizers add: no out-of-bounds access, no leak, no undefined
// behaviour.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "connection/qvconnection.h"
#include "fuzzsupport.h"
#include "support/qvtestnet.h"

namespace {

using qvfuzz::CheckedSink;

constexpr std::uint32_t kLargestFrame = 40960;
constexpr std::size_t kLargestRead = 65536;

std::uint32_t LoadLE32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The plain decoder: every whole frame in the first `length` bytes, up to
// the first header that describes no frame.
struct Reference {
  std::vector<std::string> payloads;
  bool malformed = false;
};
Reference Decode(const unsigned char* stream, std::size_t length) {
  Reference r;
  std::size_t at = 0;
  while (at + 4 <= length) {
    const std::uint32_t frame = LoadLE32(stream + at);
    if (frame < 4 || frame > kLargestFrame) {
      r.malformed = true;
      break;
    }
    if (frame > length - at) break;
    r.payloads.emplace_back(reinterpret_cast<const char*>(stream) + at + 4, frame - 4);
    at += frame;
  }
  return r;
}

struct Input {
  std::vector<std::size_t> reads;  // sizes of the pieces, in order
  bool closeInPacket = false;
  std::size_t closeAt = 0;
  bool peerEnds = false;
  bool peerResets = false;
  const unsigned char* stream = nullptr;
  std::size_t length = 0;
};

Input Parse(const std::uint8_t* data, std::size_t size) {
  Input in;
  if (size == 0) return in;
  const unsigned flags = data[0];
  std::size_t at = 1;
  in.peerEnds = (flags & 0x80) != 0;
  in.peerResets = in.peerEnds && (flags & 0x20) != 0;
  if ((flags & 0x40) != 0 && at < size) {
    in.closeInPacket = true;
    in.closeAt = data[at++];
  }
  std::size_t cuts = flags & 0x1f;
  std::vector<std::size_t> sizes;
  for (; cuts > 0 && at + 2 <= size; --cuts, at += 2) sizes.push_back(data[at] | data[at + 1] << 8);
  in.stream = data + at;
  in.length = size - at;
  std::size_t left = in.length;
  for (std::size_t s : sizes) {
    if (s > left) s = left;
    in.reads.push_back(s);
    left -= s;
  }
  while (left > 0) {
    const std::size_t s = left < kLargestRead ? left : kLargestRead;
    in.reads.push_back(s);
    left -= s;
  }
  return in;
}

void Serve(const Input& in) {
  qvtest::SocketPair pair;
  QVFUZZ_CHECK(qvtest::MakeLocalPair(&pair));
  QVFUZZ_CHECK(qvplat::SetNonBlocking(pair.local));  // as a listener's sockets are
  auto* conn = new QvConnection;
  CheckedSink sink;
  bool closedInPacket = false;
  if (in.closeInPacket) {
    sink.onPacket = [&](const char*, int) {
      if (sink.PacketCount() == in.closeAt) {  // runs before the packet is recorded
        conn->Close();
        closedInPacket = true;
      }
    };
  }
  conn->SetSink(&sink);
  QVFUZZ_CHECK(conn->Attach(pair.local));
  QVFUZZ_CHECK(sink.connected.Count() == 1 && conn->IsConnected());

  // After every piece: exactly the reference's payloads, and an end exactly
  // when the reference met a bad header.
  std::size_t sent = 0;
  auto check = [&] {
    const Reference r = Decode(in.stream, sent);
    if (closedInPacket) {
      const std::vector<std::string> payloads = sink.Packets();
      QVFUZZ_CHECK(payloads.size() == in.closeAt + 1);
      QVFUZZ_CHECK(r.payloads.size() > in.closeAt);
      QVFUZZ_CHECK(std::equal(payloads.begin(), payloads.end(), r.payloads.begin()));
      QVFUZZ_CHECK(sink.disconnected.Count() == 0 && !conn->IsConnected());
      return;
    }
    QVFUZZ_CHECK(sink.Packets() == r.payloads);
    QVFUZZ_CHECK(sink.disconnected.Count() == (r.malformed ? 1 : 0));
    QVFUZZ_CHECK(conn->IsConnected() == !r.malformed);
  };

  for (std::size_t piece : in.reads) {
    if (!conn->IsConnected()) break;  // its socket is closed: the peer's bytes go nowhere
    QVFUZZ_CHECK(qvtest::SendAll(pair.remote, reinterpret_cast<const char*>(in.stream) + sent, piece));
    QVFUZZ_CHECK(qvtest::WaitPending(pair.local, static_cast<int>(piece)));
    sent += piece;
    // Read events until the piece is read (or the connection is over); a
    // piece of 0 is one read event with nothing to read.
    std::size_t events = 0;
    do {
      conn->OnRead();
      QVFUZZ_CHECK(++events <= piece + 1);
    } while (conn->IsConnected() && qvtest::BytesPending(pair.local) > 0);
    check();
  }

  bool remoteOpen = true;
  if (in.peerEnds && conn->IsConnected()) {
    if (in.peerResets) {
      // Bytes the peer never reads make its close a reset.
      QVFUZZ_CHECK(qvplat::SendSome(pair.local, "unread", 6) == 6);
      QVFUZZ_CHECK(qvtest::WaitPending(pair.remote, 6));
      qvplat::CloseSocket(pair.remote);
      remoteOpen = false;
    } else {
      qvplat::ShutdownSend(pair.remote);
    }
    // With AF_UNIX the end is there at once; loopback TCP may take a moment.
    for (int tries = 0; conn->IsConnected() && tries < 10000; ++tries) {
      conn->OnRead();
      if (conn->IsConnected()) qvplat::SleepMs(1);
    }
    QVFUZZ_CHECK(!conn->IsConnected());
    QVFUZZ_CHECK(sink.disconnected.Count() == 1);
    QVFUZZ_CHECK(sink.Packets() == Decode(in.stream, sent).payloads);
  }
  const int disconnects = sink.disconnected.Count();
  delete conn;  // closes it as Close does, if it is still open
  QVFUZZ_CHECK(sink.disconnected.Count() == disconnects);  // the application's end is silent
  if (remoteOpen) qvplat::CloseSocket(pair.remote);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input in = Parse(data, size);
  qvfuzz::RunOnWorker([&in] { Serve(in); }, {{"QVNET_LINGER_SECONDS", "0"}});
  return 0;
}

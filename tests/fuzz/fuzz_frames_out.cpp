// fuzz_frames_out.cpp - frames from the application: arbitrary Send calls,
// valid and not, through the codec, the send queue and what waits behind
// it, drained to a peer that reads at its own pace.
//
// Input: byte 0 picks the connection's socket send buffer (bits 0-1: the
// system's default, 4, 16 or 64 KiB: small ones fill at once). Then steps,
// an operation byte (low 3 bits) and its operands:
//   0 L         Send L bytes (0-255)
//   1 L L       Send a 16-bit little-endian length (0-65535)
//   2 K         Send a length from a table of edge cases (40954, 40955,
//               40956, 0, -1, the most negative int, 1 MiB, ...)
//   3 L         Send a null payload with length L (0 is an empty frame)
//   4, 5        the worker's write step: OnWrite, what it reports checked
//               against the queue, and OnError when the send failed
//   6 L L       the peer reads up to L bytes (0: everything there); with
//               bit 7 of the operation byte, the peer goes away instead: it
//               closes its socket, and L is not read
//   7 N L L     N + 1 Sends of the same 16-bit length
// Payload bytes come from a fixed pattern, starting where the step's
// position in the input says, so frames differ.
//
// The send limit is set to 64 KiB (QVNET_SEND_LIMIT), so that scripts
// reach it.
//
// Invariants:
//  - Send takes exactly the calls with 0 <= length <= 40955 and a payload
//    (or length 0); what it refuses leaves no trace on the wire;
//  - the peer receives the accepted frames, once each, in order, byte for
//    byte, and after a full drain and Close nothing else;
//  - the bytes still waiting (Unsent) are those accepted less those the
//    peer has read or can read (POSIX: exact);
//  - a Send that takes the waiting bytes past the limit ends the
//    connection: the worker is asked to end it (EndRequest), which ends it
//    with one OnDisconnected; what the peer got is a prefix of the frames
//    accepted before;
//  - once the peer has gone, the connection ends with one OnDisconnected
//    at the latest when it is written to or read from, as the worker does;
//  - draining makes progress while the peer reads.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "connection/qvconnection.h"
#include "connection/qvlengthcodec.h"
#include "dispatch/qvsocketmanager.h"
#include "fuzzsupport.h"
#include "support/qvtestnet.h"
#include "support/qvtestslots.h"

namespace {

using qvfuzz::CheckedSink;

constexpr int kLargestPayload = 40955;
constexpr std::size_t kSendLimit = 64 * 1024;
const int kEdgeLengths[] = {40954, 40955, 40956, 0, -1, INT_MIN, 1 << 20, INT_MAX, 40960, 40951, 1, 4};
const int kSendBuffers[] = {0, 4096, 16384, 65536};

// Payload bytes: Send may be given more than the pattern holds only for
// lengths it must refuse, and then must not read them.
const std::string& Pattern() {
  static const std::string pattern = [] {
    std::string p(65536 + 251, '\0');
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return p;
  }();
  return pattern;
}

class Script {
 public:
  explicit Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  void Run() {
    QVFUZZ_CHECK(qvtest::MakeLocalPair(&pair_));
    QVFUZZ_CHECK(qvplat::SetNonBlocking(pair_.local));
    QVFUZZ_CHECK(qvplat::SetNonBlocking(pair_.remote));
    if (size_ > 0 && kSendBuffers[data_[0] & 3] > 0) qvfuzz::SetSendBuffer(pair_.local, kSendBuffers[data_[0] & 3]);
    conn_ = new QvConnection;
    conn_->SetSink(&sink_);
    conn_->SetCodec(&codec_);
    QVFUZZ_CHECK(conn_->Attach(pair_.local));
    QVFUZZ_CHECK(sink_.connected.Count() == 1);

    std::size_t at = 1;
    while (at < size_ && !ended_) {
      const unsigned op = data_[at] & 7;
      const std::size_t where = at++;
      switch (op) {
        case 0: Send(Byte(&at), where); break;
        case 1: Send(Word(&at), where); break;
        case 2: Send(kEdgeLengths[Byte(&at) % (sizeof kEdgeLengths / sizeof kEdgeLengths[0])], where); break;
        case 3: SendNull(Byte(&at)); break;
        case 4:
        case 5: WriteStep(); break;
        case 6:
          if ((data_[where] & 0x80) != 0) {
            PeerGoes();
          } else if (!peerGone_) {
            Read(Word(&at));
          }
          break;
        default: {
          const int times = Byte(&at) % 16 + 1;
          const int length = Word(&at);
          for (int i = 0; i < times && !ended_; ++i) Send(length, where + static_cast<std::size_t>(i));
        }
      }
      if (sink_.disconnected.Count() > 0 && !ended_) {
        // Only a peer that went away ends it here (the limit is seen to
        // in Offer).
        QVFUZZ_CHECK(peerGone_ && sink_.disconnected.Count() == 1 && !conn_->IsConnected());
        ended_ = true;
      }
      CheckUnsent();
    }

    if (peerGone_ && !ended_) {
      // The worker sees the hang-up as a read event.
      for (int tries = 0; conn_->IsConnected() && tries < 10000; ++tries) {
        conn_->OnRead();
        if (conn_->IsConnected()) qvplat::SleepMs(1);
      }
      QVFUZZ_CHECK(!conn_->IsConnected() && sink_.disconnected.Count() == 1);
      ended_ = true;
    }
    if (!ended_) {
      // The rest goes out as the peer reads it all.
      for (int rounds = 0; conn_->QueuedBytes() > 0; ++rounds) {
        QVFUZZ_CHECK(rounds < 100000);
        WriteStep();
        Read(0);
        CheckUnsent();
      }
      // Unsent() counts what the connection holds; what it handed to the
      // system may still be on its way over loopback TCP (the pair on
      // Windows), sent as the peer's reads open its window.
      while (received_.size() < expected_.size()) {
        QVFUZZ_CHECK(qvtest::WaitPending(pair_.remote, 1));
        Read(0);
      }
      QVFUZZ_CHECK(received_ == expected_);
    }
    delete conn_;  // as Close: nothing was left to send
    QVFUZZ_CHECK(sink_.disconnected.Count() == (ended_ ? 1 : 0));
    QVFUZZ_CHECK(sink_.PacketCount() == 0);
    if (peerGone_) return;
    // The peer reads the end of the stream, and nothing else.
    for (int tries = 0; !peerSawEnd_ && tries < 10000; ++tries) {
      if (!Read(0) && !peerSawEnd_) qvplat::SleepMs(1);
    }
    QVFUZZ_CHECK(peerSawEnd_);
    if (!ended_) QVFUZZ_CHECK(received_ == expected_);
    qvplat::CloseSocket(pair_.remote);
  }

 private:
  int Byte(std::size_t* at) { return *at < size_ ? data_[(*at)++] : 0; }
  int Word(std::size_t* at) {
    const int low = Byte(at);
    return low | Byte(at) << 8;
  }

  void Send(int length, std::size_t where) {
    const char* payload = Pattern().data() + where % 251;
    Offer(payload, length);
  }
  void SendNull(int length) { Offer(nullptr, length); }

  void WriteStep() {
    const std::size_t before = conn_->QueuedBytes();
    conn_->OnWrite();
    const std::size_t after = conn_->QueuedBytes();
    switch (conn_->TakeFlushed()) {
      case Flushed::kNothing: QVFUZZ_CHECK(before == 0 || !conn_->IsConnected()); break;
      case Flushed::kWouldBlock: QVFUZZ_CHECK(before > 0 && after == before); break;
      case Flushed::kDrained: QVFUZZ_CHECK(before > 0 && after == 0); break;
      case Flushed::kBytesLeft: QVFUZZ_CHECK(after > 0 && after < before); break;
      case Flushed::kFailed: conn_->OnError(); break;
    }
  }

  void Offer(const char* payload, int length) {
    const bool valid = length >= 0 && length <= kLargestPayload && (payload != nullptr || length == 0);
    const std::size_t waiting = conn_->QueuedBytes();
    conn_->Send(payload, length);
    if (!valid) {
      QVFUZZ_CHECK(conn_->QueuedBytes() == waiting);
      return;
    }
    const std::size_t frame = static_cast<std::size_t>(length) + 4;
    if (waiting + frame > kSendLimit) {
      // Past the limit: the waiting bytes are let go, and the worker is
      // asked to end the connection; it does so at its next pass.
      QVFUZZ_CHECK(qvtest::InterestOf(pair_.local) >= 0);
      QVFUZZ_CHECK((qvtest::InterestOf(pair_.local) & EndRequest) != 0);
      conn_->OnError();
      QVFUZZ_CHECK(!conn_->IsConnected());
      QVFUZZ_CHECK(sink_.disconnected.Count() == 1);
      ended_ = true;
      return;
    }
    char header[4];
    StoreFrameLength(header, static_cast<std::uint32_t>(frame));
    expected_.append(header, 4);
    if (length > 0) expected_.append(payload, static_cast<std::size_t>(length));
    QVFUZZ_CHECK(conn_->QueuedBytes() == waiting + frame);
  }

  // The peer reads up to `limit` bytes (0: all there are); each must be the
  // next of the frames accepted. True when it read any.
  bool Read(int limit) {
    char buffer[16384];
    std::size_t total = 0;
    for (;;) {
      std::size_t want = sizeof buffer;
      if (limit > 0) {
        if (total >= static_cast<std::size_t>(limit)) break;
        want = std::min(want, static_cast<std::size_t>(limit) - total);
      }
      const int got = qvplat::RecvSome(pair_.remote, buffer, static_cast<int>(want));
      if (got == 0) {
        peerSawEnd_ = true;
        break;
      }
      if (got < 0) break;
      QVFUZZ_CHECK(received_.size() + static_cast<std::size_t>(got) <= expected_.size());
      QVFUZZ_CHECK(std::memcmp(expected_.data() + received_.size(), buffer, static_cast<std::size_t>(got)) == 0);
      received_.append(buffer, static_cast<std::size_t>(got));
      total += static_cast<std::size_t>(got);
    }
    return total > 0;
  }

  void PeerGoes() {
    if (peerGone_) return;
    qvplat::CloseSocket(pair_.remote);
    peerGone_ = true;
  }

  // What waits is what was accepted and has not reached the peer.
  void CheckUnsent() {
    if (ended_ || peerGone_) return;
#if !defined(_WIN32)
    const int pending = qvtest::BytesPending(pair_.remote);
    QVFUZZ_CHECK(pending >= 0);
    QVFUZZ_CHECK(conn_->QueuedBytes() == expected_.size() - received_.size() - static_cast<std::size_t>(pending));
#endif
  }

  const std::uint8_t* data_;
  std::size_t size_;
  qvtest::SocketPair pair_;
  QvConnection* conn_ = nullptr;
  QvLengthCodec& codec_ = QvLengthCodec::Shared();
  CheckedSink sink_;
  std::string expected_;
  std::string received_;
  bool ended_ = false;
  bool peerSawEnd_ = false;
  bool peerGone_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Script script(data, size);
  qvfuzz::RunOnWorker([&script] { script.Run(); }, {{"QVNET_LINGER_SECONDS", "0"}, {"QVNET_SEND_LIMIT", "64K"}});
  return 0;
}

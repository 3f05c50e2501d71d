// microbench - Google Benchmark cases for the pieces on the data path: the
// send queue, the length codec, frame cutting and the slot table.
//
// QvLengthCodec::Encode prints a console trace for every frame: run this
// with standard output sent to the null device and read the results from
// --benchmark_out (bench/run.py does so).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "connection/qvsendqueue.h"
#include "connection/qvlengthcodec.h"
#include "diag/qvtexts.h"
#include "diag/qvtrace.h"
#include "dispatch/qvsocketmanager.h"
#include "tests/support/qvquietsocket.h"

namespace {

constexpr std::uint32_t kCapacity = 40960;  // a connection's queue

// ------------------------------------------------------------- send queue

// Queue a frame (header and payload appended apart, as Send does) and send
// it all: the send queue's steady state when the socket keeps up, a block
// taken from the pool and given back each time.
void BM_SendQueueFrameInAndOut(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  QvSendQueue queue;
  std::vector<char> payload(size, 'x');
  char header[kFrameHeaderSize] = {};
  qvplat::SendPiece pieces[qvplat::kMaxSendPieces];
  for (auto _ : state) {
    bool ok = queue.Reserve(size + kFrameHeaderSize);
    benchmark::DoNotOptimize(ok);
    queue.Append(header, kFrameHeaderSize);
    queue.Append(payload.data(), size);
    int count = queue.Gather(pieces, qvplat::kMaxSendPieces);
    benchmark::DoNotOptimize(count);
    queue.Consume(size + kFrameHeaderSize);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_SendQueueFrameInAndOut)->Arg(64)->Arg(1024)->Arg(16384);

// A queue that stays about 256 KiB deep (a peer reading slower than frames
// come), sent from in gathers of up to 64 KiB.
void BM_SendQueueDeep(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  QvSendQueue queue;
  std::vector<char> frame(size, 'x');
  qvplat::SendPiece pieces[qvplat::kMaxSendPieces];
  for (auto _ : state) {
    queue.Reserve(size);
    queue.Append(frame.data(), size);
    if (queue.Size() > 256 * 1024) {
      const int count = queue.Gather(pieces, qvplat::kMaxSendPieces);
      std::size_t offered = 0;
      for (int k = 0; k < count && offered < 65536; ++k) offered += pieces[k].length;
      queue.Consume(offered < 65536 ? offered : 65536);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_SendQueueDeep)->Arg(68)->Arg(16388);

// ------------------------------------------------------------------ codec

void BM_CodecEncode(benchmark::State& state) {
  const auto size = static_cast<unsigned int>(state.range(0));
  QvLengthCodec codec;
  std::vector<char> payload(size, 'p'), staging(kCapacity);
  for (auto _ : state) {
    unsigned int room = kCapacity;
    int n = codec.Encode(payload.data(), size, staging.data(), &room);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_CodecEncode)->Arg(64)->Arg(16384);

// The console trace Encode prints for each frame, alone: how much of the
// cost above is the trace.
void BM_EncodeTraceAlone(benchmark::State& state) {
  for (auto _ : state) qvdiag::TraceNumber(qvtext::kTraceFrameEncoded, 68);
}
BENCHMARK(BM_EncodeTraceAlone);

// ----------------------------------------------------------- frame cutting

// A read of 64 KiB holding frames of range(0) payload bytes; each is
// recognised with PeekFrame in turn, and the read starts over when it has
// been cut whole.
void BM_CutFrames(benchmark::State& state) {
  const auto payload = static_cast<std::uint32_t>(state.range(0));
  const std::uint32_t frame = payload + kFrameHeaderSize;
  const std::uint32_t count = 65536 / frame;
  std::vector<char> block(static_cast<size_t>(count) * frame, 'f');
  for (std::uint32_t i = 0; i < count; ++i) StoreFrameLength(block.data() + static_cast<size_t>(i) * frame, frame);
  const auto size = static_cast<std::uint32_t>(block.size());
  std::uint32_t at = 0;
  for (auto _ : state) {
    if (at == size) at = 0;
    std::uint32_t length = 0;
    FrameStatus status = PeekFrame(block.data() + at, size - at, kCapacity, &length);
    benchmark::DoNotOptimize(status);
    at += length;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["frames_in_read"] = count;
}
BENCHMARK(BM_CutFrames)->Arg(64)->Arg(1024);

// -------------------------------------------------------------- slot table

qvtest::QuietSocket handler;

// Socket numbers that are never real: the worker is not started here.
qvplat::Socket Fake(int n) { return static_cast<qvplat::Socket>(100000 + n); }

// A fresh table with `occupied` slots taken, from slot 0 on.
QvSocketManager& TableWith(int occupied) {
  QvSocketManager& table = QvSocketManager::Instance();
  table.Init(QvSocketManager::kDefaultCapacity);
  for (int i = 0; i < occupied; ++i) table.Register(Fake(i), ReadInterest, &handler);
  return table;
}

// Register and Unregister of one socket with range(0) slots occupied in all
// (the one cycled included).
void BM_SlotRegisterUnregister(benchmark::State& state) {
  const int occupied = static_cast<int>(state.range(0));
  QvSocketManager& table = TableWith(occupied - 1);
  const qvplat::Socket s = Fake(occupied - 1);
  for (auto _ : state) {
    int r = table.Register(s, ReadInterest, &handler);
    benchmark::DoNotOptimize(r);
    table.Unregister(s);
  }
  TableWith(0);
}
BENCHMARK(BM_SlotRegisterUnregister)->Arg(10)->Arg(1000)->Arg(4000);

// Arm of the socket in the last occupied slot (what Send and every read
// pass do), with range(0) slots occupied.
void BM_SlotArmLast(benchmark::State& state) {
  const int occupied = static_cast<int>(state.range(0));
  QvSocketManager& table = TableWith(occupied);
  const qvplat::Socket s = Fake(occupied - 1);
  for (auto _ : state) {
    int r = table.Arm(s, WriteInterest, &handler);
    benchmark::DoNotOptimize(r);
  }
  TableWith(0);
}
BENCHMARK(BM_SlotArmLast)->Arg(10)->Arg(1000)->Arg(4000);

// Arm of the socket in slot 0, with range(0) slots occupied.
void BM_SlotArmFirst(benchmark::State& state) {
  QvSocketManager& table = TableWith(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    int r = table.Arm(Fake(0), WriteInterest, &handler);
    benchmark::DoNotOptimize(r);
  }
  TableWith(0);
}
BENCHMARK(BM_SlotArmFirst)->Arg(10)->Arg(1000)->Arg(4000);

// Register refused by a full table (4000 occupied).
void BM_SlotRegisterFull(benchmark::State& state) {
  QvSocketManager& table = TableWith(QvSocketManager::kDefaultCapacity);
  for (auto _ : state) {
    int r = table.Register(Fake(QvSocketManager::kDefaultCapacity), ReadInterest, &handler);
    benchmark::DoNotOptimize(r);
  }
  TableWith(0);
}
BENCHMARK(BM_SlotRegisterFull);

}  // namespace

BENCHMARK_MAIN();

// microbench - Google Benchmark cases for the pieces on the data path: the
// byte queue, the length codec, frame cutting and the slot table.
//
// QvLengthCodec::Encode prints a console trace for every frame: run this
// with standard output sent to the null device and read the results from
// --benchmark_out (bench/run.py does so).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "connection/qvbipbuffer.h"
#include "connection/qvlengthcodec.h"
#include "diag/qvtexts.h"
#include "diag/qvtrace.h"
#include "dispatch/qvsocketmanager.h"

namespace {

constexpr std::uint32_t kCapacity = 40960;  // a connection's queue

// ------------------------------------------------------------- byte queue

// Append a block and consume it again: the send queue's steady state when
// the socket keeps up.
void BM_QueueAppendConsume(benchmark::State& state) {
  const auto size = static_cast<std::uint32_t>(state.range(0));
  QvBipBuffer queue;
  queue.Allocate(kCapacity);
  std::vector<char> block(size, 'x');
  for (auto _ : state) {
    bool ok = queue.Append(block.data(), size);
    benchmark::DoNotOptimize(ok);
    queue.Consume(size);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_QueueAppendConsume)->Arg(64)->Arg(1024)->Arg(16384);

// In-place writes as recv() does them (FreeSpace, WritePointer, Commit),
// then Consume: the receive queue's steady state.
void BM_QueueFreeSpaceCommit(benchmark::State& state) {
  const auto size = static_cast<std::uint32_t>(state.range(0));
  QvBipBuffer queue;
  queue.Allocate(kCapacity);
  for (auto _ : state) {
    std::uint32_t room = queue.FreeSpace();
    char* at = queue.WritePointer();
    benchmark::DoNotOptimize(at);
    queue.Commit(room < size ? room : size);
    queue.Consume(size);
  }
  state.SetItemsProcessed(state.iterations());  // no byte is copied here
}
BENCHMARK(BM_QueueFreeSpaceCommit)->Arg(64)->Arg(16384);

// Receive-queue traffic with reads that do not line up with frames: chunks
// of 1448 bytes (one loopback segment's worth of payload) come in through
// FreeSpace/Commit, frames of range(0) bytes (header included) leave, by Consume when they lie
// in one piece and by CopyOut when they straddle the two regions, as the
// connection's frame cutting does.
void BM_QueueReceiveTraffic(benchmark::State& state) {
  const auto frame = static_cast<std::uint32_t>(state.range(0));
  constexpr std::uint32_t kChunk = 1448;
  QvBipBuffer queue;
  queue.Allocate(kCapacity);
  std::vector<char> out(frame);
  std::int64_t crossings = 0, frames = 0;
  for (auto _ : state) {
    std::uint32_t room = queue.FreeSpace();
    if (room >= kChunk) {
      std::memset(queue.WritePointer(), 1, kChunk);
      queue.Commit(kChunk);
    }
    while (queue.CommittedSize() >= frame) {
      if (queue.ContiguousSize() >= frame) {
        benchmark::DoNotOptimize(queue.ReadPointer());
        queue.Consume(frame);
      } else {
        queue.CopyOut(out.data(), frame);
        ++crossings;
      }
      ++frames;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChunk);
  state.counters["frames_crossing_pct"] = frames > 0 ? 100.0 * static_cast<double>(crossings) / frames : 0;
}
BENCHMARK(BM_QueueReceiveTraffic)->Arg(68)->Arg(1004)->Arg(16388);

// CopyOut of a frame that straddles the regions: 2 KiB at the end of region
// A, 2 KiB of region B at the base, 3 KiB copied out (which empties A and
// moves what is left of B down to the base). The queues are prepared in
// batches with the clock stopped.
void BM_QueueCopyOutAcrossRegions(benchmark::State& state) {
  constexpr int kBatch = 64;
  constexpr std::uint32_t kPart = 2048, kCopy = 3072;
  std::vector<std::unique_ptr<QvBipBuffer>> queues;
  for (int i = 0; i < kBatch; ++i) {
    queues.push_back(std::make_unique<QvBipBuffer>());
    queues.back()->Allocate(kCapacity);
  }
  std::vector<char> fill(kCapacity, 'y'), out(kCopy);
  auto prepare = [&](QvBipBuffer& q) {
    q.Consume(kCapacity);                       // empty, back at the base
    q.Append(fill.data(), kCapacity - 1024);    // A fills most of the storage
    q.Consume(kCapacity - 1024 - kPart);        // A: the last 2 KiB of it
    q.Append(fill.data(), kPart);               // goes to B, at the base
  };
  int next = kBatch;
  for (auto _ : state) {
    if (next == kBatch) {
      state.PauseTiming();
      for (auto& q : queues) prepare(*q);
      next = 0;
      state.ResumeTiming();
    }
    bool ok = queues[static_cast<size_t>(next++)]->CopyOut(out.data(), kCopy);
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kCopy);
}
BENCHMARK(BM_QueueCopyOutAcrossRegions);

// ------------------------------------------------------------------ codec

void BM_CodecEncode(benchmark::State& state) {
  const auto size = static_cast<unsigned int>(state.range(0));
  QvLengthCodec codec;
  std::vector<char> payload(size, 'p'), staging(81920);
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
  for (auto _ : state) qvdiag::Trace(qvtext::kTraceFrameEncoded, 68);
}
BENCHMARK(BM_EncodeTraceAlone);

// ----------------------------------------------------------- frame cutting

// A receive queue holding as many frames of range(0) payload bytes as fit;
// each is recognised with PeekFrame and consumed, and the queue is filled
// again (one copy) when it runs dry.
void BM_CutFrames(benchmark::State& state) {
  const auto payload = static_cast<std::uint32_t>(state.range(0));
  const std::uint32_t frame = payload + kFrameHeaderSize;
  const std::uint32_t count = kCapacity / frame;
  std::vector<char> block(static_cast<size_t>(count) * frame, 'f');
  for (std::uint32_t i = 0; i < count; ++i) StoreFrameLength(block.data() + static_cast<size_t>(i) * frame, frame);
  QvBipBuffer queue;
  queue.Allocate(kCapacity);
  for (auto _ : state) {
    if (queue.CommittedSize() == 0) queue.Append(block.data(), static_cast<std::uint32_t>(block.size()));
    std::uint32_t length = 0;
    FrameStatus status = PeekFrame(queue, kCapacity, &length);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(queue.ReadPointer());
    queue.Consume(length);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["frames_in_queue"] = count;
}
BENCHMARK(BM_CutFrames)->Arg(64)->Arg(1024);

// -------------------------------------------------------------- slot table

class Handler : public QvSocketBase {
 public:
  void ReservedA(int, int, int) override {}
  void Send(const char*, int) override {}
  void Close() override {}
  void Reconnect() override {}
  bool IsConnected() override { return true; }
  SocketKind GetType() override { return so_connection; }
  void SetSink(QvConnectionSink*) override {}
  void SetCodec(QvPacketCodec*) override {}
};

Handler handler;

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

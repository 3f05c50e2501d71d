// qvconnection.cpp - connection establishment, life cycle and data path.
#include "qvconnection.h"

#include <cstring>
#include <utility>
#include <vector>

#include "../diag/log.h"
#include "../diag/qvneterror.h"
#include "../diag/qvsettings.h"
#include "../diag/qvtextcopy.h"
#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"
#include "../dispatch/qvsocketmanager.h"
#include "../include/qvconnectionsink.h"
#include "../include/qvpacketcodec.h"
#include "qvaddress.h"
#include "qvchunkpool.h"
#include "qvlengthcodec.h"

namespace {

constexpr char kFile[] = "qvconnection";

// A queue's storage is one block of the pool; a frame that straddles the
// receive queue's two regions is copied out into another.
static_assert(QvChunkPool::kBufferSize == QvConnection::kQueueCapacity, "a queue is one pooled block");

// The bytes waiting to be sent over all connections (each counts its own
// share, QvConnection::Recount).
std::atomic<std::uint64_t> totalQueued{0};

// Copies a text into a fixed field, cut to fit; null becomes "".
template <size_t N>
void StoreText(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  qvdiag::CopyText(field, text);
}

}  // namespace

bool SetNonBlocking(qvplat::Socket socket) { return qvplat::SetNonBlocking(socket); }

// ------------------------------------------------------------- life cycle

QvConnection::QvConnection()
    : socket_(qvplat::kNoSocket),
      cutting_(false),
      spilled_(false),
      overLimit_(false),
      outOfMemory_(false),
      sendError_(0),
      counted_(0),
      codec_(nullptr),
      lengthCodec_(nullptr),
      sink_(nullptr),
      connected_(false),
      establishing_(false),
      epoch_(0),
      closing_(0),
      peerEnded_(false),
      moves_(0),
      framesBegun_(0),
      sends_(0),
      seen_(),
      hasParameters_(false),
      parameters_() {}

QvConnection::~QvConnection() {
  // An owner should close first; if it did not, close here as Close does
  // (what was queued still goes out). Then the worker must neither keep a
  // slot naming this object nor be inside it when it goes.
  EndSession(Ending::kGraceful);
  sendRoom_.Shut();  // the threads in SendWithin, woken, leave
  // A connect under way or waiting its turn, or an accepted peer's
  // OnConnected, ends first; a session the connect made meanwhile ends too.
  presence_.Shut();
  EndSession(Ending::kGraceful);
  QvSocketManager::Instance().ReleaseAndWait(this);
}

void QvConnection::ReservedA(int, int, int) { QV_DEBUG_FAIL(kFile, __LINE__); }

bool QvConnection::EndSession(Ending how, const std::uint32_t* epoch) {
  // Announced before the locks are taken: a worker inside OnPacket stops
  // delivering at its next step, and lets go of the receive lock.
  closing_.fetch_add(1);
  qvplat::Socket s;
  bool wasConnected;
  bool peerEnded;
  std::vector<QvUnsentBytes> unsent;
  {
    qvplat::LockGuard receiving(recvLock_);
    qvplat::LockGuard sending(sendLock_);
    s = socket_.load();
    if (s == qvplat::kNoSocket || (epoch != nullptr && *epoch != epoch_.load())) {
      closing_.fetch_sub(1);
      return false;
    }
    if (s != qvplat::kInvalidSocket) QvSocketManager::Instance().Unregister(s);
    wasConnected = connected_.load();
    peerEnded = peerEnded_;
    EmptyQueues(how == Ending::kGraceful ? &unsent : nullptr);
    socket_.store(qvplat::kNoSocket);
    connected_.store(false);
    epoch_.fetch_add(1);
    sendRoom_.WakeAll();  // SendWithin's waiters find the session over
  }
  closing_.fetch_sub(1);
  if (s == qvplat::kInvalidSocket) return true;
  if (how == Ending::kReset) {
    qvplat::ResetAndClose(s);
    return true;
  }
  if (how == Ending::kGraceful && wasConnected && unsent.empty() && peerEnded) {
    // Nothing is owed either way: the close sends the end of the stream.
    qvplat::CloseSocket(s);
    return true;
  }
  if (how == Ending::kGraceful && wasConnected &&
      QvSocketManager::Instance().Linger(s, std::move(unsent), peerEnded)) {
    return true;
  }
  if (wasConnected) qvplat::ShutdownBoth(s);
  qvplat::CloseSocket(s);
  return true;
}

void QvConnection::EmptyQueues(std::vector<QvUnsentBytes>* unsent) {
  // The next session starts with empty queues: bytes meant for this peer
  // never reach another, and a partial frame is never joined with another
  // stream's bytes.
  if (unsent != nullptr) TakeUnsent(unsent);
  ClearUnsent();
  spilled_ = false;
  overLimit_ = false;
  outOfMemory_ = false;
  sendError_ = 0;
  // A sink that closes from inside OnPacket still reads its payload from
  // the receive queue: the read gives the storage back once that returns.
  if (!cutting_) receiveQueue_.Free();
  peerEnded_ = false;
}

void QvConnection::Disconnect(Ending how, std::uint32_t epoch) {
  if (!EndSession(how, &epoch)) return;  // the application closed it first
  if (QvConnectionSink* sink = sink_.load()) sink->OnDisconnected();
}

void QvConnection::Close() {
  EndSession(Ending::kGraceful);
  // A connect of another thread that completes meanwhile made a session
  // this Close ends too. Inside the connection's own callback on the
  // worker, that connect may be waiting for the callback: not waited for.
  if (!QvSocketManager::Instance().Serving(this) && presence_.WaitForOthers()) EndSession(Ending::kGraceful);
  QvSocketManager::Instance().WaitUntilLeft(this);
}

void QvConnection::OnConnected() {
  if (socket_.load() != qvplat::kNoSocket) connected_.store(true);
  if (QvConnectionSink* sink = sink_.load()) sink->OnConnected(this);
}

void QvConnection::OnConnectFailed() {
  Close();
  if (QvConnectionSink* sink = sink_.load()) sink->OnConnectFailed();
}

void QvConnection::OnError() {
  QV_CHECK_ON_WORKER();
  const std::uint32_t epoch = epoch_.load();
  bool overLimit;
  bool outOfMemory;
  std::uint32_t sendError;
  {
    qvplat::LockGuard sending(sendLock_);
    overLimit = overLimit_;
    outOfMemory = outOfMemory_;
    sendError = sendError_;
    sendError_ = 0;
  }
  // While Connect completes, the sink has not heard OnConnected yet: the
  // socket rests, and the error is found again once it is read from.
  if (establishing_.load()) return;
  if (sendError != 0) {
    // A send failed (the write step): the stream is broken.
    LogNetError(sendError);
    return Disconnect(Ending::kReset, epoch);
  }
  if (!overLimit) {
    qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogExceptEvent);
    return Disconnect(Ending::kGraceful, epoch);
  }
  if (outOfMemory) {
    LogNetError(qvplat::kErrNoBuffers);
    return Disconnect(Ending::kReset, epoch);
  }
  const std::string limit = std::to_string(qvdiag::SendLimitBytes());
  qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogSendLimit, limit.c_str());
  Disconnect(Ending::kReset, epoch);
}

void QvConnection::OnTick() {
  QV_CHECK_ON_WORKER();
  const std::uint32_t epoch = epoch_.load();
  std::uint32_t held = 0;
  std::uint64_t queued = 0;
  const Stall stall = Stalled(epoch, &held, &queued);
  if (stall == Stall::kNone) return;
  const std::string unsent = std::to_string(queued);
  if (stall == Stall::kFrame) {
    qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogFrameExpired, qvdiag::FrameSeconds(), static_cast<unsigned>(held));
  } else if (stall == Stall::kSend) {
    qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogSendStalled, unsent.c_str(), qvdiag::SendStallSeconds());
  } else {
    qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogIdleExpired, qvdiag::IdleSeconds(), static_cast<unsigned>(held),
                unsent.c_str());
  }
  Disconnect(Ending::kReset, epoch);
}

bool QvConnection::OnSendTotalPassed() {
  QV_CHECK_ON_WORKER();
  const std::uint64_t limit = qvdiag::SendTotalLimitBytes();
  if (TotalQueued() <= limit) return false;  // the bytes of others went meanwhile
  const std::uint32_t epoch = epoch_.load();
  const std::string limitText = std::to_string(limit);
  const std::string unsent = std::to_string(QueuedBytes());
  qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogSendTotal, limitText.c_str(), unsent.c_str());
  Disconnect(Ending::kReset, epoch);
  return TotalQueued() > limit;  // the next largest goes too
}

QvConnection::Stall QvConnection::Stalled(std::uint32_t epoch, std::uint32_t* held, std::uint64_t* queued) {
  const std::uint64_t now = QvSocketManager::Instance().PassMillis();
  const std::uint64_t frameMs = std::uint64_t{1000} * static_cast<unsigned>(qvdiag::FrameSeconds());
  const std::uint64_t stallMs = std::uint64_t{1000} * static_cast<unsigned>(qvdiag::SendStallSeconds());
  const std::uint64_t idleMs = std::uint64_t{1000} * static_cast<unsigned>(qvdiag::IdleSeconds());
  qvplat::LockGuard receiving(recvLock_);
  *queued = QueuedBytes();
  // A session still connecting is timed from the tick after OnConnected.
  if (!connected_.load() || establishing_.load() || epoch_.load() != epoch || closing_.load() > 0) {
    return Stall::kNone;
  }
  if (!seen_.valid || seen_.epoch != epoch) seen_ = TickView{true, epoch, moves_, framesBegun_, sends_, now, now, now};
  if (seen_.moves != moves_) {
    seen_.moves = moves_;
    seen_.movedAt = now;
  }
  if (seen_.framesBegun != framesBegun_) {
    seen_.framesBegun = framesBegun_;
    seen_.frameBegunAt = now;
  }
  // The send clock runs only while more than the high-water mark waits.
  if (seen_.sends != sends_ || *queued <= qvdiag::SendHighWaterBytes()) {
    seen_.sends = sends_;
    seen_.sentAt = now;
  }
  *held = receiveQueue_.CommittedSize();
  if (*held > 0 && frameMs > 0 && now - seen_.frameBegunAt >= frameMs) return Stall::kFrame;
  if (stallMs > 0 && now - seen_.sentAt >= stallMs) return Stall::kSend;
  if (idleMs > 0 && now - seen_.movedAt >= idleMs) return Stall::kIdle;
  return Stall::kNone;
}

void QvConnection::LogNetError(std::uint32_t code) {
  qvdiag::LogNetError(code, qvtext::kErrUnknownConnection);
}

void QvConnection::Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
                           const char* optText2, const char* optText3) {
  ConnectReporting(host, port, mode, optText1, optNumber, optText2, optText3);
}

QvConnection::Outcome QvConnection::ConnectReporting(const char* host, int port, int mode, const char* optText1,
                                                     int optNumber, const char* optText2, const char* optText3) {
  // The worker inside this connection's own callbacks must not wait for a
  // connect that waits for the worker to leave.
  switch (presence_.BeginConnect(!QvSocketManager::Instance().Serving(this))) {
    case QvPresence::Turn::kGone:
      return Outcome{false, qvplat::kNoSocket};  // deleted meanwhile: nobody is left to tell
    case QvPresence::Turn::kBusy:
      LogNetError(qvplat::kErrAlready);
      if (QvConnectionSink* sink = sink_.load()) sink->OnConnectFailed();
      return Outcome{false, qvplat::kNoSocket};
    case QvPresence::Turn::kBegun:
      break;
  }
  const Outcome outcome = ConnectInTurn(host, port, mode, optText1, optNumber, optText2, optText3);
  // From here on another thread may delete the connection.
  presence_.EndConnect();
  return outcome;
}

QvConnection::Outcome QvConnection::ConnectInTurn(const char* host, int port, int mode, const char* optText1,
                                                  int optNumber, const char* optText2, const char* optText3) {
  // A connection that is still open is closed first, so its socket neither
  // leaks nor stays registered, and the worker has left it.
  Close();
  // The new socket stays this call's own until it is registered: nothing
  // else can act on it meanwhile.
  // Every failure is logged before the sink hears OnConnectFailed, so the
  // log's last line tells the sink why.
  const qvplat::Socket s = qvplat::TcpSocket();
  if (s == qvplat::kInvalidSocket) {
    LogNetError(qvplat::LastSocketError());
    OnConnectFailed();
    return Outcome{false, qvplat::kNoSocket};
  }
  if (mode != 0) LogNetError(qvplat::kErrInvalidArgument);  // only mode 0 says where
  if (qvdiag::NoDelay()) qvplat::SetNoDelay(s);
  std::uint32_t address = 0;
  std::uint32_t epoch = 0;
  if (mode != 0 || !Reach(s, host, port, &address) || !Publish(s, &epoch)) {
    qvplat::CloseSocket(s);
    OnConnectFailed();
    return Outcome{false, qvplat::kNoSocket};
  }
  char dotted[16];
  qvplat::FormatIPv4(address, dotted);
  qvdiag::Trace(qvtext::kTraceConnected, dotted);
  Remember(dotted, port, mode, optText1, optNumber, optText2, optText3);
  qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogConnectSuccess, static_cast<int>(s), dotted, port);
  OnConnected();
  establishing_.store(false);
  HandToTheWorker(s, epoch);
  return Outcome{true, s};
}

bool QvConnection::Reach(qvplat::Socket s, const char* host, int port, std::uint32_t* address) {
  if (const std::uint32_t error = ConnectAddress(host, port, address)) {
    LogNetError(error);  // no such host, no host at all, or a bad port
    return false;
  }
  // The time-out covers the handshake too: a peer that never answers fails
  // the connect after kConnectWaitMs instead of the system's minutes.
  const qvplat::ConnectOutcome outcome = qvplat::ConnectWithin(s, *address, port, kConnectWaitMs);
  // Refused, unreachable, no answer in time: the system's code says which.
  if (outcome != qvplat::ConnectOutcome::kConnected) LogNetError(qvplat::LastSocketError());
  return outcome == qvplat::ConnectOutcome::kConnected;
}

bool QvConnection::Publish(qvplat::Socket s, std::uint32_t* epoch) {
  // Registered without read interest, armed once the sink has heard
  // OnConnected: a sink usually learns its connection there, so the worker
  // must not deliver a packet or a disconnect before it. The worker is never
  // made to wait for this thread; an error it sees meanwhile rests until
  // the socket is armed, and is then reported by the worker.
  qvplat::LockGuard receiving(recvLock_);
  qvplat::LockGuard sending(sendLock_);
  establishing_.store(true);
  if (QvSocketManager::Instance().Register(s, 0, this) == -1) {
    establishing_.store(false);
    qvdiag::Trace(qvtext::kTraceTableFull);
    qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogTableFull);
    return false;
  }
  socket_.store(s);
  *epoch = epoch_.load();
  return true;
}

void QvConnection::Remember(const char* dotted, int port, int mode, const char* optText1, int optNumber,
                            const char* optText2, const char* optText3) {
  qvplat::LockGuard sending(sendLock_);
  StoreText(parameters_.peerAddress, dotted);
  parameters_.port = port;
  StoreText(parameters_.optText1, optText1);
  parameters_.optNumber = optNumber;
  StoreText(parameters_.optText2, optText2);
  StoreText(parameters_.optText3, optText3);
  parameters_.mode = mode;
  hasParameters_ = true;
}

void QvConnection::HandToTheWorker(qvplat::Socket s, std::uint32_t epoch) {
  qvplat::LockGuard receiving(recvLock_);
  qvplat::LockGuard sending(sendLock_);
  // Unless the sink closed or reconnected it meanwhile. From here on the
  // worker drives the connection.
  if (epoch_.load() != epoch) return;
  QvSocketManager::Instance().Arm(s, ReadInterest | (overLimit_ ? std::uint32_t{EndRequest} : 0u), this);
}

void QvConnection::Reconnect() {
  // Connect stores the parameters again; hand it a copy, not the fields.
  Parameters p;
  bool known;
  {
    qvplat::LockGuard sending(sendLock_);
    known = hasParameters_;
    p = parameters_;
  }
  if (!known) {
    // Never connected: there is nowhere to go back to.
    LogNetError(qvplat::kErrDestAddrRequired);
    OnConnectFailed();
    return;
  }
  Connect(p.peerAddress, p.port, p.mode, p.optText1, p.optNumber, p.optText2, p.optText3);
}

bool QvConnection::Attach(qvplat::Socket socket, bool hasNoDelay) {
  if (qvdiag::NoDelay() && !hasNoDelay) qvplat::SetNoDelay(socket);
  {
    qvplat::LockGuard receiving(recvLock_);
    qvplat::LockGuard sending(sendLock_);
    socket_.store(socket);
    if (QvSocketManager::Instance().Register(socket, ReadInterest, this) == -1) {
      qvdiag::Trace(qvtext::kTraceTableFull);
      qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogTableFull);
      return false;
    }
  }
  // The worker serves the listener here: a thread that closes or deletes
  // the connection meanwhile waits through the presence.
  presence_.Enter();
  OnConnected();
  presence_.Leave();  // from here on another thread may delete the connection
  return true;
}

// -------------------------------------------------------------- data path

void QvConnection::SetCodec(QvPacketCodec* codec) {
  QvLengthCodec* shared = &QvLengthCodec::Shared();
  lengthCodec_.store(codec == shared ? shared : nullptr);
  codec_.store(codec);
}

void QvConnection::Send(const char* data, int length) { SendFrame(data, length); }

bool QvConnection::SendWithin(const char* data, int length, int waitMs) {
  if (!connected_.load()) return false;
  // On the worker a wait would hold up the very drain it waits for.
  if (waitMs <= 0 || length < 0 || (data == nullptr && length > 0) || QvSocketManager::OnWorkerThread()) {
    qvplat::LockGuard sending(sendLock_);
    return HasRoomFor(length) && SendFrame(data, length);
  }
  if (!sendRoom_.Enter()) return false;  // being deleted
  const std::uint64_t deadline = qvplat::CoarseMillis() + static_cast<unsigned>(waitMs);
  const std::uint32_t epoch = epoch_.load();
  bool queued = false;
  for (;;) {
    const std::uint64_t ticket = sendRoom_.Ticket();
    {
      qvplat::LockGuard sending(sendLock_);
      if (epoch_.load() != epoch || !connected_.load()) break;  // the session ended
      if (HasRoomFor(length)) {
        queued = SendFrame(data, length);
        break;
      }
    }
    if (!sendRoom_.WaitPast(ticket, deadline)) break;
  }
  sendRoom_.Leave();
  return queued;
}

bool QvConnection::HasRoomFor(int length) const {
  // The most the frame can add: its length and header with the library's
  // framing, as much as a queue holds with a codec of the application's.
  const std::uint64_t most = codec_.load() == lengthCodec_.load()
                                 ? static_cast<std::uint64_t>(length) + kFrameHeaderSize
                                 : std::uint64_t{kQueueCapacity};
  const std::uint64_t queued = Queued();
  return queued <= qvdiag::SendHighWaterBytes() && queued + most <= qvdiag::SendLimitBytes();
}

bool QvConnection::SendFrame(const char* data, int length) {
  if (!connected_.load()) return false;
  if (length < 0 || (data == nullptr && length > 0)) {
    QV_DEBUG_CHECK_TEXT(false, "length >= 0 && (data != NULL || length == 0)", kFile, __LINE__);
    return false;
  }
  qvplat::LockGuard sending(sendLock_);
  const qvplat::Socket s = socket_.load();
  QvPacketCodec* codec = codec_.load();
  if (s == qvplat::kNoSocket || codec == nullptr || overLimit_) return false;
  const auto payload = static_cast<unsigned int>(length);
  const bool waiting = Queued() > 0;
  bool queued = false;
  if (codec != lengthCodec_.load()) {
    queued = EncodeAndQueue(codec, data, payload);
  } else if (!QvLengthCodec::Frames(payload, kQueueCapacity)) {
    QV_DEBUG_CHECK_TEXT(false, "the codec frames the payload", kFile, __LINE__);  // over 40955 bytes
    return false;
  } else {
    // The library's own framing, written straight into the queue.
    const std::uint32_t frame = payload + kFrameHeaderSize;
    char header[kFrameHeaderSize];
    StoreFrameLength(header, frame);
    bool overflows = false;
    queued = Queue(header, kFrameHeaderSize, data, payload, &overflows);
    if (queued) {
      if (qvdiag::TracesOn()) QvLengthCodec::Encoded(frame);
      AfterQueued(overflows);
    }
  }
  if (!queued && !overLimit_) return false;  // refused by the codec: nothing to write
  // Bytes that were waiting already had the write armed, or the worker is
  // draining them and arms it again for what it leaves: a stream of frames
  // sent from one OnPacket arms once.
  if (waiting && !overLimit_) return true;
  // Armed before the lock is left: a Close on another thread cannot slip in
  // between and leave this arming a descriptor number that is reused.
  QvSocketManager::Instance().Arm(s, overLimit_ ? std::uint32_t{EndRequest} : std::uint32_t{WriteInterest}, this);
  return queued && !overLimit_;
}

bool QvConnection::EncodeAndQueue(QvPacketCodec* codec, const char* data, unsigned int length) {
  char* area = static_cast<char*>(QvChunkPool::Instance().Take());
  unsigned int encoded = kQueueCapacity;
  if (area == nullptr) {
    OutOfMemory();
    return false;
  }
  bool queued = false;
  codec->Encode(data, length, area, &encoded);
  if (encoded == 0 || encoded > kQueueCapacity) {
    // Too long for the codec, or a codec that wrote past the room it was
    // given.
    QV_DEBUG_CHECK_TEXT(false, "the codec frames the payload", kFile, __LINE__);
  } else {
    bool overflows = false;
    queued = Queue(area, encoded, nullptr, 0, &overflows);
    if (queued) AfterQueued(overflows);
  }
  QvChunkPool::Instance().Give(area);
  return queued;
}

inline bool QvConnection::Queue(const char* head, std::uint32_t headLength, const char* tail,
                                std::uint32_t tailLength, bool* overflows) {
  const std::uint32_t length = headLength + tailLength;
  *overflows = false;
  if (overflow_.Empty()) {
    if (!sendQueue_.HasStorage() && !sendQueue_.Allocate(kQueueCapacity)) {
      OutOfMemory();
      return false;
    }
    if (sendQueue_.FreeSpace() >= length) {
      // Written straight into the free stretch.
      char* at = sendQueue_.WritePointer();
      if (headLength == kFrameHeaderSize) {
        std::memcpy(at, head, kFrameHeaderSize);  // the library's header: one store
      } else {
        std::memcpy(at, head, headLength);
      }
      if (tailLength > 0) std::memcpy(at + headLength, tail, tailLength);
      sendQueue_.Commit(length);
      return true;
    }
  }
  return Overflow(head, headLength, tail, tailLength, overflows);
}

bool QvConnection::Overflow(const char* head, std::uint32_t headLength, const char* tail, std::uint32_t tailLength,
                            bool* overflows) {
  // The frame does not fit, or frames wait in the overflow already: it
  // joins them there, in order. Said once for each time the queue fills,
  // not for every frame that waits.
  if (!overflow_.AppendFrame(head, headLength, tail, tailLength)) {
    OutOfMemory();
    return false;
  }
  *overflows = !spilled_;
  spilled_ = true;
  return true;
}

void QvConnection::AfterQueued(bool overflows) {
  if (overflows) qvdiag::Trace(qvtext::kTraceBufferFull);
  const std::uint64_t queued = Queued();
  if (queued > qvdiag::kLowestSendLimit && queued > qvdiag::SendLimitBytes()) {
    // The peer does not read: the stream cannot be kept whole, so the
    // session ends (on the worker), and what waits is let go now.
    overLimit_ = true;
    return ClearUnsent();
  }
  Recount(queued);
}

void QvConnection::OutOfMemory() {
  // The frame cannot be queued, so the stream cannot be kept whole: the
  // session ends as it does past the send limit.
  outOfMemory_ = true;
  overLimit_ = true;
  ClearUnsent();
}

void QvConnection::Recount(std::uint64_t queued) {
  if (queued <= counted_) {
    totalQueued.fetch_sub(counted_ - queued, std::memory_order_relaxed);
    counted_ = queued;
    return;
  }
  const std::uint64_t more = queued - counted_;
  counted_ = queued;
  const std::uint64_t total = totalQueued.fetch_add(more, std::memory_order_relaxed) + more;
  if (total > qvdiag::kLowestSendLimit && total > qvdiag::SendTotalLimitBytes()) {
    QvSocketManager::Instance().AskToEndLargestSenders();
  }
}

std::uint64_t QvConnection::TotalQueued() { return totalQueued.load(std::memory_order_relaxed); }

long long QvConnection::Unsent() {
  qvplat::LockGuard sending(sendLock_);
  return connected_.load() ? static_cast<long long>(Queued()) : -1;
}

std::size_t QvConnection::QueuedBytes() {
  qvplat::LockGuard sending(sendLock_);
  return Queued();
}

std::size_t QvConnection::Queued() const { return std::size_t{sendQueue_.CommittedSize()} + overflow_.Size(); }

int QvConnection::GatherUnsent(qvplat::SendPiece* pieces) const {
  int count = 0;
  if (const std::uint32_t front = sendQueue_.ContiguousSize()) {
    pieces[count++] = qvplat::SendPiece{sendQueue_.ReadPointer(), front};
    if (const std::uint32_t rest = sendQueue_.CommittedSize() - front) {
      pieces[count++] = qvplat::SendPiece{sendQueue_.SecondRegion(), rest};
    }
  }
  return count + overflow_.Gather(pieces + count, qvplat::kMaxSendPieces - count);
}

void QvConnection::ConsumeSent(std::size_t sent) {
  const std::uint32_t inQueue = sendQueue_.CommittedSize();
  const std::uint32_t fromQueue = sent < inQueue ? static_cast<std::uint32_t>(sent) : inQueue;
  sendQueue_.Consume(fromQueue);
  overflow_.Consume(sent - fromQueue);
  ++moves_;
  ++sends_;
  // An idle connection holds no send memory.
  if (sendQueue_.CommittedSize() == 0) sendQueue_.Free();
  if (overflow_.Empty()) spilled_ = false;  // the next overflow is told again
  const std::size_t queued = Queued();
  Recount(queued);
  sendRoom_.Drained(queued);
}

void QvConnection::TakeUnsent(std::vector<QvUnsentBytes>* out) {
  // The storage goes with the bytes: of the send queue's two regions, the
  // second to be sent takes the block along.
  const std::uint32_t front = sendQueue_.ContiguousSize();
  const std::uint32_t rest = sendQueue_.CommittedSize() - front;
  const char* first = sendQueue_.ReadPointer();
  const char* second = sendQueue_.SecondRegion();
  if (front > 0) {
    char* storage = sendQueue_.Detach();
    out->emplace_back(first, front, storage, rest > 0 ? nullptr : &QvBipBuffer::GiveBack);
    if (rest > 0) out->emplace_back(second, rest, storage, &QvBipBuffer::GiveBack);
  }
  overflow_.HandOver(out);
}

void QvConnection::ClearUnsent() {
  sendQueue_.Free();
  overflow_.Clear();
  Recount(0);
}

std::uint32_t QvConnection::Carried() {
  qvplat::LockGuard receiving(recvLock_);
  return receiveQueue_.CommittedSize();
}

void QvConnection::OnWrite() {
  QV_CHECK_ON_WORKER();
  qvplat::LockGuard sending(sendLock_);
  const qvplat::Socket s = socket_.load();
  // Closed meanwhile: nothing of this session is left to send.
  if (s == qvplat::kNoSocket) return ReportFlushed(Flushed::kNothing);
  ReportFlushed(Flush(s, *this, &sendError_));
}

void QvConnection::OnRead() {
  QV_CHECK_ON_WORKER();
  const std::uint32_t epoch = epoch_.load();
  std::uint32_t error = 0;  // or the length a malformed header announced
  // No lock is held across OnDisconnected.
  switch (ReadAndCut(epoch, &error)) {
    case Read::kGoOn:
    case Read::kStopped:
      return;
    case Read::kPeerEnded:
      LogNetError(error);
      return Disconnect(Ending::kGraceful, epoch);
    case Read::kMalformed:
      qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogBadHeader, static_cast<unsigned>(error));
      return Disconnect(Ending::kGraceful, epoch);
    case Read::kFailed:
      LogNetError(error);
      return Disconnect(Ending::kReset, epoch);
  }
}

QvConnection::Read QvConnection::ReadAndCut(std::uint32_t epoch, std::uint32_t* detail) {
  qvplat::LockGuard receiving(recvLock_);
  const qvplat::Socket s = socket_.load();
  // Closed, or a Close under way: it will unregister; nothing more is read.
  if (s == qvplat::kNoSocket || epoch_.load() != epoch || closing_.load() > 0) return Read::kStopped;
  if ((!receiveQueue_.HasStorage() && !receiveQueue_.Allocate(kQueueCapacity)) || !MakeRoomForFrame()) {
    *detail = qvplat::kErrNoBuffers;
    return Read::kFailed;
  }
  // One recv() into the free stretch, written in place.
  const std::uint32_t carried = receiveQueue_.CommittedSize();
  const std::uint32_t room = receiveQueue_.FreeSpace();
  const int received = qvplat::RecvSome(s, receiveQueue_.WritePointer(), static_cast<int>(room));
  // A read the worker made without asking the system shows its event's
  // trace once it finds something, before what it goes on to print.
  if (qvdiag::TracesOn() && (received >= 0 || qvplat::LastSocketError() != qvplat::kErrWouldBlock)) {
    qvdiag::ShowHeldTrace();
  }
  Read outcome = Read::kGoOn;
  if (received > 0) {
    outcome = CutReceived(static_cast<std::uint32_t>(received), carried, epoch, detail);
    if (outcome == Read::kStopped) return outcome;
  } else {
    *detail = qvplat::LastSocketError();
    if (received == 0) {
      peerEnded_ = true;
      outcome = Read::kPeerEnded;
    } else if (*detail != qvplat::kErrWouldBlock) {
      outcome = Read::kFailed;
    }
  }
  // An idle connection holds no receive memory.
  if (receiveQueue_.CommittedSize() == 0) receiveQueue_.Free();
  // Armed under the lock, for the reason Send gives.
  if (outcome == Read::kGoOn) QvSocketManager::Instance().Arm(s, ReadInterest, this);
  return outcome;
}

QvConnection::Read QvConnection::CutReceived(std::uint32_t received, std::uint32_t carried, std::uint32_t epoch,
                                             std::uint32_t* detail) {
  ++moves_;
  receiveQueue_.Commit(received);
  cutting_ = true;
  const Cut cut = CutFrames(epoch, detail);
  cutting_ = false;
  if (cut == Cut::kStopped || cut == Cut::kNoMemory) {
    // Closed from OnPacket, or closing: the bytes are no longer this
    // session's (and a Close from OnPacket left the storage for here).
    receiveQueue_.Free();
    *detail = qvplat::kErrNoBuffers;
    return cut == Cut::kStopped ? Read::kStopped : Read::kFailed;
  }
  // The rest begins a frame unless it is the one carried before.
  const std::uint32_t left = receiveQueue_.CommittedSize();
  if (left > 0 && (left < carried + received || carried == 0)) ++framesBegun_;
  return cut == Cut::kMalformed ? Read::kMalformed : Read::kGoOn;
}

bool QvConnection::MakeRoomForFrame() {
  const std::uint32_t queued = receiveQueue_.CommittedSize();
  if (queued == 0) return true;
  std::uint32_t length = kFrameHeaderSize;  // until the header is complete
  PeekFrame(receiveQueue_, kQueueCapacity, &length);
  if (receiveQueue_.FreeSpace() >= length - queued) return true;
  // Neither free stretch can complete the frame: its start moves to the
  // base, behind which there is room for the longest frame.
  char* area = static_cast<char*>(QvChunkPool::Buffers().Take());
  if (area == nullptr) return false;
  receiveQueue_.CopyOut(area, queued);
  receiveQueue_.Append(area, queued);
  QvChunkPool::Buffers().Give(area);
  return true;
}

QvConnection::Cut QvConnection::CutFrames(std::uint32_t epoch, std::uint32_t* badHeader) {
  for (;;) {
    std::uint32_t length = 0;
    const FrameStatus status = PeekFrame(receiveQueue_, kQueueCapacity, &length);
    if (status == FrameStatus::kNeedMore) return Cut::kNeedMore;
    if (status == FrameStatus::kMalformed) {
      *badHeader = length;
      return Cut::kMalformed;
    }
    if (!Deliver(length, epoch)) return Cut::kNoMemory;
    // The application closed (here, or on another thread that now waits
    // for this lock): nothing more is delivered, and the bytes are no
    // longer this session's.
    if (closing_.load() > 0 || epoch_.load() != epoch) return Cut::kStopped;
  }
}

bool QvConnection::Deliver(std::uint32_t length, std::uint32_t epoch) {
  QvConnectionSink* sink = sink_.load();
  if (receiveQueue_.ContiguousSize() >= length) {
    // In one piece: handed over in place, consumed once the sink is done
    // (unless the session ended meanwhile, and the read gives it all up).
    const char* frame = receiveQueue_.ReadPointer();
    if (sink != nullptr) sink->OnPacket(frame + kFrameHeaderSize, static_cast<int>(length - kFrameHeaderSize));
    if (closing_.load() == 0 && epoch_.load() == epoch) receiveQueue_.Consume(length);
    return true;
  }
  // Across both regions: gathered into a contiguous area first.
  char* area = static_cast<char*>(QvChunkPool::Buffers().Take());
  if (area == nullptr) return false;
  receiveQueue_.CopyOut(area, length);
  if (sink != nullptr) sink->OnPacket(area + kFrameHeaderSize, static_cast<int>(length - kFrameHeaderSize));
  QvChunkPool::Buffers().Give(area);
  return true;
}

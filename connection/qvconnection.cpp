// qvconnection.cpp - connection establishment, life cycle and data path.
#include "qvconnection.h"

#include <cstring>

#include "../diag/log.h"
#include "../diag/qvneterror.h"
#include "../diag/qvtextcopy.h"
#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"
#include "../dispatch/qvsocketmanager.h"
#include "../include/qvconnectionsink.h"
#include "../include/qvpacketcodec.h"
#include "../module/qvnetmoduleimpl.h"
#include "qvaddress.h"
#include "qvlengthcodec.h"

namespace {

constexpr char kFile[] = "qvconnection";

// Copies a text into a fixed field, cut to fit; null becomes "".
template <size_t N>
void StoreText(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  qvdiag::CopyText(field, text);
}

}  // namespace

bool SetNonBlocking(qvplat::Socket socket) { return qvplat::SetNonBlocking(socket); }

// ------------------------------------------------------------- module side

QvConnection* QvNetModuleImpl::CreateConnection() { return new QvConnection; }

void QvNetModuleImpl::DestroyConnection(QvConnection* connection) { delete connection; }

// ------------------------------------------------------------- life cycle

QvConnection::QvConnection()
    : socket_(qvplat::kNoSocket),
      stagingLength_(0),
      codec_(nullptr),
      sink_(nullptr),
      connected_(false),
      establishing_(false),
      errorDeferred_(false),
      connectSucceeded_(false),
      hasParameters_(false),
      port_(0),
      optNumber_(0),
      mode_(0) {
  // Without storage a queue refuses every write; the connection then drops
  // what it would queue instead of writing through a null pointer.
  sendQueue_.Allocate(kQueueCapacity);
  recvQueue_.Allocate(kQueueCapacity);
  std::memset(peerAddress_, 0, sizeof peerAddress_);
  std::memset(optText1_, 0, sizeof optText1_);
  std::memset(optText2_, 0, sizeof optText2_);
  std::memset(optText3_, 0, sizeof optText3_);
}

QvConnection::~QvConnection() {
  // An owner should close first; if it did not, close here, under the locks
  // the worker's own handling holds, so the two never close at once. Then
  // the worker must neither keep a slot naming this object nor be inside it
  // when it goes.
  CloseIfOpen();
  QvSocketManager::Instance().Forget(this);
}

void QvConnection::ReservedA(int, int, int) { QV_DEBUG_FAIL(kFile, __LINE__); }

bool QvConnection::CloseIfOpen() {
  qvplat::LockGuard receiving(recvLock_);
  qvplat::LockGuard sending(sendLock_);
  qvplat::Socket s = socket_.load();
  if (s == qvplat::kNoSocket) return false;
  if (s != qvplat::kInvalidSocket) QvSocketManager::Instance().Unregister(s);
  if (connected_.load()) qvplat::ShutdownBoth(s);
  qvplat::CloseSocket(s);
  socket_.store(qvplat::kNoSocket);
  connected_.store(false);
  return true;
}

void QvConnection::Close() { CloseIfOpen(); }

void QvConnection::OnConnected() {
  connected_.store(true);
  if (QvConnectionSink* sink = sink_.load()) sink->OnConnected(this);
}

void QvConnection::OnConnectFailed() {
  Close();
  if (QvConnectionSink* sink = sink_.load()) sink->OnConnectFailed();
}

void QvConnection::OnError() {
  if (establishing_.load()) {
    errorDeferred_.store(true);  // Connect acts on it once OnConnected returned
    if (establishing_.load()) return;
    // Connect finished meanwhile and may not have seen the flag: act here.
    // Should both act, only the one that closes reports.
    errorDeferred_.store(false);
  }
  // A connection the application closed meanwhile has nothing to report.
  if (!CloseIfOpen()) return;
  if (QvConnectionSink* sink = sink_.load()) sink->OnDisconnected();
}

void QvConnection::LogNetError(std::uint32_t code) {
  qvdiag::LogNetError(code, qvtext::kErrUnknownConnection);
}

void QvConnection::Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
                           const char* optText2, const char* optText3) {
  // A connection that is still open is closed first, so its socket neither
  // leaks nor stays registered.
  Close();
  connectSucceeded_ = false;

  qvplat::Socket s = qvplat::TcpSocket();
  socket_.store(s);
  if (s == qvplat::kInvalidSocket) {
    OnConnectFailed();
    LogNetError(qvplat::LastSocketError());
    return;
  }
  if (mode != 0) {
    // Only mode 0 says where to connect.
    OnConnectFailed();
    return;
  }

  std::uint32_t address = 0;
  if (const std::uint32_t error = ConnectAddress(host, port, &address)) {
    LogNetError(error);  // no such host, no host at all, or a bad port
    OnConnectFailed();
    return;
  }
  // The time-out covers the handshake too: a peer that never answers fails
  // the connect after kConnectWaitMs instead of the system's minutes.
  const qvplat::ConnectOutcome outcome = qvplat::ConnectWithin(s, address, port, kConnectWaitMs);
  if (outcome != qvplat::ConnectOutcome::kConnected) {
    // A refused connect is the sink's OnConnectFailed alone; a time-out (or
    // a failed wait) is logged as well.
    if (outcome == qvplat::ConnectOutcome::kWaitFailed) LogNetError(qvplat::LastSocketError());
    OnConnectFailed();
    return;
  }
  // Registered without read interest, armed once the sink has heard
  // OnConnected: a sink usually learns its connection there, so the worker
  // must not deliver a packet or a disconnect before it. The worker is never
  // made to wait for this thread; an error it sees meanwhile is left for
  // this thread to act on after OnConnected.
  errorDeferred_.store(false);
  establishing_.store(true);
  if (QvSocketManager::Instance().Register(s, 0, this) == -1) {
    establishing_.store(false);
    qvdiag::Trace(qvtext::kTraceTableFull);
    OnConnectFailed();
    return;
  }

  char dotted[16];
  qvplat::FormatIPv4(address, dotted);
  qvdiag::Trace(qvtext::kTraceConnected, dotted);
  StoreText(peerAddress_, dotted);
  port_ = port;
  StoreText(optText1_, optText1);
  optNumber_ = optNumber;
  StoreText(optText2_, optText2);
  StoreText(optText3_, optText3);
  mode_ = mode;
  hasParameters_ = true;
  connectSucceeded_ = true;
  qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogConnectSuccess, static_cast<int>(s), dotted, port_);
  OnConnected();
  establishing_.store(false);
  if (errorDeferred_.exchange(false)) {
    OnError();
    return;
  }
  qvplat::LockGuard receiving(recvLock_);
  s = socket_.load();  // the sink may have closed or reconnected it
  if (s != qvplat::kNoSocket) QvSocketManager::Instance().Arm(s, ReadInterest, this);
}

void QvConnection::Reconnect() {
  if (!hasParameters_) {
    OnConnectFailed();  // never connected: there is nowhere to go back to
    return;
  }
  // Connect stores the parameters again; hand it copies, not the fields.
  char peer[sizeof peerAddress_], text1[kTextSize], text2[kTextSize], text3[kTextSize];
  std::memcpy(peer, peerAddress_, sizeof peer);
  std::memcpy(text1, optText1_, sizeof text1);
  std::memcpy(text2, optText2_, sizeof text2);
  std::memcpy(text3, optText3_, sizeof text3);
  Connect(peer, port_, mode_, text1, optNumber_, text2, text3);
}

bool QvConnection::Attach(qvplat::Socket socket) {
  socket_.store(socket);
  if (QvSocketManager::Instance().Register(socket, ReadInterest, this) == -1) {
    qvdiag::Trace(qvtext::kTraceTableFull);
    return false;
  }
  OnConnected();
  return true;
}

// -------------------------------------------------------------- data path

void QvConnection::Send(const char* data, int length) {
  if (!connected_.load()) return;
  qvplat::LockGuard sending(sendLock_);
  QvPacketCodec* codec = codec_.load();
  if (codec == nullptr) return;
  stagingLength_ = kQueueCapacity;
  codec->Encode(data, static_cast<unsigned int>(length), staging_, &stagingLength_);
  if (sendQueue_.FreeSpace() < stagingLength_) {
    qvdiag::Trace(qvtext::kTraceBufferFull);
    return;
  }
  sendQueue_.Append(staging_, stagingLength_);
  // Armed before the lock is left: a Close on another thread cannot slip in
  // between and leave this arming a descriptor number that is reused.
  qvplat::Socket s = socket_.load();
  if (s != qvplat::kNoSocket) QvSocketManager::Instance().Arm(s, WriteInterest, this);
}

void QvConnection::OnWrite() { Drain(nullptr); }

UnaskedWrite QvConnection::OnWriteUnasked(QvWriteWitness& witness) { return Drain(&witness); }

UnaskedWrite QvConnection::Drain(QvWriteWitness* unasked) {
  // A failed send closes the connection, which takes the receive lock: take
  // it first here too, or a Close on another thread (receive, then send)
  // and this (send, then receive) could each wait for the other.
  qvplat::LockGuard receiving(recvLock_);
  qvplat::LockGuard sending(sendLock_);
  qvplat::Socket s = socket_.load();
  if (s == qvplat::kNoSocket) return UnaskedWrite::kNotTried;  // closed since the worker saw it writable
  std::uint32_t queued = sendQueue_.CommittedSize();
  if (unasked != nullptr && queued == 0) return UnaskedWrite::kNotTried;  // nothing to find out with
  while (queued > 0) {
    int sent = qvplat::SendSome(s, sendQueue_.ReadPointer(), static_cast<int>(sendQueue_.ContiguousSize()));
    std::uint32_t error = sent <= 0 ? qvplat::LastSocketError() : 0;
    if (unasked != nullptr) {
      if (sent < 0 && error == qvplat::kErrWouldBlock) return UnaskedWrite::kWouldBlock;
      unasked->Writable();
      unasked = nullptr;
    }
    if (sent <= 0) {
      if (sent < 0 && error == qvplat::kErrWouldBlock) break;  // full: the rest waits
      LogNetError(error);
      OnError();
      return UnaskedWrite::kDrained;
    }
    sendQueue_.Consume(static_cast<std::uint32_t>(sent));
    queued -= static_cast<std::uint32_t>(sent);
  }
  if (sendQueue_.CommittedSize() == 0) return UnaskedWrite::kDrained;
  QvSocketManager::Instance().Arm(s, WriteInterest, this);
  return UnaskedWrite::kBytesLeft;
}

void QvConnection::OnRead() {
  qvplat::LockGuard receiving(recvLock_);
  qvplat::Socket s = socket_.load();
  if (s == qvplat::kNoSocket) return;  // closed since the worker saw it readable
  std::uint32_t room = recvQueue_.FreeSpace();
  if (room == 0 && recvQueue_.CommittedSize() < kQueueCapacity) {
    // What is queued is the start of one frame, but it began so far into
    // the queue that neither free stretch can take its rest: move it to the
    // front, where the whole capacity lies behind it.
    const std::uint32_t queued = recvQueue_.CommittedSize();
    char* area = WrapArea();
    recvQueue_.CopyOut(area, queued);
    recvQueue_.Append(area, queued);
    room = recvQueue_.FreeSpace();
  }
  char* at = recvQueue_.WritePointer();
  // A header announcing more than the queue holds closes the connection as
  // soon as it arrives, so the queue never fills without a complete frame.
  // Should it all the same, room is 0: recv() answers 0, and the connection
  // closes below instead of spinning.
  int received = qvplat::RecvSome(s, at, static_cast<int>(room));
  if (received <= 0) {
    std::uint32_t error = qvplat::LastSocketError();
    if (received < 0 && error == qvplat::kErrWouldBlock) {
      QvSocketManager::Instance().Arm(s, ReadInterest, this);  // nothing there after all
      return;
    }
    LogNetError(error);
    OnError();
    return;
  }
  recvQueue_.Commit(static_cast<std::uint32_t>(received));
  if (!ParseFrames()) {
    OnError();
    return;
  }
  // The sink may have closed the connection from OnPacket.
  s = socket_.load();
  if (s != qvplat::kNoSocket) QvSocketManager::Instance().Arm(s, ReadInterest, this);
}

char* QvConnection::WrapArea() {
  // Used only by the worker (OnRead runs nowhere else, and a manager has
  // one worker), and only for frames that wrap round; its pages are touched
  // on first need. A static area, not a thread-local one with a destructor:
  // those run at thread exit, and with MinGW that corrupted the heap now
  // and then once the worker had used it.
  static char area[kQueueCapacity];
  return area;
}

bool QvConnection::ParseFrames() {
  for (;;) {
    std::uint32_t length = 0;
    FrameStatus status = PeekFrame(recvQueue_, kQueueCapacity, &length);
    if (status == FrameStatus::kNeedMore) return true;
    if (status == FrameStatus::kMalformed) return false;
    const bool inPlace = recvQueue_.ContiguousSize() >= length;
    const char* frame;
    if (inPlace) {
      frame = recvQueue_.ReadPointer();
    } else {
      char* area = WrapArea();
      recvQueue_.CopyOut(area, length);
      frame = area;
    }
    if (QvConnectionSink* sink = sink_.load()) {
      sink->OnPacket(frame + kFrameHeaderSize, static_cast<int>(length - kFrameHeaderSize));
    }
    if (inPlace) recvQueue_.Consume(length);
  }
}

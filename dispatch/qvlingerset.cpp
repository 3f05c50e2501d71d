// qvlingerset.cpp - sockets of closed connections, kept by the worker until
// their last bytes are out.
#include "qvlingerset.h"

#include <string>
#include <utility>

#include "../diag/log.h"
#include "../diag/qvsettings.h"
#include "../diag/qvtexts.h"
#include "qvflush.h"
#include "qvpolltag.h"

struct QvLingerSet::Entry {
  qvplat::Socket socket = qvplat::kNoSocket;
  std::vector<QvUnsentBytes> parts;  // what is left to send, in order
  std::size_t skip = 0;            // bytes of parts[0] already sent
  bool peerEnded = false;
  bool shut = false;  // our sending side is shut down
  unsigned want = 0;
  std::uint32_t serial = 0;
  Clock::time_point deadline;

  std::size_t Unsent() const {
    std::size_t n = 0;
    for (const QvUnsentBytes& p : parts) n += p.size();
    return n - skip;
  }
  // For Flush: the parts left, as pieces; and the sent ones dropped, each
  // part's storage given back once its last byte is sent.
  int GatherUnsent(qvplat::SendPiece* pieces) const {
    int count = 0;
    for (std::size_t i = 0; i < parts.size() && count < qvplat::kMaxSendPieces; ++i) {
      const std::size_t from = i == 0 ? skip : 0;
      pieces[count++] = qvplat::SendPiece{parts[i].data() + from, parts[i].size() - from};
    }
    return count;
  }
  void ConsumeSent(std::size_t sent) {
    std::size_t done = 0;
    for (sent += skip; done < parts.size() && sent >= parts[done].size(); ++done) sent -= parts[done].size();
    parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(done));
    skip = sent;
  }
};

namespace {

// How much one event may read and discard, so that a peer that streams
// cannot hold the worker.
constexpr int kReadsPerEvent = 4;
// How much one pass may read and discard from a socket it is about to close.
constexpr int kReadsBeforeClose = 16;
char discard[64 * 1024];  // the worker's only

std::uint64_t TagOf(std::size_t index, std::uint32_t serial) { return QvPollTag::ForLinger(index, serial); }

}  // namespace

QvLingerSet::QvLingerSet(qvplat::Poller& poller) : poller_(poller), lingerTime_(-1) {}

QvLingerSet::~QvLingerSet() {
  for (Entry& e : handedOver_) qvplat::CloseSocket(e.socket);
  for (Entry& e : entries_) {
    if (e.socket != qvplat::kNoSocket) qvplat::CloseSocket(e.socket);
  }
}

bool QvLingerSet::HandOver(qvplat::Socket s, std::vector<QvUnsentBytes> parts, bool peerEnded) {
  qvplat::LockGuard guard(handoverLock_);
  // Read here, once, rather than on the worker: the setting is read on
  // first need, and a close is the first need.
  if (lingerTime_.count() < 0) lingerTime_ = std::chrono::seconds(qvdiag::LingerSeconds());
  if (lingerTime_.count() == 0) return false;
  Entry e;
  e.socket = s;
  e.parts = std::move(parts);
  e.peerEnded = peerEnded;
  handedOver_.push_back(std::move(e));
  handedOverCount_.store(static_cast<int>(handedOver_.size()));
  return true;
}

int QvLingerSet::Count() {
  qvplat::LockGuard guard(handoverLock_);
  return live_ + static_cast<int>(handedOver_.size());
}

void QvLingerSet::Adopt() {
  // Usually nothing was handed over: the lock is not taken for that. A
  // hand-over the count does not show yet wakes the worker for another pass.
  if (handedOverCount_.load() == 0) return;
  std::vector<Entry> arrived;
  {
    qvplat::LockGuard guard(handoverLock_);
    if (handedOver_.empty()) return;
    arrived.swap(handedOver_);
    handedOverCount_.store(0);
    live_ += static_cast<int>(arrived.size());
  }
  const Clock::time_point deadline = Clock::now() + lingerTime_;
  for (Entry& e : arrived) {
    std::size_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      index = entries_.size();
      entries_.emplace_back();
    }
    const std::uint32_t serial = entries_[index].serial + 1;
    e.serial = serial;
    e.deadline = deadline;
    entries_[index] = std::move(e);
    // Nothing happens until the system reports the socket: sending what is
    // left, or shutting down once nothing is, needs it writable.
    entries_[index].want = qvplat::kPollWrite | (entries_[index].peerEnded ? 0u : unsigned{qvplat::kPollRead});
    poller_.Watch(entries_[index].socket, TagOf(index, serial), entries_[index].want);
  }
}

void QvLingerSet::OnEvent(std::uint64_t tag, unsigned ready) {
  const auto index = static_cast<std::size_t>(static_cast<std::uint32_t>(tag));
  if (index >= entries_.size()) return;
  const Entry& e = entries_[index];
  if (e.socket == qvplat::kNoSocket || TagOf(index, e.serial) != tag) return;  // finished earlier in this pass
  Serve(index, ready);
}

void QvLingerSet::Serve(std::size_t index, unsigned ready) {
  Entry& e = entries_[index];
  // Urgent data, or a socket the system would not watch: nothing good can
  // come of waiting.
  if (ready & qvplat::kPollExcept) return Finish(index);
  if ((ready & qvplat::kPollRead) && !ReadAndDiscard(e)) return Finish(index);
  if ((ready & qvplat::kPollWrite) && !SendPending(e)) return Finish(index);
  if (e.shut && e.peerEnded) return Finish(index);
  Rewatch(index);
}

// False when the socket failed.
bool QvLingerSet::ReadAndDiscard(Entry& e) {
  for (int i = 0; i < kReadsPerEvent && !e.peerEnded; ++i) {
    const int n = qvplat::RecvSome(e.socket, discard, static_cast<int>(sizeof discard));
    if (n > 0) continue;
    if (n < 0) return qvplat::LastSocketError() == qvplat::kErrWouldBlock;
    e.peerEnded = true;
    if (e.shut) return true;
    e.deadline = Clock::now() + lingerTime_;
  }
  return true;
}

// False when the socket failed.
bool QvLingerSet::SendPending(Entry& e) {
  std::uint32_t error = 0;
  const Flushed flushed = Flush(e.socket, e, &error);
  if (flushed == Flushed::kFailed) return false;
  bool progress = flushed == Flushed::kDrained || flushed == Flushed::kBytesLeft;
  if (e.parts.empty() && !e.shut) {
    qvplat::ShutdownSend(e.socket);
    e.shut = true;
    progress = true;
  }
  if (progress) e.deadline = Clock::now() + lingerTime_;
  return true;
}

void QvLingerSet::Rewatch(std::size_t index) {
  Entry& e = entries_[index];
  const unsigned want = (e.shut ? 0u : unsigned{qvplat::kPollWrite}) | (e.peerEnded ? 0u : unsigned{qvplat::kPollRead});
  if (want == e.want) return;
  e.want = want;
  poller_.Watch(e.socket, TagOf(index, e.serial), want);
}

void QvLingerSet::Finish(std::size_t index) {
  Entry& e = entries_[index];
  poller_.Unwatch(e.socket, TagOf(index, e.serial));
  qvplat::CloseSocket(e.socket);
  const std::uint32_t serial = e.serial;
  e = Entry{};
  e.serial = serial;
  free_.push_back(index);
  qvplat::LockGuard guard(handoverLock_);
  --live_;
}

bool QvLingerSet::Idle() const { return entries_.size() == free_.size(); }

// True when nothing received is left unread: the input is drained to the
// point where the system has no more, or the stream ended or failed.
bool QvLingerSet::DiscardReceived(Entry& e) {
  for (int i = 0; i < kReadsBeforeClose && !e.peerEnded; ++i) {
    const int n = qvplat::RecvSome(e.socket, discard, static_cast<int>(sizeof discard));
    if (n > 0) continue;
    if (n < 0) return true;  // nothing more now, or a failed socket: either way nothing unread
    e.peerEnded = true;
  }
  return e.peerEnded;
}

// The sockets that owe nothing: what they sent is the system's to deliver.
// One whose peer still streams is tried again at the next pass.
void QvLingerSet::CloseSent() {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    if (e.socket != qvplat::kNoSocket && e.parts.empty() && DiscardReceived(e)) Finish(i);
  }
}

void QvLingerSet::Expire(Clock::time_point now) {
  if (releaseSent_.load()) CloseSent();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    if (e.socket == qvplat::kNoSocket || e.deadline > now) continue;
    // With every byte handed to the system, only the peer's end of stream
    // was missing: nothing is lost, and nothing is logged.
    if (e.parts.empty()) {
      DiscardReceived(e);
    } else {
      const std::string unsent = std::to_string(e.Unsent());
      qvdiag::log(qvdiag::NetworkLog(), qvtext::kLogLingerExpired, static_cast<int>(lingerTime_.count()),
                  unsent.c_str());
    }
    Finish(i);
  }
}

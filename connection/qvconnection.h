// qvconnection.h - one TCP stream with its queues, framing and life cycle
// (internal).
//
// A connection comes into being in one of two ways: a client connector makes
// one and calls Connect, which runs the whole outgoing procedure on the
// caller's thread; or a listener makes one for an accepted peer and hands it
// the socket with Attach, on the worker thread. Either way the socket is
// then registered with read interest and the worker drives it.
//
// A session is the life of one socket in the connection: from Connect or
// Attach to its end. A session ends
//  - by Close (or deletion), on any thread: the application hears nothing;
//  - on the worker, when the peer ends its stream, sends a header that is
//    no frame, or the socket reports an exception: what was queued before
//    still goes out;
//  - on the worker, when the library decides it cannot go on: send() or
//    recv() fails, the unsent bytes pass their limit (QVNET_SEND_LIMIT), no
//    byte leaves while more than the high-water mark waits for
//    QVNET_SEND_STALL_SECONDS, the bytes waiting over all connections pass
//    QVNET_SEND_TOTAL_LIMIT and this connection holds the most of them, a
//    frame stays incomplete for QVNET_FRAME_SECONDS after its first byte
//    came, or no byte moves either way for QVNET_IDLE_SECONDS. The socket
//    is closed with a zero linger time, so the peer sees a reset, never an
//    orderly end of a stream that lost bytes; what was held is dropped and
//    one log line says why.
// The sink hears OnDisconnected for the last two. At the end the send
// queue and the start of a frame still being received are dropped for the
// next session, which starts without storage; a socket that still owes the
// peer bytes is handed to the worker with the blocks those bytes lie in
// (moved, not copied), and the worker sends them and closes it gracefully
// (dispatch/qvlingerset.h).
//
// Memory: a connection holds queue memory only while bytes wait in it
// (qvchunkpool.h). Each recv() reads into the free stretch of the receive
// queue (qvbipbuffer.h, 40960 bytes), where frames are cut in place; each
// send() takes everything queued, gathered.
//
// Threads and locks (platform/qvlockorder.h has the whole order):
//  - Send, SendWithin, Unsent, Close, Reconnect, IsConnected: any thread.
//  - OnRead (and OnPacket of the sink), OnWrite, OnError: the worker.
//  - The receive lock guards what was received and is held during every
//    OnPacket, and during no other callback; the send lock guards the send
//    queue (and a codec's Encode runs under it). When both are held,
//    the receive lock was taken first. Both are re-entrant, so a sink may
//    Send or Close from inside OnPacket.
//  - Once a Close has begun, the worker makes no new recv() and delivers no
//    further OnPacket for the session, not even for frames already cut from
//    the current read; Close itself waits at most for the callback under
//    way. Close on an application thread returns once the worker has left
//    the connection.
//  - An outgoing connection is watched for reading only once the sink's
//    OnConnected has returned, so the sink hears OnConnected first; an
//    error the worker sees before then is found again, and reported on the
//    worker, once it is watched for reading.
//  - Close and deletion return only once no other thread is inside the
//    connection: the worker in one of its callbacks, a thread in the
//    connect procedure (its OnConnected or OnConnectFailed included), or
//    the worker in an accepted peer's OnConnected (qvpresence.h). A call
//    from inside the connection's own callback does not wait for itself.
//  - Connects on one connection take turns; each ends the session before
//    it as Close does. A connect called from inside the connection's own
//    callbacks while another thread connects it fails at once (10037)
//    instead of waiting for a thread that may be waiting for it.
//
// Ownership: the connection owns neither its sink nor its codec. Deleting a
// connection closes it as Close does, and waits as Close does.
#ifndef QV_CONNECTION_QVCONNECTION_H
#define QV_CONNECTION_QVCONNECTION_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../dispatch/qvsocketbase.h"
#include "../dispatch/qvflush.h"
#include "../platform/qvsockets.h"
#include "../platform/qvthreads.h"
#include "qvbipbuffer.h"
#include "qvpresence.h"
#include "qvsendqueue.h"
#include "qvsendroom.h"

class QvConnectionSink;
class QvLengthCodec;
class QvPacketCodec;

// Puts a socket into non-blocking mode; false when that failed.
bool SetNonBlocking(qvplat::Socket socket);

class QvConnection : public QvSocketBase {
 public:
  // The capacity of each of the two queues: frames the send queue has no
  // room for wait behind it (and the full-queue trace is printed); no
  // frame received is longer.
  static constexpr std::uint32_t kQueueCapacity = 40960;
  // The bound on an outgoing connect, its TCP handshake included.
  static constexpr int kConnectWaitMs = 5000;

  QvConnection();
  ~QvConnection() override;
  QvConnection(const QvConnection&) = delete;
  QvConnection& operator=(const QvConnection&) = delete;

  // QvSocket, for the application.
  void ReservedA(int a, int b, int c) override;
  // Frames and queues one payload; nothing while not connected. Frames
  // beyond the send queue's capacity wait behind it, in order. Refuses (debug
  // builds report it) a null payload with a positive length, a negative
  // length, and a payload the codec does not frame: nothing is queued.
  void Send(const char* data, int length) override;
  // Ends the session without a sink callback; what was queued still goes
  // out. Returns once no other thread is inside the connection (see the
  // threads above).
  void Close() override;
  // Connects again to the stored address and port. Without a successful
  // Connect before, it fails with OnConnectFailed.
  void Reconnect() override;
  bool IsConnected() override { return connected_.load(); }
  // The send queue's bytes, or -1 while not connected.
  long long Unsent() override;
  // Send, once the send queue is at or below its high-water mark
  // (QVNET_SEND_HIGH_WATER) and the frame cannot take it past the send
  // limit, waiting for that at most waitMs; never waits on the worker. False when nothing was queued: not connected, refused,
  // still above the mark in time, or the session ended (Close, a cut,
  // deletion) while it waited. Deletion waits until the waiting calls have
  // returned.
  bool SendWithin(const char* data, int length, int waitMs) override;

  // QvSocketBase, for the dispatcher and the library's factories.
  SocketKind GetType() override { return so_connection; }
  qvplat::Socket GetSocket() override { return socket_.load(); }
  void SetSink(QvConnectionSink* sink) override { sink_.store(sink); }
  void SetCodec(QvPacketCodec* codec) override;
  void OnConnected() override;
  void OnConnectFailed() override;
  // The worker: an exception on the socket (graceful end), or an end the
  // connection asked for (its send limit was passed: reset).
  void OnError() override;
  QvConnectionSink* GetSink() override { return sink_.load(); }
  void OnRead() override;
  // Sends what the socket takes of the queue (qvflush.h) and reports what
  // happened to the worker's write step, which alone traces, watches for
  // writability again, and ends the session when the send failed (OnError).
  void OnWrite() override;
  // The worker, about once a second: a frame incomplete for too long, a
  // send queue above its high-water mark that nothing left for too long, or
  // a connection idle for too long, ends the session with a reset.
  void OnTick() override;
  // The worker: the bytes waiting to be sent, and the end of the session
  // (a reset) when they are the most of any connection while the total
  // over all connections is past QVNET_SEND_TOTAL_LIMIT.
  std::uint64_t QueuedToSend() override { return QueuedBytes(); }
  bool OnSendTotalPassed() override;
  // The outgoing connection procedure, on the caller's thread. Ends with
  // OnConnected (connected, registered) or OnConnectFailed (closed). Only
  // mode 0 connects; other modes fail. The host text and port follow the
  // rules of connection/qvaddress.h. Every failure writes one log line with
  // its reason before OnConnectFailed: a host that names no address, a port
  // outside 0-65535, another mode, a refused or unreachable peer, no answer
  // within kConnectWaitMs, a full slot table.
  void Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
               const char* optText2, const char* optText3) override;


  // Connect, telling how it went. The outcome is taken before the socket is
  // handed to the worker: after that the worker may end the session and the
  // application delete the connection, so a caller such as the connector
  // must not touch the connection again.
  struct Outcome {
    bool connected;
    qvplat::Socket socket;
  };
  Outcome ConnectReporting(const char* host, int port, int mode, const char* optText1, int optNumber,
                           const char* optText2, const char* optText3);

  // Adopts a socket the listener accepted: registers it and, when the table
  // has room, calls OnConnected. `hasNoDelay`: the socket has TCP_NODELAY
  // from its listener already. Worker thread. False when the table was
  // full (the socket is then left open and unwatched, for the caller).
  bool Attach(qvplat::Socket socket, bool hasNoDelay = false);

  // What the cutting of frames ended with.
  enum class Cut {
    kNeedMore,   // every complete frame was delivered
    kStopped,    // the session was closed or is closing: nothing more
    kMalformed,  // a header describes no frame that can ever arrive
    kNoMemory,   // no memory to gather a frame in: the session ends
  };
  // Cuts every complete frame out of the receive queue and hands each to
  // the sink, oldest first, while the session begun at `epoch` goes on. A
  // frame lying in one piece is handed over in place; one that straddles
  // the queue's two regions is first copied out into a contiguous area. A
  // header that describes no frame (below 4, or above kQueueCapacity: the
  // peer could never complete it) ends the cutting with kMalformed, and the
  // length it announced goes to *badHeader. Worker thread, under the
  // receive lock.
  Cut CutFrames(std::uint32_t epoch, std::uint32_t* badHeader);

  // Logs a socket error code with the connection's texts.
  void LogNetError(std::uint32_t code);

  // True while a Close (or another end of the session) is under way.
  bool Closing() const { return closing_.load() > 0; }
  // Bytes waiting to be sent: in the send queue and behind it.
  std::size_t QueuedBytes();
  // Threads in SendWithin waiting for the queue to drain.
  int SendWaiters() const { return sendRoom_.Waiters(); }
  // Bytes received that do not make a whole frame yet.
  std::uint32_t Carried();
  // Bytes waiting to be sent over all connections of the process.
  static std::uint64_t TotalQueued();

 private:
  static constexpr int kTextSize = 64;

  enum class Ending {
    kGraceful,  // what was queued still goes out (the worker lingers)
    kReset,     // what was queued is dropped, and the peer sees a reset
  };
  // Ends the session, if there is one and, with `epoch`, if it is still the
  // one begun then. True when this call ended it.
  bool EndSession(Ending how, const std::uint32_t* epoch = nullptr);
  // Ends the session and, if this call ended it, tells the sink. Worker.
  void Disconnect(Ending how, std::uint32_t epoch);
  // Empties the queues for the next session; with `unsent`, what was
  // still to be sent is handed over there first, with the storage it lies
  // in. Both locks held.
  void EmptyQueues(std::vector<QvUnsentBytes>* unsent);
  // ConnectReporting once it is this thread's turn to connect.
  Outcome ConnectInTurn(const char* host, int port, int mode, const char* optText1, int optNumber,
                        const char* optText2, const char* optText3);
  // ConnectReporting's steps: the address and the bounded connect (false,
  // logged where there is a reason, on failure); the registration that
  // publishes the socket (false when the table is full); the parameters
  // Reconnect uses; and the read interest that hands it to the worker.
  bool Reach(qvplat::Socket s, const char* host, int port, std::uint32_t* address);
  bool Publish(qvplat::Socket s, std::uint32_t* epoch);
  void Remember(const char* dotted, int port, int mode, const char* optText1, int optNumber, const char* optText2,
                const char* optText3);
  void HandToTheWorker(qvplat::Socket s, std::uint32_t epoch);
  // What a read came to.
  enum class Read { kGoOn, kStopped, kPeerEnded, kFailed, kMalformed };
  // OnRead's recv() and the cutting of frames, under the receive lock; in
  // *detail the error of a failed recv(), or the length a malformed header
  // announced.
  Read ReadAndCut(std::uint32_t epoch, std::uint32_t* detail);
  // Before a read: when the receive queue holds only the start of a frame
  // and its free stretch cannot complete it, moves those bytes to the base
  // of the storage. False when memory ran out. Receive lock held.
  bool MakeRoomForFrame();
  // After a recv() of `received` bytes behind the `carried` ones: commits
  // them and cuts the frames. Receive lock held.
  Read CutReceived(std::uint32_t received, std::uint32_t carried, std::uint32_t epoch, std::uint32_t* detail);
  // Hands one frame of `length` bytes, the oldest, to the sink; false when
  // memory ran out for a frame that straddles the regions. Receive lock.
  bool Deliver(std::uint32_t length, std::uint32_t epoch);
  // Whether SendWithin may queue a frame of `length` bytes now: no more
  // than the high-water mark waits, and the frame cannot take the queue past
  // the send limit (with a mark at the limit, SendWithin would otherwise end
  // its own connection). Send lock held.
  bool HasRoomFor(int length) const;
  // Send, telling whether the frame was queued (and the session goes on).
  bool SendFrame(const char* data, int length);
  // Encodes with a codec of the application's own, then queues. Send lock
  // held.
  bool EncodeAndQueue(QvPacketCodec* codec, const char* data, unsigned int length);
  // Queues one frame, given as a head and a tail (either may be empty):
  // into the send queue when it has room and nothing waits in the
  // overflow, otherwise into the overflow; says when it began an overflow
  // (*overflows). False, with nothing queued, when memory ran out. Send
  // lock held. Overflow is its second half, kept out of line so the first
  // is compiled into Send.
  bool Queue(const char* head, std::uint32_t headLength, const char* tail, std::uint32_t tailLength,
             bool* overflows);
  bool Overflow(const char* head, std::uint32_t headLength, const char* tail, std::uint32_t tailLength,
                bool* overflows);
  // After a frame was queued: the full-queue trace, and the send limit.
  // Send lock held.
  void AfterQueued(bool overflows);
  // A frame found no memory: the session ends. Send lock held.
  void OutOfMemory();
  // Brings this connection's share of the process's total up to date
  // after its queue changed to `queued` bytes, and asks the worker to end
  // the largest sender when the total passed its limit. Send lock held.
  void Recount(std::uint64_t queued);
  // The bytes waiting to be sent; in `pieces` (kMaxSendPieces of them at
  // most), as many of them as one gathered send takes, in order; drops the
  // `sent` oldest (counting the send for OnTick and waking SendWithin's
  // waiters); hands them all over to `out`, with their storage (moved, not
  // copied); drops them all. Send lock.
  std::size_t Queued() const;
  int GatherUnsent(qvplat::SendPiece* pieces) const;
  void ConsumeSent(std::size_t sent);
  void TakeUnsent(std::vector<QvUnsentBytes>* out);
  void ClearUnsent();
  // The one send routine reaches the queue through the two above.
  template <typename Queue>
  friend Flushed Flush(qvplat::Socket s, Queue& queue, std::uint32_t* error);
  // What OnTick found: nothing, a frame or the whole connection stalled
  // past its time. *held: the bytes of the frame under way.
  // *queued: the bytes waiting to be sent.
  enum class Stall { kNone, kFrame, kSend, kIdle };
  Stall Stalled(std::uint32_t epoch, std::uint32_t* held, std::uint64_t* queued);

  std::atomic<qvplat::Socket> socket_;
  // What waits to be sent, in order: the send queue, and behind it, for
  // frames it has no room for (and every frame after them until they have
  // gone), the overflow of pooled blocks. The send queue has storage only
  // while it holds bytes. Send lock.
  QvBipBuffer sendQueue_;
  QvSendQueue overflow_;
  // What was received and does not make a whole frame yet, oldest first;
  // it has storage only while it holds bytes, or while a read is cut.
  // Receive lock.
  QvBipBuffer receiveQueue_;
  bool cutting_;    // frames of the receive queue are being delivered
  bool spilled_;    // the full-queue trace was printed for this overflow
  bool overLimit_;  // the unsent bytes passed their limit: the session ends
  bool outOfMemory_;  // ... or a frame found no memory to wait in
  std::uint32_t sendError_;  // why the last send failed (0: none since OnError)
  std::uint64_t counted_;  // the bytes this connection counts in the total
  qvplat::RecursiveLock sendLock_{qvplat::kLockSend};
  qvplat::RecursiveLock recvLock_{qvplat::kLockReceive};
  std::atomic<QvPacketCodec*> codec_;
  // The codec when it is the library's own: then frames are written
  // straight into the send queue.
  std::atomic<QvLengthCodec*> lengthCodec_;
  std::atomic<QvConnectionSink*> sink_;
  std::atomic<bool> connected_;
  // Set while Connect completes, between registering and OnConnected.
  std::atomic<bool> establishing_;
  // Counts ends of sessions; a worker path compares it with the value it
  // began with. Changed under both locks.
  std::atomic<std::uint32_t> epoch_;
  // Ends of sessions under way, announced before their locks are taken.
  std::atomic<int> closing_;
  bool peerEnded_;  // the peer ended its stream; receive lock

  // What OnTick compares, worker only: reads and sends that moved bytes,
  // frames whose first bytes a read left waiting, sends that moved bytes,
  // and what the last tick saw of them in the session begun at `epoch`,
  // since when. The send clock also starts again at every tick that finds
  // the queue at or below its high-water mark.
  std::uint32_t moves_;
  std::uint32_t framesBegun_;
  std::uint32_t sends_;
  struct TickView {
    bool valid;  // false until the first tick of the first session
    std::uint32_t epoch;
    std::uint32_t moves;
    std::uint32_t framesBegun;
    std::uint32_t sends;
    std::uint64_t movedAt;
    std::uint64_t frameBegunAt;
    std::uint64_t sentAt;
  };
  TickView seen_;

  // The threads inside besides the worker's dispatch, and the turns of
  // connects.
  QvPresence presence_;
  // The threads in SendWithin waiting for the queue to drain.
  QvSendRoom sendRoom_;

  // Parameters of the last successful Connect, for Reconnect. Send lock.
  struct Parameters {
    char peerAddress[16];
    int port;
    char optText1[kTextSize];
    int optNumber;
    char optText2[kTextSize];
    char optText3[kTextSize];
    int mode;
  };
  bool hasParameters_;
  Parameters parameters_;
};

#endif  // QV_CONNECTION_QVCONNECTION_H

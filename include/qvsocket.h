// qvsocket.h - a connection as the application sees it.
#ifndef QVNET_QVSOCKET_H
#define QVNET_QVSOCKET_H

#include "qvdestructor.h"

/// A connection handed to the application in QvConnectionSink::OnConnected.
/// The order of the operations is part of the binary interface.
///
/// Send, Close, Reconnect and IsConnected may be called on any thread.
class QvSocket {
 public:
  /// Reserved; keeps its place in the interface.
  virtual void ReservedA(int a, int b, int c) = 0;
  /// Frames the payload with the connection's codec and queues it for
  /// sending. Payloads of up to 40955 bytes fit the default framing. Does
  /// nothing on a connection that is not connected. Frames that do not fit
  /// the send queue wait behind it, in order; a payload the codec cannot
  /// frame (or a null one with a length) is refused and nothing is sent.
  virtual void Send(const char* data, int length) = 0;
  /// Closes the connection. No sink callback follows a Close made by the
  /// application.
  virtual void Close() = 0;
  /// Connects again to the address and port of the last successful connect.
  virtual void Reconnect() = 0;
  virtual bool IsConnected() = 0;
  /// Reserved; does nothing.
  virtual void ReservedB(int) {}
  /// Reserved; does nothing.
  virtual void ReservedC(int) {}
  QVNET_DESTRUCTOR_THEN_MORE(QvSocket)
  // Added later: an application that calls these needs this DLL or a later
  // one. The defaults are for the application's own subclasses.

  /// Bytes queued and not yet handed to the system; -1 when not connected.
  virtual long long Unsent() { return -1; }
  /// Like Send, but first waits, up to waitMs milliseconds (a negative
  /// value counts as 0), while the queue is above its high-water mark
  /// (QVNET_SEND_HIGH_WATER). True when the frame was queued; false, with
  /// nothing queued, when it was refused, the connection is not connected,
  /// or the queue was still above the mark when the wait ran out. On the
  /// library's worker thread (inside a sink callback) it never waits.
  /// Close, an end of the connection and delete wake the waiting callers,
  /// which return false; delete returns once they have left.
  virtual bool SendWithin(const char* /*data*/, int /*length*/, int /*waitMs*/) { return false; }
};

#endif  // QVNET_QVSOCKET_H

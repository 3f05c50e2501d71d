// qvnetclientimpl.h - the client connector (internal).
#ifndef QV_CLIENT_QVNETCLIENTIMPL_H
#define QV_CLIENT_QVNETCLIENTIMPL_H

#include "../include/qvnetclient.h"
#include "../platform/qvsockets.h"

class QvConnection;

// Opens outgoing connections. Each Connect makes a fresh connection with the
// connector's sink and codec and runs the connect on the calling thread; a
// connection that connected lives on by itself, one that did not is
// destroyed at once. One connector is used from one thread at a time.
//
// The connector deletes nothing but itself: not its codec (every
// connection it made goes on using it), not the sink, not a connection.
// Its default codec is one shared QvLengthCodec that is never freed, so
// that nothing is left for anybody to free.
class QvNetClientImpl : public QvNetClient {
 public:
  QvNetClientImpl();
  ~QvNetClientImpl() override;

  void SetSink(QvConnectionSink* sink) override { sink_ = sink; }
  void SetCodec(QvPacketCodec* codec) override { codec_ = codec; }
  void Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
               const char* optText2, const char* optText3) override;
  void Release() override;

  // The record of the last attempt.
  const char* HostText() const { return hostText_; }
  int Port() const { return port_; }
  bool HasConnected() const { return connected_ != 0; }
  qvplat::Socket ClientSocket() const { return clientSocket_; }
  QvPacketCodec* Codec() const { return codec_; }
  // The default codec of every connector.

 private:
  static constexpr int kHostTextSize = 128;

  qvplat::Socket clientSocket_;
  QvPacketCodec* codec_;
  char hostText_[kHostTextSize];
  int port_;
  int connected_;
  QvConnection* connection_;
  QvConnectionSink* sink_;
};

#endif  // QV_CLIENT_QVNETCLIENTIMPL_H

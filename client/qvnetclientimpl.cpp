// qvnetclientimpl.cpp - the client connector.
#include "qvnetclientimpl.h"

#include <cstring>

#include "../connection/qvconnection.h"
#include "../connection/qvconnectionfactory.h"
#include "../connection/qvlengthcodec.h"
#include "../diag/qvtextcopy.h"
#include "../diag/qvtexts.h"
#include "../diag/qvtrace.h"

QvNetClientImpl::QvNetClientImpl()
    : clientSocket_(qvplat::kNoSocket),
      codec_(&QvLengthCodec::Shared()),
      port_(0),
      connected_(0),
      connection_(nullptr),
      sink_(nullptr) {
  std::memset(hostText_, 0, sizeof hostText_);
}

QvNetClientImpl::~QvNetClientImpl() {}

void QvNetClientImpl::Connect(const char* host, int port, int mode, const char* optText1, int optNumber,
                              const char* optText2, const char* optText3) {
  QvConnection* connection = QvConnectionFactory::Create();
  connection_ = connection;
  connection->SetSink(sink_);
  connection->SetCodec(codec_);
  // Once it connected, the connection belongs to the worker and the sink:
  // it may already be ended and deleted by the time this call returns, so
  // only the outcome it reported is used from here on.
  const QvConnection::Outcome outcome =
      connection->ConnectReporting(host, port, mode, optText1, optNumber, optText2, optText3);

  // The record keeps what fits; the attempt itself saw the whole text.
  qvdiag::CopyText(hostText_, host);
  port_ = port;

  if (outcome.connected) {
    clientSocket_ = outcome.socket;
    connected_ = 1;
  } else {
    QvConnectionFactory::Destroy(connection);
    qvdiag::Trace(qvtext::kTraceConnectFailed);
  }
}

void QvNetClientImpl::Release() { delete this; }

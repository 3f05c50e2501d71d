// vtable_layouts.cpp - calls one operation of each public interface, so
// that the compiler lays out every interface's virtual table; built with
// -fdump-vtable-layouts by tools/check-vtable-layouts.sh, against the
// current headers and the frozen 1.0 ones, for each Windows layout.
#include "qvnet.h"

void TouchEveryInterface(QvSocket* socket, QvListenerApi* listener, QvNetModule* module, QvNetClient* client,
                         QvConnectionSink* sink, QvAcceptHandler* handler, QvPacketCodec* codec) {
  socket->Close();
  listener->Close();
  module->Release();
  client->Release();
  sink->OnDisconnected();
  handler->CreateSink();
  codec->Decode(nullptr, 0, nullptr, nullptr);
}

// qvsocketbase.cpp - defaults of the socket object interface.
#include "qvsocketbase.h"

#include "../diag/qvtrace.h"

namespace {
constexpr char kFile[] = "qvsocketbase";
}

qvplat::Socket QvSocketBase::GetSocket() {
  QV_DEBUG_FAIL(kFile, __LINE__);
  return qvplat::kInvalidSocket;
}

void QvSocketBase::OnConnected() { QV_DEBUG_FAIL(kFile, __LINE__); }

void QvSocketBase::OnConnectFailed() { QV_DEBUG_FAIL(kFile, __LINE__); }

void QvSocketBase::OnError() { QV_DEBUG_FAIL(kFile, __LINE__); }

QvConnectionSink* QvSocketBase::GetSink() { return nullptr; }

void QvSocketBase::OnRead() { QV_DEBUG_FAIL(kFile, __LINE__); }

void QvSocketBase::OnWrite() { QV_DEBUG_FAIL(kFile, __LINE__); }

void QvSocketBase::OnAccept() { QV_DEBUG_FAIL(kFile, __LINE__); }

void QvSocketBase::Connect(const char*, int, int, const char*, int, const char*, const char*) {
  QV_DEBUG_FAIL(kFile, __LINE__);
}

void QvSocketBase::OnTick() {}

std::uint64_t QvSocketBase::QueuedToSend() { return 0; }

bool QvSocketBase::OnSendTotalPassed() { return false; }

// qvplatform_shared.cpp - the parts of the platform layer that are the same
// on every system, built only on the calls of qvplatform.h (so no operating
// system header is needed here).
#include "qvplatform.h"

namespace qvplat {

ConnectOutcome ConnectWithin(Socket s, std::uint32_t addrNet, int port, int timeoutMs) {
  // Non-blocking before connect(): a blocking connect() waits for the
  // system's own time-out (minutes, against a peer that drops the SYN).
  if (!SetNonBlocking(s)) return ConnectOutcome::kFailed;
  const int started = StartConnect(s, addrNet, port);
  if (started != 0) return started > 0 ? ConnectOutcome::kConnected : ConnectOutcome::kFailed;
  if (WaitConnectDone(s, timeoutMs) < 1) return ConnectOutcome::kWaitFailed;
  return ConnectError(s) == 0 ? ConnectOutcome::kConnected : ConnectOutcome::kFailed;
}

}  // namespace qvplat

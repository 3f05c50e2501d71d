// qvneterror.cpp - socket error codes as texts in the log.
#include "qvneterror.h"

#include "log.h"
#include "qvtextcopy.h"
#include "qvtexts.h"

namespace qvdiag {

namespace {

struct ErrorText {
  std::uint32_t code;
  const char* text;
};

constexpr ErrorText kErrorTable[] = {
    {3, qvtext::kErrSocketNotEmpty},        // not a Windows Sockets code
    {10022, qvtext::kErrInvalidArgument},   // WSAEINVAL
    {10035, qvtext::kErrPeerClosed},        // WSAEWOULDBLOCK
    {10038, qvtext::kErrNotSocket},         // WSAENOTSOCK
    {10048, qvtext::kErrAddrInUse},         // WSAEADDRINUSE
    {10049, qvtext::kErrAddrNotAvailable},  // WSAEADDRNOTAVAIL
    {10054, qvtext::kErrConnReset},         // WSAECONNRESET
    {10057, qvtext::kErrNotConnected},      // WSAENOTCONN
    {10060, qvtext::kErrTimedOut},          // WSAETIMEDOUT
    {10061, qvtext::kErrConnRefused},       // WSAECONNREFUSED
    {10093, qvtext::kErrNotInitialised},    // WSANOTINITIALISED
    {11001, qvtext::kErrHostNotFound},      // WSAHOST_NOT_FOUND
};

}  // namespace

const char* NetErrorText(std::uint32_t code, const char* fallback) {
  for (const ErrorText& e : kErrorTable) {
    if (e.code == code) return e.text;
  }
  return fallback;
}

void LogNetError(std::uint32_t code, const char* fallback) {
  char text[256] = {};
  CopyText(text, NetErrorText(code, fallback));
  log(NetworkLog(), qvtext::kLogNetError, text);
}

}  // namespace qvdiag

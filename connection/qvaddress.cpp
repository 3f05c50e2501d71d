// qvaddress.cpp - which IPv4 address and port an address text names.
#include "qvaddress.h"

#include <cstring>

#include "../diag/qvtextcopy.h"
#include "../platform/qvsockets.h"

namespace {

constexpr int kAddressTextSize = 512;  // at most 511 characters count

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool PortInRange(int port) { return port >= 0 && port <= 65535; }

// The host the text names, as both operations look at it: cut to fit, then
// at its ':'. False for no text at all, and for a text that begins with ':'
// or holds more than one (IPv6 notation: its empty or cut host must never
// turn into every interface or another host).
bool HostPart(const char* text, char (&out)[kAddressTextSize]) {
  if (text == nullptr) return false;
  qvdiag::CopyText(out, text);
  char* colon = std::strchr(out, ':');
  if (colon == nullptr) return true;
  if (colon == out || std::strchr(colon + 1, ':') != nullptr) return false;
  *colon = '\0';
  return true;
}

// A non-empty text: a dotted address when it begins with a digit, else a
// name to resolve.
std::uint32_t AddressOf(const char* text, std::uint32_t* addrNet) {
  if (IsDigit(text[0])) return ParseDottedIPv4(text, addrNet) ? 0 : qvplat::kErrInvalidArgument;
  return qvplat::ResolveIPv4(text, addrNet) ? 0 : qvplat::kErrHostNotFound;
}

}  // namespace

bool ParseDottedIPv4(const char* text, std::uint32_t* addrNet) {
  unsigned char bytes[4];
  const char* at = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && *at++ != '.') return false;
    if (!IsDigit(at[0])) return false;
    if (at[0] == '0' && IsDigit(at[1])) return false;  // a leading zero
    unsigned value = 0;
    int digits = 0;
    for (; IsDigit(*at) && digits < 4; ++at, ++digits) value = value * 10 + static_cast<unsigned>(*at - '0');
    if (value > 255) return false;  // also four digits or more
    bytes[part] = static_cast<unsigned char>(value);
  }
  if (*at != '\0') return false;
  // The bytes in the order they are written are the address in network order.
  std::memcpy(addrNet, bytes, sizeof bytes);
  return true;
}

std::uint32_t ListenAddress(const char* text, int port, std::uint32_t* addrNet) {
  if (!PortInRange(port)) return qvplat::kErrInvalidArgument;
  char host[kAddressTextSize];
  if (!HostPart(text, host)) return qvplat::kErrInvalidArgument;
  if (host[0] == '\0' || std::strcmp(host, "*") == 0) {
    *addrNet = qvplat::AnyAddress();
    return 0;
  }
  return AddressOf(host, addrNet);  // "0.0.0.0" is every interface too
}

std::uint32_t ConnectAddress(const char* text, int port, std::uint32_t* addrNet) {
  if (!PortInRange(port)) return qvplat::kErrInvalidArgument;
  char host[kAddressTextSize];
  if (!HostPart(text, host)) return qvplat::kErrInvalidArgument;
  if (host[0] == '\0') return qvplat::kErrInvalidArgument;  // no host at all
  return AddressOf(host, addrNet);
}

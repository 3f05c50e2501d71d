// qvaddress.cpp - which IPv4 address and port an address text names.
#include "qvaddress.h"

#include <cstring>

#include "../diag/qvtextcopy.h"
#include "../platform/qvsockets.h"

namespace {

constexpr int kAddressTextSize = 512;  // at most 511 characters count

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The value of c as a hexadecimal digit; 16 when it is none.
unsigned DigitValue(char c) {
  if (IsDigit(c)) return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 16;
}

// Reads one number in C notation at *at: "0x" or "0X" and hex digits, a
// leading 0 and octal digits, or decimal digits; it ends at the first
// character that is no digit of its base. False, with *at left alone, when
// there is no digit ("" or "0x") or the value passes 32 bits.
bool ReadNumber(const char** at, std::uint32_t* value) {
  const char* p = *at;
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;  // the 0 itself is its first digit
  }
  const char* first = p;
  std::uint64_t n = 0;
  for (unsigned digit = DigitValue(*p); digit < base; digit = DigitValue(*++p)) {
    n = n * base + digit;
    if (n > 0xFFFFFFFFu) return false;  // checked at each digit: no overflow
  }
  if (p == first) return false;
  *value = static_cast<std::uint32_t>(n);
  *at = p;
  return true;
}

// The address that 1 to 4 parts make: every part but the last is one byte,
// and the last fills the bytes left (a.b.c.d, a.b.c with c up to 65535, a.b
// with b up to 16777215, or one 32-bit a). False when a part is too big.
bool Combine(const std::uint32_t* parts, int count, std::uint32_t* address) {
  std::uint32_t value = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 255) return false;
    value |= parts[i] << (24 - 8 * i);
  }
  if (parts[count - 1] > (0xFFFFFFFFu >> (8 * (count - 1)))) return false;
  *address = value | parts[count - 1];
  return true;
}

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

// A non-empty text: an IPv4 address text when it begins with a digit (never
// a name, so a mistyped address never reaches a name server), else a name
// to resolve.
std::uint32_t AddressOf(const char* text, std::uint32_t* addrNet) {
  if (IsDigit(text[0])) return ParseIPv4Text(text, addrNet) ? 0 : qvplat::kErrInvalidArgument;
  return qvplat::ResolveIPv4(text, addrNet) ? 0 : qvplat::kErrHostNotFound;
}

}  // namespace

bool ParseIPv4Text(const char* text, std::uint32_t* addrNet) {
  if (text == nullptr) return false;
  std::uint32_t parts[4];
  int count = 0;
  const char* at = text;
  for (;;) {
    if (!ReadNumber(&at, &parts[count++])) return false;  // also an empty part
    if (*at != '.' || count == 4) break;
    ++at;
  }
  std::uint32_t address = 0;
  if (*at != '\0' || !Combine(parts, count, &address)) return false;
  // Most significant byte first: the address in network order.
  const unsigned char bytes[4] = {static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
                                  static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
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

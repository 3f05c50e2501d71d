// qvaddress.h - which IPv4 address and port an address text names, for
// Listen and for Connect (internal).
//
// The rules, the same for both:
//  - A null text fails.
//  - At most the first 511 characters of the text are looked at. A text
//    that begins with ':' or holds more than one ':' fails (IPv6 notation,
//    which must never widen to every IPv4 interface); otherwise the text
//    ends at its ':' (a port written in it does not count: the port
//    argument does).
//  - A text that begins with a decimal digit must be an IPv4 address text
//    (see ParseIPv4Text); it is never looked up as a name.
//  - Any other text is a host name, resolved to its first IPv4 address.
//  - The port must lie in 0-65535; it is never cut to its low 16 bits.
// Listening, an empty text, "*" and "0.0.0.0" (in any spelling, such as
// "0") mean every interface.
// Connecting, an empty text names no host and fails.
//
// Failures are Windows Sockets codes, as the log's error texts know them:
// 10022 (WSAEINVAL) for a port out of range, a null text, a text that
// begins with ':' or holds more than one, a digit-led text that is no IPv4
// address text, or no host to connect to; 11001 (WSAHOST_NOT_FOUND)
// for a name that does not resolve.
#ifndef QV_CONNECTION_QVADDRESS_H
#define QV_CONNECTION_QVADDRESS_H

#include <cstdint>

// Reads an IPv4 address text by the classic inet_addr grammar, the same on
// every platform: 1 to 4 parts separated by single dots, each a number in C
// notation: "0x" or "0X" and at least one hex digit, or a leading 0 and
// octal digits (so "08" is none), or decimal digits. Every part but the last
// is one byte (0-255); the last fills the bytes left: a.b.c.d, a.b.c (c up
// to 65535), a.b (b up to 16777215) or a (any 32-bit value). Nothing may
// come before, between or after the parts: no empty part, sign, space or
// trailing dot. Every value is an address, 255.255.255.255 too. The address
// comes back in network byte order; false for any other text (and for
// null), which leaves *addrNet alone.
bool ParseIPv4Text(const char* text, std::uint32_t* addrNet);

// The address to bind for Listen(text, port): 0 and *addrNet set, or the
// code of the failure. May resolve a name (and so block).
std::uint32_t ListenAddress(const char* text, int port, std::uint32_t* addrNet);

// The address to connect to for Connect(text, port): 0 and *addrNet set, or
// the code of the failure. May resolve a name (and so block).
std::uint32_t ConnectAddress(const char* text, int port, std::uint32_t* addrNet);

#endif  // QV_CONNECTION_QVADDRESS_H

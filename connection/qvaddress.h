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
//  - A text that begins with a decimal digit must be a dotted address (see
//    ParseDottedIPv4); it is never looked up as a name.
//  - Any other text is a host name, resolved to its first IPv4 address.
//  - The port must lie in 0-65535; it is never cut to its low 16 bits.
// Listening, an empty text, "0.0.0.0" and "*" mean every interface.
// Connecting, an empty text names no host and fails.
//
// Failures are Windows Sockets codes, as the log's error texts know them:
// 10022 (WSAEINVAL) for a port out of range, a null text, a text that
// begins with ':' or holds more than one, a digit-led text that is not a
// dotted address, or no host to connect to; 11001 (WSAHOST_NOT_FOUND)
// for a name that does not resolve.
#ifndef QV_CONNECTION_QVADDRESS_H
#define QV_CONNECTION_QVADDRESS_H

#include <cstdint>

// Reads a dotted IPv4 address: exactly four decimal parts from 0 to 255,
// separated by single dots, with nothing before, between or after them. A
// part has no leading zero ("010" could be meant as octal 8), so every
// accepted text names one address only. The address comes back in network
// byte order; false for any other text, which leaves *addrNet alone.
bool ParseDottedIPv4(const char* text, std::uint32_t* addrNet);

// The address to bind for Listen(text, port): 0 and *addrNet set, or the
// code of the failure. May resolve a name (and so block).
std::uint32_t ListenAddress(const char* text, int port, std::uint32_t* addrNet);

// The address to connect to for Connect(text, port): 0 and *addrNet set, or
// the code of the failure. May resolve a name (and so block).
std::uint32_t ConnectAddress(const char* text, int port, std::uint32_t* addrNet);

#endif  // QV_CONNECTION_QVADDRESS_H

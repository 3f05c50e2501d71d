// qvsettings.h - the library's settings (internal).
//
// The interfaces have no room for configuration, so settings come from
// environment variables named QVNET_*. Each is read once, when it is first
// needed, so a program may set them in main() before it uses the library.
// A value that is not valid falls back to the default, with one line in the
// log naming the setting, the value and the default. README.md lists them
// all ("Settings").
#ifndef QV_DIAG_QVSETTINGS_H
#define QV_DIAG_QVSETTINGS_H

#include <cstdint>

namespace qvdiag {

// QVNET_SEND_LIMIT: how many bytes may wait to be sent on one connection
// (its send queue and what waits behind it) before the connection is ended.
// A number of bytes, optionally followed by K, M or G (units of 1024);
// 64K to 1024G. Default 4M.
std::uint64_t SendLimitBytes();

// QVNET_LINGER_SECONDS: how long a closing connection may go without
// progress (its queued bytes going out, or the peer ending its stream)
// before its socket is closed anyway. 0 to 3600; 0 closes at once. Default 10.
int LingerSeconds();

// The parsers behind them, for tests: false when the text is not valid.
bool ParseByteCount(const char* text, std::uint64_t* bytes);
bool ParseSeconds(const char* text, int* seconds);

}  // namespace qvdiag

#endif  // QV_DIAG_QVSETTINGS_H

// qvneterror.h - socket error codes as texts in the log (internal).
#ifndef QV_DIAG_QVNETERROR_H
#define QV_DIAG_QVNETERROR_H

#include <cstdint>

namespace qvdiag {

// The text for a Windows Sockets error code, or `fallback` for a code the
// table does not know.
const char* NetErrorText(std::uint32_t code, const char* fallback);

// Writes "网络错误码:<text>" to the network log. Connections pass
// qvtext::kErrUnknownConnection as the fallback, listeners
// qvtext::kErrUnknownListener. Any thread.
void LogNetError(std::uint32_t code, const char* fallback);

}  // namespace qvdiag

#endif  // QV_DIAG_QVNETERROR_H

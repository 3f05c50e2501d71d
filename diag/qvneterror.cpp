// qvneterror.cpp - socket error codes as texts in the log.
#include "qvneterror.h"

#include "../platform/qverrors.h"
#include "log.h"
#include "qvtextcopy.h"
#include "qvtexts.h"

namespace qvdiag {

const char* NetErrorText(std::uint32_t code, const char* fallback) {
  const char* text = qvplat::SocketErrorText(code);
  return text != nullptr ? text : fallback;
}

void LogNetError(std::uint32_t code, const char* fallback) {
  char text[256] = {};
  CopyText(text, NetErrorText(code, fallback));
  log(NetworkLog(), qvtext::kLogNetError, text);
}

}  // namespace qvdiag

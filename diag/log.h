// log.h - time-stamped, flushed log lines in a file (internal).
//
// The class is `log`, and so is its write operation: the class writes with
// the free function log(target, format, ...), found next to it in qvdiag.
// Inside the namespace the function hides the class name, so the class is
// spelled `class log` where a type is meant (as with struct stat / stat()).
// Being in a namespace keeps both apart from the C library's log().
#ifndef QV_DIAG_LOG_H
#define QV_DIAG_LOG_H

#include <cstdio>
#include <ctime>

#include "../platform/qvthreads.h"
#include "qvtrace.h"

namespace qvdiag {

class log {
 public:
  // Opens `name` for writing, emptying it. A null name makes one from the
  // local time ("%m_%d_%H_%M.log"). A file that cannot be opened now is
  // opened for appending at the first line written.
  explicit log(const char* name);
  // As above when `on`; otherwise the file is never opened and every line
  // is dropped at once.
  log(const char* name, bool on);
  ~log();
  log(const log&) = delete;
  log& operator=(const log&) = delete;

  const char* Name() const { return name_; }
  // Closes the file; a later line opens it again, for appending.
  void Close();

  // Writes "<stamp>: <message>\n" and flushes, so the line is in the file
  // when the call returns. A null format writes an error line instead.
  // Any thread: one call's line is never interleaved with another's.
  friend void log(log& target, const char* format, ...) QV_PRINTF_LIKE(2, 3);

 private:
  char name_[256];
  std::FILE* file_;
  const bool on_;
  qvplat::RecursiveLock lock_{qvplat::kLockLog};
  // The last line's stamp and the second it was made for: lines of the
  // same second reuse it instead of converting the time again. Lock held.
  std::time_t stampSecond_ = -1;
  char stamp_[32] = "?";
};

void log(class log& target, const char* format, ...) QV_PRINTF_LIKE(2, 3);

// The stamp of a log line, "%b%d %H:%M:%S" of `when`, or "?" when it is null.
void FormatStamp(const std::tm* when, char (&out)[32]);

// The process-wide log, on "./Log/Network.log" unless the settings
// QVNET_LOG_FILE and QVNET_LOG (read here, see qvsettings.h), or the
// program's QVNET_LOG_OFF_BY_DEFAULT (qvnet.h), say otherwise.
// It is constructed with the library's static objects, before the
// load-time directory creation. It is never destroyed, so that objects the
// application destroys during process exit may still log; its file is
// closed by an exit handler registered at load, so late in the exit.
class log& NetworkLog();

// Creates the directory of the network log's file, ignoring failure: for
// the default file "Log", or "log" where file names ignore case (the name
// Windows has always been given; there the two are the same directory);
// for a file of QVNET_LOG_FILE the last directory of its path, if it has
// one; nothing when QVNET_LOG is off. Then logs the log settings whose
// values were not valid: before, the file's directory may not have been
// there. Once, at load.
void MakeLogDirectory();

}  // namespace qvdiag

#endif  // QV_DIAG_LOG_H

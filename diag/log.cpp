// log.cpp - time-stamped, flushed log lines in a file.
#include "log.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "../platform/qvsystem.h"
#include "qvtextcopy.h"

namespace qvdiag {

namespace {

bool Now(std::tm* out) { return qvplat::LocalTime(std::time(nullptr), out); }

}  // namespace

log::log(const char* name) : file_(nullptr) {
  std::memset(name_, 0, sizeof name_);
  if (name != nullptr) {
    // A name too long for the field is cut; the last byte stays NUL.
    CopyText(name_, name);
  } else {
    std::tm now;
    if (!Now(&now) || std::strftime(name_, sizeof name_, "%m_%d_%H_%M.log", &now) == 0) {
      std::strcpy(name_, "00_00_00_00.log");
    }
  }
  file_ = std::fopen(name_, "w");
}

log::~log() { Close(); }

void log::Close() {
  qvplat::LockGuard guard(lock_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void FormatStamp(const std::tm* when, char (&out)[32]) {
  if (when == nullptr || std::strftime(out, sizeof out, "%b%d %H:%M:%S", when) == 0) {
    std::strcpy(out, "?");
  }
}

void log(class log& target, const char* format, ...) {
  qvplat::LockGuard guard(target.lock_);
  if (target.file_ == nullptr) {
    target.file_ = std::fopen(target.name_, "a");
    if (target.file_ == nullptr) return;  // dropped; the next line tries again
  }
  std::tm now;
  char stamp[32];
  FormatStamp(Now(&now) ? &now : nullptr, stamp);
  if (format != nullptr) {
    std::fprintf(target.file_, "%s: ", stamp);
    va_list args;
    va_start(args, format);
    std::vfprintf(target.file_, format, args);
    va_end(args);
    std::fputs("\n", target.file_);
  } else {
    std::fprintf(target.file_, "%s [error] log::log got NULL fmt\n", stamp);
  }
  std::fflush(target.file_);
}

// Constructed before the load-time work that makes the directory, so that
// a missing directory is seen here first.
#define QV_EARLY_INIT __attribute__((init_priority(101)))

namespace {

alignas(class log) unsigned char networkLogStorage[sizeof(class log)];
class log* networkLog = nullptr;

void CloseNetworkLog() { networkLog->Close(); }

struct NetworkLogMaker {
  NetworkLogMaker() {
    networkLog = new (networkLogStorage) class log("./Log/Network.log");
    std::atexit(CloseNetworkLog);
  }
} networkLogMaker QV_EARLY_INIT;

}  // namespace

class log& NetworkLog() { return *networkLog; }

void MakeLogDirectory() { qvplat::MakeDirectory(qvplat::kFileNamesIgnoreCase ? "log" : "Log"); }

}  // namespace qvdiag
